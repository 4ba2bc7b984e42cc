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
constexpr char kPanelReady[] = " ready  ";
constexpr uint16_t kPanelTextBytes = DVB_FRONT_PANEL_TEXT_CHARS;
constexpr uint8_t kPanelTextCommand = DVB_SPECIAL_FRONT_PANEL_TEXT;
static_assert(sizeof kPanelRecording - 1 == kPanelTextBytes && sizeof kPanelReady - 1 == kPanelTextBytes);
constexpr int kPtsReadsPerCycle = 2;

// What the thread needs of the receiver binding, copied at its start: a
// polling thread that the stop routine had to give up may outlive the
// window's binding object (the module itself stays mapped).
struct Receiver {
    DvbDevice device;
    bool present;
    decltype(ReceiverLibrary::dvbInitStreaming) initStreaming;
    decltype(ReceiverLibrary::dvbDeInitStreaming) deInitStreaming;
    decltype(ReceiverLibrary::dvbSendSpecialCommand) sendSpecialCommand;
    decltype(ReceiverLibrary::dvbReadMultipleStreams) readMultipleStreams;

    explicit Receiver(const ReceiverLibrary &library)
        : device(library.device), present(library.ReceiverPresent()), initStreaming(library.dvbInitStreaming),
          deInitStreaming(library.dvbDeInitStreaming), sendSpecialCommand(library.dvbSendSpecialCommand),
          readMultipleStreams(library.dvbReadMultipleStreams)
    {}

    // One read of `kind` into buffer; false when it failed or no receiver is there.
    bool Read(std::unique_ptr<uint8_t[]> &buffer, uint32_t size, StreamKind kind)
    {
        return present && readMultipleStreams &&
               readMultipleStreams(&device, buffer.get(), size, static_cast<int32_t>(kind)) != 0;
    }
    void PanelText(const char *text)
    {
        if (present && sendSpecialCommand)
            sendSpecialCommand(&device, reinterpret_cast<const uint8_t *>(text), kPanelTextBytes, kPanelTextCommand);
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

uint32_t PollingThreadProc(PollingThreadArgs args)
{
    Receiver receiver(*args.receiver);
    PacketQueue &queue = *args.queue;
    Clock &clock = *args.clock;

    queue.Clear();
    auto video = std::make_unique_for_overwrite<uint8_t[]>(kVideoChunkBytes);
    auto audio = std::make_unique_for_overwrite<uint8_t[]>(kAudioChunkBytes);
    auto pts = std::make_unique_for_overwrite<uint8_t[]>(kPtsRecordBytes);

    if (receiver.present && receiver.initStreaming)
        receiver.initStreaming(&receiver.device, kStreamingFirst, kStreamingBufferBytes, kStreamingThird);
    receiver.PanelText(kPanelRecording);
    LogEvent("polling thread started");

    PollSchedule schedule;
    schedule.Start(clock.Millis());
    while (args.recording->Get()) {
        const uint32_t paused = args.paused->Byte();
        const int32_t t = clock.Millis();

        for (int i = 0; i < kPtsReadsPerCycle; ++i) {
            if (receiver.Read(pts, kPtsRecordBytes, StreamKind::StreamPts)) {
                queue.Push(pts.release(), kPtsRecordBytes, StreamKind::StreamPts, paused, false);
                pts = std::make_unique_for_overwrite<uint8_t[]>(kPtsRecordBytes);
            }
        }
        if (receiver.Read(video, kVideoChunkBytes, StreamKind::StreamVideo)) {
            queue.Push(video.release(), kVideoChunkBytes, StreamKind::StreamVideo, paused, false);
            video = std::make_unique_for_overwrite<uint8_t[]>(kVideoChunkBytes);
            args.dataReady->Pulse();
        }
        if (receiver.Read(audio, kAudioChunkBytes, StreamKind::StreamAudio)) {
            queue.Push(audio.release(), kAudioChunkBytes, StreamKind::StreamAudio, paused, false);
            audio = std::make_unique_for_overwrite<uint8_t[]>(kAudioChunkBytes);
            args.dataReady->Pulse();
        }

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
    if (receiver.present && receiver.deInitStreaming)
        receiver.deInitStreaming(&receiver.device);
    receiver.PanelText(kPanelReady);
    args.dataReady->Set();
    LogEvent("polling thread terminated");
    return 0;
}

} // namespace quelmar
