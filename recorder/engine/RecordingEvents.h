// RecordingEvents: what a recording reports while it runs, in its own
// terms (bytes, seconds, parts, stream information), for whoever shows or
// forwards it: the main window's model, the remote control, tests.
//
// Every member is called on the recording thread, in the order the
// recording goes through; an implementation must not block it for long and
// never calls back into the engine. The log lines of a recording go through
// the event log (EventLog.h), not through this interface.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quelmar {

// Whose stream information an OnStreamInfo call carries.
enum class InfoStream {
    Audio,
    Video,
};

// The figures of a running recording. A field is set when the recording
// took a new value of it at this step; unset fields keep their last value.
struct RecordingProgress {
    std::optional<uint64_t> videoBytes;        // written to the video file of the current part
    std::optional<uint64_t> audioBytes;        // written to the audio file of the current part
    std::optional<uint64_t> muxBytes;          // written to the program stream file of the current part
    std::optional<uint32_t> ptsBytes;          // time stamp records handed to the multiplexer, in bytes
    std::optional<uint32_t> elapsedSeconds;    // the multiplexer's recording time
    std::optional<uint32_t> sinceSplitSeconds; // since the start of the current part
    std::optional<uint64_t> videoPadding;      // padding the multiplexer inserted into the video
    int part = 0;                              // the part being written: 0 for " (0)"
};

// How a recording ended.
enum class RecordingEnd {
    Completed,       // stopped and everything flushed
    NothingReceived, // the receiver delivered no data at all
    Failed,          // a file could not be created or written, or nothing was chosen to save
};

class RecordingEvents {
public:
    virtual ~RecordingEvents() = default;
    // The log file is open and the multiplexer is set up: the recording is
    // under way (its counters start at zero). The output files are created
    // next; when that fails, OnStopped follows.
    virtual void OnStarting() = 0;
    // The first bytes of the recording reached an output file.
    virtual void OnSynchronised() = 0;
    virtual void OnProgress(const RecordingProgress &progress) = 0;
    // A split has been carried out and handed over to the new part: another
    // split may be asked for.
    virtual void OnSplitDone() = 0;
    // The information of a stream changed; `lines` replace the earlier ones.
    virtual void OnStreamInfo(InfoStream stream, const std::vector<std::string> &lines) = 0;
    // The recording has ended: the last call of a recording, made by the stop
    // routine before it sets RecordingContext::ready.
    virtual void OnStopped(RecordingEnd end) = 0;
};

// Events nobody follows: a recording without a listener, and a base for
// listeners that follow only some of them.
class IgnoredRecordingEvents : public RecordingEvents {
public:
    void OnStarting() override {}
    void OnSynchronised() override {}
    void OnProgress(const RecordingProgress &) override {}
    void OnSplitDone() override {}
    void OnStreamInfo(InfoStream, const std::vector<std::string> &) override {}
    void OnStopped(RecordingEnd) override {}
};

// `events`, or a listener that ignores everything when it is null. Any thread.
inline RecordingEvents &EventsOrIgnored(RecordingEvents *events)
{
    static IgnoredRecordingEvents ignored;
    return events ? *events : ignored;
}

} // namespace quelmar
