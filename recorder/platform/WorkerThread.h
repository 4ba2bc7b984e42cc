// WorkerThread: a thread that is created suspended, resumed once, and whose
// exit code stays readable after it ended.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace quelmar {

enum class ThreadPriority {
    Normal,
    TimeCritical, // SCHED_FIFO when the process may use it, else silently normal
};

class WorkerThread {
public:
    // Exit code reported while the thread has not ended (also before resume).
    static constexpr uint32_t kStillActive = 259;

    // Longest thread name the system keeps, in characters.
    static constexpr size_t kMaxNameChars = 15;

    // Creates the thread object suspended: body runs only after Resume().
    // body's result becomes the exit code. body must own (or share) whatever
    // it uses if the owner may Abandon() it. name (cut to kMaxNameChars) is
    // the thread's name for debuggers, sanitizer reports and top -H.
    WorkerThread(std::string name, std::function<uint32_t()> body, ThreadPriority priority);
    // Waits for a resumed thread to end, unless it was abandoned.
    ~WorkerThread();
    WorkerThread(const WorkerThread &) = delete;
    WorkerThread &operator=(const WorkerThread &) = delete;

    // Starts the thread. Only the first call has an effect.
    void Resume();
    // The body's result once it returned, kStillActive before.
    uint32_t ExitCode() const;
    // Waits up to timeoutMs for the end. Returns true when the thread ended
    // (or was never resumed and so will never run).
    bool WaitFor(uint32_t timeoutMs);
    // Waits for the end without a time limit.
    void Join();
    // Gives up on a thread that does not end: it is detached and keeps its
    // own state alive; the object no longer waits for it. Returns true once
    // the thread is no longer tied to this object.
    bool Abandon();
    // True when the time-critical scheduling request was granted (valid
    // after the thread started running its body).
    bool GotRealtimePriority() const;

private:
    struct State {
        std::string name;
        std::function<uint32_t()> body;
        ThreadPriority priority;
        std::mutex mutex;
        std::condition_variable ended;
        bool done = false;
        uint32_t exitCode = kStillActive;
        bool realtime = false;
    };
    std::shared_ptr<State> state_;
    std::thread thread_;
    bool resumed_ = false;
};

// Lets the calling thread sleep for ms milliseconds.
void SleepMs(uint32_t ms);

} // namespace quelmar
