#include "analysis/MpegAudioHeader.h"

#include "platform/NumberFormat.h"

#include <array>
#include <cstdio>

namespace quelmar {

namespace {

constexpr unsigned kLayers = 3;
constexpr unsigned kTabledBitRates = 14; // indexes 1 to 14
constexpr unsigned kBytesPerSecondPerKbps = 125;
constexpr unsigned kBitsPerByte = 8;
constexpr unsigned kBitsPerKbit = 1000;

constexpr unsigned Bps(unsigned kbps) { return kbps * kBytesPerSecondPerKbps; }

// MPEG-1 bit rates in bytes per second, one row per layer, indexes 1 to 14.
constexpr std::array<std::array<unsigned, kTabledBitRates>, kLayers> kBitRateBytesPerSecond{{
    {Bps(32), Bps(64), Bps(96), Bps(128), Bps(160), Bps(192), Bps(224), Bps(256), Bps(288), Bps(320), Bps(352),
     Bps(384), Bps(416), Bps(448)},
    {Bps(32), Bps(48), Bps(56), Bps(64), Bps(80), Bps(96), Bps(112), Bps(128), Bps(160), Bps(192), Bps(224), Bps(256),
     Bps(320), Bps(384)},
    {Bps(32), Bps(40), Bps(48), Bps(56), Bps(64), Bps(80), Bps(96), Bps(112), Bps(128), Bps(160), Bps(192), Bps(224),
     Bps(256), Bps(320)},
}};

constexpr std::array<unsigned, 4> kSamplingFrequencyHz{44100, 48000, 32000, 0};
constexpr unsigned kReservedSamplingIndex = 3;

constexpr std::array<const char *, 4> kModeTexts{"Stereo", "Joined Stereo", "Dual Channel", "Single Channel"};

// Header bit fields.
constexpr std::uint8_t kSyncByte = 0xFF;
constexpr std::uint8_t kSyncAndMpeg1Mask = 0xF8; // 11 sync bits and the ID bit (1 = MPEG-1)
constexpr std::uint8_t kProtectionBit = 0x01;    // byte 1; 0 = CRC follows
constexpr std::uint8_t kPaddingBit = 0x02;       // byte 2
constexpr unsigned kLayerShift = 1;              // byte 1: layer bits 11 = layer 1 ... 00 = invalid
constexpr unsigned kBitRateIndexShift = 4;       // byte 2, top four bits
constexpr unsigned kSamplingIndexShift = 2;      // byte 2, two bits
constexpr unsigned kModeShift = 6;               // byte 3, top two bits
constexpr unsigned kTwoBitMask = 3;
constexpr unsigned kLayer1PaddingBytes = 4; // one slot of layer 1
constexpr unsigned kOtherPaddingBytes = 1;

// Frame length without padding: layer 1 counts 4-byte slots of 12 bits per
// 384 samples; layers 2 and 3 count bytes, 144 = 1152 samples / 8 bits.
constexpr unsigned kLayer1SlotsFactor = 12;
constexpr unsigned kLayer1SlotBytes = 4;
constexpr unsigned kLayer23BytesFactor = 144;

} // namespace

void MpegAudioHeader::Decode() const
{
    if (decoded_)
        return;
    layer_ = static_cast<std::uint8_t>(kInvalidLayer - ((header_[1] >> kLayerShift) & kTwoBitMask));
    bitRateIndex_ = static_cast<std::uint8_t>(header_[2] >> kBitRateIndexShift);
    samplingIndex_ = static_cast<std::uint8_t>((header_[2] >> kSamplingIndexShift) & kTwoBitMask);
    if (header_[2] & kPaddingBit)
        padding_ = static_cast<std::uint8_t>(layer_ == 1 ? kLayer1PaddingBytes : kOtherPaddingBytes);
    else
        padding_ = 0;
    mode_ = static_cast<std::uint8_t>(header_[3] >> kModeShift);
    crcPresent_ = (header_[1] & kProtectionBit) == 0;
    decoded_ = true;
}

unsigned MpegAudioHeader::Layer() const
{
    Decode();
    return layer_;
}
unsigned MpegAudioHeader::BitRateIndex() const
{
    Decode();
    return bitRateIndex_;
}
unsigned MpegAudioHeader::SamplingFrequencyIndex() const
{
    Decode();
    return samplingIndex_;
}
unsigned MpegAudioHeader::Padding() const
{
    Decode();
    return padding_;
}
MpegAudioHeader::Mode MpegAudioHeader::GetMode() const
{
    Decode();
    return static_cast<Mode>(mode_);
}
const char *MpegAudioHeader::ModeText() const
{
    Decode();
    return kModeTexts[mode_];
}
bool MpegAudioHeader::CrcPresent() const
{
    Decode();
    return crcPresent_;
}

unsigned MpegAudioHeader::BitRate() const
{
    Decode();
    if (layer_ == kInvalidLayer || bitRateIndex_ == kFreeFormatIndex || bitRateIndex_ == kInvalidBitRateIndex)
        return 0;
    return kBitRateBytesPerSecond[layer_ - 1][bitRateIndex_ - 1] * kBitsPerByte;
}

unsigned MpegAudioHeader::SamplingFrequency() const
{
    Decode();
    return kSamplingFrequencyHz[samplingIndex_];
}

unsigned MpegAudioHeader::FrameSize() const
{
    if (header_[0] != kSyncByte || (header_[1] & kSyncAndMpeg1Mask) != kSyncAndMpeg1Mask)
        return 0;
    const unsigned bitRate = BitRate();
    if (bitRate == 0 || samplingIndex_ == kReservedSamplingIndex)
        return 0;
    const unsigned frequency = SamplingFrequency();
    // Truncated as the standard does: frames of a 44.1 kHz stream alternate
    // between the truncated length and one padding slot more.
    if (layer_ == 1)
        return kLayer1SlotsFactor * bitRate / frequency * kLayer1SlotBytes + padding_;
    return kLayer23BytesFactor * bitRate / frequency + padding_;
}

std::uint32_t MpegAudioSignature(const std::uint8_t *header)
{
    std::uint32_t signature = 0;
    for (unsigned i = 0; i < kMpegAudioHeaderBytes; ++i)
        signature = signature << kBitsPerByte | header[i];
    return signature;
}

std::vector<std::string> MpegAudioInfoLines(const MpegAudioHeader &header)
{
    constexpr double kKhzPerHz = 0.001;
    constexpr int kKhzDecimals = 1; // "%.1f"
    char line[64];
    std::vector<std::string> lines;

    std::snprintf(line, sizeof line, "Audio Type: MPEG, Layer %u", header.Layer());
    lines.emplace_back(line);
    if (header.Layer() == MpegAudioHeader::kInvalidLayer ||
        header.BitRateIndex() == MpegAudioHeader::kInvalidBitRateIndex)
        lines.emplace_back("Bit Rate: invalid");
    else if (header.BitRateIndex() == MpegAudioHeader::kFreeFormatIndex)
        lines.emplace_back("Bit Rate: free format");
    else {
        std::snprintf(line, sizeof line, "Bit Rate: %u kbps", header.BitRate() / kBitsPerKbit);
        lines.emplace_back(line);
    }
    lines.emplace_back("Sampling Frequency: " + FormatFixed(header.SamplingFrequency() * kKhzPerHz, kKhzDecimals) +
                       " kHz");
    lines.emplace_back(std::string("Audio Mode: ") + header.ModeText());
    lines.emplace_back(header.CrcPresent() ? "CRC Field: present" : "CRC Field: not present");
    std::snprintf(line, sizeof line, "Frame Size: %u Bytes", header.FrameSize());
    lines.emplace_back(line);
    return lines;
}

} // namespace quelmar
