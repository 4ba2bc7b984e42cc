// The stop routine, and how the window starts a recording thread and lets
// it go.
#include "engine/EventLog.h"
#include "engine/RecordingThread.h"

namespace quelmar {

namespace {

// Waiting for the polling thread in the stop routine.
constexpr uint32_t kStopPollMs = 500;
constexpr int kStopWaitsPerAttempt = 10; // the first attempt after nine waits (4.5 s)

} // namespace

void StopRecording(std::unique_ptr<WorkerThread> pollingThread, RecordingContext &context,
                   const ReceiverSnapshot &receiver, RecordingEnd end)
{
    context.recording.Set(false);
    if (pollingThread) {
        if (pollingThread->ExitCode() == kStillActive) {
            LogEvent("waiting for polling thread to terminate...");
            int countdown = kStopWaitsPerAttempt;
            while (pollingThread->ExitCode() == kStillActive) {
                if (--countdown == 0) {
                    LogEvent("stop bug: Polling thread still running... trying to kill the thread...");
                    countdown = kStopWaitsPerAttempt;
                    // A thread cannot be ended from outside safely. It is let
                    // go instead, with its own stop flag set: it owns or
                    // shares everything it touches (queue, event, flags, a
                    // reference of the library) and leaves without another
                    // receiver call once the library lets it go.
                    if (pollingThread->Abandon()) {
                        LogEvent("thread brutally killed");
                        break;
                    }
                    LogEvent("could not kill the thread... well, you have to kill it manually...");
                }
                pollingThread->WaitFor(kStopPollMs);
            }
        }
        pollingThread.reset();
    }
    LogEvent("recording stopped");
    EventLog::CloseFile();

    context.paused.Set(false);
    EventsOrIgnored(context.events).OnStopped(end);
    if (receiver.ReceiverPresent() && receiver.dvbRemote)
        receiver.dvbRemote(&receiver.device, 0);
    // Nothing of the context is touched once `ready` is set: a window that
    // forgot this thread may take it as the end of the recording.
    context.ready.Set(true);
}

RecordingHandle &RecordingHandle::operator=(RecordingHandle &&other) noexcept
{
    if (this != &other) {
        Forget();
        thread_ = std::move(other.thread_);
    }
    return *this;
}

uint32_t RecordingHandle::ExitCode() const { return thread_ ? thread_->ExitCode() : kStillActive; }

bool RecordingHandle::WaitFor(uint32_t timeoutMs) { return !thread_ || thread_->WaitFor(timeoutMs); }

void RecordingHandle::Join()
{
    if (thread_)
        thread_->Join();
}

void RecordingHandle::Forget()
{
    if (!thread_)
        return;
    if (thread_->ExitCode() == kStillActive)
        thread_->Abandon(); // it ends on its own; its copies keep what it uses alive
    thread_.reset();
}

RecordingHandle BeginRecording(RecordingContext &context)
{
    if (!context.receiver)
        return {};
    auto bindings = std::make_shared<RecordingBindings>();
    bindings->receiver = context.receiver->Snapshot();
    if (context.multiplexer)
        bindings->multiplexer = context.multiplexer->Snapshot();
    bindings->overwriteAgreed = context.overwriteAgreed;
    bindings->threadEnded = context.threadEnded;

    context.ready.Set(false);
    context.splitRequested.Set(false);
    context.recording.Set(true);
    auto thread = std::make_unique<WorkerThread>(
        kRecordingThreadName,
        [&context, bindings] {
            const uint32_t result = RecordingThreadProc(context, *bindings);
            if (bindings->threadEnded)
                bindings->threadEnded();
            return result;
        },
        ThreadPriority::Normal);
    thread->Resume();
    return RecordingHandle(std::move(thread));
}

} // namespace quelmar
