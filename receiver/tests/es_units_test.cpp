// The checks of replayed units on built units: the shapes real captures
// rarely show (field pictures, 44.1 kHz audio, padding) next to the usual.
#include "receiver/es_units.h"

#include <gtest/gtest.h>

#include <vector>

namespace quelmar::receiver {
namespace {

using Bytes = std::vector<uint8_t>;

void append(Bytes *b, std::initializer_list<uint8_t> bytes) { b->insert(b->end(), bytes); }
void startCode(Bytes *b, uint8_t code) { append(b, {0, 0, 1, code}); }

// Sequence header with `lines`, its extension (progressive or not), a GOP
// header (closed or open), then pictures of `structure` with slices 1..rows.
Bytes videoUnit(unsigned lines, bool progressive, bool closedGop,
                std::initializer_list<std::pair<uint8_t, unsigned>> pictures)
{
    Bytes b;
    startCode(&b, kSequenceHeaderCode);
    append(&b, {0x2D, static_cast<uint8_t>(0x00 | (lines >> 8)), static_cast<uint8_t>(lines), 0x33, 0, 0, 0, 0});
    startCode(&b, kExtensionStartCode);
    append(&b, {0x14, static_cast<uint8_t>(0x82 | (progressive ? 0x08 : 0)), 0x00, 0x01, 0, 0});
    startCode(&b, kGopHeaderCode);
    append(&b, {0, 0, 0, static_cast<uint8_t>(closedGop ? 0x40 : 0x00)});
    for (const auto &[structure, rows] : pictures) {
        startCode(&b, kPictureStartCode);
        append(&b, {0x00, 0x18, 0xFF, 0xF8});
        startCode(&b, kExtensionStartCode);
        append(&b, {0x8F, 0xFF, static_cast<uint8_t>(0xF0 | structure), 0x80, 0x80});
        for (unsigned row = 1; row <= rows; ++row) {
            startCode(&b, static_cast<uint8_t>(row));
            append(&b, {0x13, 0xF8, 0x7D});
        }
    }
    return b;
}

TEST(EsUnits, APictureIsWholeWhenItsSlicesReachItsLastRow)
{
    constexpr uint8_t kTop = 1, kBottom = 2, kFrame = 3;
    struct Case {
        Bytes unit;
        bool whole;
    } cases[] = {
        {videoUnit(576, false, true, {{kFrame, 36}}), true},
        {videoUnit(576, false, true, {{kFrame, 13}}), false}, // cut off in the 13th row
        {videoUnit(576, false, true, {{kTop, 18}, {kBottom, 18}}), true},
        {videoUnit(576, false, true, {{kTop, 18}, {kBottom, 9}}), false},
        {videoUnit(488, false, true, {{kFrame, 32}}), true}, // interlaced: rows in field pairs
        {videoUnit(488, true, true, {{kFrame, 31}}), true},  // progressive: 488 / 16 rounded up
        {videoUnit(488, false, true, {{kFrame, 31}}), false},
    };
    for (const Case &c : cases) {
        SequenceShape shape;
        EXPECT_EQ(picturesComplete(c.unit.data(), c.unit.size(), &shape), c.whole);
    }
    // A picture after the GOP's first unit uses the shape seen there; before
    // any sequence header there is nothing to check against.
    const Bytes first = videoUnit(576, false, true, {{kFrame, 36}});
    Bytes next;
    startCode(&next, kPictureStartCode);
    append(&next, {0x00, 0x18});
    startCode(&next, 1);
    SequenceShape shape;
    ASSERT_TRUE(picturesComplete(first.data(), first.size(), &shape));
    EXPECT_FALSE(picturesComplete(next.data(), next.size(), &shape));
    SequenceShape unknown;
    EXPECT_TRUE(picturesComplete(next.data(), next.size(), &unknown));
}

TEST(EsUnits, BrokenLinkIsSetOnlyInTheGopHeader)
{
    Bytes open = videoUnit(576, false, false, {{3, 36}});
    EXPECT_TRUE(gopLink(open.data(), open.size()).present);
    EXPECT_FALSE(gopLink(open.data(), open.size()).closed);
    Bytes before = open;
    ASSERT_TRUE(markBrokenLink(&open));
    EXPECT_TRUE(gopLink(open.data(), open.size()).brokenLink);
    size_t differing = 0;
    for (size_t i = 0; i < open.size(); ++i)
        differing += open[i] != before[i];
    EXPECT_EQ(differing, 1u);
    Bytes none = {0, 0, 1, kPictureStartCode, 0, 0};
    EXPECT_FALSE(markBrokenLink(&none));
}

TEST(EsUnits, AudioUnitsKeepTheirWholeFrames)
{
    // MP2: MPEG-1 48 kHz 192 kbit/s (576 bytes), 44.1 kHz 128 kbit/s with
    // padding (418), MPEG-2 24 kHz 64 kbit/s (384). AC-3: 48 kHz 384 kbit/s
    // (1536), 44.1 kHz 32 kbit/s, odd size code (140).
    const struct {
        AudioCodec codec;
        Bytes header;
        size_t frameBytes;
        int sampleRate;
    } cases[] = {
        {AudioCodec::Mp2, {0xFF, 0xFD, 0xA4, 0x04}, 576, 48000},
        {AudioCodec::Mp2, {0xFF, 0xFD, 0x82, 0x04}, 418, 44100},
        {AudioCodec::Mp2, {0xFF, 0xF5, 0x84, 0x04}, 384, 24000},
        {AudioCodec::Ac3, {0x0B, 0x77, 0, 0, 0x1C, 0x40}, 1536, 48000},
        {AudioCodec::Ac3, {0x0B, 0x77, 0, 0, 0x41, 0x40}, 140, 44100},
    };
    for (const auto &c : cases) {
        Bytes frame = c.header;
        frame.resize(c.frameBytes, 0x55);
        Bytes unit = frame;
        unit.insert(unit.end(), frame.begin(), frame.end());
        unit.insert(unit.end(), frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(c.frameBytes / 2));
        const AudioFrames whole = wholeAudioFrames(c.codec, unit.data(), unit.size());
        EXPECT_EQ(whole.bytes, 2 * c.frameBytes);
        EXPECT_EQ(whole.frames, 2);
        EXPECT_EQ(whole.sampleRate, c.sampleRate);
        // Only a piece of a frame: nothing whole.
        EXPECT_EQ(wholeAudioFrames(c.codec, unit.data(), c.frameBytes - 1).bytes, 0u);
    }
    const Bytes garbage(600, 0x47);
    EXPECT_EQ(wholeAudioFrames(AudioCodec::Mp2, garbage.data(), garbage.size()).bytes, 0u);
}

} // namespace
} // namespace quelmar::receiver
