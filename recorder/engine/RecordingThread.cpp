#include "engine/RecordingThread.h"

#include "analysis/Ac3HeaderReader.h"
#include "analysis/StreamInfoTracker.h"
#include "binding/ReceiverLibrary.h"
#include "binding/RemuxerBinding.h"
#include "engine/EventLog.h"
#include "engine/PacketQueue.h"
#include "engine/PollingThread.h"
#include "engine/RecorderView.h"
#include "engine/Splitting.h"
#include "platform/AutoResetEvent.h"
#include "platform/File.h"

#include <cstdio>
#include <string>

namespace quelmar {

namespace {

constexpr uint16_t kNoVideoPid = DVB_NO_VIDEO_PID;
// Waiting for the polling thread in the stop routine.
constexpr uint32_t kStopPollMs = 500;
constexpr int kStopWaitsPerAttempt = 10; // the first attempt after nine waits (4.5 s)
// Longest wait for a pulse before the queue and the flag are looked at again.
constexpr uint32_t kIdleCheckMs = 100;

// A sequence header the raw video output may start with.
constexpr size_t kSequenceHeaderCheckBytes = 12;
constexpr uint8_t kSequenceHeaderCode = 0xB3;
constexpr uint8_t kMarkerBitMask = 0x20;             // header byte 10
constexpr uint8_t kConstrainedParametersMask = 0x04; // header byte 11

std::string SizeText(uint64_t value) { return std::to_string(value); }

std::string ClockText(uint32_t seconds)
{
    constexpr uint32_t kSecondsPerHour = 3600;
    constexpr uint32_t kSecondsPerMinute = 60;
    char text[32];
    std::snprintf(text, sizeof text, "%d:%02d:%02d", static_cast<int>(seconds / kSecondsPerHour),
                  static_cast<int>(seconds / kSecondsPerMinute % kSecondsPerMinute),
                  static_cast<int>(seconds % kSecondsPerMinute));
    return text;
}

void RemuxLogLine(const char *text) { LogEvent(text); }

RecorderView &ViewOf(RecordingContext &context)
{
    static NullRecorderView none; // no window: updates go nowhere
    return context.view ? *context.view : none;
}

class RecordingSession;
thread_local RecordingSession *g_currentSession = nullptr;

// The state of one recording, living on the recording thread's stack.
class RecordingSession {
public:
    RecordingSession(RecordingContext &context, const RecordingBindings &bindings)
        : ctx_(context), view_(ViewOf(context)), receiver_(bindings.receiver), remuxer_(bindings.multiplexer),
          outputs_(context.outputs)
    {
        useMux_ = ctx_.multiplexerAvailable.Get() && remuxer_.Ready() &&
                  (outputs_.mux == OutputChoice::Raw || outputs_.video == OutputChoice::Elementary ||
                   outputs_.audio == OutputChoice::Elementary);
        muxOutput_ = useMux_ && outputs_.mux != OutputChoice::Nothing;
        split_.videoExt = VideoExtension(outputs_.video);
    }

    uint32_t Run();

    // Writer callbacks: on the recording thread, also from inside the
    // multiplexer's Write_Mpg and Flush_Mpg.
    static int32_t WriteMuxData(const uint8_t *data, uint32_t length)
    {
        return g_currentSession->Write(g_currentSession->muxFile_, g_currentSession->split_.muxBytes, data, length);
    }
    static int32_t WriteVideoData(const uint8_t *data, uint32_t length)
    {
        return g_currentSession->Write(g_currentSession->videoFile_, g_currentSession->split_.videoBytes, data, length);
    }
    static int32_t WriteAudioData(const uint8_t *data, uint32_t length)
    {
        return g_currentSession->Write(g_currentSession->audioFile_, g_currentSession->split_.audioBytes, data, length);
    }

private:
    int32_t Write(File &file, uint64_t &count, const uint8_t *data, uint32_t length)
    {
        try {
            file.Write(data, length);
            count += length;
            return 1;
        } catch (const FileException &e) {
            LogException(&e);
            return 0;
        }
    }

    bool StartUp();
    bool CreateFile(File &file, const std::string &path);
    bool ProcessFront();
    bool RawVideo(const uint8_t *data, uint32_t length);
    bool AudioChunk(const uint8_t *data, uint32_t length, bool isAc3);
    bool SplitIfDue();
    bool PerformSplit(SplitLeader leader);
    int32_t MuxOutputStep();
    void ShowCounts();
    void ShowInfo(InfoPane pane, const char *heading, const InfoLines &lines);
    void CloseOutputs();
    uint32_t Fail();

    RecordingContext &ctx_;
    RecorderView &view_;
    const ReceiverSnapshot &receiver_;
    const RemuxerSnapshot &remuxer_;
    const OutputChoices outputs_;
    bool useMux_ = false;
    bool muxOutput_ = false;
    bool logInfo_ = false;

    File videoFile_, audioFile_, muxFile_;
    SplitState split_;
    bool rawVideoSynced_ = false;
    uint32_t ptsTotal_ = 0;
    StreamInfoTracker info_;

    std::shared_ptr<PacketQueue> queue_ = std::make_shared<PacketQueue>();
    std::shared_ptr<AutoResetEvent> dataReady_ = std::make_shared<AutoResetEvent>();
    std::unique_ptr<WorkerThread> polling_;
};

bool RecordingSession::CreateFile(File &file, const std::string &path)
{
    try {
        file.Open(path, File::Mode::CreateWrite);
        return true;
    } catch (const FileException &e) {
        LogException(&e);
        return false;
    }
}

uint32_t RecordingSession::Fail()
{
    CloseOutputs();
    StopRecording(std::move(polling_), ctx_, receiver_);
    queue_->Clear();
    return kRecordingFailed;
}

void RecordingSession::CloseOutputs()
{
    for (File *file : {&muxFile_, &audioFile_, &videoFile_}) {
        try {
            file->Close();
        } catch (const FileException &e) {
            LogException(&e);
        }
    }
}

bool RecordingSession::StartUp()
{
    logInfo_ = ctx_.logInfo.Get();
    const std::string base = ctx_.baseName.Get();
    try {
        EventLog::OpenFile(LogFileName(base));
    } catch (const FileException &e) {
        LogException(&e);
        return false;
    }

    if (useMux_) {
        DvbCurrentChannel current{};
        if (receiver_.ReceiverPresent() && receiver_.dvbGetCurrentChannel)
            current = receiver_.dvbGetCurrentChannel(&receiver_.device);
        if (current.answer == 0) {
            LogEvent("error while retrieving channel info from Quelmar");
            return false;
        }
        const bool audioOnly = current.channel.word16 == kNoVideoPid;
        LogEvent(audioOnly ? "audio recording started" : "a/v recording started, trying to synchronize...");
        remuxer_.InitEx(RemuxLogLine, 0, ctx_.videoDelay, audioOnly ? 1 : 0);
        remuxer_.Perform_Resync();
    } else if (outputs_.SavesNothing()) {
        LogEvent("You should have seleceted anything to save, dude!");
        return false;
    } else {
        LogEvent("recording started");
    }

    view_.EnableControl(ControlId::Pause, true);
    view_.EnableControl(ControlId::Stop, true);
    view_.EnableControl(ControlId::PowerOff, false);
    view_.EnableMenuItem(MenuItemId::SystemClose, false);
    view_.RedrawFrame();
    view_.EnableControl(ControlId::SplitNow, true);
    view_.SetText(ControlId::VideoBytes, "0");
    view_.SetText(ControlId::AudioBytes, "0");
    view_.SetText(ControlId::MuxBytes, "0");
    view_.SetText(ControlId::RecordingTime, "0:00:00");
    view_.SetText(ControlId::VideoPadding, "0");
    view_.ClearInfo(InfoPane::Audio);
    view_.ClearInfo(InfoPane::Video);

    split_.prefix = PartPrefix(base, 0);
    split_.nextPart = 1;
    if (outputs_.video != OutputChoice::Nothing && !CreateFile(videoFile_, split_.prefix + split_.videoExt))
        return false;
    if (muxOutput_ && !CreateFile(muxFile_, split_.prefix + kMuxExtension))
        return false;
    return true;
}

uint32_t RecordingSession::Run()
{
    if (!StartUp()) {
        CloseOutputs();
        StopRecording(nullptr, ctx_, receiver_);
        return kRecordingFailed;
    }

    PollingThreadArgs args;
    args.receiver = receiver_;
    args.queue = queue_;
    args.dataReady = dataReady_;
    args.recording = ctx_.recording.Reader();
    args.paused = ctx_.paused.Reader();
    if (ctx_.pollClock)
        args.clock = ctx_.pollClock;
    args.latenessLog = ctx_.pollLateness;
    polling_ = std::make_unique<WorkerThread>(
        kPollingThreadName, [args](std::stop_token stop) { return PollingThreadProc(args, stop); },
        ThreadPriority::TimeCritical);
    polling_->Resume();
    view_.SetText(ControlId::Pts, "0");

    bool keepRunning = true;
    while (keepRunning) {
        if (ctx_.recording.Get()) {
            // Woken by the polling thread's pulses. A pulse that came while
            // this thread was busy is lost, so the queue is also looked at
            // after a while without one, and so is the flag: a Stop ends the
            // recording even while the polling thread is stuck in a call.
            dataReady_->WaitFor(kIdleCheckMs);
        } else {
            keepRunning = false; // a last pass drains what is queued
        }
        while (!queue_->IsEmpty()) {
            if (!ProcessFront())
                return Fail();
        }
    }

    if (muxOutput_ && remuxer_.Flush_Mpg(WriteMuxData) == REMUX_WRITE_FAILED)
        return Fail();
    ShowCounts();
    CloseOutputs();
    StopRecording(std::move(polling_), ctx_, receiver_);
    queue_->Clear();
    return kRecordingOk;
}

bool RecordingSession::ProcessFront()
{
    const uint8_t *data = queue_->FrontData();
    const uint32_t length = queue_->FrontLength();
    const StreamKind kind = queue_->FrontKind();
    if (useMux_)
        remuxer_.SetPaused(queue_->FrontPaused() == 1 ? 1 : 0);

    bool ok = true;
    switch (kind) {
    case StreamKind::StreamPts:
        if (useMux_) {
            remuxer_.Supply_Data(data, length, static_cast<int32_t>(kind));
            ptsTotal_ += length;
            view_.SetText(ControlId::Pts, std::to_string(ptsTotal_));
        }
        break;
    case StreamKind::StreamVideo:
        if (useMux_) {
            remuxer_.Supply_Data(data, length, static_cast<int32_t>(kind));
            if (auto lines = info_.OnVideoInfo(static_cast<const VideoInfo *>(remuxer_.GetVideoInfo())))
                ShowInfo(InfoPane::Video, kVideoInfoHeading, *lines);
        }
        if (outputs_.video == OutputChoice::Raw)
            ok = RawVideo(data, length);
        break;
    case StreamKind::StreamAudio: {
        bool isAc3 = false;
        if (useMux_) {
            remuxer_.Supply_Data(data, length, static_cast<int32_t>(kind));
            auto audio = info_.OnMultiplexerAudioFrame(remuxer_.GetLastAudioPES());
            isAc3 = audio.isAc3;
            if (audio.lines)
                ShowInfo(InfoPane::Audio, kAudioInfoHeading, *audio.lines);
        }
        ok = AudioChunk(data, length, isAc3);
        break;
    }
    }
    queue_->PopFront(true);
    if (!ok)
        return false;

    int32_t result;
    do {
        if (!SplitIfDue())
            return false;
        if (useMux_) {
            result = MuxOutputStep();
            if (result == REMUX_WRITE_FAILED)
                return false;
        } else {
            split_.splitPending = 0;
            result = REMUX_WRITE_DONE;
        }
        ShowCounts();
    } while (result == REMUX_WRITE_PENDING);
    return true;
}

bool RecordingSession::RawVideo(const uint8_t *data, uint32_t length)
{
    if (rawVideoSynced_)
        return WriteVideoData(data, length) != 0;
    for (size_t i = 0; i + kSequenceHeaderCheckBytes <= length; ++i) {
        const uint8_t *h = data + i;
        if (h[0] != 0 || h[1] != 0 || h[2] != 1 || h[3] != kSequenceHeaderCode)
            continue;
        const unsigned width = (h[4] << 4) | (h[5] >> 4);
        const unsigned height = ((h[5] & 0x0F) << 8) | h[6];
        if (width == 0 || height == 0 || !(h[10] & kMarkerBitMask) || (h[11] & kConstrainedParametersMask))
            continue;
        rawVideoSynced_ = true;
        return WriteVideoData(h, static_cast<uint32_t>(length - i)) != 0;
    }
    return true; // no header yet: the chunk is dropped
}

bool RecordingSession::AudioChunk(const uint8_t *data, uint32_t length, bool isAc3)
{
    if (!split_.audioDecided) {
        // The first chunk decides the type and is not written itself.
        const bool ac3 = useMux_ ? isAc3 : ContainsAc3Frame(data, length);
        split_.audioExt = AudioExtension(outputs_.audio, ac3);
        split_.audioDecided = true;
        if (outputs_.audio != OutputChoice::Nothing)
            return CreateFile(audioFile_, split_.prefix + split_.audioExt);
        return true;
    }
    if (outputs_.audio == OutputChoice::Raw)
        return WriteAudioData(data, length) != 0;
    return true;
}

bool RecordingSession::SplitIfDue()
{
    SplitInputs in;
    in.video = outputs_.video;
    in.audio = outputs_.audio;
    in.muxLeading = muxOutput_;
    in.requested = ctx_.splitRequested.Get();
    in.onSize = ctx_.splitOnSize.Get();
    in.onTime = ctx_.splitOnTime.Get();
    in.splitSizeMb = ctx_.splitSize ? ctx_.splitSize->load(std::memory_order_acquire) : 0;
    in.splitTimeSeconds = ctx_.splitTime.load(std::memory_order_acquire);
    const SplitLeader leader = SplitDue(in, split_);
    if (leader == SplitLeader::None)
        return true;
    return PerformSplit(leader);
}

bool RecordingSession::PerformSplit(SplitLeader leader)
{
    split_.lastSplitSeconds = split_.elapsedSeconds;
    if (leader == SplitLeader::Mux && remuxer_.Flush_Mpg(WriteMuxData) == REMUX_WRITE_FAILED)
        return false;
    const int ordinal = split_.nextPart;
    split_.prefix = PartPrefix(ctx_.baseName.Get(), split_.nextPart++);

    auto reopen = [this](File &file, uint64_t &count, const std::string &ext) {
        try {
            file.Close();
        } catch (const FileException &e) {
            LogException(&e);
        }
        count = 0;
        return CreateFile(file, split_.prefix + ext);
    };
    // The audio part waits for the audio type (SplitDue holds the split
    // back until then), so its name always has an extension.
    const bool audioOut = outputs_.audio != OutputChoice::Nothing;
    switch (leader) {
    case SplitLeader::Mux:
        if (outputs_.video != OutputChoice::Nothing && !reopen(videoFile_, split_.videoBytes, split_.videoExt))
            return false;
        if (audioOut && !reopen(audioFile_, split_.audioBytes, split_.audioExt))
            return false;
        if (!reopen(muxFile_, split_.muxBytes, kMuxExtension))
            return false;
        break;
    case SplitLeader::Video:
        if (audioOut && !reopen(audioFile_, split_.audioBytes, split_.audioExt))
            return false;
        if (!reopen(videoFile_, split_.videoBytes, split_.videoExt))
            return false;
        break;
    case SplitLeader::Audio:
        if (!reopen(audioFile_, split_.audioBytes, split_.audioExt))
            return false;
        break;
    case SplitLeader::None: break;
    }
    LogEvent(SplitMessage(ordinal));
    ctx_.splitRequested.Set(false);
    if ((leader == SplitLeader::Video && outputs_.video == OutputChoice::Raw) ||
        (leader == SplitLeader::Audio && outputs_.audio == OutputChoice::Raw))
        view_.EnableControl(ControlId::SplitNow, true);
    split_.splitPending = 1;
    return true;
}

int32_t RecordingSession::MuxOutputStep()
{
    RemuxWriter mux = muxOutput_ && muxFile_.IsOpen() ? WriteMuxData : nullptr;
    RemuxWriter video = outputs_.video == OutputChoice::Elementary && videoFile_.IsOpen() ? WriteVideoData : nullptr;
    RemuxWriter audio = outputs_.audio == OutputChoice::Elementary && audioFile_.IsOpen() ? WriteAudioData : nullptr;
    const uint8_t pendingBefore = split_.splitPending;
    const int32_t result = remuxer_.Write_Mpg(mux, video, audio, &split_.splitPending);
    if (result == REMUX_WRITE_FAILED)
        return result;
    if (pendingBefore && !split_.splitPending)
        view_.EnableControl(ControlId::SplitNow, true);
    split_.elapsedSeconds = remuxer_.GetRecordingTime() / 1000;
    view_.SetText(ControlId::RecordingTime, ClockText(split_.elapsedSeconds));
    if (video || mux)
        view_.SetText(ControlId::VideoPadding, SizeText(remuxer_.GetVideoPaddingCount()));
    view_.SetText(ControlId::TimeSinceSplit, ClockText(split_.elapsedSeconds - split_.lastSplitSeconds));
    return result;
}

void RecordingSession::ShowCounts()
{
    if (muxFile_.IsOpen())
        view_.SetText(ControlId::MuxBytes, SizeText(split_.muxBytes));
    if (audioFile_.IsOpen())
        view_.SetText(ControlId::AudioBytes, SizeText(split_.audioBytes));
    if (videoFile_.IsOpen())
        view_.SetText(ControlId::VideoBytes, SizeText(split_.videoBytes));
}

void RecordingSession::ShowInfo(InfoPane pane, const char *heading, const InfoLines &lines)
{
    if (logInfo_)
        LogEvent(heading);
    view_.ClearInfo(pane);
    for (const auto &line : lines) {
        view_.AddInfoLine(pane, line);
        if (logInfo_)
            LogEvent(line);
    }
    if (logInfo_)
        LogEvent(kInfoFooter);
}

} // namespace

uint32_t RecordingThreadProc(RecordingContext &context, const RecordingBindings &bindings)
{
    RecordingSession session(context, bindings);
    g_currentSession = &session;
    const uint32_t result = session.Run();
    g_currentSession = nullptr;
    return result;
}

void StopRecording(std::unique_ptr<WorkerThread> pollingThread, RecordingContext &context,
                   const ReceiverSnapshot &receiver)
{
    RecorderView &view = ViewOf(context);
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
