#include "receiver/stream_buffers.h"

#include <gtest/gtest.h>

namespace quelmar::receiver {
namespace {

constexpr size_t kVideoRead = 32768;
constexpr size_t kAudioRead = 8192;

EsUnit unit(Stream s, size_t size, uint8_t fill, int64_t pts, bool gop = false, int64_t dts = kNoTimestamp)
{
    EsUnit u;
    u.stream = s;
    u.data.assign(size, fill);
    u.pts = pts;
    u.dts = dts;
    u.startsGop = gop;
    return u;
}

uint32_t offsetOf(const uint8_t *r) { return uint32_t{r[2]} << 24 | uint32_t{r[3]} << 16 | uint32_t{r[4]} << 8 | r[5]; }

TEST(StreamBuffers, VideoReadsCarryWholePicturesThenZeroStuffing)
{
    StreamBuffers b;
    b.push(unit(Stream::Video, 10000, 1, 100, true, 90));
    b.push(unit(Stream::Video, 15000, 2, 200));
    b.push(unit(Stream::Video, 20000, 3, 300));
    std::vector<uint8_t> out(kVideoRead, 0xEE);
    ASSERT_TRUE(b.readVideo(out.data(), kVideoRead));
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(out[9999], 1);
    EXPECT_EQ(out[10000], 2);
    EXPECT_EQ(out[24999], 2);
    // The third picture would fit a whole read, so it is not cut.
    EXPECT_EQ(out[25000], 0);
    EXPECT_EQ(out[kVideoRead - 1], 0);
    ASSERT_TRUE(b.readVideo(out.data(), kVideoRead));
    EXPECT_EQ(out[0], 3);
    EXPECT_EQ(out[20000], 0);
    EXPECT_FALSE(b.readVideo(out.data(), kVideoRead));

    uint8_t rec[16];
    ASSERT_TRUE(b.readTimestamp(rec));
    EXPECT_EQ(rec[0], 1);
    EXPECT_EQ(rec[1], 1); // DTS 90 differs from PTS 100
    EXPECT_EQ(offsetOf(rec), 0u);
    EXPECT_EQ(rec[10], 100);
    EXPECT_EQ(rec[15], 90);
    ASSERT_TRUE(b.readTimestamp(rec));
    EXPECT_EQ(rec[1], 0);
    EXPECT_EQ(offsetOf(rec), 10000u);
    EXPECT_EQ(rec[15], 200); // DTS field repeats the PTS
    ASSERT_TRUE(b.readTimestamp(rec));
    EXPECT_EQ(offsetOf(rec), kVideoRead); // padding counts
    EXPECT_FALSE(b.readTimestamp(rec));
}

TEST(StreamBuffers, PictureLargerThanAReadContinuesWithoutStuffing)
{
    StreamBuffers b;
    b.push(unit(Stream::Video, 50000, 7, 1, true));
    b.push(unit(Stream::Video, 1000, 8, 2));
    std::vector<uint8_t> out(kVideoRead);
    ASSERT_TRUE(b.readVideo(out.data(), kVideoRead));
    EXPECT_EQ(out[kVideoRead - 1], 7);
    ASSERT_TRUE(b.readVideo(out.data(), kVideoRead));
    EXPECT_EQ(out[50000 - kVideoRead - 1], 7);
    EXPECT_EQ(out[50000 - kVideoRead], 8);
    EXPECT_EQ(out[50000 - kVideoRead + 1000], 0);
    uint8_t rec[16];
    ASSERT_TRUE(b.readTimestamp(rec));
    ASSERT_TRUE(b.readTimestamp(rec));
    EXPECT_EQ(offsetOf(rec), 50000u);
}

TEST(StreamBuffers, AudioIsServedOnlyInWholeContinuousReads)
{
    StreamBuffers b;
    for (int i = 0; i < 14; ++i)
        b.push(unit(Stream::Audio, 576, static_cast<uint8_t>(i + 1), 1000 + i * 1080));
    std::vector<uint8_t> out(kAudioRead);
    EXPECT_FALSE(b.readAudio(out.data(), kAudioRead)); // 8064 bytes buffered
    b.push(unit(Stream::Audio, 576, 15, 1000 + 14 * 1080));
    ASSERT_TRUE(b.readAudio(out.data(), kAudioRead));
    EXPECT_EQ(out[575], 1);
    EXPECT_EQ(out[576], 2);
    EXPECT_EQ(out[kAudioRead - 1], 15); // no stuffing inside audio
    EXPECT_EQ(b.bufferedBytes(Stream::Audio), 15u * 576 - kAudioRead);
    // A record for each frame that began in the read, at its offset.
    uint8_t rec[16];
    int n = 0;
    while (b.readTimestamp(rec)) {
        EXPECT_EQ(rec[0], 0);
        EXPECT_EQ(offsetOf(rec), static_cast<uint32_t>(n * 576));
        ++n;
    }
    EXPECT_EQ(n, 15);
}

TEST(StreamBuffers, OverflowDropsAndCountsAndVideoWaitsForTheNextSequenceHeader)
{
    StreamBuffers b;
    const size_t picture = 100 * 1024;
    for (int i = 0; i < 10; ++i)
        b.push(unit(Stream::Video, picture, 1, i, i == 0));
    EXPECT_EQ(b.droppedBytes(Stream::Video), 0u);
    b.push(unit(Stream::Video, picture, 2, 10)); // does not fit
    EXPECT_EQ(b.droppedBytes(Stream::Video), picture);
    std::vector<uint8_t> out(kVideoRead);
    for (int i = 0; i < 8; ++i)
        ASSERT_TRUE(b.readVideo(out.data(), kVideoRead));
    // Room again, but a picture that refers to the dropped one is dropped too.
    b.push(unit(Stream::Video, 1000, 3, 11));
    EXPECT_EQ(b.droppedBytes(Stream::Video), picture + 1000);
    b.push(unit(Stream::Video, 1000, 4, 12, true));
    EXPECT_EQ(b.droppedBytes(Stream::Video), picture + 1000);

    for (int i = 0; i < 300; ++i)
        b.push(unit(Stream::Audio, 576, 1, i));
    EXPECT_EQ(b.droppedBytes(Stream::Audio), 300u * 576 - (StreamBuffers::kAudioCapacityBytes / 576) * 576);
}

TEST(StreamBuffers, TimestampQueueIsBoundedAndClearResetsOffsets)
{
    StreamBuffers b;
    for (size_t i = 0; i < StreamBuffers::kTimestampCapacityRecords + 5; ++i)
        b.push(unit(Stream::Audio, 16, 1, static_cast<int64_t>(i)));
    std::vector<uint8_t> out(16 * (StreamBuffers::kTimestampCapacityRecords + 5));
    ASSERT_TRUE(b.readAudio(out.data(), out.size()));
    EXPECT_EQ(b.droppedTimestampRecords(), 5u);
    b.clear();
    EXPECT_EQ(b.waitingTimestampRecords(), 0u);
    b.push(unit(Stream::Video, 100, 1, 5, true));
    std::vector<uint8_t> v(kVideoRead);
    ASSERT_TRUE(b.readVideo(v.data(), kVideoRead));
    uint8_t rec[16];
    ASSERT_TRUE(b.readTimestamp(rec));
    EXPECT_EQ(offsetOf(rec), 0u);
}

TEST(StreamBuffers, TimestampsWrapAt33Bits)
{
    const TimestampRecord r = makeTimestampRecord(Stream::Video, 0xFFFFFFFF, (int64_t{1} << 33) + 5, 3);
    EXPECT_EQ(r[1], 1);
    EXPECT_EQ(r[2], 0xFF);
    EXPECT_EQ(r[6], 0);
    EXPECT_EQ(r[10], 5);
    EXPECT_EQ(r[15], 3);
}

} // namespace
} // namespace quelmar::receiver
