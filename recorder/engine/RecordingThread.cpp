#include "engine/RecordingThread.h"

#include "analysis/Ac3HeaderReader.h"
#include "analysis/MpegVideoHeader.h"
#include "analysis/StreamInfoTracker.h"
#include "binding/ReceiverLibrary.h"
#include "binding/RemuxerBinding.h"
#include "engine/EventLog.h"
#include "engine/PacketQueue.h"
#include "engine/PollingThread.h"
#include "engine/RecordingFiles.h"
#include "engine/Splitting.h"
#include "platform/AutoResetEvent.h"
#include "platform/File.h"

#include <optional>
#include <string>

namespace quelmar {

namespace {

constexpr uint16_t kNoVideoPid = DVB_NO_VIDEO_PID;
// Longest wait for a pulse before the queue and the flag are looked at again.
constexpr uint32_t kIdleCheckMs = 100;
constexpr uint32_t kMillisecondsPerSecond = 1000;

void RemuxLogLine(const char *text) { LogEvent(text); }

class RecordingSession;
thread_local RecordingSession *g_currentSession = nullptr;

// The state of one recording, living on the recording thread's stack.
class RecordingSession {
public:
    RecordingSession(RecordingContext &context, const RecordingBindings &bindings)
        : ctx_(context), events_(EventsOrIgnored(context.events)), receiver_(bindings.receiver),
          remuxer_(bindings.multiplexer), outputs_(context.outputs), files_(bindings.overwriteAgreed)
    {
        useMux_ = ctx_.multiplexerAvailable.Get() && remuxer_.Ready() && outputs_.GoesThroughMultiplexer();
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
            if (!synchronised_ && length > 0) {
                synchronised_ = true;
                events_.OnSynchronised();
            }
            return 1;
        } catch (const FileException &e) {
            LogException(&e);
            return 0;
        }
    }

    bool StartUp();
    bool CreateFile(File &file, const std::string &path);
    // The extensions of the files a new part creates: at the start (None)
    // or at a split led by `leader`.
    std::vector<std::string> PartExtensions(SplitLeader leader) const;
    // Picks the number of the next part (logged when a taken name made it
    // skip) and makes it the current prefix. False when the folder failed.
    bool BeginPart(const std::string &base, int first, SplitLeader leader);
    bool ProcessFront();
    bool RawVideo(const uint8_t *data, uint32_t length);
    bool AudioChunk(const uint8_t *data, uint32_t length, bool isAc3);
    bool SplitIfDue();
    bool PerformSplit(SplitLeader leader);
    int32_t MuxOutputStep();
    void ShowCounts();
    void ShowInfo(InfoStream stream, const char *heading, const InfoLines &lines);
    // Reports `progress` with the number of the part being written.
    void Report(RecordingProgress progress);
    void CloseOutputs();
    uint32_t Fail();

    RecordingContext &ctx_;
    RecordingEvents &events_;
    const ReceiverSnapshot &receiver_;
    const RemuxerSnapshot &remuxer_;
    const OutputChoices outputs_;
    bool useMux_ = false;
    bool muxOutput_ = false;
    bool logInfo_ = false;
    bool synchronised_ = false;

    RecordingFiles files_;
    File videoFile_, audioFile_, muxFile_;
    SplitState split_;
    uint64_t chunksReceived_ = 0; // video and audio chunks from the receiver
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
        files_.Create(file, path);
        return true;
    } catch (const FileException &e) {
        LogException(&e);
        return false;
    }
}

uint32_t RecordingSession::Fail()
{
    CloseOutputs();
    StopRecording(std::move(polling_), ctx_, receiver_, RecordingEnd::Failed);
    queue_->Clear();
    return kRecordingFailed;
}

void RecordingSession::CloseOutputs()
{
    for (File *file : {&muxFile_, &audioFile_, &videoFile_})
        files_.Close(*file);
}

std::vector<std::string> RecordingSession::PartExtensions(SplitLeader leader) const
{
    std::vector<std::string> extensions;
    if (outputs_.video != OutputChoice::Nothing && leader != SplitLeader::Audio)
        extensions.push_back(split_.videoExt);
    if (outputs_.audio != OutputChoice::Nothing) {
        if (split_.audioDecided) {
            extensions.push_back(split_.audioExt);
        } else { // the type is not known yet: both names must be free
            extensions.push_back(AudioExtension(outputs_.audio, false));
            extensions.push_back(AudioExtension(outputs_.audio, true));
        }
    }
    if (muxOutput_ && (leader == SplitLeader::None || leader == SplitLeader::Mux))
        extensions.push_back(kMuxExtension);
    return extensions;
}

bool RecordingSession::BeginPart(const std::string &base, int first, SplitLeader leader)
{
    try {
        const int part = files_.FreePart(base, first, PartExtensions(leader));
        split_.prefix = PartPrefix(base, part);
        split_.nextPart = part + 1;
        return true;
    } catch (const FileException &e) {
        LogException(&e);
        return false;
    }
}

bool RecordingSession::StartUp()
{
    logInfo_ = ctx_.logInfo.Get();
    const std::string base = ctx_.baseName.Get();
    try {
        File log;
        files_.Create(log, LogFileName(base));
        EventLog::AdoptFile(std::move(log));
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

    events_.OnStarting();

    if (!BeginPart(base, 0, SplitLeader::None))
        return false;
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
        StopRecording(nullptr, ctx_, receiver_, RecordingEnd::Failed);
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
    RecordingProgress pts;
    pts.ptsBytes = 0;
    Report(pts);

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

    // Nothing came from the receiver (a channel without a source, a receiver
    // that never delivered): the run failed, whatever the files say.
    const bool nothingReceived = chunksReceived_ == 0;
    if (nothingReceived)
        LogEvent("no data received from Quelmar! Nothing was recorded!");
    // The final flush also writes what the elementary streams still hold, so
    // it is made whenever the multiplexer is in use, with no program stream
    // writer when only elementary streams are recorded.
    if (useMux_ && remuxer_.Flush_Mpg(muxOutput_ ? WriteMuxData : nullptr) == REMUX_WRITE_FAILED)
        return Fail();
    ShowCounts();
    CloseOutputs();
    StopRecording(std::move(polling_), ctx_, receiver_,
                  nothingReceived ? RecordingEnd::NothingReceived : RecordingEnd::Completed);
    queue_->Clear();
    return nothingReceived ? kRecordingFailed : kRecordingOk;
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
            RecordingProgress progress;
            progress.ptsBytes = ptsTotal_;
            Report(progress);
        }
        break;
    case StreamKind::StreamVideo:
        ++chunksReceived_;
        if (useMux_) {
            remuxer_.Supply_Data(data, length, static_cast<int32_t>(kind));
            if (auto lines = info_.OnVideoInfo(static_cast<const VideoInfo *>(remuxer_.GetVideoInfo())))
                ShowInfo(InfoStream::Video, kVideoInfoHeading, *lines);
        }
        if (outputs_.video == OutputChoice::Raw)
            ok = RawVideo(data, length);
        break;
    case StreamKind::StreamAudio: {
        ++chunksReceived_;
        bool isAc3 = false;
        if (useMux_) {
            remuxer_.Supply_Data(data, length, static_cast<int32_t>(kind));
            auto audio = info_.OnMultiplexerAudioFrame(remuxer_.GetLastAudioPES());
            isAc3 = audio.isAc3;
            if (audio.lines)
                ShowInfo(InfoStream::Audio, kAudioInfoHeading, *audio.lines);
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
    const std::optional<size_t> header = FindSequenceHeader(data, length);
    if (!header)
        return true; // no header yet: the chunk is dropped
    rawVideoSynced_ = true;
    return WriteVideoData(data + *header, static_cast<uint32_t>(length - *header)) != 0;
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
    if (!BeginPart(ctx_.baseName.Get(), split_.nextPart, leader))
        return false;
    const int ordinal = ++split_.splits;

    auto reopen = [this](File &file, uint64_t &count, const std::string &ext) {
        files_.Close(file);
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
        events_.OnSplitDone();
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
        events_.OnSplitDone();
    split_.elapsedSeconds = remuxer_.GetRecordingTime() / kMillisecondsPerSecond;
    RecordingProgress progress;
    progress.elapsedSeconds = split_.elapsedSeconds;
    if (video || mux)
        progress.videoPadding = remuxer_.GetVideoPaddingCount();
    progress.sinceSplitSeconds = split_.elapsedSeconds - split_.lastSplitSeconds;
    Report(progress);
    return result;
}

void RecordingSession::ShowCounts()
{
    RecordingProgress progress;
    if (muxFile_.IsOpen())
        progress.muxBytes = split_.muxBytes;
    if (audioFile_.IsOpen())
        progress.audioBytes = split_.audioBytes;
    if (videoFile_.IsOpen())
        progress.videoBytes = split_.videoBytes;
    if (progress.muxBytes || progress.audioBytes || progress.videoBytes)
        Report(progress);
}

void RecordingSession::Report(RecordingProgress progress)
{
    progress.part = split_.nextPart - 1;
    events_.OnProgress(progress);
}

void RecordingSession::ShowInfo(InfoStream stream, const char *heading, const InfoLines &lines)
{
    if (logInfo_) {
        LogEvent(heading);
        for (const auto &line : lines)
            LogEvent(line);
        LogEvent(kInfoFooter);
    }
    events_.OnStreamInfo(stream, lines);
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

} // namespace quelmar
