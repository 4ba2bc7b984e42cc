#include "receiver/es_units.h"

#include <algorithm>
#include <array>

namespace quelmar::receiver {
namespace {

constexpr size_t kStartCodeBytes = 4; // 00 00 01 and the code byte
constexpr uint8_t kFirstSliceCode = 0x01;
constexpr uint8_t kLastSliceCode = 0xAF;
constexpr unsigned kMaxRowsWithoutExtension = 2800; // taller pictures extend the slice position
constexpr unsigned kMacroblockLines = 16;
// Extension identifiers (high nibble of the byte after the start code).
constexpr uint8_t kSequenceExtensionId = 1;
constexpr uint8_t kPictureCodingExtensionId = 8;
constexpr uint8_t kFramePicture = 3; // picture_structure
constexpr size_t kGopFlagsByte = 7;  // from the start code: the byte with closed_gop and broken_link
constexpr uint8_t kClosedGopBit = 0x40;
constexpr uint8_t kBrokenLinkBit = 0x20;

// MPEG audio Layer II.
constexpr size_t kMpegAudioHeaderBytes = 4;
constexpr int kLayerIISamples = 1152;
constexpr unsigned kLayerIIBits = 2;  // layer field value of Layer II
constexpr unsigned kMpeg1Version = 3; // version field values
constexpr unsigned kMpeg25Version = 0;
constexpr unsigned kReservedVersion = 1;
constexpr int kLayerIIFrameFactor = 144; // bytes = 144 * bit rate / sample rate (1152 samples / 8 bits)
constexpr std::array<int, 15> kMpeg1LayerIIKbps = {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384};
constexpr std::array<int, 15> kMpeg2LayerIIKbps = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
constexpr std::array<int, 3> kMpeg1SampleRates = {44100, 48000, 32000};
constexpr int kBitsPerKbit = 1000;

// AC-3.
constexpr size_t kAc3HeaderBytes = 6;
constexpr int kAc3Samples = 1536;
constexpr unsigned kAc3MaxBsid = 10; // 9 and 10 halve and quarter the sample rate
constexpr unsigned kAc3PlainBsid = 8;
constexpr std::array<int, 3> kAc3SampleRates = {48000, 44100, 32000};
constexpr std::array<int, 19> kAc3Kbps = {32,  40,  48,  56,  64,  80,  96,  112, 128, 160,
                                          192, 224, 256, 320, 384, 448, 512, 576, 640};
// Frame size in 16-bit words per kbit/s: 48 kHz 2, 32 kHz 3; 44.1 kHz
// 320/147 rounded down, one word more for odd frame size codes.
constexpr int kAc3WordsPerKbps48k = 2;
constexpr int kAc3WordsPerKbps32k = 3;
constexpr int kAc3WordsNum44k = 320, kAc3WordsDen44k = 147;

bool isSliceCode(uint8_t code) { return code >= kFirstSliceCode && code <= kLastSliceCode; }

// Macroblock rows a picture of this structure must reach.
unsigned expectedRows(const SequenceShape &shape, uint8_t pictureStructure)
{
    const unsigned v = shape.verticalSize;
    if (pictureStructure != kFramePicture)
        return (v + 2 * kMacroblockLines - 1) / (2 * kMacroblockLines); // one field
    if (shape.progressive)
        return (v + kMacroblockLines - 1) / kMacroblockLines;
    return 2 * ((v + 2 * kMacroblockLines - 1) / (2 * kMacroblockLines));
}

// Length in bytes of the MP2 frame whose header is at p, 0 when invalid.
size_t mp2FrameBytes(const uint8_t *p, int *sampleRate)
{
    if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0)
        return 0;
    const unsigned version = (p[1] >> 3) & 3, layer = (p[1] >> 1) & 3;
    const unsigned bitrateIndex = p[2] >> 4, rateIndex = (p[2] >> 2) & 3, padding = (p[2] >> 1) & 1;
    if (version == kReservedVersion || layer != kLayerIIBits || bitrateIndex == 0 ||
        bitrateIndex >= kMpeg1LayerIIKbps.size() || rateIndex >= kMpeg1SampleRates.size())
        return 0; // free format cannot be measured; never broadcast
    int rate = kMpeg1SampleRates[rateIndex];
    if (version != kMpeg1Version)
        rate /= version == kMpeg25Version ? 4 : 2;
    const int kbps = version == kMpeg1Version ? kMpeg1LayerIIKbps[bitrateIndex] : kMpeg2LayerIIKbps[bitrateIndex];
    *sampleRate = rate;
    return static_cast<size_t>(kLayerIIFrameFactor * kbps * kBitsPerKbit / rate) + padding;
}

// Length in bytes of the AC-3 frame whose header is at p, 0 when invalid.
size_t ac3FrameBytes(const uint8_t *p, int *sampleRate)
{
    if (p[0] != 0x0B || p[1] != 0x77)
        return 0;
    const unsigned fscod = p[4] >> 6, frmsizecod = p[4] & 0x3F, bsid = p[5] >> 3;
    if (fscod >= kAc3SampleRates.size() || frmsizecod / 2 >= kAc3Kbps.size() || bsid > kAc3MaxBsid)
        return 0;
    const int kbps = kAc3Kbps[frmsizecod / 2];
    int words = 0;
    switch (fscod) {
    case 0: words = kbps * kAc3WordsPerKbps48k; break;
    case 1: words = kbps * kAc3WordsNum44k / kAc3WordsDen44k + static_cast<int>(frmsizecod & 1); break;
    default: words = kbps * kAc3WordsPerKbps32k; break;
    }
    *sampleRate = kAc3SampleRates[fscod] >> (bsid > kAc3PlainBsid ? bsid - kAc3PlainBsid : 0);
    return static_cast<size_t>(words) * 2;
}

} // namespace

size_t nextStartCode(const uint8_t *data, size_t size, size_t from)
{
    // Looks at every third byte first: a start code has 01 at i + 2 and
    // zeros before it.
    size_t i = from;
    while (i + kStartCodeBytes <= size) {
        const uint8_t b = data[i + 2];
        if (b > 1) {
            i += 3;
        } else if (b == 0) {
            i += 1;
        } else if (data[i] == 0 && data[i + 1] == 0) {
            return i;
        } else {
            i += 3;
        }
    }
    return kNoStartCode;
}

size_t findStartCode(const uint8_t *data, size_t size, uint8_t code, size_t from)
{
    for (size_t i = nextStartCode(data, size, from); i != kNoStartCode; i = nextStartCode(data, size, i + 3))
        if (data[i + 3] == code)
            return i;
    return kNoStartCode;
}

bool startsWithSequenceHeader(const std::vector<uint8_t> &unit)
{
    return unit.size() >= kStartCodeBytes && unit[0] == 0 && unit[1] == 0 && unit[2] == 1 &&
           unit[3] == kSequenceHeaderCode;
}

bool picturesComplete(const uint8_t *data, size_t size, SequenceShape *shape)
{
    bool inPicture = false, complete = true;
    uint8_t structure = kFramePicture;
    unsigned lastRow = 0;
    auto endPicture = [&] {
        if (inPicture && shape->verticalSize > 0 && shape->verticalSize <= kMaxRowsWithoutExtension &&
            lastRow < expectedRows(*shape, structure))
            complete = false;
        inPicture = false;
    };
    for (size_t i = nextStartCode(data, size); i != kNoStartCode; i = nextStartCode(data, size, i + 3)) {
        const uint8_t code = data[i + 3];
        const uint8_t *p = data + i + kStartCodeBytes;
        const size_t left = size - i - kStartCodeBytes;
        if (isSliceCode(code)) {
            lastRow = std::max<unsigned>(lastRow, code);
        } else if (code == kPictureStartCode) {
            endPicture();
            inPicture = true;
            structure = kFramePicture;
            lastRow = 0;
        } else if (code == kSequenceHeaderCode) {
            endPicture();
            if (left >= 3)
                shape->verticalSize = static_cast<unsigned>((p[1] & 0x0F) << 8 | p[2]);
        } else if (code == kExtensionStartCode && left >= 3) {
            const uint8_t id = p[0] >> 4;
            if (id == kSequenceExtensionId) {
                shape->progressive = (p[1] >> 3) & 1;
                shape->verticalSize = (shape->verticalSize & 0x0FFF) | static_cast<unsigned>((p[2] >> 5) & 3) << 12;
            } else if (id == kPictureCodingExtensionId && inPicture) {
                structure = p[2] & 3;
            }
        } else if (code == kGopHeaderCode || code == kSequenceEndCode) {
            endPicture();
        }
    }
    endPicture();
    return complete;
}

GopLink gopLink(const uint8_t *data, size_t size)
{
    GopLink link;
    const size_t gop = findStartCode(data, size, kGopHeaderCode);
    if (gop == kNoStartCode || gop + kGopFlagsByte >= size)
        return link;
    link.present = true;
    link.closed = data[gop + kGopFlagsByte] & kClosedGopBit;
    link.brokenLink = data[gop + kGopFlagsByte] & kBrokenLinkBit;
    return link;
}

bool markBrokenLink(std::vector<uint8_t> *unit)
{
    const size_t gop = findStartCode(unit->data(), unit->size(), kGopHeaderCode);
    if (gop == kNoStartCode || gop + kGopFlagsByte >= unit->size())
        return false;
    (*unit)[gop + kGopFlagsByte] |= kBrokenLinkBit;
    return true;
}

AudioFrames wholeAudioFrames(AudioCodec codec, const uint8_t *data, size_t size)
{
    AudioFrames whole;
    const size_t headerBytes = codec == AudioCodec::Ac3 ? kAc3HeaderBytes : kMpegAudioHeaderBytes;
    size_t pos = 0;
    while (pos + headerBytes <= size) {
        int rate = 0;
        const size_t frame =
            codec == AudioCodec::Ac3 ? ac3FrameBytes(data + pos, &rate) : mp2FrameBytes(data + pos, &rate);
        if (frame == 0 || frame > size - pos)
            break;
        pos += frame;
        ++whole.frames;
        whole.samples += codec == AudioCodec::Ac3 ? kAc3Samples : kLayerIISamples;
        whole.sampleRate = rate;
    }
    whole.bytes = pos;
    return whole;
}

} // namespace quelmar::receiver
