// Header decoding and chunk framing of the multiplexer, and the silent
// frames it makes.
#include "es_headers.h"
#include "harness.h"
#include "silence.h"
#include "stream_parsers.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

#include <gtest/gtest.h>

#include <ostream>
#include <vector>

using namespace quelmar::remux;
using namespace quelmar::remux::test;

namespace {

// A small but well-formed access unit: sequence header (+ extension), GOP
// header, picture header and one slice of filler bytes.
std::vector<uint8_t> accessUnit(bool withSequence, uint8_t pictureType, uint16_t tr, size_t sliceBytes)
{
    std::vector<uint8_t> v;
    if (withSequence) {
        // 720x576, 4:3, 25 fps, bit rate value 37500 (15 Mbit/s), marker, vbv 112
        const uint8_t seq[] = {0, 0, 1, 0xB3, 0x2D, 0x02, 0x40, 0x23, 0x24, 0x9F, 0x23, 0x80};
        v.insert(v.end(), seq, seq + sizeof seq);
        // main profile, progressive_sequence 0, chroma 4:2:0
        const uint8_t ext[] = {0, 0, 1, 0xB5, 0x14, 0x82, 0x00, 0x01, 0x00, 0x00};
        v.insert(v.end(), ext, ext + sizeof ext);
        const uint8_t gop[] = {0, 0, 1, 0xB8, 0x00, 0x08, 0x00, 0x40};
        v.insert(v.end(), gop, gop + sizeof gop);
    }
    const uint8_t pic[] = {
        0,    0,   1, 0x00, static_cast<uint8_t>(tr >> 2), static_cast<uint8_t>(((tr & 3) << 6) | (pictureType << 3)),
        0xFF, 0xF8};
    v.insert(v.end(), pic, pic + sizeof pic);
    const uint8_t slice[] = {0, 0, 1, 0x01};
    v.insert(v.end(), slice, slice + sizeof slice);
    for (size_t i = 0; i < sliceBytes; ++i)
        v.push_back(static_cast<uint8_t>(0x11 + i % 200));
    return v;
}

// What the parser keeps of the last unit of a chunk: its bytes and two of the
// zero bytes after it (they might be its last bits).
std::vector<uint8_t> lastInChunk(std::vector<uint8_t> u)
{
    u.insert(u.end(), 2, 0);
    return u;
}

std::vector<uint8_t> chunk(std::initializer_list<std::vector<uint8_t>> units, size_t size)
{
    std::vector<uint8_t> c;
    for (const auto &u : units)
        c.insert(c.end(), u.begin(), u.end());
    c.resize(size, 0);
    return c;
}

// An MPEG-1 layer 2 frame, 192 kbit/s, 48 kHz: 576 bytes.
std::vector<uint8_t> mp2Frame(uint8_t fill)
{
    std::vector<uint8_t> f(576, fill);
    f[0] = 0xFF;
    f[1] = 0xFD;
    f[2] = 0xA4;
    f[3] = 0x04;
    return f;
}

} // namespace

TEST(EsHeaders, AudioFrameSizes)
{
    const uint8_t mp2[] = {0xFF, 0xFD, 0xA4, 0x04, 0, 0, 0};
    auto a = parseAudioHeader(mp2, sizeof mp2);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->frameBytes, 576u);
    EXPECT_EQ(a->layer, 2);
    EXPECT_EQ(a->durationTicks(), 2160);
    const uint8_t padded[] = {0xFF, 0xFC, 0x82, 0x44, 0, 0, 0}; // 128 kbit/s, 44.1 kHz, padding
    EXPECT_EQ(parseAudioHeader(padded, sizeof padded)->frameBytes, 418u);
    const uint8_t ac3[] = {0x0B, 0x77, 0, 0, 0x1C, 0x40, 0x40};
    a = parseAudioHeader(ac3, sizeof ac3);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->frameBytes, 1536u);
    EXPECT_EQ(a->durationTicks(), 2880);
    const uint8_t ac3At441[] = {0x0B, 0x77, 0, 0, 0x4F, 0x40, 0x40};
    EXPECT_EQ(parseAudioHeader(ac3At441, sizeof ac3At441)->frameBytes, 488u);
    const uint8_t badCode[] = {0x0B, 0x77, 0, 0, 0x26, 0x40, 0x40};
    EXPECT_FALSE(parseAudioHeader(badCode, sizeof badCode));
    const uint8_t eac3[] = {0x0B, 0x77, 0, 0, 0x1C, 0x80, 0x40}; // bsid 16
    EXPECT_FALSE(parseAudioHeader(eac3, sizeof eac3));
    const uint8_t freeFormat[] = {0xFF, 0xFD, 0x04, 0x04, 0, 0, 0};
    EXPECT_FALSE(parseAudioHeader(freeFormat, sizeof freeFormat));
    EXPECT_FALSE(parseAudioHeader(mp2, 3));
}

TEST(EsHeaders, SequenceHeaderAndExtension)
{
    auto au = accessUnit(true, 1, 0, 4);
    auto seq = parseSequenceHeader(au.data(), au.size());
    ASSERT_TRUE(seq);
    EXPECT_EQ(seq->width, 720);
    EXPECT_EQ(seq->height, 576);
    EXPECT_EQ(seq->aspectRatio, 2);
    EXPECT_EQ(seq->framePeriodTicks(), 3600);
    ASSERT_TRUE(applySequenceExtension(au.data() + 12, au.size() - 12, *seq));
    EXPECT_TRUE(seq->mpeg2);
    EXPECT_FALSE(seq->progressiveSequence);
    EXPECT_EQ(seq->chromaFormat, 1);
    // 29.97 Hz from code 4, and a missing marker bit is refused.
    au[7] = 0x24;
    EXPECT_NEAR(parseSequenceHeader(au.data(), au.size())->frameRate(), 29.97003, 1e-5);
    au[10] &= static_cast<uint8_t>(~0x20);
    EXPECT_FALSE(parseSequenceHeader(au.data(), au.size()));
}

TEST(VideoParser, RemovesAndCountsStuffingAndCutsAccessUnits)
{
    VideoParser p;
    std::deque<VideoAccessUnit> out;
    const auto i0 = accessUnit(true, 1, 2, 300);
    const auto b1 = accessUnit(false, 3, 0, 100);
    const auto b2 = accessUnit(false, 3, 1, 100);
    const auto c1 = chunk({i0, b1}, 4096);
    p.feed(c1.data(), c1.size(), out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].data, i0);
    EXPECT_TRUE(out[0].hasSequenceHeader && out[0].hasGop);
    EXPECT_TRUE(out[0].gop.closedGop);
    EXPECT_EQ(out[0].picture.type, PictureType::I);
    EXPECT_EQ(out[0].picture.temporalReference, 2);
    EXPECT_EQ(out[0].offset, 0u);
    EXPECT_EQ(out[1].data, lastInChunk(b1));
    EXPECT_EQ(out[1].offset, i0.size());
    EXPECT_EQ(p.paddingBytes(), 4096 - i0.size() - b1.size() - 2);
    // The next chunk's offsets count the stuffing of the first.
    const auto c2 = chunk({b2}, 4096);
    p.feed(c2.data(), c2.size(), out);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[2].offset, 4096u);
    EXPECT_EQ(p.paddingBytes(), 2 * 4096 - i0.size() - b1.size() - b2.size() - 4);
    EXPECT_EQ(p.sequence().width, 720);
}

TEST(VideoParser, UnitSpanningUnstuffedChunksAndDamagedData)
{
    VideoParser p;
    std::deque<VideoAccessUnit> out;
    const auto i0 = accessUnit(true, 1, 0, 6000);
    // A chunk full to the last byte continues the unit in the next chunk.
    std::vector<uint8_t> first(i0.begin(), i0.begin() + 4000);
    p.feed(first.data(), first.size(), out);
    EXPECT_TRUE(out.empty());
    std::vector<uint8_t> rest(i0.begin() + 4000, i0.end());
    rest.resize(rest.size() + 50, 0);
    p.feed(rest.data(), rest.size(), out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].data, lastInChunk(i0));
    // Garbage, then the tail of a picture (slices) before a new unit: both
    // are skipped and counted; the unit after them comes out whole.
    std::vector<uint8_t> junk = {0x47, 0x11, 0x22, 0, 0, 1, 0x05, 0x99, 0x98};
    const auto p1 = accessUnit(false, 2, 3, 50);
    junk.insert(junk.end(), p1.begin(), p1.end());
    junk.resize(junk.size() + 10, 0);
    p.feed(junk.data(), junk.size(), out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1].data, lastInChunk(p1));
    EXPECT_GT(p.errors().skippedBytes + p.errors().droppedUnits, 0u);
}

TEST(AudioParser, FramesAcrossChunksZeroPaddingAndResync)
{
    AudioParser p;
    std::deque<AudioFrame> out;
    std::vector<uint8_t> stream;
    for (int i = 0; i < 5; ++i) {
        auto f = mp2Frame(static_cast<uint8_t>(0x10 + i));
        stream.insert(stream.end(), f.begin(), f.end());
    }
    // Continuous stream cut in odd places.
    p.feed(stream.data(), 1000, out);
    p.feed(stream.data() + 1000, stream.size() - 1000, out);
    ASSERT_EQ(out.size(), 4u) << "a frame is taken once the next one's header checks it";
    EXPECT_TRUE(p.takeLastFrame(out)) << "the last one when the stream ends";
    ASSERT_EQ(out.size(), 5u);
    EXPECT_EQ(out[1].offset, 576u);
    EXPECT_EQ(out[1].data, mp2Frame(0x11));
    // Zero padding after whole frames is skipped silently.
    std::vector<uint8_t> padded = mp2Frame(0x20);
    padded.resize(2000, 0);
    p.feed(padded.data(), padded.size(), out);
    const auto following = mp2Frame(0x21);
    p.feed(following.data(), following.size(), out);
    EXPECT_EQ(out.size(), 6u);
    EXPECT_EQ(out.back().data, mp2Frame(0x20));
    EXPECT_EQ(p.errors().skippedBytes, 0u);
    // Garbage costs the bytes it occupies and the frame it follows (nothing
    // checks that one), then framing resumes.
    std::vector<uint8_t> garbage = {0x12, 0x34, 0xFF, 0x56};
    auto next = mp2Frame(0x30);
    garbage.insert(garbage.end(), next.begin(), next.end());
    garbage.insert(garbage.end(), next.begin(), next.end());
    garbage.resize(garbage.size() + 8, 0);
    p.feed(garbage.data(), garbage.size(), out);
    EXPECT_EQ(out.size(), 7u);
    EXPECT_EQ(out.back().data, next);
    EXPECT_EQ(p.errors().droppedUnits, 1u);
    EXPECT_GE(p.errors().skippedBytes, 3u);
}

TEST(AudioParser, CutOffFrameIsLeftOutAndTheNextOneTaken)
{
    // Frame 1 ends after 200 of its 576 bytes; frame 2 follows at once.
    std::vector<uint8_t> stream;
    for (int i = 0; i < 4; ++i) {
        auto f = mp2Frame(static_cast<uint8_t>(0x40 + i));
        if (i == 1)
            f.resize(200);
        stream.insert(stream.end(), f.begin(), f.end());
    }
    AudioParser p;
    std::deque<AudioFrame> out;
    p.feed(stream.data(), stream.size(), out);
    p.takeLastFrame(out);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].data, mp2Frame(0x40));
    EXPECT_EQ(out[1].data, mp2Frame(0x42));
    EXPECT_EQ(out[1].damagedBytes, 200u);
    EXPECT_EQ(out[2].data, mp2Frame(0x43));
    EXPECT_EQ(p.errors().droppedUnits, 1u);
}

namespace {

// A silent frame for a gap has the format of the stream's own frames (so
// that the program stream stays one stream) and plays as silence.
struct AudioFormat {
    AudioKind kind;
    int sampleRate;
    int64_t bitRate;
    uint64_t channelMask;
};

std::ostream &operator<<(std::ostream &os, const AudioFormat &f)
{
    return os << (f.kind == AudioKind::Ac3 ? "AC-3 " : "MP2 ") << f.sampleRate << " Hz " << f.bitRate << " bit/s mask "
              << f.channelMask;
}

class SilentFrame : public ::testing::TestWithParam<AudioFormat> {};

TEST_P(SilentFrame, HasTheStreamsFormatAndPlaysAsSilence)
{
    constexpr double kSilencePeak = 1e-4; // -80 dB; AC-3 decoders dither what is coded with no bits
    const AudioFormat &f = GetParam();
    FeedOptions o;
    o.video = false;
    o.seconds = 0.5;
    o.audio = f.kind;
    o.audioSampleRate = f.sampleRate;
    o.audioBitRate = f.bitRate;
    o.audioChannelMask = f.channelMask;
    const MediaUnits units = encodeUnits(o);
    ASSERT_GT(units.audio.size(), 3u);
    const bool ac3 = f.kind == AudioKind::Ac3;
    SilentFrames silence;
    for (size_t k = 1; k <= 2; ++k) { // at 44.1 kHz one of them is padded
        const std::vector<uint8_t> &frame = units.audio[k].data;
        const std::vector<uint8_t> *silent = silence.like(frame);
        ASSERT_NE(silent, nullptr);
        const auto real = parseAudioHeader(frame.data(), frame.size());
        const auto made = parseAudioHeader(silent->data(), silent->size());
        ASSERT_TRUE(real && made);
        EXPECT_EQ(made->codec, real->codec);
        EXPECT_EQ(made->layer, real->layer);
        EXPECT_EQ(made->sampleRate, real->sampleRate);
        EXPECT_EQ(made->bitRate, real->bitRate);
        EXPECT_EQ(made->samplesPerFrame, real->samplesPerFrame);
        EXPECT_EQ(silent->size(), made->frameBytes);
        const FrameSound sound = decodeFrame(*silent, ac3);
        EXPECT_EQ(sound.channels, decodeFrame(frame, ac3).channels);
        EXPECT_LT(sound.peak, kSilencePeak);
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, SilentFrame,
                         ::testing::Values(AudioFormat{AudioKind::Mp2, 48000, 192000, 0},
                                           AudioFormat{AudioKind::Mp2, 44100, 128000, AV_CH_LAYOUT_MONO},
                                           AudioFormat{AudioKind::Ac3, 48000, 384000, 0},
                                           AudioFormat{AudioKind::Ac3, 44100, 192000, AV_CH_LAYOUT_MONO},
                                           AudioFormat{AudioKind::Ac3, 48000, 448000, AV_CH_LAYOUT_5POINT1},
                                           AudioFormat{AudioKind::Ac3, 48000, 256000, AV_CH_LAYOUT_2_1},
                                           AudioFormat{AudioKind::Ac3, 32000, 320000, AV_CH_LAYOUT_3POINT1}));

} // namespace
