// libremuxer.so fed like the recording thread feeds it, outputs decoded.
#include "harness.h"
#include "unit_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>

using namespace quelmar::remux::test;

namespace {

constexpr double kSyncToleranceS = 0.040; // audio and video start together within this
constexpr double kFrameS = 0.040;         // one video frame at 25 fps
constexpr double kGopS = 12 * kFrameS;
constexpr double kAc3FeedS = 12.0; // AC-3 frames start in a packet's last bytes now and then
constexpr int kFps = 25;
constexpr double kLaggingFeedS = 30.0; // the records end up seconds behind

const Feed &feedFor(const FeedOptions &o, const std::string &key)
{
    static std::map<std::string, Feed> cache;
    auto it = cache.find(key);
    if (it == cache.end())
        it = cache.emplace(key, makeFeed(o)).first;
    return it->second;
}

const Feed &mp2Feed() { return feedFor(FeedOptions{}, "mp2"); }

const Feed &ac3Feed()
{
    FeedOptions o;
    o.audio = AudioKind::Ac3;
    o.seconds = kAc3FeedS;
    return feedFor(o, "ac3");
}

// Zero bytes in front of a start code are stuffing: keep two of each run so
// that streams can be compared whatever stuffing they carry.
std::vector<uint8_t> normalised(const std::vector<uint8_t> &v)
{
    std::vector<uint8_t> out;
    out.reserve(v.size());
    size_t zeros = 0;
    for (uint8_t b : v) {
        if (b == 0) {
            ++zeros;
            continue;
        }
        if (b == 1 && zeros >= 2)
            zeros = 2;
        out.insert(out.end(), zeros, 0);
        zeros = 0;
        out.push_back(b);
    }
    return out; // trailing zeros dropped: the end is as good as a start code
}

bool sameVideo(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b) { return normalised(a) == normalised(b); }

size_t videoChunkBytes(const Feed &f)
{
    size_t n = 0;
    for (const Chunk &c : f.chunks)
        if (c.kind == REMUX_STREAM_VIDEO)
            n += c.data.size();
    return n;
}

bool startsWithSequenceHeader(const std::vector<uint8_t> &v)
{
    return v.size() > 4 && v[0] == 0 && v[1] == 0 && v[2] == 1 && v[3] == 0xB3;
}

size_t countPrivateStream1(const std::vector<uint8_t> &ps)
{
    size_t n = 0;
    for (size_t i = 0; i + 4 <= ps.size(); ++i)
        if (ps[i] == 0 && ps[i + 1] == 0 && ps[i + 2] == 1 && ps[i + 3] == 0xBD)
            ++n;
    return n;
}

void expectClean(const FileCheck &c, const char *what)
{
    EXPECT_TRUE(c.opened) << what;
    EXPECT_EQ(c.warnings, 0) << what << ": " << (c.messages.empty() ? "" : c.messages.front());
    EXPECT_EQ(c.video.decodeErrors, 0) << what;
    EXPECT_EQ(c.audio.decodeErrors, 0) << what;
}

// Program stream checks shared by the A/V cases: both streams, clean decode,
// an I-frame first, audio and video starting together (or audio up to
// audioLateS later: a part after a split).
void expectPlayableProgramStream(const std::vector<uint8_t> &mpg, const char *audioCodec, double audioLateS = 0)
{
    FileCheck c = checkOutput(mpg, "mpeg");
    expectClean(c, "program stream");
    ASSERT_TRUE(c.hasVideo && c.hasAudio);
    EXPECT_EQ(c.video.codec, "mpeg2video");
    EXPECT_EQ(c.audio.codec, audioCodec);
    EXPECT_TRUE(c.video.firstFrameIsI);
    EXPECT_GT(c.audio.firstPts, c.video.firstPts - kSyncToleranceS);
    EXPECT_LT(c.audio.firstPts, c.video.firstPts + audioLateS + kSyncToleranceS);
    EXPECT_EQ(c.video.dtsNotRising, 0) << "pictures as a reader times them";
    EXPECT_EQ(c.audio.dtsNotRising, 0) << "audio frames as a reader times them";
    ASSERT_GT(mpg.size(), 18u);
    EXPECT_EQ(mpg[3], 0xBA) << "a part starts with a pack header";
    EXPECT_EQ(mpg[14 + 3], 0xBB) << "and a system header";
}

} // namespace

TEST(RemuxerModule, ReportsVersionTwoAndRefusesShortRecords)
{
    Module &m = Module::get();
    DLLVERSIONINFO v{};
    v.cbSize = sizeof v;
    ASSERT_EQ(m.DllGetVersion(&v), 0);
    EXPECT_EQ(v.dwMajorVersion, 2u);
    EXPECT_EQ(v.dwMinorVersion, 0u);
    EXPECT_EQ(v.dwPlatformID, 2u);
    DLLVERSIONINFO shortRecord{};
    shortRecord.cbSize = 8;
    EXPECT_NE(m.DllGetVersion(&shortRecord), 0);
    EXPECT_NE(m.DllGetVersion(nullptr), 0);
}

TEST(RemuxerModule, Mp2FeedGivesExactElementaryStreamsAndAPlayableProgramStream)
{
    const Feed &feed = mp2Feed();
    RunResult r = run(feed, RunOptions{});
    ASSERT_FALSE(r.failedAt);
    ASSERT_EQ(r.parts.size(), 1u);
    const Part &p = r.parts[0];
    // The feed starts with a sequence header and a closed GOP and audio starts
    // with the first picture, so nothing is dropped: the elementary streams are
    // what the encoders produced, stuffing removed.
    EXPECT_TRUE(sameVideo(p.m2v, feed.videoEs)) << p.m2v.size() << " vs " << feed.videoEs.size();
    EXPECT_TRUE(p.audio == feed.audioEs) << p.audio.size() << " vs " << feed.audioEs.size();
    // Every byte delivered is either in the m2v or counted as padding.
    EXPECT_EQ(r.padding + p.m2v.size(), videoChunkBytes(feed));
    EXPECT_LE(r.padding, feed.videoStuffingBytes);
    EXPECT_GT(r.padding, feed.videoStuffingBytes * 9 / 10);
    expectPlayableProgramStream(p.mpg, "mp2");
    FileCheck c = checkOutput(p.mpg, "mpeg");
    EXPECT_EQ(c.video.frames, feed.videoFrames);
    EXPECT_EQ(c.audio.frames, feed.audioFrames);
    EXPECT_NEAR(r.recordingTimeMs / 1000.0, feed.videoFrames * kFrameS, 0.05);
    FileCheck es = checkOutput(p.m2v, "mpegvideo");
    expectClean(es, "m2v");
    EXPECT_TRUE(es.video.firstFrameIsI);
    FileCheck mp2 = checkOutput(p.audio, "mp3");
    expectClean(mp2, "mp2");
    EXPECT_EQ(mp2.audio.codec, "mp2");
    ASSERT_EQ(r.lastAudio.size(), 8u);
    EXPECT_EQ(r.lastAudio[0], 0xFF);
    EXPECT_EQ(r.lastAudio[1] & 0xE0, 0xE0);
    bool synced = std::any_of(r.log.begin(), r.log.end(),
                              [](const std::string &s) { return s.find("Synchronised") != std::string::npos; });
    EXPECT_TRUE(synced);
    EXPECT_LE(r.log.size(), 3u) << "sparse logging";
}

TEST(RemuxerModule, Ac3GoesToPrivateStream1AndDecodes)
{
    const Feed &feed = ac3Feed();
    RunResult r = run(feed, RunOptions{});
    ASSERT_FALSE(r.failedAt);
    const Part &p = r.parts[0];
    // Long enough for frames that start in the last bytes of a packet.
    expectPlayableProgramStream(p.mpg, "ac3");
    EXPECT_GT(countPrivateStream1(p.mpg), 10u);
    EXPECT_TRUE(p.audio == feed.audioEs);
    const ProgramStreamContent ps = demuxProgramStream(p.mpg);
    EXPECT_EQ(ps.error, "");
    EXPECT_TRUE(ps.audio == feed.audioEs);
    FileCheck ac3 = checkOutput(p.audio, "ac3");
    expectClean(ac3, "ac3");
    EXPECT_EQ(ac3.audio.frames, feed.audioFrames);
    ASSERT_EQ(r.lastAudio.size(), 8u);
    EXPECT_EQ(r.lastAudio[0], 0x0B);
    EXPECT_EQ(r.lastAudio[1], 0x77);
}

TEST(RemuxerModule, ContinuousAudioAndLateStampsGiveTheSameStreams)
{
    FeedOptions o;
    o.audioZeroFill = false;
    o.stampsBeforeData = false;
    const Feed &feed = feedFor(o, "continuous-late");
    RunResult r = run(feed, RunOptions{});
    ASSERT_FALSE(r.failedAt);
    EXPECT_TRUE(sameVideo(r.parts[0].m2v, feed.videoEs));
    EXPECT_TRUE(r.parts[0].audio == feed.audioEs);
    expectPlayableProgramStream(r.parts[0].mpg, "mp2");
}

TEST(RemuxerModule, PicturesLargerThanAChunkArriveCutAndComeOutWhole)
{
    FeedOptions o;
    o.width = 720;
    o.height = 576;
    o.seconds = 2.0;
    o.videoBitRate = 8000000;
    o.audio = AudioKind::Ac3;
    o.audioZeroFill = false;
    o.stampsBeforeData = false;
    const Feed &feed = feedFor(o, "large-pictures");
    const auto cut = std::count_if(feed.chunks.begin(), feed.chunks.end(),
                                   [](const Chunk &c) { return c.kind == REMUX_STREAM_VIDEO && c.data.back() != 0; });
    ASSERT_GT(cut, 0) << "some pictures must span chunks";
    RunResult r = run(feed, RunOptions{});
    ASSERT_FALSE(r.failedAt);
    EXPECT_TRUE(sameVideo(r.parts[0].m2v, feed.videoEs));
    EXPECT_TRUE(r.parts[0].audio == feed.audioEs);
    expectPlayableProgramStream(r.parts[0].mpg, "ac3");
    EXPECT_EQ(r.info.width, 720);
    EXPECT_EQ(r.info.height, 576);
}

TEST(RemuxerModule, VideoInfoComesFromTheSequenceHeader)
{
    RunResult r = run(mp2Feed(), RunOptions{});
    EXPECT_NE(r.info.sequenceKnown, 0);
    EXPECT_EQ(r.info.sequenceChanged, 0) << "cleared by the reads after every video chunk";
    EXPECT_EQ(r.info.width, 352);
    EXPECT_EQ(r.info.height, 288);
    EXPECT_DOUBLE_EQ(r.info.frameRate, 25.0);
    EXPECT_EQ(r.info.chromaFormat, 1);
    EXPECT_EQ(r.info.pictureFormat, 1);
    EXPECT_GE(r.info.aspectRatio, 1);
    EXPECT_GT(r.info.bitRate, 0u);
}

TEST(RemuxerModule, VideoInfoSaysChangedOncePerNewSequence)
{
    // A sequence header comes with every GOP; only the first, and the first
    // with other parameters (the aspect ratio changes half way), are news.
    Feed feed = mp2Feed();
    size_t videoChunks = 0;
    for (Chunk &c : feed.chunks) {
        if (c.kind != REMUX_STREAM_VIDEO || ++videoChunks < 50)
            continue;
        for (size_t i = 0; i + 8 < c.data.size(); ++i)
            if (c.data[i] == 0 && c.data[i + 1] == 0 && c.data[i + 2] == 1 && c.data[i + 3] == 0xB3)
                c.data[i + 7] = static_cast<uint8_t>((c.data[i + 7] & 0x0F) | (c.data[i + 7] >> 4 == 3 ? 0x20 : 0x30));
    }
    RunResult r = run(feed, RunOptions{});
    EXPECT_EQ(r.videoInfoChanges, 2);
}

TEST(RemuxerModule, FailingWriterMakesWriteReturnZeroAndStopsAllOutput)
{
    const Feed &feed = mp2Feed();
    const size_t failFrom = feed.chunks.size() / 2;
    RunOptions o;
    o.writersWork = [failFrom](size_t i) { return i < failFrom; };
    RunResult r = run(feed, o);
    ASSERT_TRUE(r.failedAt);
    EXPECT_GE(r.failedChunk, failFrom);
    EXPECT_LE(r.failedChunk, failFrom + 8) << "the failure is reported at once";
    // A module that failed stays failed, and Flush_Mpg reports it too.
    Module &m = Module::get();
    uint8_t split = 0;
    EXPECT_EQ(m.Write_Mpg([](const uint8_t *, uint32_t) { return 1; }, nullptr, nullptr, &split), 0);
    EXPECT_EQ(m.Flush_Mpg([](const uint8_t *, uint32_t) { return 1; }), 0);
}

TEST(RemuxerModule, FailingMuxWriterAtTheEndFailsFlush)
{
    const Feed &feed = mp2Feed();
    RunOptions o;
    o.videoEs = o.audioEs = false;
    o.writersWork = [n = feed.chunks.size()](size_t i) { return i + 1 < n; };
    RunResult r = run(feed, o);
    EXPECT_TRUE(r.failedAt);
}

TEST(RemuxerModule, SplitInTheMiddleOfAGopGivesTwoPartsThatPlayAlone)
{
    const Feed &feed = mp2Feed();
    RunOptions o;
    // A split about 1.7 s in: the middle of the fifth GOP.
    size_t videoChunks = 0, at = 0;
    for (size_t i = 0; i < feed.chunks.size(); ++i)
        if (feed.chunks[i].kind == 1 && ++videoChunks == 49)
            at = i;
    o.splitAfterChunks = {at};
    RunResult r = run(feed, o);
    ASSERT_FALSE(r.failedAt);
    ASSERT_EQ(r.parts.size(), 2u);
    EXPECT_TRUE(r.splitCleared);
    // Video reaches the module ahead of audio (0.2 s in this feed); the
    // flush before the split writes what each stream holds, so the first
    // part's video may run that much longer, and the second part, which
    // begins at the newest GOP start that audio reaches, has sound from
    // where the first part's ends.
    constexpr double kVideoLeadS = 0.2;
    int totalFrames = 0, totalAudioFrames = 0;
    for (size_t k = 0; k < 2; ++k) {
        const Part &p = r.parts[k];
        SCOPED_TRACE(k);
        expectPlayableProgramStream(p.mpg, "mp2", k == 0 ? 0 : kVideoLeadS + kGopS);
        EXPECT_TRUE(startsWithSequenceHeader(p.m2v));
        FileCheck es = checkOutput(p.m2v, "mpegvideo");
        expectClean(es, "m2v");
        EXPECT_TRUE(es.video.firstFrameIsI);
        totalFrames += es.video.frames;
        FileCheck a = checkOutput(p.audio, "mp3");
        expectClean(a, "mp2");
        totalAudioFrames += a.audio.frames;
        EXPECT_NEAR(a.audio.duration, es.video.duration, kVideoLeadS + kGopS + 3 * kFrameS);
    }
    // The second part repeats pictures that the first part already holds,
    // from that GOP start on (audio comes later than video, so this may be
    // the GOP before the interrupted one), and nothing else: no picture is
    // lost, no audio frame is in both parts.
    EXPECT_GE(totalFrames, feed.videoFrames);
    EXPECT_LT(totalFrames, feed.videoFrames + 2 * 12);
    EXPECT_EQ(totalAudioFrames, feed.audioFrames);
    // The m2v parts are cut from the original stream at a GOP start.
    const auto es = normalised(feed.videoEs);
    const auto second = normalised(r.parts[1].m2v);
    EXPECT_NE(std::search(es.begin(), es.end(), second.begin(), second.end()), es.end());
}

TEST(RemuxerModule, SplitWithElementaryStreamsLeadingNeedsNoFlush)
{
    const Feed &feed = mp2Feed();
    RunOptions o;
    o.mux = false;
    o.splitAfterChunks = {feed.chunks.size() / 3, 2 * feed.chunks.size() / 3};
    RunResult r = run(feed, o);
    ASSERT_EQ(r.parts.size(), 3u);
    for (const Part &p : r.parts) {
        EXPECT_TRUE(p.mpg.empty());
        EXPECT_TRUE(startsWithSequenceHeader(p.m2v));
        FileCheck es = checkOutput(p.m2v, "mpegvideo");
        expectClean(es, "m2v");
        EXPECT_TRUE(es.video.firstFrameIsI);
    }
}

TEST(RemuxerModule, PauseIsCutOutAndTheTimelineCloses)
{
    FeedOptions fo;
    fo.pauseFrom = 1.5;
    fo.pauseTo = 2.5;
    const Feed &feed = feedFor(fo, "pause");
    RunResult r = run(feed, RunOptions{});
    ASSERT_FALSE(r.failedAt);
    FileCheck c = checkOutput(r.parts[0].mpg, "mpeg");
    expectClean(c, "paused program stream");
    EXPECT_TRUE(c.video.firstFrameIsI);
    const double expected = feed.videoFrames * kFrameS - 1.0;
    // Resuming waits for the next GOP, so up to one GOP more than the pause is left out.
    EXPECT_LE(c.video.duration, expected + 0.05);
    EXPECT_GE(c.video.duration, expected - kGopS - 0.05);
    // No gap in the timestamps: the last picture follows on directly.
    EXPECT_NEAR(c.video.lastPts - c.video.firstPts + kFrameS, c.video.duration, 0.1);
    // Both streams stop together before the pause (give or take the pictures
    // already written that are shown after the audio's end: up to the
    // reordering delay of three frames) and restart together.
    EXPECT_NEAR(c.audio.duration, c.video.duration, 0.024 + 3 * kFrameS);
    EXPECT_NEAR(r.recordingTimeMs / 1000.0, c.video.duration, 0.1);
}

TEST(RemuxerModule, VideoDelayShiftsVideoAgainstAudio)
{
    const Feed &feed = mp2Feed();
    RunOptions later;
    later.videoDelayMs = 200;
    RunResult r = run(feed, later);
    FileCheck c = checkOutput(r.parts[0].mpg, "mpeg");
    expectClean(c, "delayed");
    // Video starts with the audio that followed it by 200 ms.
    EXPECT_NEAR(c.video.firstPts, c.audio.firstPts, kSyncToleranceS);
    const double audioDropped = feed.audioFrames * feed.audioFrameSeconds - c.audio.duration;
    EXPECT_NEAR(audioDropped, 0.2, 0.03);

    RunOptions earlier;
    earlier.videoDelayMs = -200;
    r = run(feed, earlier);
    c = checkOutput(r.parts[0].mpg, "mpeg");
    expectClean(c, "advanced");
    EXPECT_NEAR(c.audio.firstPts - c.video.firstPts, 0.2, 0.03);
}

TEST(RemuxerModule, AudioOnlyRecordingStartsAtTheFirstFrame)
{
    FeedOptions fo;
    fo.video = false;
    const Feed &feed = feedFor(fo, "radio");
    RunOptions o;
    o.audioOnly = true;
    RunResult r = run(feed, o);
    ASSERT_FALSE(r.failedAt);
    EXPECT_TRUE(r.parts[0].audio == feed.audioEs);
    EXPECT_TRUE(r.parts[0].m2v.empty());
    FileCheck c = checkOutput(r.parts[0].mpg, "mpeg");
    expectClean(c, "radio program stream");
    EXPECT_FALSE(c.hasVideo);
    EXPECT_EQ(c.audio.frames, feed.audioFrames);
    EXPECT_EQ(r.info.sequenceKnown, 0);
}

TEST(RemuxerModule, VideoOnlyAndAudioOnlyInputInAVModeStillRecord)
{
    FeedOptions noAudio;
    noAudio.audio = AudioKind::None;
    const Feed &v = feedFor(noAudio, "video-only");
    RunResult r = run(v, RunOptions{});
    ASSERT_FALSE(r.failedAt);
    EXPECT_TRUE(sameVideo(r.parts[0].m2v, v.videoEs));
    FileCheck c = checkOutput(r.parts[0].mpg, "mpeg");
    expectClean(c, "video-only program stream");
    EXPECT_EQ(c.video.frames, v.videoFrames);

    FeedOptions noVideo;
    noVideo.video = false;
    const Feed &a = feedFor(noVideo, "radio");
    r = run(a, RunOptions{});
    ASSERT_FALSE(r.failedAt);
    FileCheck ca = checkOutput(r.parts[0].audio, "mp3");
    expectClean(ca, "audio without video");
    EXPECT_GT(ca.audio.frames, a.audioFrames / 2);
}

TEST(RemuxerModule, TimestampWrapAndJumpKeepTheOutputContinuous)
{
    FeedOptions wrap;
    wrap.firstPts = (1ll << 33) - 2 * 90000; // wraps after 2 s
    const Feed &w = feedFor(wrap, "wrap");
    RunResult r = run(w, RunOptions{});
    EXPECT_TRUE(sameVideo(r.parts[0].m2v, w.videoEs));
    EXPECT_TRUE(r.parts[0].audio == w.audioEs);
    FileCheck c = checkOutput(r.parts[0].mpg, "mpeg");
    expectClean(c, "wrapping");
    EXPECT_NEAR(c.video.lastPts - c.video.firstPts + kFrameS, w.videoFrames * kFrameS, 0.05);

    FeedOptions jump;
    jump.jumpAt = 2.0;
    jump.jumpTicks = 30 * 90000; // a channel switch
    const Feed &j = feedFor(jump, "jump");
    r = run(j, RunOptions{});
    ASSERT_FALSE(r.failedAt);
    c = checkOutput(r.parts[0].mpg, "mpeg");
    expectClean(c, "jumping");
    EXPECT_TRUE(c.video.firstFrameIsI);
    EXPECT_NEAR(c.video.lastPts - c.video.firstPts + kFrameS, c.video.duration, 0.1);
    EXPECT_GT(c.video.duration, j.videoFrames * kFrameS - 2 * kGopS);
    bool logged = std::any_of(r.log.begin(), r.log.end(),
                              [](const std::string &s) { return s.find("discontinuity") != std::string::npos; });
    EXPECT_TRUE(logged);
}

TEST(RemuxerModule, MissingTimestampRecordsFallBackToFrameTiming)
{
    FeedOptions fo;
    fo.withStamps = false;
    const Feed &feed = feedFor(fo, "no-stamps");
    RunResult r = run(feed, RunOptions{});
    ASSERT_FALSE(r.failedAt);
    EXPECT_TRUE(sameVideo(r.parts[0].m2v, feed.videoEs));
    FileCheck c = checkOutput(r.parts[0].mpg, "mpeg");
    expectClean(c, "unstamped");
    EXPECT_EQ(c.video.frames, feed.videoFrames);
    EXPECT_NEAR(c.video.firstPts, c.audio.firstPts, kSyncToleranceS);
}

// 50 pictures and 42 MP2 frames a second need more timestamp records than
// the two a 25-ms cycle reads: the records fall ever further behind, and
// units are timed by frame rate and frame length, each at its time.
TEST(RemuxerModule, RecordsFallingBehindLeaveEveryUnitAtItsTime)
{
    FeedOptions fo;
    fo.seconds = kLaggingFeedS;
    fo.fps = 2 * kFps;
    fo.width = 176;
    fo.height = 144;
    fo.audioZeroFill = false;
    fo.stampsBeforeData = false;
    const Feed &feed = feedFor(fo, "lagging-records");
    RunResult r = run(feed, RunOptions{});
    ASSERT_FALSE(r.failedAt);
    EXPECT_TRUE(sameVideo(r.parts[0].m2v, feed.videoEs));
    EXPECT_TRUE(r.parts[0].audio == feed.audioEs);
    expectPlayableProgramStream(r.parts[0].mpg, "mp2");
    const RecordedUnits rec = recordedUnits(r.parts, false);
    EXPECT_EQ(rec.psVideo[0].size(), static_cast<size_t>(feed.videoFrames));
    EXPECT_EQ(worstAudioOffset(rec, feed), 0);
}

TEST(RemuxerModule, StartMidStreamBeginsAtTheNextSequenceHeaderAndDropsEarlierAudio)
{
    FeedOptions fo;
    fo.skipSeconds = 0.3; // the receiver starts inside the first GOP
    const Feed &feed = feedFor(fo, "mid-stream");
    RunResult r = run(feed, RunOptions{});
    ASSERT_FALSE(r.failedAt);
    expectPlayableProgramStream(r.parts[0].mpg, "mp2");
    EXPECT_TRUE(startsWithSequenceHeader(r.parts[0].m2v));
    FileCheck a = checkOutput(r.parts[0].audio, "mp3");
    FileCheck v = checkOutput(r.parts[0].m2v, "mpegvideo");
    EXPECT_NEAR(a.audio.duration, v.video.duration, 0.05);
    // Exactly the delivered stream from its first sequence header on.
    const uint8_t seq[] = {0, 0, 1, 0xB3};
    auto first = std::search(feed.videoEs.begin(), feed.videoEs.end(), seq, seq + 4);
    ASSERT_NE(first, feed.videoEs.begin());
    EXPECT_TRUE(sameVideo(r.parts[0].m2v, std::vector<uint8_t>(first, feed.videoEs.end())));
}

TEST(RemuxerModule, DamagedVideoIsLeftOutUpToTheNextGopAndReported)
{
    Feed damaged = mp2Feed();
    // Overwrite the middle of one video chunk about 2 s in with noise.
    size_t videoChunks = 0;
    for (Chunk &c : damaged.chunks) {
        if (c.kind != REMUX_STREAM_VIDEO || ++videoChunks != 60)
            continue;
        for (size_t i = 0; i < 3000 && i < c.data.size(); ++i)
            c.data[i] = static_cast<uint8_t>(0x5A + i * 7);
    }
    RunResult r = run(damaged, RunOptions{});
    ASSERT_FALSE(r.failedAt);
    FileCheck ps = checkOutput(r.parts[0].mpg, "mpeg");
    expectClean(ps, "damaged program stream");
    FileCheck es = checkOutput(r.parts[0].m2v, "mpegvideo");
    expectClean(es, "damaged m2v");
    // The damaged picture and those that refer to it, up to the next GOP, are
    // left out (a decoder would otherwise show them with broken references).
    EXPECT_LE(es.video.frames, damaged.videoFrames - 4);
    EXPECT_GT(es.video.frames, damaged.videoFrames - 3 * 12);
    bool reported = std::any_of(r.log.begin(), r.log.end(), [](const std::string &s) {
        return s.find("Video stream errors") != std::string::npos;
    });
    EXPECT_TRUE(reported);
}

TEST(RemuxerModule, AudioOnlySplitLosesAndRepeatsNothing)
{
    FeedOptions fo;
    fo.video = false;
    const Feed &feed = feedFor(fo, "radio");
    RunOptions o;
    o.audioOnly = true;
    o.splitAfterChunks = {feed.chunks.size() / 2};
    RunResult r = run(feed, o);
    ASSERT_EQ(r.parts.size(), 2u);
    std::vector<uint8_t> joined = r.parts[0].audio;
    joined.insert(joined.end(), r.parts[1].audio.begin(), r.parts[1].audio.end());
    EXPECT_TRUE(joined == feed.audioEs);
    int frames = 0;
    for (const Part &p : r.parts) {
        FileCheck c = checkOutput(p.mpg, "mpeg");
        expectClean(c, "radio part");
        frames += c.audio.frames;
    }
    EXPECT_EQ(frames, feed.audioFrames);
}

TEST(RemuxerModule, ResyncMidRecordingRestartsCleanWithoutATimestampGap)
{
    const Feed &feed = mp2Feed();
    Module &m = Module::get();
    Part part;
    static Part *target;
    target = &part;
    auto mux = [](const uint8_t *d, uint32_t n) -> int32_t {
        target->mpg.insert(target->mpg.end(), d, d + n);
        return 1;
    };
    auto video = [](const uint8_t *d, uint32_t n) -> int32_t {
        target->m2v.insert(target->m2v.end(), d, d + n);
        return 1;
    };
    m.InitEx(nullptr, 0, 0, 0);
    m.Perform_Resync();
    uint8_t split = 0;
    for (size_t i = 0; i < feed.chunks.size(); ++i) {
        const Chunk &c = feed.chunks[i];
        m.SetPaused(0);
        m.Supply_Data(c.data.data(), static_cast<uint32_t>(c.data.size()), c.kind);
        if (i == feed.chunks.size() / 2)
            m.Perform_Resync();
        while (m.Write_Mpg(mux, video, nullptr, &split) == 1) {
        }
    }
    ASSERT_EQ(m.Flush_Mpg(mux), 2);
    FileCheck ps = checkOutput(part.mpg, "mpeg");
    expectClean(ps, "resynchronised program stream");
    EXPECT_LT(ps.video.frames, feed.videoFrames);
    EXPECT_NEAR(ps.video.lastPts - ps.video.firstPts + kFrameS, ps.video.duration, 0.1);
    FileCheck es = checkOutput(part.m2v, "mpegvideo");
    expectClean(es, "resynchronised m2v");
    EXPECT_EQ(es.video.frames, ps.video.frames);
}

TEST(RemuxerModule, WriteReturnsPendingWhileABacklogRemains)
{
    const Feed &feed = mp2Feed();
    Module &m = Module::get();
    static size_t written;
    written = 0;
    auto count = [](const uint8_t *, uint32_t n) -> int32_t {
        written += n;
        return 1;
    };
    m.InitEx(nullptr, 0, 0, 0);
    m.Perform_Resync();
    for (const Chunk &c : feed.chunks)
        m.Supply_Data(c.data.data(), static_cast<uint32_t>(c.data.size()), c.kind);
    uint8_t split = 0;
    int pending = 0;
    int32_t result;
    while ((result = m.Write_Mpg(count, count, count, &split)) == 1)
        ++pending;
    EXPECT_EQ(result, 2);
    EXPECT_GT(pending, 0) << "over a megabyte of backlog comes out in several calls";
    EXPECT_GT(written, feed.videoEs.size() + feed.audioEs.size());
    EXPECT_EQ(m.Write_Mpg(count, count, count, &split), 2) << "nothing left";
}

TEST(RemuxerModule, StreamOffsetsWrappingAt32BitsKeepTheirStamps)
{
    // A receiver delivers 1.3 MB of video chunks a second, so the 32-bit
    // stream offsets of its timestamp records wrap within an hour. Paused
    // chunks bring the module's counts to 1 s of chunks before the wrap; a
    // timestamp jump 2 s in is only seen if the stamps still find their units.
    constexpr uint64_t kVideoChunksBefore = (1ull << 32) / REMUX_VIDEO_CHUNK_BYTES - 40;
    constexpr uint64_t kAudioChunksBefore = (1ull << 32) / REMUX_AUDIO_CHUNK_BYTES - 40;
    FeedOptions fo;
    fo.jumpAt = 2.0;
    fo.jumpTicks = 30 * 90000;
    Feed feed = feedFor(fo, "jump");
    for (Chunk &c : feed.chunks) {
        if (c.kind != REMUX_STREAM_PTS)
            continue;
        uint32_t off = static_cast<uint32_t>(c.data[2]) << 24 | c.data[3] << 16 | c.data[4] << 8 | c.data[5];
        off += static_cast<uint32_t>(c.data[0] == 1 ? kVideoChunksBefore * REMUX_VIDEO_CHUNK_BYTES
                                                    : kAudioChunksBefore * REMUX_AUDIO_CHUNK_BYTES);
        for (int i = 0; i < 4; ++i)
            c.data[2 + i] = static_cast<uint8_t>(off >> (24 - 8 * i));
    }
    RunOptions o;
    o.afterInit = [](Module &m) {
        static const std::vector<uint8_t> kVideo(REMUX_VIDEO_CHUNK_BYTES, 0x47), kAudio(REMUX_AUDIO_CHUNK_BYTES, 0x47);
        m.SetPaused(1);
        for (uint64_t i = 0; i < kVideoChunksBefore; ++i)
            m.Supply_Data(kVideo.data(), REMUX_VIDEO_CHUNK_BYTES, REMUX_STREAM_VIDEO);
        for (uint64_t i = 0; i < kAudioChunksBefore; ++i)
            m.Supply_Data(kAudio.data(), REMUX_AUDIO_CHUNK_BYTES, REMUX_STREAM_AUDIO);
    };
    RunResult r = run(feed, o);
    ASSERT_FALSE(r.failedAt);
    bool jumpSeen = std::any_of(r.log.begin(), r.log.end(),
                                [](const std::string &s) { return s.find("discontinuity") != std::string::npos; });
    EXPECT_TRUE(jumpSeen);
    FileCheck c = checkOutput(r.parts[0].mpg, "mpeg");
    expectClean(c, "wrapped offsets");
    EXPECT_NEAR(c.video.lastPts - c.video.firstPts + kFrameS, c.video.duration, 0.1);
    EXPECT_NEAR(c.video.firstPts, c.audio.firstPts, kSyncToleranceS);
}
