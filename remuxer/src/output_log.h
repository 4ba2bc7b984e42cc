// The output log: units admitted to the output timeline, kept until every
// output has read them. The program stream and the two elementary streams
// read it at their own pace through cursors (absolute unit indexes), so a
// new part can go back to the start of the GOP in progress.
//
// Not thread-safe: owned by the multiplexer state.
#pragma once

#include "units.h"

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

namespace quelmar::remux {

enum class Output {
    Ps = 0,
    EsVideo = 1,
    EsAudio = 2
};
constexpr size_t kOutputs = 3;

// Where one output stands in the two logs (absolute indexes).
struct Cursor {
    uint64_t video = 0, audio = 0;
    bool awaitingStart = false; // begins a new part at the next clean point
    bool partStart = false;     // next video unit is the first of a part
    // Temporal reference of the part's first I picture while the B pictures
    // in front of it (an open GOP's, whose references are not in the part)
    // are left out.
    std::optional<uint16_t> skipLeadingBBefore;
    int64_t audioFloor = INT64_MIN; // audio before the part's first picture is not part of it
};

// Where a part may start: the newest GOP start in the log.
struct ReplayPoint {
    uint64_t video = 0; // index of its I picture
    int64_t pts = 0;    // output time of that picture
};

class OutputLog {
public:
    void reset() { state_ = {}; }

    // Appends a picture; a GOP start becomes the new replay point.
    void appendVideo(OutUnit &&u);
    void appendAudio(OutUnit &&u);
    // Drops the video units from index `from` on (none of them written).
    void dropVideoFrom(uint64_t from);
    void dropAudioFrom(uint64_t from);
    // Frees what every output has read, keeping the replay point's GOP.
    void trim();

    // The unit at an absolute index, or null when it is not held.
    const OutUnit *videoAt(uint64_t index) const;
    const OutUnit *audioAt(uint64_t index) const;
    uint64_t videoBegin() const { return state_.videoBase; }
    uint64_t audioBegin() const { return state_.audioBase; }
    uint64_t videoEnd() const { return state_.videoBase + state_.video.size(); }
    uint64_t audioEnd() const { return state_.audioBase + state_.audio.size(); }
    bool videoEmpty() const { return state_.video.empty(); }
    bool audioEmpty() const { return state_.audio.empty(); }
    const OutUnit &lastVideo() const { return state_.video.back(); }
    const OutUnit &lastAudio() const { return state_.audio.back(); }
    const std::deque<OutUnit> &video() const { return state_.video; }

    const std::optional<ReplayPoint> &replay() const { return state_.replay; }
    // The sequence header to attach to the next picture: bytes are the
    // parser's current one when the picture brings its own or none is held.
    std::shared_ptr<const std::vector<uint8_t>> sequenceHeaderFor(bool unitHasOne, const std::vector<uint8_t> &current);

    Cursor &cursor(Output o) { return state_.cursors[static_cast<size_t>(o)]; }
    const Cursor &cursor(Output o) const { return state_.cursors[static_cast<size_t>(o)]; }
    // Moves a cursor past everything held.
    void skipToEnd(Cursor &c) const;

private:
    struct State {
        std::deque<OutUnit> video, audio;
        uint64_t videoBase = 0, audioBase = 0; // absolute index of the front units
        size_t videoBytes = 0;
        std::optional<ReplayPoint> replay;
        std::array<Cursor, kOutputs> cursors;
        std::shared_ptr<const std::vector<uint8_t>> currentSeqHeader;
    };
    State state_;
};

} // namespace quelmar::remux
