#include "es_headers.h"

#include <array>
#include <cmath>

namespace quelmar::remux {
namespace {

struct Rational {
    int64_t num, den;
};
// frame_rate_code 1..8 as exact fractions (Hz).
constexpr std::array<Rational, 9> kFrameRates = {
    {{0, 1}, {24000, 1001}, {24, 1}, {25, 1}, {30000, 1001}, {30, 1}, {50, 1}, {60000, 1001}, {60, 1}}};

constexpr size_t kSequenceHeaderBytes = 12;    // start code + 8 bytes of fields
constexpr size_t kSequenceExtensionBytes = 10; // start code + 6 bytes
constexpr size_t kPictureHeaderBytes = 6;      // start code + 2 bytes (+ vbv delay rest)
constexpr size_t kPictureCodingExtBytes = 9;   // start code + 5 bytes
constexpr size_t kGopHeaderBytes = 8;          // start code + 4 bytes

// MPEG-1 audio bit rates, kbit/s, [layer - 1][index].
constexpr uint16_t kMpeg1BitRates[3][15] = {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
                                            {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
                                            {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}};
// MPEG-2/2.5 (low sampling frequency) bit rates, kbit/s: layer 1, layers 2 and 3.
constexpr uint16_t kMpeg2BitRates[2][15] = {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
                                            {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}};
constexpr uint32_t kMpeg1SampleRates[3] = {44100, 48000, 32000};

// AC-3 frame sizes in 16-bit words by frmsizecod / 2 and fscod.
constexpr uint16_t kAc3Words48[19] = {64,  80,  96,  112, 128, 160, 192,  224,  256, 320,
                                      384, 448, 512, 640, 768, 896, 1024, 1152, 1280};
constexpr uint16_t kAc3Words32[19] = {96,  120, 144, 168, 192,  240,  288,  336,  384, 480,
                                      576, 672, 768, 960, 1152, 1344, 1536, 1728, 1920};
constexpr uint16_t kAc3Words441[19] = {69,  87,  104, 121, 139, 174, 208,  243,  278, 348,
                                       417, 487, 557, 696, 835, 975, 1114, 1253, 1393};
constexpr uint16_t kAc3BitRates[19] = {32,  40,  48,  56,  64,  80,  96,  112, 128, 160,
                                       192, 224, 256, 320, 384, 448, 512, 576, 640};
constexpr uint8_t kAc3Channels[8] = {2, 1, 2, 3, 3, 4, 4, 5};
constexpr uint32_t kAc3SamplesPerFrame = 1536;
constexpr uint8_t kAc3MaxBsid = 8;              // above: E-AC-3 or unknown
constexpr uint32_t kAc3CrcPolynomial = 0x18005; // x^16 + x^15 + x^2 + 1, with bit 16

} // namespace

int64_t SequenceParams::frameRateNum() const
{
    if (frameRateCode == 0 || frameRateCode >= kFrameRates.size())
        return 0;
    return kFrameRates[frameRateCode].num * (frameRateExtN + 1);
}
int64_t SequenceParams::frameRateDen() const
{
    if (frameRateCode == 0 || frameRateCode >= kFrameRates.size())
        return 1;
    return kFrameRates[frameRateCode].den * (frameRateExtD + 1);
}
double SequenceParams::frameRate() const
{
    return static_cast<double>(frameRateNum()) / static_cast<double>(frameRateDen());
}
int64_t SequenceParams::framePeriodTicks() const
{
    const int64_t num = frameRateNum();
    if (num == 0)
        return 0;
    return (kClockHz * frameRateDen() + num / 2) / num;
}

std::optional<SequenceParams> parseSequenceHeader(const uint8_t *p, size_t n)
{
    if (n < kSequenceHeaderBytes)
        return std::nullopt;
    SequenceParams s;
    s.width = static_cast<uint16_t>((p[4] << 4) | (p[5] >> 4));
    s.height = static_cast<uint16_t>(((p[5] & 0x0F) << 8) | p[6]);
    s.aspectRatio = p[7] >> 4;
    s.frameRateCode = p[7] & 0x0F;
    s.bitRateValue = (static_cast<uint32_t>(p[8]) << 10) | (p[9] << 2) | (p[10] >> 6);
    const bool marker = (p[10] & 0x20) != 0;
    s.vbvBufferSize = ((p[10] & 0x1F) << 5) | (p[11] >> 3);
    if (s.width == 0 || s.height == 0 || !marker || s.frameRateCode == 0 || s.frameRateCode >= kFrameRates.size() ||
        s.aspectRatio == 0)
        return std::nullopt;
    return s;
}

bool applySequenceExtension(const uint8_t *p, size_t n, SequenceParams &s)
{
    if (n < kSequenceExtensionBytes || (p[4] >> 4) != kSequenceExtensionId)
        return false;
    s.mpeg2 = true;
    s.progressiveSequence = (p[5] & 0x08) != 0;
    s.chromaFormat = (p[5] >> 1) & 0x03;
    const unsigned hExt = ((p[5] & 0x01) << 1) | (p[6] >> 7);
    const unsigned vExt = (p[6] >> 5) & 0x03;
    const uint32_t bitRateExt = ((p[6] & 0x1F) << 7) | (p[7] >> 1);
    s.width = static_cast<uint16_t>(s.width | (hExt << 12));
    s.height = static_cast<uint16_t>(s.height | (vExt << 12));
    s.bitRateValue |= bitRateExt << 18;
    s.vbvBufferSize |= static_cast<uint32_t>(p[8]) << 10;
    s.frameRateExtN = (p[9] >> 5) & 0x03;
    s.frameRateExtD = p[9] & 0x1F;
    return true;
}

std::optional<PictureHeader> parsePictureHeader(const uint8_t *p, size_t n)
{
    if (n < kPictureHeaderBytes)
        return std::nullopt;
    PictureHeader h;
    h.temporalReference = static_cast<uint16_t>((p[4] << 2) | (p[5] >> 6));
    const unsigned type = (p[5] >> 3) & 0x07;
    if (type < 1 || type > 3)
        return std::nullopt;
    h.type = static_cast<PictureType>(type);
    return h;
}

std::optional<PictureCodingExtension> parsePictureCodingExtension(const uint8_t *p, size_t n)
{
    if (n < kPictureCodingExtBytes || (p[4] >> 4) != kPictureCodingExtensionId)
        return std::nullopt;
    PictureCodingExtension e;
    e.pictureStructure = p[6] & 0x03;
    e.topFieldFirst = (p[7] & 0x80) != 0;
    e.repeatFirstField = (p[7] & 0x02) != 0;
    e.progressiveFrame = (p[8] & 0x80) != 0;
    if (e.pictureStructure == 0)
        return std::nullopt;
    return e;
}

std::optional<GopHeader> parseGopHeader(const uint8_t *p, size_t n)
{
    if (n < kGopHeaderBytes)
        return std::nullopt;
    GopHeader g;
    g.closedGop = (p[7] & 0x40) != 0;
    g.brokenLink = (p[7] & 0x20) != 0;
    return g;
}

std::optional<AudioFrameInfo> parseAudioHeader(const uint8_t *p, size_t n)
{
    if (n < kAudioHeaderBytes)
        return std::nullopt;
    AudioFrameInfo a;
    if (p[0] == 0x0B && p[1] == 0x77) {
        const unsigned fscod = p[4] >> 6;
        const unsigned frmsizecod = p[4] & 0x3F;
        const unsigned bsid = p[5] >> 3;
        if (fscod == 3 || frmsizecod >= 38 || bsid > kAc3MaxBsid)
            return std::nullopt;
        const unsigned idx = frmsizecod >> 1;
        unsigned words = 0;
        switch (fscod) {
        case 0:
            a.sampleRate = 48000;
            words = kAc3Words48[idx];
            break;
        case 1:
            a.sampleRate = 44100;
            words = kAc3Words441[idx] + (frmsizecod & 1);
            break;
        default:
            a.sampleRate = 32000;
            words = kAc3Words32[idx];
            break;
        }
        a.codec = AudioCodec::Ac3;
        a.frameBytes = words * 2;
        a.samplesPerFrame = kAc3SamplesPerFrame;
        a.bitRate = kAc3BitRates[idx] * 1000u;
        const unsigned acmod = p[6] >> 5;
        a.channels = kAc3Channels[acmod];
        return a;
    }
    if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0)
        return std::nullopt;
    const unsigned version = (p[1] >> 3) & 0x03; // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5, 1 reserved
    const unsigned layerBits = (p[1] >> 1) & 0x03;
    const unsigned bitRateIndex = p[2] >> 4;
    const unsigned rateIndex = (p[2] >> 2) & 0x03;
    const unsigned padding = (p[2] >> 1) & 0x01;
    if (version == 1 || layerBits == 0 || bitRateIndex == 0 || bitRateIndex == 15 || rateIndex == 3)
        return std::nullopt;
    a.codec = AudioCodec::Mpeg;
    a.mpegVersionBits = static_cast<uint8_t>(version);
    a.layer = static_cast<uint8_t>(4 - layerBits);
    a.sampleRate = kMpeg1SampleRates[rateIndex];
    if (version == 2)
        a.sampleRate /= 2;
    if (version == 0)
        a.sampleRate /= 4;
    const unsigned kbps =
        version == 3 ? kMpeg1BitRates[a.layer - 1][bitRateIndex] : kMpeg2BitRates[a.layer == 1 ? 0 : 1][bitRateIndex];
    a.bitRate = kbps * 1000u;
    a.channels = (p[3] >> 6) == 3 ? 1 : 2;
    if (a.layer == 1) {
        a.samplesPerFrame = 384;
        a.frameBytes = (12 * a.bitRate / a.sampleRate + padding) * 4;
    } else {
        a.samplesPerFrame = (a.layer == 3 && version != 3) ? 576 : 1152;
        a.frameBytes = a.samplesPerFrame / 8 * a.bitRate / a.sampleRate + padding;
    }
    return a;
}

bool ac3CrcOk(const uint8_t *frame, size_t frameBytes)
{
    if (frameBytes < 8)
        return false;
    const size_t words = frameBytes / 2;
    const size_t crc1End = 2 * ((words >> 1) + (words >> 3)); // bytes covered by crc1 (5/8 of frame)
    auto crcOver = [&](size_t from, size_t to) {
        uint32_t r = 0;
        for (size_t i = from; i < to; ++i) {
            for (int bit = 7; bit >= 0; --bit) {
                r = (r << 1) | ((frame[i] >> bit) & 1u);
                if (r & 0x10000u)
                    r ^= kAc3CrcPolynomial;
            }
        }
        return r;
    };
    return crcOver(2, crc1End) == 0 && crcOver(crc1End, frameBytes) == 0;
}

} // namespace quelmar::remux
