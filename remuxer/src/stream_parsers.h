// Framing of the receiver's video and audio chunks into access units and
// audio frames. Single-threaded; owned by the multiplexer state.
#pragma once

#include "es_headers.h"

#include <cstdint>
#include <deque>
#include <vector>

namespace quelmar::remux {

// One coded picture (or field pair) with the headers in front of it.
struct VideoAccessUnit {
    std::vector<uint8_t> data; // stuffing removed
    uint64_t offset = 0;       // delivered video bytes before data[0] (stuffing counted)
    PictureHeader picture;
    bool hasSequenceHeader = false;
    bool hasGop = false;
    GopHeader gop;
    PictureCodingExtension coding; // of the first field
    bool sequenceEnd = false;
};

// Counters of damage seen in one stream since the last reset.
struct StreamErrors {
    uint64_t skippedBytes = 0; // non-zero bytes that were not part of a frame
    uint64_t droppedUnits = 0; // damaged or unusable frames/pictures
};

// Splits the stuffed video chunk stream into access units. A chunk's zero
// stuffing (a run of three or more zero bytes at its end, less the two that
// may still be picture data) is removed and counted, and ends the access
// unit in it; a picture larger than a chunk continues in the next one.
class VideoParser {
public:
    // Appends one chunk; complete access units are appended to out.
    void feed(const uint8_t *data, size_t length, std::deque<VideoAccessUnit> &out);
    // Drops what is buffered (the delivered offset keeps counting).
    void discardBuffered();
    // Counts a chunk that is dropped whole (pause): advances the offset only.
    void skipChunk(size_t length)
    {
        delivered_ += length;
        discardBuffered();
    }
    void reset() { *this = VideoParser(); }

    uint64_t delivered() const { return delivered_; }
    uint64_t paddingBytes() const { return padding_; }
    // The newest valid sequence header and its extensions (bytes as coded).
    const std::vector<uint8_t> &sequenceHeaderBytes() const { return seqHeaderBytes_; }
    bool sequenceKnown() const { return seqKnown_; }
    const SequenceParams &sequence() const { return seq_; }
    const StreamErrors &errors() const { return errors_; }

private:
    void scan(std::deque<VideoAccessUnit> &out);
    void emit(size_t end, std::deque<VideoAccessUnit> &out);
    bool parseUnit(VideoAccessUnit &au);
    uint64_t offsetOf(size_t pos) const;
    bool currentIsFirstField(size_t end) const;

    struct Segment {
        size_t bufPos;
        uint64_t delivered;
    };
    std::vector<uint8_t> buf_;
    std::deque<Segment> segments_;
    size_t scanPos_ = 0; // next byte to examine for a start code
    bool curHasPicture_ = false;
    bool fieldPaired_ = false;
    bool junk_ = false; // damaged data before the picture of the unit in progress
    uint64_t delivered_ = 0;
    uint64_t padding_ = 0;
    SequenceParams seq_;
    bool seqKnown_ = false;
    std::vector<uint8_t> seqHeaderBytes_;
    StreamErrors errors_;
};

struct AudioFrame {
    std::vector<uint8_t> data;
    uint64_t offset = 0; // delivered audio bytes before data[0]
    AudioFrameInfo info;
    uint64_t damagedBytes = 0; // bytes left out between the previous frame and this one (not padding)
};

// Cuts the continuous MPEG audio or AC-3 chunk stream into whole frames.
// Zero bytes between frames are padding and are skipped silently. A frame
// is taken only when it checks out: an AC-3 frame by its CRCs, an MPEG audio
// frame by the header of the same stream that follows where it ends (so a
// frame waits for the next one). A frame that fails is left out whole and
// framing resumes at the next frame that checks out.
class AudioParser {
public:
    void feed(const uint8_t *data, size_t length, std::deque<AudioFrame> &out);
    // The frame that waits for its successor to check it, when the stream
    // ends here (a pause, the end of a recording): taken when it is whole and
    // of the stream followed so far. Returns whether it was.
    bool takeLastFrame(std::deque<AudioFrame> &out);
    void discardBuffered();
    void skipChunk(size_t length)
    {
        delivered_ += length;
        discardBuffered();
    }
    void reset() { *this = AudioParser(); }
    uint64_t delivered() const { return delivered_; }
    const StreamErrors &errors() const { return errors_; }

private:
    // How a candidate frame at pos checks out.
    enum class Verdict {
        Accept,
        Reject,
        NeedMore
    };
    Verdict check(size_t pos, const AudioFrameInfo &info) const;
    void take(const AudioFrameInfo &info, std::deque<AudioFrame> &out);

    std::vector<uint8_t> buf_;
    size_t pos_ = 0;              // start of unparsed data in buf_
    uint64_t bufStartOffset_ = 0; // delivered offset of buf_[0]
    uint64_t delivered_ = 0;
    bool locked_ = false;
    AudioFrameInfo lockedInfo_;
    uint64_t damagedRun_ = 0; // bytes left out since the last frame taken
    StreamErrors errors_;
};

} // namespace quelmar::remux
