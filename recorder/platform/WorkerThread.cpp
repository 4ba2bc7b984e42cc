#include "platform/WorkerThread.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <cerrno>

namespace quelmar {

namespace {

// FIFO priority asked for a time-critical thread: above ordinary real-time
// helpers, well below the kernel's own threads.
constexpr int kTimeCriticalFifoPriority = 50;

bool TryRealtime()
{
    sched_param param{};
    param.sched_priority =
        std::clamp(kTimeCriticalFifoPriority, sched_get_priority_min(SCHED_FIFO), sched_get_priority_max(SCHED_FIFO));
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
}

} // namespace

WorkerThread::WorkerThread(std::string name, std::function<uint32_t()> body, ThreadPriority priority)
    : WorkerThread(
          std::move(name), [body = std::move(body)](std::stop_token) { return body(); }, priority)
{}

WorkerThread::WorkerThread(std::string name, std::function<uint32_t(std::stop_token)> body, ThreadPriority priority)
    : state_(std::make_shared<State>())
{
    name.resize(std::min(name.size(), kMaxNameChars));
    state_->name = std::move(name);
    state_->body = std::move(body);
    state_->priority = priority;
}

WorkerThread::~WorkerThread()
{
    if (thread_.joinable())
        thread_.join();
}

void WorkerThread::Resume()
{
    if (resumed_)
        return;
    resumed_ = true;
    thread_ = std::thread([state = state_] {
        pthread_setname_np(pthread_self(), state->name.c_str());
        if (state->priority == ThreadPriority::TimeCritical) {
            const bool granted = TryRealtime();
            std::lock_guard lock(state->mutex);
            state->realtime = granted;
        }
        const uint32_t code = state->body(state->stop.get_token());
        state->body = nullptr; // release what the body captured on this thread
        {
            std::lock_guard lock(state->mutex);
            state->exitCode = code;
            state->done = true;
        }
        state->ended.notify_all();
    });
}

uint32_t WorkerThread::ExitCode() const
{
    std::lock_guard lock(state_->mutex);
    return state_->exitCode;
}

bool WorkerThread::WaitFor(uint32_t timeoutMs)
{
    if (!resumed_)
        return true;
    std::unique_lock lock(state_->mutex);
    return state_->ended.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return state_->done; });
}

void WorkerThread::Join()
{
    if (thread_.joinable())
        thread_.join();
}

void WorkerThread::RequestStop() { state_->stop.request_stop(); }

bool WorkerThread::Abandon()
{
    state_->stop.request_stop();
    if (thread_.joinable())
        thread_.detach();
    return true;
}

bool WorkerThread::GotRealtimePriority() const
{
    std::lock_guard lock(state_->mutex);
    return state_->realtime;
}

void SleepMs(uint32_t ms)
{
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

} // namespace quelmar
