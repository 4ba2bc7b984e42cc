// EncodedAudio.h: real compressed audio frames made with libavcodec, for the
// analysis tests and the AC-3 benchmark.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace quelmar::testing {

struct AudioEncoding {
    std::string codec = "ac3";                                // libavcodec encoder name ("ac3", "mp2")
    int sampleRate = 48000;                                   // Hz
    int bitRate = 384000;                                     // bit/s
    int channels = 2;                                         // default layout for the count (6 = 5.1)
    int audioServiceType = 0;                                 // AVAudioServiceType
    int frames = 16;                                          // encoded frames to return
    std::vector<std::pair<std::string, std::string>> options; // encoder private options
};

using EncodedFrame = std::vector<std::uint8_t>;

// Encodes a few seconds of tones and returns the first `frames` packets, each
// one whole frame. Throws std::runtime_error with libavcodec's reason when
// the encoder is missing or refuses the settings.
std::vector<EncodedFrame> EncodeAudio(const AudioEncoding &encoding);

// The frames one after another, as a continuous elementary stream.
std::vector<std::uint8_t> Concatenate(const std::vector<EncodedFrame> &frames);

} // namespace quelmar::testing
