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

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace quelmar::remux {

class PartWriter {
public:
    PartWriter(const Settings &settings, OutputLog &log, const Timeline &timeline, const VideoParser &videoParser)
        : settings_(settings), log_(log), timeline_(timeline), videoParser_(videoParser)
    {}

    void reset();
    // Write_Mpg and Flush_Mpg (results REMUX_WRITE_*), see remuxer.h. flush
    // writes what the log holds, in full, to the program stream (mux) and to
    // the elementary streams (the writers of the last write), and ends the
    // parts: the next write starts new ones.
    int32_t write(Writer mux, Writer video, Writer audio, uint8_t *splitPending);
    int32_t flush(Writer mux);
    // After a flush: the audio units from log index `from` on were written
    // for the moment only and are about to be taken back (they come again).
    // New parts that start where the old ones stopped (no video) leave them
    // out when they come again.
    void provisionalAudioFrom(uint64_t from);
    // Output time written so far, in ticks past the timeline's start.
    int64_t writtenTicks() const;
    bool failed() const { return state_.failed; }

private:
    using OutputSet = std::array<bool, kOutputs>;
    // Where a part starts: log indexes and the leading B pictures left out.
    struct PartStart {
        uint64_t video = 0, audio = 0;
        int64_t shownFrom = 0; // output time of the first picture shown
        std::optional<uint16_t> skipLeadingBBefore;
    };
    struct State {
        bool partsEnded = false; // a flush ended every output's part
        bool psOpenFailureLogged = false;
        bool failed = false;                                // a writer failed: no output any more until reset
        std::optional<int64_t> writtenEnd;                  // output time where the written units end
        Writer video = nullptr, audio = nullptr;            // the elementary stream writers of the last write
        std::vector<std::vector<uint8_t>> provisionalAudio; // see provisionalAudioFrom
    };

    // The newest GOP start from which a part loses nothing: at or before
    // videoLimit, its undecodable leading B pictures (left out of the part)
    // all before videoLimit, and its audio starting at or before
    // audioLimit. nullopt when the log holds none. With no video, the limits.
    std::optional<PartStart> findPartStart(uint64_t videoLimit, uint64_t audioLimit) const;
    // Starts new parts of the outputs in the set, all at one point.
    void startParts(const OutputSet &outputs);
    // Frees what no output can need again.
    void trimLog();
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
    // Whether this audio unit was written to the old part already (see
    // provisionalAudioFrom).
    bool writtenBefore(Cursor &c, const OutUnit &u) const;
    void noteWritten(const OutUnit &u);

    const Settings &settings_;
    OutputLog &log_;
    const Timeline &timeline_;
    const VideoParser &videoParser_;
    PsWriter ps_;
    State state_;
};

} // namespace quelmar::remux
