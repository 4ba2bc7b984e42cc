// The split and flush rules and the writing of the three outputs: the
// program stream (through libavformat's dvd muxer) and the video and audio
// elementary streams, each read from the output log at its own cursor, in
// step with each other; where a new part starts; what a flush writes.
//
// Not thread-safe: owned by the multiplexer state.
#pragma once

#include "output_log.h"
#include "ps_writer.h"
#include "timeline.h"

#include <cstdint>
#include <optional>

namespace quelmar::remux {

class PartWriter {
public:
    PartWriter(const Settings &settings, OutputLog &log, const Timeline &timeline, const VideoParser &videoParser)
        : settings_(settings), log_(log), timeline_(timeline), videoParser_(videoParser)
    {}

    void reset();
    // Write_Mpg and Flush_Mpg (results REMUX_WRITE_*), see remuxer.h.
    int32_t write(Writer mux, Writer video, Writer audio, uint8_t *splitPending);
    int32_t flush(Writer mux);
    // Output time written so far, in ticks past the timeline's start.
    int64_t writtenTicks() const;
    bool failed() const { return state_.failed; }

private:
    struct State {
        bool psNeedsPartStart = false; // the program stream was ended by a flush
        bool psOpenFailureLogged = false;
        bool failed = false;               // a writer failed: no output any more until reset
        std::optional<int64_t> writtenEnd; // output time where the written units end
    };

    void positionAtPartStart(Cursor &c);
    // Each returns false when a writer failed. Units at or after limit (90
    // kHz, output timeline) wait.
    bool writeEsVideo(Writer w, size_t &budget, int64_t limit);
    bool writeEsAudio(Writer w, size_t &budget, int64_t limit);
    bool writePs(Writer w, size_t &budget, bool everything, int64_t limit);
    bool openPs(bool everything);
    int64_t lockstepLimit() const;
    bool pending(Output o) const;
    // Whether a part that starts with its I picture leaves this picture out.
    static bool skipLeadingB(Cursor &c, const OutUnit &u);
    void noteWritten(const OutUnit &u);

    const Settings &settings_;
    OutputLog &log_;
    const Timeline &timeline_;
    const VideoParser &videoParser_;
    PsWriter ps_;
    State state_;
};

} // namespace quelmar::remux
