// The output log: units admitted to the output timeline, kept until no
// output can need them again. The program stream and the two elementary
// streams read it at their own pace through cursors (absolute unit
// indexes), so a new part can go back to the start of a GOP.
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
    bool awaitingStart = false; // begins a new part as soon as one can start
    bool partStart = false;     // next video unit is the first of a part
    // Temporal reference of the part's first I picture while the B pictures
    // in front of it (an open GOP's, whose references are not in the part)
    // are left out.
    std::optional<uint16_t> skipLeadingBBefore;
    int64_t audioFrom = INT64_MIN;        // output time of the part's first picture: audio before it is not part of it
    size_t provisionalMatched = SIZE_MAX; // audio units the old part had already, matched so far (SIZE_MAX: none)
};

class OutputLog {
public:
    void reset() { state_ = {}; }

    void appendVideo(OutUnit &&u);
    void appendAudio(OutUnit &&u);
    // Drops the units from index `from` on (none of them written).
    void dropVideoFrom(uint64_t from);
    void dropAudioFrom(uint64_t from);
    // Frees the units before the given indexes.
    void trim(uint64_t keepVideoFrom, uint64_t keepAudioFrom);

    // Where the log ends now; rollback() drops what was appended since and
    // moves cursors that went past it back.
    struct Mark {
        uint64_t videoEnd = 0, audioEnd = 0;
        std::shared_ptr<const std::vector<uint8_t>> currentSeqHeader;
    };
    Mark mark() const { return Mark{videoEnd(), audioEnd(), state_.currentSeqHeader}; }
    void rollback(const Mark &m);

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
    // Bytes of video held.
    size_t videoBytes() const { return state_.videoBytes; }
    // Output time where the pictures already freed end (shown until), or
    // nullopt when none was freed.
    std::optional<int64_t> freedVideoEnd() const { return state_.freedVideoEnd; }

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
        std::optional<int64_t> freedVideoEnd;
        std::array<Cursor, kOutputs> cursors;
        std::shared_ptr<const std::vector<uint8_t>> currentSeqHeader;
    };
    State state_;
};

} // namespace quelmar::remux
