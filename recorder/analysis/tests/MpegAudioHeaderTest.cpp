#include "analysis/MpegAudioHeader.h"

#include "EncodedAudio.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using namespace quelmar;
using namespace quelmar::testing;

namespace {

using Lines = std::vector<std::string>;

TEST(MpegAudioHeader, Layer2At48kHzWithoutCrc)
{
    const std::uint8_t header[] = {0xFF, 0xFD, 0xA4, 0x04};
    const MpegAudioHeader h(header);
    EXPECT_EQ(h.Layer(), 2u);
    EXPECT_EQ(h.BitRate(), 192000u);
    EXPECT_EQ(h.SamplingFrequency(), 48000u);
    EXPECT_FALSE(h.CrcPresent());
    EXPECT_EQ(h.FrameSize(), 576u);
    EXPECT_EQ(MpegAudioInfoLines(h),
              (Lines{"Audio Type: MPEG, Layer 2", "Bit Rate: 192 kbps", "Sampling Frequency: 48.0 kHz",
                     "Audio Mode: Stereo", "CRC Field: not present", "Frame Size: 576 Bytes"}));
}

TEST(MpegAudioHeader, PaddedJointStereoWithCrcAt44kHz)
{
    // 128 kbit/s at 44.1 kHz: 417.96 bytes per frame, truncated to 417, plus
    // the padding byte.
    const std::uint8_t header[] = {0xFF, 0xFC, 0x82, 0x44};
    const MpegAudioHeader h(header);
    EXPECT_EQ(h.Padding(), 1u);
    EXPECT_EQ(h.FrameSize(), 418u);
    EXPECT_EQ(MpegAudioInfoLines(h),
              (Lines{"Audio Type: MPEG, Layer 2", "Bit Rate: 128 kbps", "Sampling Frequency: 44.1 kHz",
                     "Audio Mode: Joined Stereo", "CRC Field: present", "Frame Size: 418 Bytes"}));
}

TEST(MpegAudioHeader, Layers1And3UseTheirOwnTablesAndSlots)
{
    // Layer 1, index 9 (288 kbit/s), 44.1 kHz, padded: 78 slots of 4 bytes + 4.
    const std::uint8_t layer1[] = {0xFF, 0xFF, 0x92, 0xC0};
    const MpegAudioHeader h1(layer1);
    EXPECT_EQ(h1.Layer(), 1u);
    EXPECT_EQ(h1.BitRate(), 288000u);
    EXPECT_EQ(h1.Padding(), 4u);
    EXPECT_EQ(h1.FrameSize(), 78u * 4 + 4);
    EXPECT_STREQ(h1.ModeText(), "Single Channel");

    // Layer 3, index 9 (128 kbit/s), 32 kHz, dual channel: 144 * 128000 / 32000.
    const std::uint8_t layer3[] = {0xFF, 0xFB, 0x98, 0x80};
    const MpegAudioHeader h3(layer3);
    EXPECT_EQ(h3.Layer(), 3u);
    EXPECT_EQ(h3.BitRate(), 128000u);
    EXPECT_EQ(h3.SamplingFrequency(), 32000u);
    EXPECT_EQ(h3.FrameSize(), 576u);
    EXPECT_STREQ(h3.ModeText(), "Dual Channel");
}

TEST(MpegAudioHeader, HeadersWithoutAFrameSize)
{
    const std::uint8_t mpeg2[] = {0xFF, 0xF5, 0xA4, 0x04}; // ID bit clear
    const std::uint8_t noSync[] = {0xFE, 0xFD, 0xA4, 0x04};
    const std::uint8_t reservedRate[] = {0xFF, 0xFD, 0xAC, 0x04}; // sampling index 3
    const std::uint8_t freeFormat[] = {0xFF, 0xFD, 0x04, 0x04};
    const std::uint8_t badIndex[] = {0xFF, 0xFD, 0xF4, 0x04};
    const std::uint8_t badLayer[] = {0xFF, 0xF9, 0xA4, 0x04};
    for (const std::uint8_t *header : {mpeg2, noSync, reservedRate, freeFormat, badIndex, badLayer})
        EXPECT_EQ(MpegAudioHeader(header).FrameSize(), 0u) << std::hex << unsigned{header[1]} << unsigned{header[2]};

    EXPECT_EQ(MpegAudioInfoLines(MpegAudioHeader(freeFormat))[1], "Bit Rate: free format");
    EXPECT_EQ(MpegAudioInfoLines(MpegAudioHeader(badIndex))[1], "Bit Rate: invalid");
    const Lines bad = MpegAudioInfoLines(MpegAudioHeader(badLayer));
    EXPECT_EQ(bad[0], "Audio Type: MPEG, Layer 4");
    EXPECT_EQ(bad[1], "Bit Rate: invalid");
    EXPECT_EQ(MpegAudioInfoLines(MpegAudioHeader(reservedRate))[2], "Sampling Frequency: 0.0 kHz");
}

// Every frame of a real layer II stream is exactly as long as its header says.
TEST(MpegAudioHeader, FrameSizeMatchesEncodedFrames)
{
    for (int rate : {44100, 48000, 32000}) {
        AudioEncoding enc;
        enc.codec = "mp2";
        enc.sampleRate = rate;
        enc.bitRate = 128000;
        enc.frames = 40;
        bool sawPadding = false;
        for (const EncodedFrame &frame : EncodeAudio(enc)) {
            ASSERT_GE(frame.size(), kMpegAudioHeaderBytes);
            const MpegAudioHeader h(frame.data());
            EXPECT_EQ(h.Layer(), 2u);
            EXPECT_EQ(h.SamplingFrequency(), static_cast<unsigned>(rate));
            EXPECT_EQ(h.FrameSize(), frame.size()) << rate << " Hz";
            sawPadding |= h.Padding() != 0;
        }
        EXPECT_EQ(sawPadding, rate == 44100);
    }
}

} // namespace
