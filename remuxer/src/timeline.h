// The output timeline: where the recording starts (a clean video start, or
// audio alone), how input times map to output times (video delay included),
// and how a pause, a resync or a timestamp discontinuity closes the gap so
// that the outputs run on without a hole. Admitted units go to the output log.
//
// Not thread-safe: owned by the multiplexer state.
#pragma once

#include "output_log.h"
#include "units.h"

#include <cstdint>
#include <deque>
#include <optional>

namespace quelmar::remux {

class Timeline {
public:
    Timeline(const Settings &settings, OutputLog &log) : settings_(settings), log_(log) {}

    void reset() { state_ = {}; }
    // Ends the current stretch: the next units start a new one that joins
    // the output where it stands (pause, resync, discontinuity).
    void breakOff() { state_.segment = {}; }
    // Places a picture on the timeline (or leaves it out); parser gives the
    // sequence it belongs to.
    void admitVideo(TimedVideo &&v, const VideoParser &parser);
    void admitAudio(TimedAudio &&a);
    // Drops what one stream holds, unwritten, beyond the other's end: before
    // a pause, so that both streams stop at the same time.
    void endStreamsTogether();
    // In a recording that has seen no video, the audio held for a video
    // start opens the timeline now (as after 3 s without one).
    void releaseAudioWithoutVideo();

    bool videoSeen() const { return state_.videoSeen; }
    AudioCodec audioCodec() const { return state_.audioCodec; }
    // Output time where each stream's admitted units end.
    int64_t videoEnd() const { return state_.videoEnd; }
    int64_t audioEnd() const { return state_.audioEnd; }
    // Output time of the first start; kTimelineStartTicks before it.
    int64_t start() const { return state_.start.value_or(kTimelineStartTicks); }
    // Units left out while placing them.
    uint64_t droppedPictures() const { return state_.droppedPictures; }
    uint64_t droppedFrames() const { return state_.droppedFrames; }

    // Everything it holds, to go back to after a look ahead.
    struct State;
    State snapshot() const;
    void restore(State &&s);

private:
    struct Origin {
        int64_t in = 0, out = 0; // input time that maps to output time `out`
    };
    // One stretch of continuous input; broken off by a pause, a resync or a
    // discontinuity.
    struct Segment {
        std::optional<Origin> origin;
        bool videoIn = false, audioIn = false; // the stream has joined this stretch
        bool videoNeedsClean = false;          // pictures are left out up to the next GOP
        // While set: B pictures of the open GOP the stretch starts with that
        // are shown before its I picture (temporal reference) are left out.
        std::optional<uint16_t> leadingBBefore;
        // Output PTS of the last reference picture placed, and of the last
        // picture a decoder has shown once it has that one (the reference
        // picture before it, or a B picture after that): a reference picture
        // is shown after the last one, a B picture between the two.
        std::optional<int64_t> anchorPts, shownPts;
        std::deque<TimedAudio> waitingAudio; // held for a video start
    };

public:
    struct State {
        Segment segment;
        int64_t videoEnd = kTimelineStartTicks, audioEnd = kTimelineStartTicks;
        int64_t lastVideoDts = 0;
        int64_t lastVideoFrameTicks = 0; // frame period of the sequence the last picture belongs to
        int64_t maxReorder = 0;          // largest PTS - DTS seen
        std::optional<int64_t> start;
        bool videoSeen = false; // video was admitted at least once
        AudioCodec audioCodec = AudioCodec::None;
        bool codecChangeLogged = false;
        uint32_t audioOffTimeline = 0; // frames refused in a row for lying far from the timeline
        uint64_t droppedPictures = 0, droppedFrames = 0;
    };

private:
    void establish(int64_t inOrigin, int64_t outOrigin);
    // The earliest audio frame held for a video start opens the timeline.
    void openWithWaitingAudio();
    void appendAudio(TimedAudio &&a, int64_t out);

    const Settings &settings_;
    OutputLog &log_;
    State state_;
};

inline Timeline::State Timeline::snapshot() const { return state_; }
inline void Timeline::restore(State &&s) { state_ = std::move(s); }

} // namespace quelmar::remux
