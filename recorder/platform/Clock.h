// Millisecond clocks: the monotonic clock of the recorder and a clock that
// tests set by hand.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace quelmar {

// Milliseconds since the first call in the process (the first call returns
// 0), from the monotonic clock; wraps as a signed 32-bit value. Thread-safe.
int32_t MillisecondClock();

// What the polling schedule needs from time: a millisecond reading (only
// differences are used) and a sleep.
class Clock {
public:
    virtual ~Clock() = default;
    virtual int32_t Millis() = 0;
    virtual void SleepMs(uint32_t ms) = 0;
};

// MillisecondClock and a real sleep. One shared instance.
class SystemClock final : public Clock {
public:
    static SystemClock &Instance();
    // The instance as a shared pointer that owns nothing.
    static std::shared_ptr<Clock> Shared();
    int32_t Millis() override;
    void SleepMs(uint32_t ms) override;
};

// A clock that only moves when told to: SleepMs advances it by the time
// slept and records the request. Thread-safe.
class ManualClock final : public Clock {
public:
    explicit ManualClock(int32_t start = 0) : now_(start) {}
    int32_t Millis() override { return now_.load(std::memory_order_acquire); }
    void SleepMs(uint32_t ms) override;
    void Set(int32_t ms) { now_.store(ms, std::memory_order_release); }
    void Advance(int32_t ms) { now_.fetch_add(ms, std::memory_order_acq_rel); }
    // Every sleep requested so far, in order.
    std::vector<uint32_t> Sleeps() const;

private:
    std::atomic<int32_t> now_;
    mutable std::mutex mutex_;
    std::vector<uint32_t> sleeps_;
};

} // namespace quelmar
