#include "platform/AutoResetEvent.h"

#include <chrono>

namespace quelmar {

void AutoResetEvent::Set()
{
    {
        std::lock_guard lock(mutex_);
        signalled_ = true;
    }
    cv_.notify_one();
}

void AutoResetEvent::Pulse()
{
    {
        std::lock_guard lock(mutex_);
        if (waiters_ == 0)
            return;
        signalled_ = true;
    }
    cv_.notify_one();
}

void AutoResetEvent::Wait()
{
    std::unique_lock lock(mutex_);
    ++waiters_;
    cv_.wait(lock, [this] { return signalled_; });
    --waiters_;
    signalled_ = false;
}

bool AutoResetEvent::WaitFor(uint32_t timeoutMs)
{
    std::unique_lock lock(mutex_);
    ++waiters_;
    const bool got = cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return signalled_; });
    --waiters_;
    if (got)
        signalled_ = false;
    return got;
}

} // namespace quelmar
