// Decoding of the MPEG video, MPEG audio and AC-3 headers the multiplexer
// needs for framing and timing. Pure functions over byte ranges; no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace quelmar::remux {

constexpr int64_t kClockHz = 90000; // MPEG system clock for PTS/DTS, ticks per second
constexpr uint8_t kPictureStartCode = 0x00;
constexpr uint8_t kUserDataStartCode = 0xB2;
constexpr uint8_t kSequenceHeaderCode = 0xB3;
constexpr uint8_t kExtensionStartCode = 0xB5;
constexpr uint8_t kSequenceEndCode = 0xB7;
constexpr uint8_t kGopStartCode = 0xB8;
constexpr uint8_t kSequenceExtensionId = 1;
constexpr uint8_t kPictureCodingExtensionId = 8;

enum class PictureType : uint8_t {
    None = 0,
    I = 1,
    P = 2,
    B = 3
};

// Sequence header fields (with the sequence extension when present).
struct SequenceParams {
    uint16_t width = 0, height = 0;
    uint8_t aspectRatio = 0;
    uint8_t frameRateCode = 0;
    uint32_t bitRateValue = 0;  // units of 400 bit/s
    uint32_t vbvBufferSize = 0; // units of 16 kbit
    bool mpeg2 = false;         // sequence extension seen
    bool progressiveSequence = true;
    uint8_t chromaFormat = 1; // 1 4:2:0, 2 4:2:2, 3 4:4:4
    uint8_t frameRateExtN = 0, frameRateExtD = 0;
    // Frame period as a fraction of seconds: num / den.
    int64_t frameRateNum() const;
    int64_t frameRateDen() const;
    double frameRate() const;
    // Ticks (90 kHz) per frame, rounded; 0 when the frame rate code is invalid.
    int64_t framePeriodTicks() const;
};

// Parses the sequence header whose start code begins at p (p[3] == 0xB3);
// n bytes are available. Returns nullopt when it is too short or invalid
// (zero size, missing marker bit, forbidden frame rate code).
std::optional<SequenceParams> parseSequenceHeader(const uint8_t *p, size_t n);

// Applies a sequence extension (start code at p, extension id 1) to params.
// Returns false when it is too short or not a sequence extension.
bool applySequenceExtension(const uint8_t *p, size_t n, SequenceParams &params);

struct PictureHeader {
    uint16_t temporalReference = 0;
    PictureType type = PictureType::None;
};
// Parses the picture header at p (p[3] == 0x00). nullopt when short or the
// coding type is not I, P or B.
std::optional<PictureHeader> parsePictureHeader(const uint8_t *p, size_t n);

struct PictureCodingExtension {
    uint8_t pictureStructure = 3; // 1 top field, 2 bottom field, 3 frame
    bool topFieldFirst = false;
    bool repeatFirstField = false;
    bool progressiveFrame = true;
};
std::optional<PictureCodingExtension> parsePictureCodingExtension(const uint8_t *p, size_t n);

struct GopHeader {
    bool closedGop = false;
    bool brokenLink = false;
};
std::optional<GopHeader> parseGopHeader(const uint8_t *p, size_t n);

enum class AudioCodec : uint8_t {
    None = 0,
    Mpeg = 1,
    Ac3 = 2
};

// One audio frame header: what framing and timing need.
struct AudioFrameInfo {
    AudioCodec codec = AudioCodec::None;
    uint32_t frameBytes = 0;
    uint32_t sampleRate = 0; // Hz
    uint32_t samplesPerFrame = 0;
    uint32_t bitRate = 0; // bit/s
    uint8_t channels = 0;
    uint8_t layer = 0;           // MPEG audio layer 1..3
    uint8_t mpegVersionBits = 0; // MPEG audio: 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    // Same stream parameters (codec, rate, layer/version): a frame of the
    // same stream as the other.
    bool sameStream(const AudioFrameInfo &o) const
    {
        return codec == o.codec && sampleRate == o.sampleRate && layer == o.layer &&
               mpegVersionBits == o.mpegVersionBits;
    }
    int64_t durationTicks() const
    {
        return sampleRate ? static_cast<int64_t>(samplesPerFrame) * kClockHz / sampleRate : 0;
    }
};

constexpr size_t kAudioHeaderBytes = 7; // enough for both header kinds

// Decodes an MPEG audio (0xFFE sync) or AC-3 (0x0B77) frame header at p.
// nullopt when n is shorter than kAudioHeaderBytes or the header is invalid
// (free format, reserved values, E-AC-3).
std::optional<AudioFrameInfo> parseAudioHeader(const uint8_t *p, size_t n);

// Both AC-3 CRCs of a whole frame are correct.
bool ac3CrcOk(const uint8_t *frame, size_t frameBytes);

} // namespace quelmar::remux
