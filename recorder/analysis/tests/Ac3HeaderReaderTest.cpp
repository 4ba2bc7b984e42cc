#include "analysis/Ac3HeaderReader.h"

#include "EncodedAudio.h"
#include "analysis/BitReader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

using namespace quelmar;
using namespace quelmar::testing;

namespace {

using Bytes = std::vector<std::uint8_t>;

std::vector<EncodedFrame> Ac3(int rate, int bitRate, int channels,
                              std::vector<std::pair<std::string, std::string>> options = {}, int serviceType = 0,
                              int frames = 8)
{
    AudioEncoding enc;
    enc.sampleRate = rate;
    enc.bitRate = bitRate;
    enc.channels = channels;
    enc.options = std::move(options);
    enc.audioServiceType = serviceType;
    enc.frames = frames;
    return EncodeAudio(enc);
}

// The frame's CRC result computed bit by bit, as the frame's layout defines
// it: a remainder over bytes 2 to the end of the first 5/8 and one over the
// rest, each of which must be 0.
unsigned ReferenceCrcResult(const Bytes &frame)
{
    const std::size_t size = frame.size();
    const std::size_t words = size / 2;
    const std::size_t boundary = 2 * ((words >> 1) + (words >> 3)) - 1;
    std::uint32_t r = 0;
    unsigned result = 0;
    for (std::size_t i = 2; i < size; ++i) {
        for (int bit = 7; bit >= 0; --bit) {
            r = (r << 1) | ((frame[i] >> bit) & 1u);
            if (r & 0x10000)
                r ^= 0x18005;
        }
        if (i == boundary) {
            if (r != 0)
                result += 1;
            r = 0;
        }
    }
    if (r != 0)
        result += 2;
    return result;
}

Bytes Flipped(Bytes frame, std::size_t byte, int bit = 0)
{
    frame.at(byte) ^= static_cast<std::uint8_t>(1u << bit);
    return frame;
}

unsigned Crc(const Bytes &frame) { return Ac3HeaderReader(frame.data(), frame.size()).CrcCheck(); }

// Writes bit fields most significant bit first (for headers libavcodec's
// encoder never produces).
class BitWriter {
public:
    void Put(unsigned value, unsigned bits)
    {
        for (unsigned i = bits; i-- > 0;) {
            if (used_ % 8 == 0)
                bytes_.push_back(0);
            if ((value >> i) & 1u)
                bytes_.back() |= static_cast<std::uint8_t>(0x80u >> (used_ % 8));
            ++used_;
        }
    }
    const Bytes &Data() const { return bytes_; }

private:
    Bytes bytes_;
    unsigned used_ = 0;
};

TEST(Ac3SyncInfo, FrameSizesAndTexts)
{
    struct Case {
        std::uint8_t byte4;
        unsigned size;
        const char *bitRate;
        const char *frequency;
    };
    for (const Case &c : {Case{0x1C, 1536, "384 kbps", "48.0 kHz"}, Case{0x4F, 488, "112 kbps", "44.1 kHz"},
                          Case{0x4E, 486, "112 kbps", "44.1 kHz"}, Case{0x40, 138, "32 kbps", "44.1 kHz"},
                          Case{0x65, 2788, "640 kbps", "44.1 kHz"}, Case{0x80, 192, "32 kbps", "32.0 kHz"},
                          Case{0xA5, 3840, "640 kbps", "32.0 kHz"}, Case{0x00, 128, "32 kbps", "48.0 kHz"},
                          Case{0x26, 0, "invalid", "48.0 kHz"}, Case{0x3F, 0, "invalid", "48.0 kHz"},
                          Case{0xDC, 0, "384 kbps", "reserved"}}) {
        Bytes frame(kAc3MaxFrameBytes, 0);
        frame[0] = kAc3Sync0;
        frame[1] = kAc3Sync1;
        frame[4] = c.byte4;
        const Ac3HeaderReader reader(frame.data(), frame.size());
        EXPECT_EQ(reader.FrameSize(), c.size) << std::hex << unsigned{c.byte4};
        EXPECT_EQ(reader.BitRateText(), c.bitRate) << std::hex << unsigned{c.byte4};
        EXPECT_EQ(reader.SamplingFrequencyText(), c.frequency) << std::hex << unsigned{c.byte4};
        if (c.size == 0) {
            EXPECT_EQ(reader.CrcCheck(), kAc3CrcOk);
        }
    }
}

// Frames from libavcodec's encoder pass both CRCs and are as long as their
// headers say, at every sampling frequency and up to the largest frame.
TEST(Ac3Crc, EncodedFramesPass)
{
    struct Setup {
        int rate, bitRate, channels;
    };
    for (const Setup &s : {Setup{48000, 384000, 2}, Setup{44100, 160000, 2}, Setup{44100, 32000, 1},
                           Setup{32000, 640000, 6}, Setup{48000, 448000, 6}}) {
        for (const EncodedFrame &frame : Ac3(s.rate, s.bitRate, s.channels)) {
            const Ac3HeaderReader reader(frame.data(), frame.size());
            EXPECT_EQ(reader.FrameSize(), frame.size()) << s.rate << " Hz " << s.bitRate;
            EXPECT_EQ(reader.CrcCheck(), kAc3CrcOk) << s.rate << " Hz " << s.bitRate;
            EXPECT_STREQ(reader.CrcText(), "CRC-Check: O.K.");
            EXPECT_TRUE(ContainsAc3Frame(frame.data(), frame.size()));
        }
    }
}

TEST(Ac3Crc, DamageIsAttributedToTheRightHalf)
{
    // A padded 44.1 kHz frame of 244 words: CRC1 ends with byte 303.
    Bytes frame;
    for (const EncodedFrame &f : Ac3(44100, 112000, 2, {}, 0, 24))
        if (f[4] == 0x4F)
            frame = f;
    ASSERT_EQ(frame.size(), 488u) << "no padded frame among the encoded ones";

    EXPECT_EQ(Crc(Flipped(frame, 2, 7)), kAc3Crc1Failed);
    EXPECT_EQ(Crc(Flipped(frame, 303)), kAc3Crc1Failed);
    EXPECT_EQ(Crc(Flipped(frame, 304, 7)), kAc3Crc2Failed);
    const Bytes lastDamaged = Flipped(frame, frame.size() - 1);
    EXPECT_EQ(Crc(lastDamaged), kAc3Crc2Failed);
    EXPECT_STREQ(Ac3HeaderReader(lastDamaged.data(), lastDamaged.size()).CrcText(),
                 "CRC-Check: CRC1 O.K., CRC2 failed");
    const Bytes both = Flipped(Flipped(frame, 100, 3), 400, 5);
    EXPECT_EQ(Crc(both), kAc3CrcBothFailed);
    EXPECT_STREQ(Ac3HeaderReader(both.data(), both.size()).CrcText(), "CRC-Check: failed");
    EXPECT_STREQ(Ac3HeaderReader(Flipped(frame, 5).data(), frame.size()).CrcText(),
                 "CRC-Check: CRC1 failed, CRC2 O.K.");

    // Every single-bit error after the sync word is caught, on the side the
    // bit-by-bit reference puts it (byte 4 holds the frame size itself).
    for (const EncodedFrame &f : {frame, Ac3(48000, 384000, 2, {}, 0, 1)[0]}) {
        for (std::size_t byte = 2; byte < f.size(); ++byte) {
            if (byte == 4)
                continue;
            const Bytes damaged = Flipped(f, byte, static_cast<int>(byte % 8));
            const unsigned expected = ReferenceCrcResult(damaged);
            ASSERT_NE(expected, kAc3CrcOk);
            ASSERT_EQ(Crc(damaged), expected) << "byte " << byte << " of " << f.size();
        }
    }
}

TEST(Ac3Crc, TableCrcMatchesBitwiseCrc)
{
    std::mt19937 random(7);
    Bytes data(300);
    for (auto &b : data)
        b = static_cast<std::uint8_t>(random());
    for (std::size_t length = 0; length <= 40; ++length) {
        for (std::size_t offset : {0u, 1u, 3u, 7u}) {
            const auto start = static_cast<std::uint16_t>(random());
            std::uint16_t expected = start;
            for (std::size_t i = 0; i < length; ++i) {
                expected = static_cast<std::uint16_t>(expected ^ (data[offset + i] << 8));
                for (int bit = 0; bit < 8; ++bit)
                    expected = static_cast<std::uint16_t>(expected & 0x8000 ? (expected << 1) ^ 0x8005 : expected << 1);
            }
            ASSERT_EQ(Ac3Crc16(start, data.data() + offset, length), expected) << length;
        }
    }
}

TEST(Ac3Crc, FrameBeyondTheAvailableBytesFails)
{
    const EncodedFrame frame = Ac3(48000, 384000, 2, {}, 0, 1)[0];
    const Bytes head(frame.begin(), frame.begin() + 100); // exact size: overreads are caught
    const Ac3HeaderReader partial(head.data(), head.size());
    EXPECT_EQ(partial.FrameSize(), 1536u);
    EXPECT_EQ(partial.CrcCheck(), kAc3CrcBothFailed);
    EXPECT_EQ(partial.Acmod(), 2u); // the bit stream information is all there

    const Bytes tiny(frame.begin(), frame.begin() + 6);
    const Ac3HeaderReader cut(tiny.data(), tiny.size());
    EXPECT_EQ(cut.Bsid(), 8u);
    EXPECT_EQ(cut.Acmod(), 0u); // beyond the bytes: read as 0
    EXPECT_EQ(Ac3HeaderReader(tiny.data(), 4).FrameSize(), 0u);
}

TEST(Ac3BitStreamInfo, PlainStereo)
{
    const EncodedFrame frame = Ac3(48000, 384000, 2, {}, 0, 1)[0];
    const Ac3HeaderReader reader(frame.data(), frame.size());
    EXPECT_EQ(reader.Fscod(), 0u);
    EXPECT_EQ(reader.Frmsizecod(), 28u);
    EXPECT_EQ(reader.Acmod(), 2u);
    EXPECT_EQ(reader.Audprodie(), 0u);
    EXPECT_THROW(reader.Mixlevel(), int);
    EXPECT_THROW(reader.Roomtyp(), int);
    EXPECT_EQ(Ac3InfoLines(reader),
              (std::vector<std::string>{
                  "Audio Type: AC3", "Bit Rate: 384 kbps", "Sampling Frequency: 48.0 kHz", "Audio Coding Mode: L, R",
                  "Low Frequency Effects Channel: Off", "Bit Stream Mode: CM", "Center Mix Level: no data",
                  "Surround Mix Level: no data", "Dolby SR Mode: not indicated", "CRC-Check: O.K.",
                  "Timecode: not present", "Room Type 1: no data", "Room Type 2: no data", "Frame Size: 1536 Bytes"}));
    // acmod 2, frmsizecod 28, everything else 0.
    EXPECT_EQ(Ac3RefreshSignature(reader), (2u << 13) | (28u << 4));
    const Bytes damaged = Flipped(frame, frame.size() - 1);
    EXPECT_EQ(Ac3RefreshSignature(Ac3HeaderReader(damaged.data(), damaged.size())),
              (2u << 13) | (28u << 4) | kAc3Crc2Failed);
}

TEST(Ac3BitStreamInfo, OptionalFieldsOfEncodedFrames)
{
    const EncodedFrame surround = Ac3(48000, 384000, 2, {{"dsur_mode", "2"}}, 0, 1)[0];
    const Ac3HeaderReader stereo(surround.data(), surround.size());
    EXPECT_STREQ(stereo.DolbySurroundModeText(), "Dolby Surround encoded");
    EXPECT_STREQ(stereo.CenterMixLevelText(), "no data");

    const EncodedFrame five1 = Ac3(
        48000, 448000, 6,
        {{"center_mixlev", "0.5"}, {"surround_mixlev", "0.707"}, {"mixing_level", "105"}, {"room_type", "2"}}, 0, 1)[0];
    const Ac3HeaderReader full(five1.data(), five1.size());
    EXPECT_EQ(full.Acmod(), 7u);
    EXPECT_EQ(full.Lfeon(), 1u);
    EXPECT_EQ(full.Audprodie(), 1u);
    EXPECT_EQ(full.Mixlevel(), 25u); // 105 dB SPL above 80
    EXPECT_EQ(full.Roomtyp(), 2u);
    const std::vector<std::string> lines = Ac3InfoLines(full);
    ASSERT_EQ(lines.size(), 14u);
    EXPECT_EQ(lines[3], "Audio Coding Mode: L, C, R, SL, SR");
    EXPECT_EQ(lines[4], "Low Frequency Effects Channel: On");
    EXPECT_EQ(lines[6], "Center Mix Level: 0.500 (-6.0 dB)");
    EXPECT_EQ(lines[7], "Surround Mix Level: 0.707 (-3.0 dB)");
    EXPECT_EQ(lines[8], "Dolby SR Mode: no data");
    EXPECT_EQ(lines[11], "Room Type 1: small room, flat monitor");
    EXPECT_EQ(lines[12], "Room Type 2: no data");
    EXPECT_EQ(lines[13], "Frame Size: 1792 Bytes");
    EXPECT_EQ(Ac3RefreshSignature(full), (2u << 25) | (25u << 20) | (1u << 19) | (1u << 16) | (7u << 13) | (30u << 4));

    const EncodedFrame karaoke = Ac3(48000, 192000, 2, {}, AV_AUDIO_SERVICE_TYPE_KARAOKE, 1)[0];
    EXPECT_STREQ(Ac3HeaderReader(karaoke.data(), karaoke.size()).BitStreamModeText(), "K");
    const EncodedFrame voiceOver = Ac3(48000, 96000, 1, {}, AV_AUDIO_SERVICE_TYPE_VOICE_OVER, 1)[0];
    const Ac3HeaderReader mono(voiceOver.data(), voiceOver.size());
    EXPECT_STREQ(mono.BitStreamModeText(), "VO");
    EXPECT_STREQ(mono.AudioCodingModeText(), "C");
    EXPECT_STREQ(mono.CenterMixLevelText(), "no data");
}

TEST(Ac3BitStreamInfo, TimecodeFlags)
{
    // The alternate syntax puts its two extension flags where the time code
    // flags are.
    struct Case {
        std::vector<std::pair<std::string, std::string>> options;
        const char *text;
    };
    for (const Case &c : {Case{{{"dmix_mode", "1"}}, "first half (14 bits) present"},
                          Case{{{"ad_conv_type", "1"}}, "second half (14 bits) present"},
                          Case{{{"dmix_mode", "1"}, {"ad_conv_type", "1"}}, "both halves (28 bits) present"}}) {
        const EncodedFrame frame = Ac3(48000, 448000, 6, c.options, 0, 1)[0];
        EXPECT_STREQ(Ac3HeaderReader(frame.data(), frame.size()).TimecodeText(), c.text);
    }
}

TEST(Ac3BitStreamInfo, DualMonoCarriesASecondSetOfFields)
{
    BitWriter w;
    w.Put(0x0B77, 16);
    w.Put(0, 16);   // crc1
    w.Put(0x1C, 8); // fscod 0, frmsizecod 28
    w.Put(8, 5);    // bsid
    w.Put(3, 3);    // bsmod
    w.Put(0, 3);    // acmod 1+1
    w.Put(0, 1);    // lfeon
    w.Put(27, 5);   // dialnorm
    w.Put(1, 1);
    w.Put(0xAA, 8); // compre, compr
    w.Put(1, 1);
    w.Put(0x09, 8); // langcode, langcod
    w.Put(1, 1);
    w.Put(20, 5);
    w.Put(1, 2); // audprodie, mixlevel, roomtyp
    w.Put(5, 5); // dialnorm2
    w.Put(0, 1); // compr2e
    w.Put(1, 1);
    w.Put(0xFF, 8); // langcod2e, langcod2
    w.Put(1, 1);
    w.Put(3, 5);
    w.Put(2, 2); // audprodi2e, mixlevel2, roomtyp2
    w.Put(1, 1);
    w.Put(0, 1); // copyrightb, origbs
    w.Put(0, 1); // timecod1e
    w.Put(1, 1);
    w.Put(0x3FFF, 14); // timecod2e, timecod2
    const Bytes header = w.Data();
    const Ac3HeaderReader reader(header.data(), header.size());
    EXPECT_EQ(reader.Bsmod(), 3u);
    EXPECT_EQ(reader.Dialnorm(), 27u);
    EXPECT_EQ(reader.Mixlevel(), 20u);
    EXPECT_STREQ(reader.AudioCodingModeText(), "Ch1, Ch2");
    EXPECT_STREQ(reader.BitStreamModeText(), "HI");
    EXPECT_STREQ(reader.CenterMixLevelText(), "no data");
    EXPECT_STREQ(reader.SurroundMixLevelText(), "no data");
    EXPECT_STREQ(reader.DolbySurroundModeText(), "no data");
    EXPECT_STREQ(reader.RoomType1Text(), "large room, X curve monitor");
    EXPECT_STREQ(reader.RoomType2Text(), "small room, flat monitor");
    EXPECT_STREQ(reader.TimecodeText(), "second half (14 bits) present");
    // The frame is not all there, so its CRCs cannot be right.
    EXPECT_EQ(reader.CrcCheck(), kAc3CrcBothFailed);
}

// Only timecode flags, lfeon, acmod, bsmod, frame size code, fscod, the CRC
// result and the production information (when present) decide a refresh.
TEST(Ac3RefreshSignature, IgnoresDialogueLevel)
{
    const EncodedFrame quiet = Ac3(48000, 384000, 2, {{"dialnorm", "-31"}}, 0, 1)[0];
    const EncodedFrame loud = Ac3(48000, 384000, 2, {{"dialnorm", "-20"}}, 0, 1)[0];
    const Ac3HeaderReader a(quiet.data(), quiet.size());
    const Ac3HeaderReader b(loud.data(), loud.size());
    ASSERT_NE(a.Dialnorm(), b.Dialnorm());
    EXPECT_EQ(Ac3RefreshSignature(a), Ac3RefreshSignature(b));

    const EncodedFrame mixed = Ac3(48000, 384000, 2, {{"mixing_level", "90"}, {"room_type", "1"}}, 0, 1)[0];
    EXPECT_NE(Ac3RefreshSignature(Ac3HeaderReader(mixed.data(), mixed.size())), Ac3RefreshSignature(a));
}

class ContainsAc3FrameTest : public ::testing::Test {
protected:
    // Eight AC-3 frames and thirty MPEG audio frames, encoded once.
    static const Bytes &Ac3Stream()
    {
        static const Bytes kStream = Concatenate(Ac3(48000, 384000, 2, {}, 0, 8));
        return kStream;
    }
    static const Bytes &MpegStream()
    {
        static const Bytes kStream = [] {
            AudioEncoding mp2;
            mp2.codec = "mp2";
            mp2.bitRate = 192000;
            mp2.frames = 30;
            return Concatenate(EncodeAudio(mp2));
        }();
        return kStream;
    }
    static bool Contains(const Bytes &b) { return ContainsAc3Frame(b.data(), b.size()); }

    static constexpr std::size_t kFrame = 1536; // 384 kbit/s at 48 kHz
    static constexpr std::size_t kChunk = 8192; // bytes of one audio read
};

TEST_F(ContainsAc3FrameTest, FindsAWholeIntactFrameAnywhereInAChunk)
{
    for (std::size_t start : {std::size_t{0}, std::size_t{1}, std::size_t{700}, kFrame - 1})
        EXPECT_TRUE(Contains(Bytes(Ac3Stream().begin() + start, Ac3Stream().begin() + start + kChunk))) << start;
    // Receiver chunk: whole frames followed by zero stuffing.
    Bytes chunk(Ac3Stream().begin(), Ac3Stream().begin() + 5 * kFrame);
    chunk.resize(kChunk, 0);
    EXPECT_TRUE(Contains(chunk));
    // A frame that ends exactly at the end of the data.
    EXPECT_TRUE(Contains(Bytes(Ac3Stream().begin() + 10, Ac3Stream().begin() + 2 * kFrame)));
    // A 0x0B that is not followed by 0x77 is passed over, not the end.
    Bytes led{0x0B, 0x0B};
    led.insert(led.end(), Ac3Stream().begin() + 1, Ac3Stream().begin() + kFrame);
    led.insert(led.begin() + 2, kAc3Sync0);
    EXPECT_TRUE(Contains(led));
}

TEST_F(ContainsAc3FrameTest, RejectsDataWithoutAWholeIntactFrame)
{
    EXPECT_FALSE(ContainsAc3Frame(nullptr, 0));
    EXPECT_FALSE(Contains(Bytes(kChunk, 0)));
    EXPECT_FALSE(Contains(Bytes(MpegStream().begin(), MpegStream().begin() + kChunk)));
    // Only part of a frame.
    EXPECT_FALSE(Contains(Bytes(Ac3Stream().begin(), Ac3Stream().begin() + kFrame - 1)));
    EXPECT_FALSE(Contains(Bytes(Ac3Stream().begin() + 1, Ac3Stream().begin() + 2 * kFrame - 1)));
    // One flipped bit in every frame.
    Bytes damaged = Ac3Stream();
    for (std::size_t f = 0; f < damaged.size(); f += kFrame)
        damaged[f + 1000] ^= 0x10;
    EXPECT_FALSE(Contains(Bytes(damaged.begin(), damaged.begin() + kChunk)));
    // A sync word too close to the end.
    EXPECT_FALSE(Contains(Bytes{0x00, 0x0B, 0x77, 0x00, 0x00}));
}

TEST_F(ContainsAc3FrameTest, InvalidSizeCodeSkipsItsSyncInformation)
{
    // A false sync word with an invalid size code, then a real frame.
    Bytes data{0x0B, 0x77, 0x12, 0x34, 0x26};
    data.insert(data.end(), Ac3Stream().begin(), Ac3Stream().begin() + kFrame);
    EXPECT_TRUE(Contains(data));
    // A false sync word whose (valid) size reaches past the data is passed
    // over byte by byte.
    Bytes shortFalse{0x0B, 0x77, 0x12, 0x34, 0x24}; // 2560 bytes
    shortFalse.insert(shortFalse.end(), Ac3Stream().begin(), Ac3Stream().begin() + kFrame);
    EXPECT_TRUE(Contains(shortFalse));
}

} // namespace
