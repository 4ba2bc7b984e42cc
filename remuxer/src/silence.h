// Silent audio frames in the format of a stream's own frames (MPEG audio
// built from the frame header, AC-3 encoded with libavcodec), for gaps in
// the program stream's audio. Single-threaded; owned by the part writer.
#pragma once

#include <cstdint>
#include <vector>

namespace quelmar::remux {

class SilentFrames {
public:
    // A silent frame of the format of `frame` (a whole frame of the stream:
    // same codec, sample rate, bit rate and channels), or null when none can
    // be made. Owned by this object, valid until the next call.
    const std::vector<uint8_t> *like(const std::vector<uint8_t> &frame);

private:
    // The header fields a frame's format is known by, and the frame made for it.
    std::vector<uint8_t> format_;
    std::vector<uint8_t> silent_;
    bool made_ = false;
};

} // namespace quelmar::remux
