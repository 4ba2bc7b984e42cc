// WorkerThread: a thread that is created suspended, resumed once, and whose
// exit code stays readable after it ended.
#pragma once

#include "platform/StillActive.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

namespace quelmar {

enum class ThreadPriority {
    Normal,
    TimeCritical, // SCHED_FIFO when the process may use it, else silently normal
};

class WorkerThread {
public:
    // Longest thread name the system keeps, in characters.
    static constexpr size_t kMaxNameChars = 15;

    // Creates the thread object suspended: body runs only after Resume().
    // body's result becomes the exit code. body must own (or share) whatever
    // it uses if the owner may Abandon() it. name (cut to kMaxNameChars) is
    // the thread's name for debuggers, sanitizer reports and top -H.
    WorkerThread(std::string name, std::function<uint32_t()> body, ThreadPriority priority);
    // The same for a body that watches its own stop flag: the token it gets
    // tells it that RequestStop() or Abandon() was called. The flag belongs
    // to the thread, so it stays valid however long the thread runs.
    WorkerThread(std::string name, std::function<uint32_t(std::stop_token)> body, ThreadPriority priority);
    // Waits for a resumed thread to end, unless it was abandoned.
    ~WorkerThread();
    WorkerThread(const WorkerThread &) = delete;
    WorkerThread &operator=(const WorkerThread &) = delete;

    // Starts the thread. Only the first call has an effect.
    void Resume();
    // The body's result once it returned, kStillActive before (also before
    // resume).
    uint32_t ExitCode() const;
    // Waits up to timeoutMs for the end. Returns true when the thread ended
    // (or was never resumed and so will never run).
    bool WaitFor(uint32_t timeoutMs);
    // Waits for the end without a time limit.
    void Join();
    // Sets the thread's stop flag (see the constructor); does not wait.
    void RequestStop();
    // Gives up on a thread that does not end: its stop flag is set, it is
    // detached and keeps its own state alive; the object no longer waits for
    // it. Returns true once the thread is no longer tied to this object.
    bool Abandon();
    // True when the time-critical scheduling request was granted (valid
    // after the thread started running its body).
    bool GotRealtimePriority() const;

private:
    struct State {
        std::string name;
        std::function<uint32_t(std::stop_token)> body;
        std::stop_source stop;
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
