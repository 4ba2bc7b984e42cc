#include "analysis/Ac3HeaderReader.h"
#include "analysis/MpegAudioHeader.h"
#include "analysis/StreamInfoTracker.h"
#include "analysis/VideoInfoLines.h"

#include "EncodedAudio.h"
#include "platform/testing/ScopedLocale.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace quelmar;
using namespace quelmar::testing;

namespace {

using Lines = std::vector<std::string>;

// A record laid out byte by byte as the multiplexer module writes it.
VideoInfo MakeVideoInfo(double frameRate, std::uint32_t bitRate, std::uint16_t width, std::uint16_t height,
                        std::uint8_t picture, std::uint8_t chroma, std::uint8_t aspect)
{
    std::uint8_t raw[sizeof(VideoInfo)] = {};
    raw[0] = 1;
    raw[1] = 1;
    std::memcpy(raw + 8, &frameRate, sizeof frameRate);
    std::memcpy(raw + 16, &bitRate, sizeof bitRate);
    raw[29] = chroma;
    raw[30] = aspect;
    std::memcpy(raw + 32, &width, sizeof width);
    std::memcpy(raw + 34, &height, sizeof height);
    raw[36] = picture;
    VideoInfo info;
    std::memcpy(&info, raw, sizeof info);
    return info;
}

TEST(VideoInfoLines, FormatsTheRecord)
{
    EXPECT_EQ(VideoInfoLines(MakeVideoInfo(25.0, 15000, 720, 576, 0, 1, 3)),
              (Lines{"Frame Rate: 25.0000 Hz", "Bit Rate: 6.0000 Mbps", "Resolution: 720x576",
                     "Picture Format: interlaced", "Chroma Format: 4:2:0", "Aspect Ratio: 16:9"}));
    EXPECT_EQ(VideoInfoLines(MakeVideoInfo(30000.0 / 1001, 24500, 352, 288, 1, 2, 2)),
              (Lines{"Frame Rate: 29.9700 Hz", "Bit Rate: 9.8000 Mbps", "Resolution: 352x288",
                     "Picture Format: progressive", "Chroma Format: 4:2:2", "Aspect Ratio: 4:3"}));
}

TEST(InfoLines, NumbersKeepTheirDecimalPointUnderTheUsersLocale)
{
    ScopedLocale german(kGermanLocale);
    if (!german.Active())
        GTEST_SKIP() << kGermanLocale << " is not installed (scripts/install-deps generates it)";
    const Lines video = VideoInfoLines(MakeVideoInfo(30000.0 / 1001, 15000, 720, 576, 0, 1, 3));
    EXPECT_EQ(video[0], "Frame Rate: 29.9700 Hz");
    EXPECT_EQ(video[1], "Bit Rate: 6.0000 Mbps");
    const std::uint8_t header[] = {0xFF, 0xFD, 0xA4, 0x04}; // layer 2, 192 kbit/s, 48 kHz
    EXPECT_EQ(MpegAudioInfoLines(MpegAudioHeader(header))[2], "Sampling Frequency: 48.0 kHz");
}

TEST(VideoInfoLines, CodesWithoutATableText)
{
    EXPECT_STREQ(AspectRatioText(0), "forbidden");
    EXPECT_STREQ(AspectRatioText(1), "-");
    EXPECT_STREQ(AspectRatioText(4), "2,21:1");
    EXPECT_STREQ(AspectRatioText(9), "reserved");
    EXPECT_STREQ(AspectRatioText(15), "reserved");
    EXPECT_STREQ(AspectRatioText(16), "no information");
    EXPECT_STREQ(AspectRatioText(200), "no information");
    EXPECT_STREQ(ChromaFormatText(0), "reserved");
    EXPECT_STREQ(ChromaFormatText(3), "4:4:4");
    EXPECT_STREQ(ChromaFormatText(4), "no information");
    EXPECT_STREQ(ChromaFormatText(5), "no information");
    EXPECT_STREQ(PictureFormatText(2), "no information");
    EXPECT_STREQ(PictureFormatText(3), "no information");
}

TEST(StreamInfoTracker, VideoListFollowsTheRecordFlags)
{
    StreamInfoTracker tracker;
    VideoInfo info = MakeVideoInfo(25.0, 15000, 720, 576, 0, 1, 3);
    EXPECT_FALSE(tracker.OnVideoInfo(nullptr));
    ASSERT_TRUE(tracker.OnVideoInfo(&info));
    EXPECT_EQ(tracker.OnVideoInfo(&info)->size(), 6u);
    info.extensionKnown = 0;
    EXPECT_FALSE(tracker.OnVideoInfo(&info));
    info.extensionKnown = 1;
    info.sequenceKnown = 0;
    EXPECT_FALSE(tracker.OnVideoInfo(&info));
}

TEST(StreamInfoTracker, MpegAudioListRebuiltOnlyWhenTheHeaderChanges)
{
    StreamInfoTracker tracker;
    const std::uint8_t first[] = {0xFF, 0xFD, 0xA4, 0x04, 0x55};
    const std::uint8_t padded[] = {0xFF, 0xFD, 0xA6, 0x04, 0x66};
    EXPECT_FALSE(tracker.OnAudioFrame(nullptr, 0).lines);

    const auto update = tracker.OnAudioFrame(first, sizeof first);
    EXPECT_FALSE(update.isAc3);
    ASSERT_TRUE(update.lines);
    EXPECT_EQ(update.lines->front(), "Audio Type: MPEG, Layer 2");
    EXPECT_FALSE(tracker.OnAudioFrame(first, sizeof first).lines);
    EXPECT_TRUE(tracker.OnAudioFrame(padded, sizeof padded).lines);
    EXPECT_TRUE(tracker.OnAudioFrame(first, sizeof first).lines);
    EXPECT_FALSE(tracker.OnAudioFrame(first, 3).lines); // not a whole header

    tracker.Reset();
    EXPECT_TRUE(tracker.OnAudioFrame(first, sizeof first).lines);
}

TEST(StreamInfoTracker, Ac3ListRebuiltWhenTheSignatureChanges)
{
    AudioEncoding enc;
    enc.frames = 3;
    const std::vector<EncodedFrame> frames = EncodeAudio(enc);
    StreamInfoTracker tracker;

    const auto update = tracker.OnAudioFrame(frames[0].data(), frames[0].size());
    EXPECT_TRUE(update.isAc3);
    ASSERT_TRUE(update.lines);
    EXPECT_EQ(update.lines->front(), "Audio Type: AC3");
    EXPECT_EQ(update.lines->at(9), "CRC-Check: O.K.");

    // Same parameters in the next frame: nothing to do, but still AC-3.
    const auto same = tracker.OnAudioFrame(frames[1].data(), frames[1].size());
    EXPECT_TRUE(same.isAc3);
    EXPECT_FALSE(same.lines);

    // A damaged frame changes the CRC result and so the list.
    std::vector<std::uint8_t> damaged = frames[2];
    damaged.back() ^= 1;
    const auto bad = tracker.OnAudioFrame(damaged.data(), damaged.size());
    ASSERT_TRUE(bad.lines);
    EXPECT_EQ(bad.lines->at(9), "CRC-Check: CRC1 O.K., CRC2 failed");
}

// The list shows whatever audio is being recorded now, also after the stream
// went from AC-3 to MPEG audio and back, and also for an AC-3 frame whose
// signature happens to be 0 (dual mono at 32 kbit/s, 48 kHz).
TEST(StreamInfoTracker, ChangeOfAudioKindAndZeroSignatureRebuild)
{
    AudioEncoding enc;
    enc.frames = 1;
    const EncodedFrame ac3 = EncodeAudio(enc)[0];
    const std::uint8_t mpeg[] = {0xFF, 0xFD, 0xA4, 0x04};

    StreamInfoTracker tracker;
    EXPECT_TRUE(tracker.OnAudioFrame(mpeg, sizeof mpeg).lines);
    EXPECT_TRUE(tracker.OnAudioFrame(ac3.data(), ac3.size()).lines);
    EXPECT_TRUE(tracker.OnAudioFrame(mpeg, sizeof mpeg).lines);

    // fscod 0, frmsizecod 0, bsmod 0, acmod 0 and no further flags: the
    // header alone, so the CRCs fail; make a complete, intact frame instead.
    std::vector<std::uint8_t> zero(128, 0);
    zero[0] = kAc3Sync0;
    zero[1] = kAc3Sync1;
    // crc1 and crc2 words that zero both remainders of an otherwise empty
    // frame are 0 themselves, so this frame is intact.
    const Ac3HeaderReader reader(zero.data(), zero.size());
    ASSERT_EQ(reader.CrcCheck(), kAc3CrcOk);
    ASSERT_EQ(Ac3RefreshSignature(reader), 0u);
    StreamInfoTracker fresh;
    EXPECT_TRUE(fresh.OnAudioFrame(zero.data(), zero.size()).lines);
}

} // namespace
