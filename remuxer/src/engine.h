// The multiplexer state behind the module's C entry points. Four parts do
// its four jobs: InputTiming (timing from the receiver's timestamp records),
// Timeline (the output timeline: start, pause, video delay,
// discontinuities), OutputLog (the log of admitted units that the three
// outputs read at their own pace) and PartWriter (the split and flush rules
// and the writing itself). The engine passes the entry points on to them and
// keeps what is reported back (video information, the last audio frame,
// error summaries).
//
// Not thread-safe: one thread at a time (the recorder's recording thread).
#pragma once

#include "input_timing.h"
#include "output_log.h"
#include "part_writer.h"
#include "timeline.h"
#include "units.h"

#include "remuxer.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace quelmar::remux {

class Engine {
public:
    Engine();
    // Starts afresh (see InitEx in remuxer.h).
    void init(RemuxLog log, int16_t videoDelayMs, bool audioOnly);
    void resync();
    void supply(const uint8_t *data, uint32_t length, int32_t kind);
    // Results are REMUX_WRITE_*.
    int32_t write(Writer mux, Writer video, Writer audio, uint8_t *splitPending);
    int32_t flush(Writer mux);
    void setPaused(bool paused);

    uint32_t recordingTimeMs() const;
    const uint8_t *lastAudioFrame() const { return lastAudio_.empty() ? nullptr : lastAudio_.data(); }
    // The VideoInfo record for GetVideoInfo: a copy, valid until the next
    // call; the change flag is cleared for the next one.
    const VideoInfo *readVideoInfo();
    uint64_t videoPadding() const { return timing_.videoParser().paddingBytes(); }
    // The units held for the outputs (for tests: what a long recording keeps).
    const OutputLog &outputLog() const { return log_; }

private:
    // What the error summaries last said.
    struct ErrorReport {
        uint64_t video = 0, audio = 0; // error totals reported
        std::optional<int64_t> lastAt; // written output time of the last summary
    };

    // Times what the parsers hold and places it on the timeline.
    void resolve(bool force);
    // The output of what came before a pause is complete: the streams end
    // together and the timeline restarts where it stands.
    void completePause();
    void reportErrors(bool force);
    void updateVideoInfo();

    Settings settings_;
    bool paused_ = false;
    bool pauseOpen_ = false; // paused, units from before it still wait for their timestamp records
    InputTiming timing_{settings_};
    OutputLog log_;
    Timeline timeline_{settings_, log_};
    PartWriter writer_{settings_, log_, timeline_, timing_.videoParser()};
    std::deque<TimedVideo> timedVideo_; // between timing and admission
    std::deque<TimedAudio> timedAudio_;
    std::vector<uint8_t> lastAudio_;
    VideoInfo info_{};                  // the newest sequence's parameters
    VideoInfo infoRead_{};              // what the caller last read
    std::optional<VideoInfo> reported_; // parameters of that read, once there was one
    ErrorReport report_;
};

} // namespace quelmar::remux
