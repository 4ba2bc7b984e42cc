// The stop routine, and how the window starts a recording thread and lets
// it go.
#include "engine/EventLog.h"
#include "engine/RecorderView.h"
#include "engine/RecordingThread.h"

namespace quelmar {

namespace {

// Waiting for the polling thread in the stop routine.
constexpr uint32_t kStopPollMs = 500;
constexpr int kStopWaitsPerAttempt = 10; // the first attempt after nine waits (4.5 s)

} // namespace

void StopRecording(std::unique_ptr<WorkerThread> pollingThread, RecordingContext &context,
                   const ReceiverSnapshot &receiver)
{
    RecorderView &view = ViewOrNothing(context.view);
    context.recording.Set(false);
    if (pollingThread) {
        if (pollingThread->ExitCode() == WorkerThread::kStillActive) {
            LogEvent("waiting for polling thread to terminate...");
            int countdown = kStopWaitsPerAttempt;
            while (pollingThread->ExitCode() == WorkerThread::kStillActive) {
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
    view.SetText(ControlId::Pause, "&Pause");
    view.EnableControl(ControlId::PowerOff, true);
    view.EnableMenuItem(MenuItemId::SystemClose, true);
    view.RedrawFrame();
    view.EnableControl(ControlId::SplitNow, false);
    view.EnableControl(ControlId::Stop, false);
    view.EnableMenuItem(MenuItemId::TimerEnable, true);
    view.EnableControl(ControlId::StopTime, false);
    view.ShowControl(ControlId::StopTime, false);
    view.EnableControl(ControlId::StopAtBox, false);
    view.ShowControl(ControlId::StopAtBox, false);
    view.ShowControl(ControlId::ShutdownBox, false);
    if (!context.timerMode.Get()) {
        view.EnableControl(ControlId::Record, true);
        view.EnableControl(ControlId::Pause, true);
        view.EnableControl(ControlId::AudioChoice, true);
        view.EnableControl(ControlId::VideoChoice, true);
        view.EnableControl(ControlId::ChannelList, true);
        if (context.multiplexerAvailable.Get()) {
            view.EnableControl(ControlId::MuxChoice, true);
            view.EnableControl(ControlId::VideoDelay, context.outputs.mux == OutputChoice::Raw ||
                                                          (context.outputs.audio == OutputChoice::Elementary &&
                                                           context.outputs.video == OutputChoice::Elementary));
        }
    }
    if (receiver.ReceiverPresent() && receiver.dvbRemote)
        receiver.dvbRemote(&receiver.device, 0);
    // Nothing of the context is touched once `ready` is set: a window that
    // forgot this thread may take it as the end of the recording.
    const bool timerMode = context.timerMode.Get();
    const std::function<void()> showNextTimer = context.showNextTimer;
    context.ready.Set(true);
    if (timerMode && showNextTimer)
        showNextTimer();
}

RecordingHandle &RecordingHandle::operator=(RecordingHandle &&other) noexcept
{
    if (this != &other) {
        Forget();
        thread_ = std::move(other.thread_);
    }
    return *this;
}

uint32_t RecordingHandle::ExitCode() const { return thread_ ? thread_->ExitCode() : WorkerThread::kStillActive; }

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
    if (thread_->ExitCode() == WorkerThread::kStillActive)
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

    context.ready.Set(false);
    context.splitRequested.Set(false);
    context.recording.Set(true);
    auto thread = std::make_unique<WorkerThread>(
        kRecordingThreadName, [&context, bindings] { return RecordingThreadProc(context, *bindings); },
        ThreadPriority::Normal);
    thread->Resume();
    return RecordingHandle(std::move(thread));
}

} // namespace quelmar
