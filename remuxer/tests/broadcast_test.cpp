// libremuxer.so on what real broadcasts deliver: GOPs whose B pictures come
// first, open GOPs, cut-off audio frames, splits at any moment, pauses at any
// picture. Outputs are compared unit by unit with what was delivered.
#include "harness.h"
#include "unit_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <map>
#include <ostream>
#include <string>

using namespace quelmar::remux::test;

namespace {

constexpr int64_t kClock = 90000;
// AC-3 decoders dither what is coded with no bits: silence is not zero.
constexpr double kSilencePeak = 1e-4; // -80 dB of full scale

const MediaUnits &capture(const std::string &name)
{
    static std::map<std::string, MediaUnits> cache;
    auto it = cache.find(name);
    if (it == cache.end())
        it = cache.emplace(name, loadCapture(std::string(QUELMAR_SOURCE_DIR) + "/tests/data/" + name)).first;
    return it->second;
}

const MediaUnits &closedGopCapture() { return capture("closed-gop-mpeg2-mp2.ts"); }
const MediaUnits &openGopCapture() { return capture("open-gop-704x576-mpeg2-mp2.ts"); }

// The receiver's way: continuous audio reads, records after their data.
FeedOptions receiverDelivery()
{
    FeedOptions o;
    o.audioZeroFill = false;
    o.stampsBeforeData = false;
    return o;
}

std::string typeOf(const MediaUnit &u)
{
    const auto p = splitPictures(u.data);
    return p.empty() ? "?" : std::string(1, p.front().type) + std::to_string(p.front().temporalReference);
}

// Indexes of the delivered pictures (from `from` on) missing from the parts.
std::vector<size_t> missingPictures(const Feed &feed, const std::vector<std::vector<EsUnit>> &parts, size_t from = 0)
{
    const std::set<UnitKey> present = keysOf(parts);
    std::vector<size_t> missing;
    for (size_t i = from; i < feed.video.size(); ++i)
        for (const UnitKey &k : pictureKeys(feed.video[i].unit))
            if (!present.count(k)) {
                missing.push_back(i);
                break;
            }
    return missing;
}

std::vector<size_t> missingFrames(const Feed &feed, const std::vector<std::vector<EsUnit>> &parts, size_t from = 0)
{
    const std::set<UnitKey> present = keysOf(parts);
    std::vector<size_t> missing;
    for (size_t i = from; i < feed.audio.size(); ++i)
        if (!present.count(audioKey(feed.audio[i].unit)))
            missing.push_back(i);
    return missing;
}

// Output units that were never delivered (damaged frames, garbage).
size_t strangers(const std::vector<std::vector<EsUnit>> &parts, const std::vector<DeliveredUnit> &delivered)
{
    std::set<UnitKey> known;
    for (const DeliveredUnit &d : delivered)
        known.insert(audioKey(d.unit));
    size_t n = 0;
    for (const auto &part : parts)
        n += static_cast<size_t>(
            std::count_if(part.begin(), part.end(), [&](const EsUnit &u) { return !known.count(u.key); }));
    return n;
}

std::string list(const std::vector<size_t> &v)
{
    std::string s;
    for (size_t i : v)
        s += " " + std::to_string(i);
    return s;
}

// Index of the first picture that starts a clean GOP (sequence header, GOP
// header, I picture).
size_t firstCleanStart(const Feed &feed)
{
    for (size_t i = 0; i < feed.video.size(); ++i)
        if (feed.video[i].unit.data[3] == 0xB3 && typeOf(feed.video[i].unit)[0] == 'I')
            return i;
    return feed.video.size();
}

// The delivered pictures a recording that starts at picture `start` may
// leave out: those before it and, in an open GOP, the B pictures after it
// that are shown before it (they refer to the GOP before).
std::set<size_t> beforeTheStart(const Feed &feed, size_t start)
{
    std::set<size_t> skipped;
    for (size_t i = 0; i < start && i < feed.video.size(); ++i)
        skipped.insert(i);
    if (start >= feed.video.size())
        return skipped;
    const auto first = splitPictures(feed.video[start].unit.data);
    if (first.empty() || first.front().closedGop)
        return skipped;
    for (size_t i = start + 1; i < feed.video.size(); ++i) {
        const auto p = splitPictures(feed.video[i].unit.data);
        if (p.empty() || p.front().type != 'B' || p.front().temporalReference >= first.front().temporalReference)
            break;
        skipped.insert(i);
    }
    return skipped;
}

// Per delivered unit: whether it is in the set.
std::vector<bool> flags(const std::set<size_t> &indexes, size_t units)
{
    std::vector<bool> f(units, false);
    for (size_t i : indexes)
        if (i < units)
            f[i] = true;
    return f;
}

std::vector<size_t> without(const std::vector<size_t> &v, const std::set<size_t> &allowed)
{
    std::vector<size_t> out;
    std::copy_if(v.begin(), v.end(), std::back_inserter(out), [&](size_t i) { return !allowed.count(i); });
    return out;
}

// Every output of the part decodes without a word, and its video starts
// with an I picture (in coding order: a closed GOP shows B pictures first).
void expectPlayable(const Part &p, const char *audioFormat)
{
    const FileCheck ps = checkOutput(p.mpg, "mpeg");
    const FileCheck es = checkOutput(p.m2v, "mpegvideo");
    const FileCheck a = checkOutput(p.audio, audioFormat);
    for (const FileCheck *c : {&ps, &es, &a}) {
        EXPECT_TRUE(c->opened);
        EXPECT_EQ(c->warnings, 0) << (c->messages.empty() ? "" : c->messages.front());
        EXPECT_EQ(c->video.decodeErrors + c->audio.decodeErrors, 0);
    }
    const auto psPictures = splitPictures(demuxProgramStream(p.mpg).video);
    const auto esPictures = splitPictures(p.m2v);
    ASSERT_FALSE(psPictures.empty());
    ASSERT_FALSE(esPictures.empty());
    EXPECT_EQ(psPictures.front().type, 'I');
    EXPECT_EQ(esPictures.front().type, 'I');
}

} // namespace

// Broadcast encoders close a GOP and still send two B pictures first that
// are shown before its I picture; they refer only to that I picture.
TEST(RemuxerBroadcast, ClosedGopKeepsItsLeadingBPicturesInTheRecordingAndInEveryPart)
{
    const Feed feed = packFeed(closedGopCapture(), receiverDelivery());
    const size_t start = firstCleanStart(feed);
    ASSERT_LT(start, feed.video.size());
    RunOptions o;
    o.splitAfterChunks = {feed.video[feed.video.size() * 2 / 3].lastChunk};
    const RunResult r = run(feed, o);
    ASSERT_EQ(r.parts.size(), 2u);
    const RecordedUnits rec = recordedUnits(r.parts, false);
    EXPECT_EQ(list(missingPictures(feed, rec.psVideo, start)), "");
    EXPECT_EQ(list(missingPictures(feed, rec.esVideo, start)), "");
    for (size_t k = 0; k < 2; ++k) {
        SCOPED_TRACE(k);
        expectPlayable(r.parts[k], "mp3");
        // Each part starts with an I picture and the two B pictures shown before it.
        ASSERT_GE(rec.esVideo[k].size(), 3u);
        EXPECT_EQ(rec.esVideo[k][0].type, 'I');
        EXPECT_EQ(rec.esVideo[k][1].type, 'B');
        EXPECT_EQ(rec.esVideo[k][1].temporalReference, 0);
        EXPECT_EQ(rec.esVideo[k][2].temporalReference, 1);
    }
    // The audio starts with the first picture shown: the first B picture.
    const FileCheck ps = checkOutput(r.parts[0].mpg, "mpeg");
    EXPECT_NEAR(ps.audio.firstPts, ps.video.firstPts, 0.024);
}

// Without timestamp records a GOP's pictures are timed by their order: the
// I picture of a GOP with leading B pictures is shown after them.
TEST(RemuxerBroadcast, WithoutRecordsAClosedGopIsShownInItsOrder)
{
    FeedOptions o = receiverDelivery();
    o.withStamps = false;
    const Feed feed = packFeed(closedGopCapture(), o);
    const RunResult r = run(feed, RunOptions{});
    const FileCheck ps = checkOutput(r.parts[0].mpg, "mpeg");
    EXPECT_EQ(ps.warnings + ps.video.decodeErrors, 0) << (ps.messages.empty() ? "" : ps.messages.front());
    EXPECT_GT(ps.video.minFrameGap, 0.03) << "pictures shown less than a frame apart";
    const RecordedUnits rec = recordedUnits(r.parts, false);
    EXPECT_EQ(list(without(missingPictures(feed, rec.psVideo), beforeTheStart(feed, firstCleanStart(feed)))), "");
}

// An open GOP whose leading B pictures were not delivered (the receiver
// dropped them, or the recording starts at its I picture) is decodable from
// its I picture on; only those B pictures are missing.
class OpenGopGap : public ::testing::TestWithParam<int> {};

TEST_P(OpenGopGap, LosesNothingButTheMissingBPictures)
{
    MediaUnits units = openGopCapture();
    // Find the GOP and remove the B pictures that follow its I picture.
    int gop = -1;
    size_t removed = 0;
    for (size_t i = 0; i < units.video.size(); ++i) {
        if (typeOf(units.video[i])[0] == 'I' && ++gop == GetParam()) {
            while (i + 1 < units.video.size() && typeOf(units.video[i + 1])[0] == 'B') {
                units.video.erase(units.video.begin() + static_cast<ptrdiff_t>(i) + 1);
                ++removed;
            }
            break;
        }
    }
    ASSERT_EQ(removed, 2u);
    const Feed feed = packFeed(units, receiverDelivery());
    const RunResult r = run(feed, RunOptions{});
    const RecordedUnits rec = recordedUnits(r.parts, false);
    const auto allowed = beforeTheStart(feed, firstCleanStart(feed));
    EXPECT_EQ(list(without(missingPictures(feed, rec.psVideo), allowed)), "");
    EXPECT_EQ(list(without(missingPictures(feed, rec.esVideo), allowed)), "");
    expectPlayable(r.parts[0], "mp3");
}

INSTANTIATE_TEST_SUITE_P(Gops, OpenGopGap, ::testing::Values(0, 1));

// A frame cut off (as at the end of a capture a receiver replays in a loop:
// the next frame follows at once) is left out of every output; the frames
// around it are not. Streams: MP2 or AC-3 with video, an AC-3 service
// recorded as radio, and one whose declared video stream never carries
// anything (recorded as television, shorter than the wait for video).
struct CutFrame {
    AudioKind audio;
    bool video, audioOnly;
};

std::ostream &operator<<(std::ostream &os, const CutFrame &c)
{
    return os << (c.audio == AudioKind::Ac3 ? "AC-3" : "MP2") << (c.video ? " with video" : " alone")
              << (c.audioOnly ? ", recorded as radio" : "");
}

class CutOffAudio : public ::testing::TestWithParam<CutFrame> {};

TEST_P(CutOffAudio, DamagedFrameIsLeftOutAndTheOthersKept)
{
    const CutFrame &param = GetParam();
    FeedOptions o = receiverDelivery();
    o.audio = param.audio;
    o.video = param.video;
    o.seconds = 3.0;
    MediaUnits units = encodeUnits(o);
    const size_t cut = units.audio.size() / 2;
    units.audio[cut].data.resize(units.audio[cut].data.size() / 2);
    const Feed feed = packFeed(units, o);
    RunOptions ro;
    ro.audioOnly = param.audioOnly;
    const RunResult r = run(feed, ro);
    const bool ac3 = o.audio == AudioKind::Ac3;
    const RecordedUnits rec = recordedUnits(r.parts, ac3);
    EXPECT_EQ(strangers(rec.esAudio, feed.audio), 0u) << "no damaged frame in the elementary stream";
    EXPECT_EQ(strangers(rec.psAudio, feed.audio), 1u) << "one silent frame in the program stream's gap";
    // From two frames before the cut to the end.
    EXPECT_EQ(list(missingFrames(feed, rec.esAudio, cut - 2)), " " + std::to_string(cut));
    EXPECT_EQ(list(missingFrames(feed, rec.psAudio, cut - 2)), " " + std::to_string(cut));
    const FileCheck a = checkOutput(r.parts[0].audio, ac3 ? "ac3" : "mp3");
    EXPECT_EQ(a.warnings + a.audio.decodeErrors, 0) << (a.messages.empty() ? "" : a.messages.front());
    const FileCheck ps = checkOutput(r.parts[0].mpg, "mpeg");
    EXPECT_EQ(ps.warnings + ps.audio.decodeErrors + ps.video.decodeErrors, 0)
        << (ps.messages.empty() ? "" : ps.messages.front());
    EXPECT_EQ(ps.hasVideo, param.video);
    if (param.video) {
        const int64_t frame = static_cast<int64_t>(feed.audioFrameSeconds * kClock + 0.5);
        EXPECT_LE(worstAudioOffset(rec, feed), frame) << "audio after the cut stays at its time";
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, CutOffAudio,
                         ::testing::Values(CutFrame{AudioKind::Mp2, true, false}, CutFrame{AudioKind::Ac3, true, false},
                                           CutFrame{AudioKind::Ac3, false, true},
                                           CutFrame{AudioKind::Ac3, false, false}),
                         [](const ::testing::TestParamInfo<CutFrame> &i) {
                             const CutFrame &c = i.param;
                             return std::string(c.audio == AudioKind::Ac3 ? "Ac3" : "Mp2") + (c.video ? "Tv"
                                                                                              : c.audioOnly
                                                                                                  ? "Radio"
                                                                                                  : "EmptyVideo");
                         });

// The receiver delivers no audio for a while: in the program stream, as a
// player reads it, every frame after the gap plays at its own time (the gap
// is filled with silent frames of the stream's own format), and the
// elementary stream holds exactly the frames delivered.
struct AudioGap {
    AudioKind audio;
    int gapMs;
};

std::ostream &operator<<(std::ostream &os, const AudioGap &g)
{
    return os << (g.audio == AudioKind::Ac3 ? "AC-3" : "MP2") << " " << g.gapMs << " ms";
}

class AudioAfterAGap : public ::testing::TestWithParam<AudioGap> {};

TEST_P(AudioAfterAGap, PlaysAtItsOwnTimeAndOnlyTheProgramStreamIsFilled)
{
    constexpr double kGapAtS = 1.5;
    const AudioGap &param = GetParam();
    const bool ac3 = param.audio == AudioKind::Ac3;
    FeedOptions o = receiverDelivery();
    o.audio = param.audio;
    o.seconds = 3.0;
    MediaUnits units = encodeUnits(o);
    const int64_t from = units.firstPts + static_cast<int64_t>(kGapAtS * kClock);
    const int64_t to = from + param.gapMs * kClock / 1000;
    const size_t removed = std::erase_if(units.audio, [&](const MediaUnit &u) { return u.pts >= from && u.pts < to; });
    const Feed feed = packFeed(units, o);
    const int64_t frame = static_cast<int64_t>(feed.audioFrameSeconds * kClock + 0.5);
    const RunResult r = run(feed, RunOptions{});
    ASSERT_EQ(r.parts.size(), 1u);
    for (const std::string &m : r.avMessages)
        ADD_FAILURE() << "libav: " << m;
    const Part &part = r.parts[0];

    // The elementary stream: the delivered frames from its first one on, each once, nothing else.
    std::map<UnitKey, size_t> delivered;
    for (size_t i = 0; i < feed.audio.size(); ++i)
        delivered.emplace(audioKey(feed.audio[i].unit), i);
    const std::vector<EsUnit> es = splitAudioFrames(part.audio, ac3);
    ASSERT_FALSE(es.empty());
    const auto first = delivered.find(es.front().key);
    ASSERT_NE(first, delivered.end());
    ASSERT_EQ(es.size(), feed.audio.size() - first->second);
    for (size_t k = 0; k < es.size(); ++k)
        ASSERT_TRUE(es[k].key == audioKey(feed.audio[first->second + k].unit)) << "frame " << k;

    // The program stream: each delivered frame within a frame of its time,
    // taking the first one's as given; silence in the gap.
    const FileCheck ps = checkOutput(part.mpg, "mpeg");
    EXPECT_EQ(ps.warnings + ps.audio.decodeErrors + ps.video.decodeErrors, 0)
        << (ps.messages.empty() ? "" : ps.messages.front());
    std::optional<int64_t> offset;
    size_t frames = 0, fillers = 0;
    int64_t worst = 0;
    for (const ReadPacket &p : readAudioPackets(part.mpg)) {
        const auto d = delivered.find(audioKey(MediaUnit{p.data, 0, 0}));
        if (d == delivered.end()) {
            const FrameSound sound = decodeFrame(p.data, ac3);
            EXPECT_GT(sound.channels, 0);
            EXPECT_LT(sound.peak, kSilencePeak) << "a frame in the program stream was never delivered";
            ++fillers;
            continue;
        }
        if (!offset)
            offset = p.pts - feed.audio[d->second].unit.pts;
        worst = std::max(worst, std::abs(p.pts - feed.audio[d->second].unit.pts - *offset));
        ++frames;
    }
    EXPECT_EQ(frames, es.size());
    EXPECT_LE(worst, frame) << "a frame plays " << worst * 1000 / kClock << " ms off its time";
    EXPECT_EQ(fillers, removed) << "silent frames in the gap";
}

INSTANTIATE_TEST_SUITE_P(Gaps, AudioAfterAGap,
                         ::testing::Values(AudioGap{AudioKind::Mp2, 100}, AudioGap{AudioKind::Mp2, 170},
                                           AudioGap{AudioKind::Mp2, 300}, AudioGap{AudioKind::Ac3, 100},
                                           AudioGap{AudioKind::Ac3, 240}, AudioGap{AudioKind::Ac3, 300}));

// Where a recording is split or ends, and where a pause starts, the parts
// are compared with what was delivered.
struct Sweep {
    const char *name;
    std::function<MediaUnits()> units;
    double burstSeconds = 0; // delivery in bursts (see FeedOptions)
    int16_t videoDelayMs = 0;
};

std::ostream &operator<<(std::ostream &os, const Sweep &s) { return os << s.name; }

// Units of the generated streams with one B picture missing right before a
// GOP's I picture (the receiver dropped it): a one-frame gap in the
// timestamps just where a new part may start.
MediaUnits gapBeforeAGop()
{
    MediaUnits units = encodeUnits(receiverDelivery());
    for (size_t i = 30; i < units.video.size(); ++i)
        if (typeOf(units.video[i])[0] == 'I') {
            units.video.erase(units.video.begin() + static_cast<ptrdiff_t>(i) - 1);
            break;
        }
    return units;
}

const std::vector<Sweep> &sweeps()
{
    static const std::vector<Sweep> kSweeps = {
        {"Generated", [] { return encodeUnits(receiverDelivery()); }},
        {"ClosedGopCapture", [] { return closedGopCapture(); }},
        {"GapBeforeAGop", gapBeforeAGop},
        {"ClosedGopCaptureInBursts", [] { return closedGopCapture(); }, 0.25},
        {"GapBeforeAGopInBursts", gapBeforeAGop, 0.25},
        {"OpenGopCapture", [] { return openGopCapture(); }},
        {"OpenGopGenerated",
         [] {
             FeedOptions o = receiverDelivery();
             o.closedGop = false;
             return encodeUnits(o);
         }},
        {"OpenGopCaptureInBursts", [] { return openGopCapture(); }, 0.25},
        // Video shown earlier than its timestamps say: the audio reaches the
        // newest GOP start even while its picture waits for its record.
        {"GeneratedVideoEarlier", [] { return encodeUnits(receiverDelivery()); }, 0, -300},
    };
    return kSweeps;
}

Feed sweepFeed(const Sweep &s, FeedOptions o = receiverDelivery())
{
    static std::map<std::string, MediaUnits> cache;
    auto it = cache.find(s.name);
    if (it == cache.end())
        it = cache.emplace(s.name, s.units()).first;
    o.burstSeconds = s.burstSeconds;
    return packFeed(it->second, o);
}

// Audio frames delivered before the first picture of the recording is shown.
std::set<size_t> audioBefore(const Feed &feed, size_t start)
{
    std::set<size_t> before;
    if (start >= feed.video.size())
        return before;
    const auto first = splitPictures(feed.video[start].unit.data);
    const int64_t shown =
        feed.video[start].unit.pts - (first.front().closedGop ? first.front().temporalReference * kClock / 25 : 0);
    for (size_t i = 0; i < feed.audio.size(); ++i)
        if (feed.audio[i].unit.pts < shown)
            before.insert(i);
    return before;
}

// A sweep's feed, what it may leave out at the recording's start, and the
// chunks from the middle of its second GOP to the middle of the third.
struct SweepRange {
    Feed feed;
    std::set<size_t> videoAllowed, audioAllowed;
    size_t from = 0, to = 0;

    explicit SweepRange(const Sweep &s) : feed(sweepFeed(s))
    {
        const size_t start = firstCleanStart(feed);
        videoAllowed = beforeTheStart(feed, start);
        audioAllowed = audioBefore(feed, start);
        from = feed.video[start + 18].firstChunk;
        to = feed.video[start + 30].firstChunk;
    }
};

class SplitSweep : public ::testing::TestWithParam<Sweep> {};

// A split at any chunk: every unit in the old or the new program stream is
// also in the old or the new elementary stream file, nothing delivered is
// lost, every part starts with an I picture, and only the pictures from the
// newest GOP start the old part's audio reaches are in both parts.
TEST_P(SplitSweep, NoUnitIsLostAtASplitAnywhere)
{
    const SweepRange range(GetParam());
    const Feed &feed = range.feed;
    const auto &videoAllowed = range.videoAllowed;
    const auto &audioAllowed = range.audioAllowed;
    for (size_t at = range.from; at < range.to; ++at) {
        SCOPED_TRACE("split after chunk " + std::to_string(at));
        RunOptions o;
        o.splitAfterChunks = {at};
        o.videoDelayMs = GetParam().videoDelayMs;
        const RunResult r = run(feed, o);
        ASSERT_EQ(r.parts.size(), 2u);
        const RecordedUnits rec = recordedUnits(r.parts, false);
        const std::string ps = list(without(missingPictures(feed, rec.psVideo), videoAllowed));
        const std::string es = list(without(missingPictures(feed, rec.esVideo), videoAllowed));
        const std::string psAudio = list(without(missingFrames(feed, rec.psAudio), audioAllowed));
        const std::string esAudio = list(without(missingFrames(feed, rec.esAudio), audioAllowed));
        EXPECT_EQ(ps + es + psAudio + esAudio, "")
            << "pictures missing from .mpg:" << ps << ", from .m2v:" << es << "; frames missing from .mpg:" << psAudio
            << ", from .mp2:" << esAudio;
        for (size_t k = 0; k < 2; ++k) {
            ASSERT_FALSE(rec.psVideo[k].empty());
            ASSERT_FALSE(rec.esVideo[k].empty());
            EXPECT_EQ(rec.psVideo[k].front().type, 'I') << k;
            EXPECT_EQ(rec.esVideo[k].front().type, 'I') << k;
        }
        const auto mayMissVideo = flags(videoAllowed, feed.video.size());
        const auto mayMissAudio = flags(audioAllowed, feed.audio.size());
        const int64_t delay = o.videoDelayMs * kClock / 1000;
        for (const std::string &f :
             checkSplit(feed, rec.psVideo, rec.psAudio, mayMissVideo, mayMissAudio, delay).faults)
            ADD_FAILURE() << ".mpg: " << f;
        for (const std::string &f :
             checkSplit(feed, rec.esVideo, rec.esAudio, mayMissVideo, mayMissAudio, delay).faults)
            ADD_FAILURE() << ".m2v/.mp2: " << f;
        if (HasFailure())
            return;
    }
}

// The recording ends after any chunk: the final flush leaves nothing of the
// elementary streams behind.
TEST_P(SplitSweep, TheEndLeavesNothingBehind)
{
    const SweepRange range(GetParam());
    const Feed &feed = range.feed;
    for (size_t end = range.from; end < range.to; end += 3) {
        SCOPED_TRACE("stop after chunk " + std::to_string(end));
        Feed cut;
        cut.chunks.assign(feed.chunks.begin(), feed.chunks.begin() + static_cast<ptrdiff_t>(end) + 1);
        for (bool withMux : {true, false}) {
            SCOPED_TRACE(withMux ? "with .mpg" : "without .mpg, ended by Flush_Mpg(NULL)");
            RunOptions o;
            o.mux = withMux;
            o.flushWithoutMux = true;
            o.videoDelayMs = GetParam().videoDelayMs;
            const RunResult r = run(cut, o);
            const RecordedUnits rec = recordedUnits(r.parts, false);
            // What was delivered whole before the end.
            std::set<size_t> notYet = range.videoAllowed, notYetAudio = range.audioAllowed;
            for (size_t i = 0; i < feed.video.size(); ++i)
                if (feed.video[i].lastChunk > end)
                    notYet.insert(i);
            for (size_t i = 0; i < feed.audio.size(); ++i)
                if (feed.audio[i].lastChunk > end)
                    notYetAudio.insert(i);
            EXPECT_EQ(list(without(missingPictures(feed, rec.esVideo), notYet)), "");
            EXPECT_EQ(list(without(missingFrames(feed, rec.esAudio), notYetAudio)), "");
            if (withMux) {
                EXPECT_EQ(list(without(missingPictures(feed, rec.psVideo), notYet)), "");
                EXPECT_EQ(list(without(missingFrames(feed, rec.psAudio), notYetAudio)), "");
            }
        }
        if (HasFailure())
            return;
    }
}

// The split comes while the I picture after a one-frame timestamp gap waits
// for its timestamp record: the pictures after it are not taken for late.
TEST(RemuxerBroadcast, PictureWaitingForItsRecordAtAFlushLeavesItsSuccessorsInTime)
{
    const Feed feed = sweepFeed(sweeps()[2]);
    size_t gapI = 0;
    for (size_t i = 25; i < feed.video.size() && gapI == 0; ++i) // the I picture that moved up
        if (typeOf(feed.video[i].unit)[0] == 'I')
            gapI = i;
    ASSERT_GT(gapI, 0u);
    RunOptions o;
    o.splitAfterChunks = {feed.video[gapI].lastChunk}; // its record comes in a later cycle
    const RunResult r = run(feed, o);
    ASSERT_EQ(r.parts.size(), 2u);
    const RecordedUnits rec = recordedUnits(r.parts, false);
    EXPECT_EQ(list(without(missingPictures(feed, rec.psVideo), beforeTheStart(feed, firstCleanStart(feed)))), "");
    for (const Part &p : r.parts)
        expectPlayable(p, "mp3");
}

constexpr double kFrameS = 0.04;

// The sweep's feed with a pause of `seconds` from the cycle that would
// deliver picture `k` of its second GOP (counted from the recording's start).
Feed pausedAt(const Sweep &sweep, size_t k, double seconds)
{
    constexpr double kLeadS = 0.2; // pictures reach the receiver this long before they are decoded
    const Feed base = sweepFeed(sweep);
    const size_t start = firstCleanStart(base);
    FeedOptions o = receiverDelivery();
    const double at = static_cast<double>(base.video[start + 12 + k].unit.dts - base.video[0].unit.dts) / kClock -
                      kLeadS + kFrameS / 2;
    o.pauseFrom = at;
    o.pauseTo = at + seconds;
    return sweepFeed(sweep, o);
}

// The pictures before the pause and after it are shown and decoded one after
// the other (never two at one time, which players and ffmpeg refuse), the
// program stream's timestamps keep rising (libavformat refuses a unit
// otherwise), every part decodes, and audio stays at its time.
void expectCleanJunction(const Feed &feed)
{
    const RunResult r = run(feed, RunOptions{});
    for (const std::string &line : r.log)
        EXPECT_EQ(line.find("Program stream"), std::string::npos) << line;
    for (const std::string &m : r.avMessages)
        ADD_FAILURE() << "libav: " << m;
    const FileCheck ps = checkOutput(r.parts[0].mpg, "mpeg");
    EXPECT_EQ(ps.warnings + ps.video.decodeErrors + ps.audio.decodeErrors, 0)
        << (ps.messages.empty() ? "" : ps.messages.front());
    EXPECT_GT(ps.video.minFrameGap, 0.75 * kFrameS) << "pictures shown less than a frame apart";
    EXPECT_GT(ps.video.minDtsStep, 0.75 * kFrameS) << "pictures decoded less than a frame apart";
    const RecordedUnits rec = recordedUnits(r.parts, false);
    const int64_t frame = static_cast<int64_t>(feed.audioFrameSeconds * kClock + 0.5);
    EXPECT_LE(worstAudioOffset(rec, feed), frame) << "audio within a frame of its time";
    EXPECT_LE(worstPlayedAudioOffset(r.parts, rec, feed), frame) << "audio within a frame of its time, as played";
}

class PauseSweep : public ::testing::TestWithParam<Sweep> {};

// A pause that starts at any picture of a GOP (the one after the gap
// included) joins cleanly.
TEST_P(PauseSweep, PauseAtEveryPictureJoinsCleanly)
{
    constexpr double kPauseS = 0.5;
    for (size_t k = 0; k < 24; ++k) {
        SCOPED_TRACE("pause at picture " + std::to_string(k));
        expectCleanJunction(pausedAt(GetParam(), k, kPauseS));
        if (HasFailure())
            return;
    }
}

// Open GOPs after a pause: their leading B pictures are left out, but the
// I picture is still decoded that many frames before it is shown, and no
// sooner than a frame period after the last picture before the pause (these
// pauses once had it decoded 1/90000 s after that one).
struct Junction {
    size_t sweep; // index in sweeps()
    size_t picture;
    double pauseS;
};

std::ostream &operator<<(std::ostream &os, const Junction &j)
{
    return os << sweeps()[j.sweep].name << " picture " << j.picture << " for " << j.pauseS << " s";
}

class PauseJunction : public ::testing::TestWithParam<Junction> {};

TEST_P(PauseJunction, OpenGopAfterAPauseIsDecodedAFrameAfterThePictureBefore)
{
    const Junction &j = GetParam();
    expectCleanJunction(pausedAt(sweeps()[j.sweep], j.picture, j.pauseS));
}

constexpr size_t kOpenGopCapture = 5, kOpenGopGenerated = 6, kOpenGopCaptureInBursts = 7;
INSTANTIATE_TEST_SUITE_P(OpenGops, PauseJunction,
                         ::testing::Values(Junction{kOpenGopCapture, 14, 0.5}, Junction{kOpenGopCapture, 20, 0.1},
                                           Junction{kOpenGopGenerated, 0, 0.5}, Junction{kOpenGopGenerated, 9, 1.5},
                                           Junction{kOpenGopCaptureInBursts, 18, 0.5}));

INSTANTIATE_TEST_SUITE_P(Feeds, SplitSweep,
                         ::testing::Values(sweeps()[0], sweeps()[1], sweeps()[2], sweeps()[4], sweeps()[5], sweeps()[6],
                                           sweeps()[8]),
                         [](const ::testing::TestParamInfo<Sweep> &i) { return std::string(i.param.name); });
INSTANTIATE_TEST_SUITE_P(Feeds, PauseSweep, ::testing::Values(sweeps()[0], sweeps()[3], sweeps()[4]),
                         [](const ::testing::TestParamInfo<Sweep> &i) { return std::string(i.param.name); });

// The receiver is not read for a while: its buffer fills up, what arrives
// then is dropped (from the B pictures after a reference picture on) and
// delivery resumes at a GOP start lostGops GOPs later. The timestamp records
// fall behind the data meanwhile, so the pictures are timed by their order:
// the lost B pictures' time passes, every picture is shown after the one
// shown before it, and every picture that arrived is recorded.
struct Stall {
    size_t sweep; // index in sweeps()
    int lostGops;
};

std::ostream &operator<<(std::ostream &os, const Stall &s)
{
    return os << sweeps()[s.sweep].name << ", " << s.lostGops << " GOPs lost";
}

class StallResume : public ::testing::TestWithParam<Stall> {};

TEST_P(StallResume, PicturesAfterTheLossAreShownInOrderAndNoneIsLeftOut)
{
    constexpr size_t kStallAfterPictures = 30;
    const Stall &s = GetParam();
    MediaUnits units = sweeps()[s.sweep].units();
    size_t gop = kStallAfterPictures;
    while (gop < units.video.size() && typeOf(units.video[gop])[0] != 'I')
        ++gop;
    size_t resume = gop;
    for (int k = 0; k < s.lostGops && resume < units.video.size(); ++k)
        while (++resume < units.video.size() && typeOf(units.video[resume])[0] != 'I') {
        }
    size_t from = gop;
    while (from > 0 && typeOf(units.video[from - 1])[0] == 'B')
        --from;
    ASSERT_LT(from, gop) << "no B picture before the GOP";
    ASSERT_LT(resume, units.video.size());
    units.video.erase(units.video.begin() + static_cast<ptrdiff_t>(from),
                      units.video.begin() + static_cast<ptrdiff_t>(resume));
    FeedOptions o = receiverDelivery();
    o.withStamps = false;
    const Feed feed = packFeed(units, o);
    const RunResult r = run(feed, RunOptions{});
    ASSERT_EQ(r.parts.size(), 1u);
    const FileCheck ps = checkOutput(r.parts[0].mpg, "mpeg");
    EXPECT_EQ(ps.warnings + ps.video.decodeErrors + ps.audio.decodeErrors, 0)
        << (ps.messages.empty() ? "" : ps.messages.front());
    EXPECT_EQ(ps.video.dtsNotRising, 0);
    EXPECT_GT(ps.video.minFrameGap, 0.75 * kFrameS) << "a picture shown before one shown already";
    const RecordedUnits rec = recordedUnits(r.parts, false);
    const auto allowed = beforeTheStart(feed, firstCleanStart(feed));
    EXPECT_EQ(list(without(missingPictures(feed, rec.psVideo), allowed)), "");
    EXPECT_EQ(list(without(missingPictures(feed, rec.esVideo), allowed)), "");
}

constexpr size_t kGenerated = 0, kClosedGopCapture = 1;
INSTANTIATE_TEST_SUITE_P(Feeds, StallResume,
                         ::testing::Values(Stall{kGenerated, 0}, Stall{kGenerated, 3}, Stall{kClosedGopCapture, 0},
                                           Stall{kClosedGopCapture, 1}));

// The receiver dropped the last reference picture of a GOP (and the B
// pictures after it): the next open GOP's leading B pictures refer to it and
// cannot be decoded, so they are left out; every other picture is kept.
TEST(RemuxerBroadcast, OpenGopAfterALostReferencePictureLosesOnlyItsLeadingBPictures)
{
    constexpr size_t kLossAfterPictures = 20;
    MediaUnits units = openGopCapture();
    size_t gop = kLossAfterPictures;
    while (gop < units.video.size() && typeOf(units.video[gop])[0] != 'I')
        ++gop;
    size_t from = gop;
    while (from > 0 && typeOf(units.video[from - 1])[0] == 'B')
        --from;
    ASSERT_GT(from, 0u);
    ASSERT_EQ(typeOf(units.video[--from])[0], 'P');
    const std::string lost = typeOf(units.video[from]);
    units.video.erase(units.video.begin() + static_cast<ptrdiff_t>(from),
                      units.video.begin() + static_cast<ptrdiff_t>(gop));
    const Feed feed = packFeed(units, receiverDelivery());
    const RunResult r = run(feed, RunOptions{});
    ASSERT_EQ(r.parts.size(), 1u);
    expectPlayable(r.parts[0], "mp3");
    std::set<size_t> allowed = beforeTheStart(feed, firstCleanStart(feed));
    const size_t resumed = from; // the GOP's I picture, where the lost ones were
    for (size_t i : beforeTheStart(feed, resumed))
        if (i > resumed)
            allowed.insert(i);
    const RecordedUnits rec = recordedUnits(r.parts, false);
    const std::vector<size_t> missing = missingPictures(feed, rec.psVideo);
    EXPECT_EQ(list(without(missing, allowed)), "") << lost << " lost";
    EXPECT_EQ(list(without(missingPictures(feed, rec.esVideo), allowed)), "");
    EXPECT_EQ(missing.size(), allowed.size()) << "the leading B pictures after the loss are left out";
}
