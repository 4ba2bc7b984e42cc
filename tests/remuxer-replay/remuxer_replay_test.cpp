// Each capture of tests/data, and channels generated like the simulated
// receiver's, is cut into the receiver's reads (32768-byte video reads of
// whole pictures and zero stuffing, 8192-byte reads of continuous audio,
// 16-byte timestamp records), recorded with one pause and one split, and
// every output part is decoded and compared unit by unit with what was
// delivered: nothing lost, and at the split nothing in both parts but the
// pictures from the new part's GOP start on.
#include "harness.h"
#include "unit_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <ostream>
#include <string>
#include <tuple>

namespace {

using namespace quelmar::remux::test;

constexpr int64_t kClock = 90000;
constexpr int64_t kFrameTicks = 3600; // 25 pictures/s

struct Capture {
    const char *name;
    std::function<MediaUnits()> units;
    double pauseFrom, pauseTo, splitAt; // s from the start of delivery
    bool ac3 = false;
};

MediaUnits fromFile(const char *file) { return loadCapture(std::string(QUELMAR_SOURCE_DIR) + "/tests/data/" + file); }

// A generated channel of the simulated receiver: 720x576 at about 4 Mbit/s,
// closed GOPs of 12, MP2 at 192 kbit/s or AC-3 at 384 kbit/s.
MediaUnits generated(AudioKind audio)
{
    constexpr double kSeconds = 5.0;
    constexpr int kWidth = 720, kHeight = 576;
    constexpr int64_t kBitRate = 4000000;
    FeedOptions o;
    o.seconds = kSeconds;
    o.width = kWidth;
    o.height = kHeight;
    o.videoBitRate = kBitRate;
    o.audio = audio;
    return encodeUnits(o);
}

// A delivered picture's place in its GOP.
struct PictureInfo {
    char type = '?';
    int temporalReference = 0;
    bool cleanStart = false; // sequence header, GOP header and I picture
    bool closedGop = false;  // of the GOP it starts (clean starts)
};

PictureInfo pictureInfo(const MediaUnit &u)
{
    PictureInfo info;
    const auto pictures = splitPictures(u.data);
    if (pictures.empty())
        return info;
    info.type = pictures.front().type;
    info.temporalReference = pictures.front().temporalReference;
    info.cleanStart = u.data.size() > 4 && u.data[3] == 0xB3 && pictures.front().gopStart && info.type == 'I';
    info.closedGop = pictures.front().closedGop;
    return info;
}

// What the split and pause contract of remuxer.h allows to be missing.
struct Allowed {
    std::vector<bool> video, audio;
};

Allowed allowedMissing(const Feed &feed)
{
    Allowed a;
    a.video.assign(feed.video.size(), false);
    a.audio.assign(feed.audio.size(), false);
    size_t firstPaused = SIZE_MAX;
    for (size_t i = 0; i < feed.chunks.size() && firstPaused == SIZE_MAX; ++i)
        if (feed.chunks[i].paused)
            firstPaused = i;
    std::vector<PictureInfo> info;
    for (const DeliveredUnit &d : feed.video)
        info.push_back(pictureInfo(d.unit));
    // Where each stretch of delivered data starts: the recording's start and
    // the end of the pause; output resumes at the next clean start.
    struct Start {
        size_t firstUnit = 0;             // first picture of the stretch, decode order
        std::optional<size_t> cleanStart; // index of the clean start
        int64_t audioFrom = INT64_MAX;    // audio before this time is not part of it
    };
    std::vector<Start> starts(1);
    for (size_t i = 0; i < feed.video.size(); ++i)
        if (feed.video[i].paused && i + 1 < feed.video.size() && !feed.video[i + 1].paused)
            starts.push_back(Start{i + 1, std::nullopt, INT64_MAX});
    for (Start &s : starts) {
        for (size_t i = s.firstUnit; i < feed.video.size() && !s.cleanStart; ++i)
            if (info[i].cleanStart && !feed.video[i].paused)
                s.cleanStart = i;
        const size_t end = s.cleanStart ? *s.cleanStart : feed.video.size();
        for (size_t i = s.firstUnit; i < end; ++i)
            a.video[i] = true;
        if (!s.cleanStart)
            continue;
        const MediaUnit &i0 = feed.video[*s.cleanStart].unit;
        const PictureInfo &p0 = info[*s.cleanStart];
        // A closed GOP shows its leading B pictures first; an open GOP's are
        // left out (they refer to the GOP before).
        s.audioFrom = p0.closedGop ? i0.pts - p0.temporalReference * kFrameTicks : i0.pts;
        for (size_t i = *s.cleanStart + 1; i < feed.video.size() && info[i].type == 'B'; ++i)
            if (!p0.closedGop && info[i].temporalReference < p0.temporalReference)
                a.video[i] = true;
    }
    // The pause: what was delivered during it, and the stream that runs
    // ahead before it is cut back to where the other ends.
    if (firstPaused != SIZE_MAX) {
        int64_t videoEnd = INT64_MIN, audioEnd = INT64_MIN;
        const int64_t audioFrameTicks = static_cast<int64_t>(feed.audioFrameSeconds * kClock + 0.5);
        for (const DeliveredUnit &d : feed.video)
            if (d.lastChunk < firstPaused)
                videoEnd = std::max(videoEnd, d.unit.pts + kFrameTicks);
        for (const DeliveredUnit &d : feed.audio)
            if (d.lastChunk < firstPaused)
                audioEnd = std::max(audioEnd, d.unit.pts + audioFrameTicks);
        bool cut = false;
        for (size_t i = 0; i < feed.video.size() && feed.video[i].firstChunk < firstPaused; ++i) {
            cut = cut || feed.video[i].unit.pts >= audioEnd || feed.video[i].lastChunk >= firstPaused;
            a.video[i] = a.video[i] || cut;
        }
        for (size_t i = 0; i < feed.audio.size() && feed.audio[i].firstChunk < firstPaused; ++i)
            if (feed.audio[i].unit.pts + audioFrameTicks > videoEnd || feed.audio[i].lastChunk >= firstPaused)
                a.audio[i] = true;
    }
    for (size_t i = 0; i < feed.video.size(); ++i)
        a.video[i] = a.video[i] || feed.video[i].paused;
    // Audio of each stretch (before the pause, after it) starts with the
    // stretch's first picture.
    for (size_t i = 0; i < feed.audio.size(); ++i) {
        const DeliveredUnit &d = feed.audio[i];
        const Start &s = starts[starts.size() > 1 && d.firstChunk >= firstPaused ? 1 : 0];
        a.audio[i] = a.audio[i] || d.paused || d.unit.pts < s.audioFrom;
    }
    return a;
}

std::ostream &operator<<(std::ostream &os, const Capture &c) { return os << c.name; }

class RemuxerReplay : public ::testing::TestWithParam<Capture> {};

TEST_P(RemuxerReplay, EveryDeliveredUnitReachesEveryOutputInPlayableParts)
{
    const Capture &capture = GetParam();
    const MediaUnits units = capture.units();
    ASSERT_FALSE(units.video.empty());
    ASSERT_FALSE(units.audio.empty());
    FeedOptions o;
    o.audioZeroFill = false;    // continuous audio reads
    o.stampsBeforeData = false; // records come after their data, two per cycle
    o.pauseFrom = capture.pauseFrom;
    o.pauseTo = capture.pauseTo;
    const Feed feed = packFeed(units, o);
    RunOptions ro;
    // The split comes with the read that completes the picture decoded at splitAt.
    for (const DeliveredUnit &d : feed.video)
        if (ro.splitAfterChunks.empty() &&
            d.unit.dts - units.firstPts >= static_cast<int64_t>(capture.splitAt * kClock))
            ro.splitAfterChunks = {d.lastChunk};
    ASSERT_FALSE(ro.splitAfterChunks.empty());
    RunResult r = run(feed, ro);
    ASSERT_FALSE(r.failedAt);
    ASSERT_EQ(r.parts.size(), 2u);
    EXPECT_TRUE(r.splitCleared);

    for (size_t k = 0; k < r.parts.size(); ++k) {
        SCOPED_TRACE("part " + std::to_string(k));
        const Part &p = r.parts[k];
        const FileCheck ps = checkOutput(p.mpg, "mpeg");
        const FileCheck es = checkOutput(p.m2v, "mpegvideo");
        const FileCheck audio = checkOutput(p.audio, capture.ac3 ? "ac3" : "mp3");
        for (const FileCheck *c : {&ps, &es, &audio}) {
            EXPECT_TRUE(c->opened);
            EXPECT_EQ(c->warnings, 0) << (c->messages.empty() ? "" : c->messages.front());
            EXPECT_EQ(c->video.decodeErrors + c->audio.decodeErrors, 0);
        }
        EXPECT_GT(audio.audio.frames, 0);
    }

    const RecordedUnits rec = recordedUnits(r.parts, capture.ac3);
    for (size_t k = 0; k < r.parts.size(); ++k) {
        // An I picture first, in coding order (a closed GOP shows its
        // leading B pictures before it).
        ASSERT_FALSE(rec.psVideo[k].empty());
        ASSERT_FALSE(rec.esVideo[k].empty());
        EXPECT_EQ(rec.psVideo[k].front().type, 'I') << "part " << k;
        EXPECT_EQ(rec.esVideo[k].front().type, 'I') << "part " << k;
    }
    for (const std::string &e : rec.psErrors)
        EXPECT_EQ(e, "");
    const Allowed allowed = allowedMissing(feed);
    struct Output {
        const char *name;
        const std::vector<std::vector<EsUnit>> *parts;
        bool video;
    };
    for (const Output &out :
         {Output{"program stream video", &rec.psVideo, true}, Output{"video elementary stream", &rec.esVideo, true},
          Output{"program stream audio", &rec.psAudio, false},
          Output{"audio elementary stream", &rec.esAudio, false}}) {
        const std::set<UnitKey> present = keysOf(*out.parts);
        const auto &delivered = out.video ? feed.video : feed.audio;
        const auto &mayMiss = out.video ? allowed.video : allowed.audio;
        std::string missing;
        size_t count = 0;
        for (size_t i = 0; i < delivered.size(); ++i) {
            const auto keys =
                out.video ? pictureKeys(delivered[i].unit) : std::vector<UnitKey>{audioKey(delivered[i].unit)};
            const bool there =
                std::all_of(keys.begin(), keys.end(), [&](const UnitKey &k) { return present.count(k) > 0; });
            if (!there && !mayMiss[i]) {
                ++count;
                if (missing.size() < 200)
                    missing += " " + std::to_string(i);
            }
            if (there || mayMiss[i])
                continue;
        }
        EXPECT_EQ(count, 0u) << out.name << " lacks delivered units" << missing;
    }
    const int64_t audioFrameTicks = static_cast<int64_t>(feed.audioFrameSeconds * kClock + 0.5);
    EXPECT_LE(worstAudioOffset(rec, feed), audioFrameTicks) << "audio within one frame of its timestamps";
    EXPECT_LE(worstPlayedAudioOffset(r.parts, rec, feed), audioFrameTicks) << "every audio frame as a player times it";

    // The split: what is in both parts and in neither, per output.
    for (const auto &[name, video, audio] : {std::tuple{"program stream", &rec.psVideo, &rec.psAudio},
                                             std::tuple{"elementary streams", &rec.esVideo, &rec.esAudio}}) {
        const SplitCheck c = checkSplit(feed, *video, *audio, allowed.video, allowed.audio);
        std::printf("%s, %s: in both parts %zu pictures and %zu audio frames, in neither %zu and %zu\n", capture.name,
                    name, c.picturesInBoth, c.framesInBoth, c.picturesInNeither, c.framesInNeither);
        for (const std::string &f : c.faults)
            ADD_FAILURE() << name << ": " << f;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sources, RemuxerReplay,
    ::testing::Values(Capture{"ClosedGop", [] { return fromFile("closed-gop-mpeg2-mp2.ts"); }, 1.5, 1.8, 2.6},
                      Capture{"OpenGop", [] { return fromFile("open-gop-704x576-mpeg2-mp2.ts"); }, 1.0, 1.3, 3.3},
                      Capture{"GeneratedMp2", [] { return generated(AudioKind::Mp2); }, 1.5, 1.8, 3.1},
                      Capture{"GeneratedAc3", [] { return generated(AudioKind::Ac3); }, 1.5, 1.8, 3.3, true}),
    [](const ::testing::TestParamInfo<Capture> &i) { return std::string(i.param.name); });

} // namespace
