// A UiDispatcher for tests: posted tasks wait until the test runs them.
#pragma once

#include "controller/UiDispatcher.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace quelmar {

class ManualDispatcher : public UiDispatcher {
public:
    void Post(std::function<void()> task) override
    {
        {
            std::lock_guard lock(mutex_);
            tasks_.push_back(std::move(task));
        }
        posted_.notify_all();
    }
    // Blocks until a task is queued or `limit` has passed (a guard against a
    // test hanging, not a measurement). True when a task is queued.
    bool WaitForTask(std::chrono::milliseconds limit)
    {
        std::unique_lock lock(mutex_);
        return posted_.wait_for(lock, limit, [this] { return !tasks_.empty(); });
    }
    // Runs the tasks queued now and those they queue, in order, on the
    // calling thread (the test's user-interface thread). Returns how many ran.
    int RunPending()
    {
        int ran = 0;
        for (;;) {
            std::function<void()> task;
            {
                std::lock_guard lock(mutex_);
                if (tasks_.empty())
                    return ran;
                task = std::move(tasks_.front());
                tasks_.pop_front();
            }
            task();
            ++ran;
        }
    }
    size_t Queued() const
    {
        std::lock_guard lock(mutex_);
        return tasks_.size();
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<std::function<void()>> tasks_;
};

} // namespace quelmar
