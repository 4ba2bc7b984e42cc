#include "platform/Clock.h"

#include "platform/WorkerThread.h"

#include <time.h>

namespace quelmar {

namespace {

constexpr int64_t kMsPerSecond = 1000;
constexpr int64_t kNsPerMs = 1000000;

int64_t MonotonicMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kMsPerSecond + ts.tv_nsec / kNsPerMs;
}

} // namespace

int32_t MillisecondClock()
{
    static const int64_t kOrigin = MonotonicMs();
    return static_cast<int32_t>(static_cast<uint32_t>(MonotonicMs() - kOrigin));
}

SystemClock &SystemClock::Instance()
{
    static SystemClock clock;
    return clock;
}

std::shared_ptr<Clock> SystemClock::Shared() { return std::shared_ptr<Clock>(std::shared_ptr<Clock>(), &Instance()); }

int32_t SystemClock::Millis() { return MillisecondClock(); }

void SystemClock::SleepMs(uint32_t ms) { quelmar::SleepMs(ms); }

void ManualClock::SleepMs(uint32_t ms)
{
    {
        std::lock_guard lock(mutex_);
        sleeps_.push_back(ms);
    }
    Advance(static_cast<int32_t>(ms));
}

std::vector<uint32_t> ManualClock::Sleeps() const
{
    std::lock_guard lock(mutex_);
    return sleeps_;
}

} // namespace quelmar
