#include "engine/PollingThread.h"

#include "binding/ReceiverLibrary.h"
#include "engine/EventLog.h"
#include "quelmarscsi_special.h"

#include <algorithm>
#include <cstdio>

namespace quelmar {

namespace {

// dvbInitStreaming parameters as the receiver expects them from a recorder.
constexpr uint16_t kStreamingFirst = 0;
constexpr uint32_t kStreamingBufferBytes = 65536;
constexpr uint16_t kStreamingThird = 10;
// Front-panel texts: exactly 8 characters, sent with special command 1.
constexpr char kPanelRecording[] = " ->rec<-";
constexpr uint16_t kPanelTextBytes = DVB_FRONT_PANEL_TEXT_CHARS;
constexpr uint8_t kPanelTextCommand = DVB_SPECIAL_FRONT_PANEL_TEXT;
static_assert(sizeof kPanelRecording - 1 == kPanelTextBytes && sizeof kPanelReady - 1 == kPanelTextBytes);
constexpr int kPtsReadsPerCycle = 2;
constexpr int64_t kMsPerSecond = 1000;

// The receiver calls of the thread, on its own copy of the binding.
struct Receiver {
    ReceiverSnapshot library;

    // One read of `kind` into buffer; false when it failed or no receiver is there.
    bool Read(std::unique_ptr<uint8_t[]> &buffer, uint32_t size, StreamKind kind)
    {
        return library.ReceiverPresent() && library.dvbReadMultipleStreams &&
               library.dvbReadMultipleStreams(&library.device, buffer.get(), size, static_cast<int32_t>(kind)) != 0;
    }
    void PanelText(const char *text)
    {
        if (library.ReceiverPresent() && library.dvbSendSpecialCommand)
            library.dvbSendSpecialCommand(&library.device, reinterpret_cast<const uint8_t *>(text), kPanelTextBytes,
                                          kPanelTextCommand);
    }
};

} // namespace

void PollSchedule::Start(int32_t t0)
{
    t0_ = t0;
    n_ = 0;
    slack_ = 0;
    lastLateness_ = 0;
}

int64_t PollSchedule::Since(int32_t t) const
{
    // Differences only; the millisecond clock may wrap.
    return static_cast<int32_t>(static_cast<uint32_t>(t) - static_cast<uint32_t>(t0_));
}

std::optional<uint32_t> PollSchedule::Lateness(int32_t t)
{
    const int64_t late = Since(t) - kPollPeriodMs * n_;
    lastLateness_ = late;
    std::optional<uint32_t> report;
    if (late > kPollDelayReportMs) {
        if (late - slack_ > kPollDelayReportMs)
            report = static_cast<uint32_t>(late - slack_);
        slack_ = std::max<int64_t>(late - kPollPeriodMs, 0);
        if (late > kPollBacklogLimitMs)
            n_ += (late - kPollBacklogLimitMs) / kPollPeriodMs;
    }
    return report;
}

std::optional<uint32_t> PollSchedule::NextSleep(int32_t now)
{
    ++n_;
    const int64_t untilSlot = kPollPeriodMs * n_ - Since(now);
    if (untilSlot < 0)
        return std::nullopt;
    slack_ = 0;
    return static_cast<uint32_t>(std::min<int64_t>(untilSlot, kPollPeriodMs));
}

StallWatch::Change StallWatch::Cycle(int32_t t, bool delivered)
{
    // Differences only; the millisecond clock may wrap.
    const int64_t silent = static_cast<int32_t>(static_cast<uint32_t>(t) - static_cast<uint32_t>(lastData_));
    if (delivered) {
        const bool resumed = stalled_;
        if (resumed) {
            silentMs_ = silent;
            missedMs_ += silent;
        }
        delivered_ = true;
        stalled_ = false;
        lastData_ = t;
        return resumed ? Change::Resumed : Change::None;
    }
    if (!delivered_ || stalled_ || silent < kStreamStallMs)
        return Change::None;
    stalled_ = true;
    ++stalls_;
    silentMs_ = silent;
    return Change::Stalled;
}

void StallWatch::Finish(int32_t t)
{
    if (stalled_)
        missedMs_ += static_cast<int32_t>(static_cast<uint32_t>(t) - static_cast<uint32_t>(lastData_));
    stalled_ = false;
}

uint32_t PollingThreadProc(PollingThreadArgs args, std::stop_token stop)
{
    Receiver receiver{std::move(args.receiver)};
    const ReceiverSnapshot &library = receiver.library;
    PacketQueue &queue = *args.queue;
    Clock &clock = *args.clock;
    // Set only when the stop routine gave this thread up while it was inside
    // the library: its recording is over and another may have begun, so it
    // leaves as soon as it is back, without a further receiver call.
    const auto givenUp = [&stop] { return stop.stop_requested(); };

    queue.Clear();
    auto video = std::make_unique_for_overwrite<uint8_t[]>(kVideoChunkBytes);
    auto audio = std::make_unique_for_overwrite<uint8_t[]>(kAudioChunkBytes);
    auto pts = std::make_unique_for_overwrite<uint8_t[]>(kPtsRecordBytes);

    // One read; a chunk read goes into the queue (video and audio wake the
    // recording thread) and the buffer is replaced. Whether it read, or
    // nothing when given up.
    const auto poll = [&](std::unique_ptr<uint8_t[]> &buffer, uint32_t size, StreamKind kind,
                          uint32_t paused) -> std::optional<bool> {
        const bool read = receiver.Read(buffer, size, kind);
        if (givenUp())
            return std::nullopt;
        if (read) {
            queue.Push(buffer.release(), size, kind, paused, false);
            buffer = std::make_unique_for_overwrite<uint8_t[]>(size);
            if (kind != StreamKind::StreamPts)
                args.dataReady->Pulse();
        }
        return read;
    };
    StallWatch videoWatch, audioWatch;
    const auto watch = [](StallWatch &watch, const char *stream, int32_t t, bool delivered) {
        char text[128];
        switch (watch.Cycle(t, delivered)) {
        case StallWatch::Change::None: return;
        case StallWatch::Change::Stalled:
            std::snprintf(text, sizeof text, "%s stream stalled: no data for %lld s! Possible data loss!", stream,
                          static_cast<long long>(watch.SilentMs() / kMsPerSecond));
            break;
        case StallWatch::Change::Resumed:
            std::snprintf(text, sizeof text, "%s stream delivers again after %lld s without data", stream,
                          static_cast<long long>(watch.SilentMs() / kMsPerSecond));
            break;
        }
        LogEvent(text);
    };

    if (library.ReceiverPresent() && library.dvbInitStreaming)
        library.dvbInitStreaming(&library.device, kStreamingFirst, kStreamingBufferBytes, kStreamingThird);
    if (!givenUp()) {
        receiver.PanelText(kPanelRecording);
        LogEvent("polling thread started");
    }

    PollSchedule schedule;
    schedule.Start(clock.Millis());
    while (args.recording.Get() && !givenUp()) {
        const uint32_t paused = args.paused.Byte();
        const int32_t t = clock.Millis();

        bool stayed = true;
        for (int i = 0; i < kPtsReadsPerCycle && stayed; ++i)
            stayed = poll(pts, kPtsRecordBytes, StreamKind::StreamPts, paused).has_value();
        std::optional<bool> videoRead, audioRead;
        if (stayed)
            videoRead = poll(video, kVideoChunkBytes, StreamKind::StreamVideo, paused);
        if (videoRead.has_value())
            audioRead = poll(audio, kAudioChunkBytes, StreamKind::StreamAudio, paused);
        if (!audioRead.has_value())
            break;
        watch(videoWatch, "video", t, *videoRead);
        watch(audioWatch, "audio", t, *audioRead);

        if (const auto delay = schedule.Lateness(t)) {
            char text[96];
            std::snprintf(text, sizeof text, "poll delayed for more than 100ms (%ums)! Possible data loss!", *delay);
            LogEvent(text);
        }
        if (args.latenessLog)
            args.latenessLog->push_back(schedule.LastLateness());
        if (const auto sleep = schedule.NextSleep(clock.Millis()))
            clock.SleepMs(*sleep);
    }

    video.reset();
    audio.reset();
    pts.reset();
    if (!givenUp()) {
        const int32_t end = clock.Millis();
        for (auto [watched, stream] : {std::pair{&videoWatch, "video"}, std::pair{&audioWatch, "audio"}}) {
            watched->Finish(end);
            if (watched->Stalls() == 0)
                continue;
            char text[128];
            std::snprintf(text, sizeof text, "%s stream missed %lld s of data in %d stall%s", stream,
                          static_cast<long long>(watched->MissedMs() / kMsPerSecond), watched->Stalls(),
                          watched->Stalls() == 1 ? "" : "s");
            LogEvent(text);
        }
        if (library.ReceiverPresent() && library.dvbDeInitStreaming)
            library.dvbDeInitStreaming(&library.device);
        receiver.PanelText(kPanelReady);
    }
    args.dataReady->Set();
    LogEvent("polling thread terminated");
    return 0;
}

} // namespace quelmar
