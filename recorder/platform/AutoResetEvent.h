// AutoResetEvent: an event that releases one waiter and then resets itself.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace quelmar {

// Auto-reset event on a mutex and a condition variable. Not signalled at
// creation. Any thread may call any member.
class AutoResetEvent {
public:
    AutoResetEvent() = default;
    AutoResetEvent(const AutoResetEvent &) = delete;
    AutoResetEvent &operator=(const AutoResetEvent &) = delete;

    // Signals the event: the next (or a current) waiter returns, and the
    // event resets as it does. Stays signalled until someone waits.
    void Set();
    // Wakes one thread that is waiting right now; with no waiter the pulse
    // is lost and the event stays unsignalled.
    void Pulse();
    // Blocks until the event is signalled, then resets it.
    void Wait();
    // As Wait(), for at most timeoutMs milliseconds. Returns true when the
    // event was signalled, false on time-out.
    bool WaitFor(uint32_t timeoutMs);

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_ = false;
    uint32_t waiters_ = 0;
};

} // namespace quelmar
