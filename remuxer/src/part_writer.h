// The split and flush rules and the writing of the three outputs: the
// program stream (through libavformat's dvd muxer) and the video and audio
// elementary streams, each read from the output log at its own cursor, in
// step with each other; where a new part starts; what a flush writes.
//
// Not thread-safe: owned by the multiplexer state.
#pragma once

#include "output_log.h"
#include "ps_writer.h"
#include "silence.h"
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
    // the elementary streams (the writers of the last write), ends the parts
    // and fixes where the next ones start.
    int32_t write(Writer mux, Writer video, Writer audio, uint8_t *splitPending);
    int32_t flush(Writer mux);
    // Right after a flush, before the log is taken back to `mark`: the units
    // from there on were written for the moment only and come again. The
    // next parts leave the audio frames among them out (the old parts have
    // them) and find their first picture again if it was one of them.
    void flushedAhead(const OutputLog::Mark &mark);
    // Output time written so far, in ticks past the timeline's start.
    int64_t writtenTicks() const;
    bool failed() const { return state_.failed; }

private:
    using OutputSet = std::array<bool, kOutputs>;
    // Where a part starts: the log index of its GOP start, the output time
    // of the first picture it shows, and the leading B pictures left out.
    struct PartStart {
        uint64_t video = 0;
        int64_t shownFrom = 0;
        std::optional<uint16_t> skipLeadingBBefore;
    };
    // The start a flush chose for the next parts, to be found again when it
    // was written ahead: the I picture's bytes, and the log indexes it may
    // come back at (before `giveUpAt`, or it never comes).
    struct PendingStart {
        PartStart at;
        std::vector<uint8_t> picture;
        uint64_t searchFrom = 0, giveUpAt = 0;
    };
    struct State {
        bool partsEnded = false; // a flush ended every output's part
        bool psOpenFailureLogged = false;
        bool silenceFailureLogged = false;
        bool failed = false;                                // a writer failed: no output any more until reset
        std::optional<int64_t> writtenEnd;                  // output time where the written units end
        Writer video = nullptr, audio = nullptr;            // the elementary stream writers of the last write
        std::vector<std::vector<uint8_t>> provisionalAudio; // see flushedAhead
        std::optional<PendingStart> pending;
        std::optional<int64_t> psAudioEnd; // where the program stream part's audio ends so far
    };

    // The newest GOP start a new part may start with when the old part holds
    // the pictures before videoLimit and its audio goes on at audioFrom (no
    // condition on audio: nullopt): the new part shows its first picture no
    // sooner than audioFrom, and an open GOP's leading B pictures (left out
    // of the new part) are all in the old part. nullopt when the log holds
    // none.
    std::optional<PartStart> newestStart(uint64_t videoLimit, std::optional<int64_t> audioFrom) const;
    // A part start at the GOP start at log index i under the rule above for
    // the leading B pictures, or nullopt.
    std::optional<PartStart> startAt(uint64_t i, uint64_t videoLimit) const;
    // Where audio that goes on from log index `from` begins (output time),
    // or nullopt when audio sets no bound on a part start (no audio in the
    // outputs, or it stalled).
    std::optional<int64_t> audioGoesOnAt(uint64_t from, const OutputSet &outputs) const;
    // New parts of the outputs in the set after a split without a flush.
    void splitParts(const OutputSet &outputs);
    // Begins a part of the output at start. Its audio goes on from where the
    // cursor stands (a split), or begins with the picture (a part that
    // waited for a GOP start).
    void beginPart(Output o, const PartStart &start, bool audioGoesOn);
    // Outputs waiting for the start a flush chose begin there once it is in
    // the log again; those waiting for any GOP start begin at the newest.
    void startWaitingParts(const OutputSet &wanted);
    // Frees what no output can need again.
    void trimLog();
    // Each returns false when a writer failed. Units at or after limit (90
    // kHz, output timeline) wait.
    bool writeEs(Writer video, Writer audio, size_t &budget, int64_t limit);
    bool writeEsVideoUnit(Writer w, Cursor &c, const OutUnit &u, size_t &budget);
    bool writePs(Writer w, size_t &budget, bool everything, int64_t limit);
    bool openPs(bool everything);
    // The next audio frame of the output the part holds (frames it leaves
    // out are passed over), or null.
    const OutUnit *nextAudio(Output o, bool programStream);
    // A silent frame that fills a gap in the program stream's audio before
    // frame `next`, or null when there is no gap (or none can be made).
    const std::vector<uint8_t> *gapFiller(const OutUnit &next);
    int64_t lockstepLimit() const;
    bool pending(Output o) const;
    // Whether a part that starts with its I picture leaves this picture out.
    static bool skipLeadingB(Cursor &c, const OutUnit &u);
    // Whether this audio unit was written to the old part already (see
    // flushedAhead).
    bool writtenBefore(Cursor &c, const OutUnit &u) const;
    void noteWritten(const OutUnit &u);

    const Settings &settings_;
    OutputLog &log_;
    const Timeline &timeline_;
    const VideoParser &videoParser_;
    PsWriter ps_;
    SilentFrames silence_;
    State state_;
};

} // namespace quelmar::remux
