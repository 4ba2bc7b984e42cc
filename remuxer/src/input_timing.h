// Timing from the receiver's timestamp records: frames the video and audio
// chunks into units, pairs each unit with the record made for it (by stream
// offset), and times the units without one by frame rate and frame length.
//
// Not thread-safe: owned by the multiplexer state.
#pragma once

#include "units.h"

#include <cstdint>
#include <deque>
#include <optional>

namespace quelmar::remux {

class InputTiming {
public:
    explicit InputTiming(const Settings &settings) : settings_(settings) {}

    // Forgets everything, parsers included.
    void reset();
    // Takes a chunk of 16-byte timestamp records.
    void readStamps(const uint8_t *data, uint32_t length);
    // Parses a video chunk; returns nothing, units wait in the queue.
    void feedVideo(const uint8_t *data, uint32_t length) { videoParser_.feed(data, length, state_.parsedVideo); }
    // Parses an audio chunk; returns the newest complete frame, or null when
    // the chunk completed none. The pointer is valid until the next call.
    const AudioFrame *feedAudio(const uint8_t *data, uint32_t length);
    // Chunks dropped whole (pause, audio-only recording): counted only.
    void skipVideo(uint32_t length) { videoParser_.skipChunk(length); }
    void skipAudio(uint32_t length) { audioParser_.skipChunk(length); }
    // The input ends here for now (a pause, a flush): takes the audio frame
    // that waits for its successor to check it, if it is whole.
    void finishInput() { audioParser_.takeLastFrame(state_.parsedAudio); }
    // Drops unparsed input and parsed units that wait for their times.
    void discardBuffered();
    // Parsed units wait for their timestamp records.
    bool unitsWaiting() const { return !state_.parsedVideo.empty() || !state_.parsedAudio.empty(); }
    // Data flows again after a pause: stamps made for dropped data must not
    // reach the data that follows.
    void resume();
    // Times every parsed unit whose stamp is in (all of them when force),
    // in stream order, into video and audio.
    void resolve(bool force, std::deque<TimedVideo> &video, std::deque<TimedAudio> &audio);

    const VideoParser &videoParser() const { return videoParser_; }
    const AudioParser &audioParser() const { return audioParser_; }

    // Everything it holds, to go back to after a look ahead.
    struct Snapshot;
    Snapshot snapshot() const;
    void restore(Snapshot &&s);

private:
    struct Stamp {
        uint64_t offset;  // delivered bytes of the stream before the stamped unit
        int64_t pts, dts; // unwrapped 90 kHz
        bool hasDts;
    };
    // Stamps of one stream and where its previous unit started.
    struct StampQueue {
        std::deque<Stamp> stamps;
        std::optional<uint64_t> prevStart; // offset of the previous unit taken
        bool seen = false;                 // a stamp of this stream has arrived
    };
    // Where the pictures of a GOP stand in decode order. After a reference
    // picture (I or P) come the B pictures shown before it: temporal
    // references from firstB up to its own. No picture refers to a B
    // picture, so a gap made only of missing B pictures damages nothing.
    struct PictureOrder {
        std::optional<uint16_t> anchor; // temporal reference of the last reference picture
        uint16_t firstB = 0;            // of the B pictures that follow it
        uint16_t bSeen = 0;             // how many of them came, or were passed over
        // The B pictures that should have come before this picture and did
        // not; nullopt when its place does not fit the order.
        std::optional<int> missingBefore(const PictureHeader &p) const;
        void note(const PictureHeader &p, bool gopStart);
    };
    struct State {
        std::deque<VideoAccessUnit> parsedVideo;
        std::deque<AudioFrame> parsedAudio;
        StampQueue video, audio;
        bool stampsAbsent = false;     // none came while units waited: stop waiting for them
        std::optional<int64_t> ptsRef; // the last unwrapped PTS
        uint64_t badStampRecords = 0;
        // Input clocks (90 kHz, unwrapped): where the next unit is expected.
        std::optional<int64_t> videoNextDts, audioNextPts;
        uint64_t videoErrorsSeen = 0;     // parser error count at the previous picture
        std::optional<int64_t> gopBase;   // PTS of temporal reference 0 of the current GOP
        std::optional<int64_t> anchorPts; // PTS of the last reference picture (I or P)
        PictureOrder order;
    };

    void noteBadStamp();
    int64_t unwrapPts(uint64_t pts33);
    // Whether the front unit of a queue holding unitsHeld units waits for its stamp.
    bool awaitStamps(bool force, size_t unitsHeld);
    // Takes the stamp of the unit starting at unitStart off the queue.
    static bool takeStamp(StampQueue &q, uint64_t unitStart, Stamp &out);
    std::optional<TimedVideo> timeVideo(VideoAccessUnit &&au, const Stamp *stamp);
    std::optional<TimedAudio> timeAudio(AudioFrame &&frame, const Stamp *stamp);

    const Settings &settings_;
    VideoParser videoParser_;
    AudioParser audioParser_;
    State state_;

public:
    struct Snapshot {
        VideoParser videoParser;
        AudioParser audioParser;
        State state;
    };
};

inline InputTiming::Snapshot InputTiming::snapshot() const { return Snapshot{videoParser_, audioParser_, state_}; }

inline void InputTiming::restore(Snapshot &&s)
{
    videoParser_ = std::move(s.videoParser);
    audioParser_ = std::move(s.audioParser);
    state_ = std::move(s.state);
}

} // namespace quelmar::remux
