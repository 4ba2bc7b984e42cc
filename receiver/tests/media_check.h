// Decodes collected elementary streams with libavcodec, as an independent
// check of what the simulated receiver delivers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quelmar::receiver::test {

enum class EsKind {
    Mpeg2Video,
    Mp2,
    Ac3
};

struct DecodeReport {
    int frames = 0;      // pictures or audio frames decoded
    int errors = 0;      // decoder errors and error messages
    int64_t samples = 0; // audio samples per channel
    int width = 0, height = 0, sampleRate = 0, channels = 0;
    std::string firstError;
};

// Splits `es` with the codec's parser and decodes all of it.
DecodeReport decodeElementary(EsKind kind, const std::vector<uint8_t> &es);

// Offsets of every 00 00 01 `code` start code in `es`.
std::vector<size_t> startCodes(const std::vector<uint8_t> &es, uint8_t code);

} // namespace quelmar::receiver::test
