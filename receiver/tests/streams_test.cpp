// The tuned channel's streams: real MPEG that libavcodec decodes, delivered
// by the rules of the box (whole pictures and zero stuffing, continuous
// audio), with timestamp records that match the data. Time is simulated: the
// receiver is pumped with made-up instants, so no test waits for real time.
#include "media_check.h"
#include "test_cdb.h"

#include "receiver/channel_record.h"
#include "receiver/receiver.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include <unistd.h>

namespace quelmar::receiver {
namespace {

using test::cdb10;
using test::DecodeReport;
using test::EsKind;
using namespace std::chrono;

constexpr size_t kVideoRead = 32768;
constexpr size_t kAudioRead = 8192;
constexpr milliseconds kPollPeriod{25};
constexpr milliseconds kPumpPeriod{5};
constexpr int64_t kVideoFrameTicks = 3600; // 90 kHz ticks per picture at 25 fps
constexpr int64_t kMp2FrameTicks = 1152 * 90000 / 48000;
constexpr int64_t kAc3FrameTicks = 1536 * 90000 / 48000;

struct Record {
    Stream stream;
    bool hasDts;
    uint32_t offset;
    int64_t pts, dts;
};

Record parse(const uint8_t *r)
{
    Record x;
    x.stream = static_cast<Stream>(r[0]);
    x.hasDts = r[1] & 1;
    x.offset = uint32_t{r[2]} << 24 | uint32_t{r[3]} << 16 | uint32_t{r[4]} << 8 | r[5];
    x.pts = 0;
    x.dts = 0;
    for (int i = 0; i < 5; ++i) {
        x.pts = x.pts << 8 | r[6 + i];
        x.dts = x.dts << 8 | r[11 + i];
    }
    return x;
}

struct Collected {
    std::vector<uint8_t> video, audio;
    uint32_t audioBase = 0; // audio bytes delivered since streaming (re)started, before this poll
    std::vector<Record> records;
    int videoReads = 0, audioReads = 0, refusals = 0;
};

class StreamRig {
public:
    explicit StreamRig(ReceiverConfig cfg) : rx(std::move(cfg)), t(steady_clock::now()) {}

    CommandResult run(const test::Cdb &c, Direction dir, uint8_t *data, uint32_t len)
    {
        return rx.execute(c.data(), c.size(), dir, data, len);
    }
    void start()
    {
        uint8_t params[6] = {0, 0, 0, 0, 0, 10};
        ASSERT_EQ(run(cdb10(kOpStreamA, 0, rx.legacyLayout(), 0, 6), Direction::Out, params, 6).status,
                  TargetStatus::Good);
        audioDelivered = 0;
    }
    void tune(unsigned channel)
    {
        test::Cdb c{kOpStreamA, 1, 0, 0, 0, 0, 0, 0, 2, 0};
        uint8_t d[2] = {0, static_cast<uint8_t>(channel - 1)};
        ASSERT_EQ(run(c, Direction::Out, d, 2).status, TargetStatus::Good);
        audioDelivered = 0;
    }
    // Polls like the recorder for `duration` of simulated time.
    Collected poll(milliseconds duration)
    {
        Collected c;
        c.audioBase = audioDelivered;
        const bool legacy = rx.legacyLayout();
        std::vector<uint8_t> buf(kVideoRead);
        const auto end = t + duration;
        auto nextPoll = t;
        while (t < end) {
            rx.pump(t);
            if (t >= nextPoll) {
                nextPoll += kPollPeriod;
                for (int i = 0; i < 2; ++i) {
                    if (run(cdb10(kOpReadBuffer, kModeReadTimestamps, legacy, 0, 16), Direction::In, buf.data(), 16)
                            .status == TargetStatus::Good)
                        c.records.push_back(parse(buf.data()));
                    else
                        ++c.refusals;
                }
                if (run(cdb10(kOpReadBuffer, kModeReadVideo, legacy, 0, kVideoRead), Direction::In, buf.data(),
                        kVideoRead)
                        .status == TargetStatus::Good) {
                    c.video.insert(c.video.end(), buf.begin(), buf.begin() + kVideoRead);
                    ++c.videoReads;
                } else {
                    ++c.refusals;
                }
                if (run(cdb10(kOpReadBuffer, kModeReadAudio, legacy, 0, kAudioRead), Direction::In, buf.data(),
                        kAudioRead)
                        .status == TargetStatus::Good) {
                    c.audio.insert(c.audio.end(), buf.begin(), buf.begin() + kAudioRead);
                    ++c.audioReads;
                    audioDelivered += kAudioRead;
                } else {
                    ++c.refusals;
                }
            }
            t += kPumpPeriod;
        }
        return c;
    }

    Receiver rx;
    steady_clock::time_point t;
    uint32_t audioDelivered = 0;
};

// The collected audio from the first to the last frame that a record marks:
// reads cut frames, so both ends may hold pieces of one.
std::vector<uint8_t> wholeAudioFrames(const Collected &c)
{
    size_t first = SIZE_MAX, last = 0;
    for (const Record &r : c.records) {
        if (r.stream != Stream::Audio || r.offset < c.audioBase || r.offset - c.audioBase >= c.audio.size())
            continue;
        first = std::min<size_t>(first, r.offset - c.audioBase);
        last = std::max<size_t>(last, r.offset - c.audioBase);
    }
    if (first == SIZE_MAX)
        return {};
    return std::vector<uint8_t>(c.audio.begin() + first, c.audio.begin() + last);
}

ReceiverConfig defaultReceiver() { return defaultConfig().receivers.at(0); }

// Every record must point at the start of its unit in the delivered stream.
void expectRecordsMatchData(const Collected &c, int64_t audioFrameTicks, bool ac3)
{
    int64_t lastAudioPts = -1;
    uint32_t lastVideoOffset = 0;
    bool firstVideo = true;
    for (const Record &r : c.records) {
        if (r.stream == Stream::Video) {
            ASSERT_LT(r.offset + 3u, c.video.size());
            // A picture begins with a sequence header, GOP header or picture
            // start code.
            const uint8_t *p = &c.video[r.offset];
            EXPECT_TRUE(p[0] == 0 && p[1] == 0 && p[2] == 1 && (p[3] == 0xB3 || p[3] == 0xB8 || p[3] == 0x00))
                << "video record at offset " << r.offset;
            EXPECT_TRUE(firstVideo || r.offset > lastVideoOffset);
            if (r.hasDts) {
                EXPECT_LT(r.dts, r.pts);
            } else {
                EXPECT_EQ(r.dts, r.pts);
            }
            lastVideoOffset = r.offset;
            firstVideo = false;
        } else {
            ASSERT_EQ(r.stream, Stream::Audio);
            if (r.offset < c.audioBase || r.offset - c.audioBase + 1u >= c.audio.size())
                continue; // its frame began outside the collected reads
            const uint8_t *p = &c.audio[r.offset - c.audioBase];
            const bool sync = ac3 ? (p[0] == 0x0B && p[1] == 0x77) : (p[0] == 0xFF && (p[1] & 0xF0) == 0xF0);
            EXPECT_TRUE(sync) << "audio record at offset " << r.offset;
            EXPECT_FALSE(r.hasDts);
            // Frame by frame (give or take the rounding to 90 kHz), or at
            // least increasing when frames are not evenly spaced.
            if (lastAudioPts >= 0 && audioFrameTicks > 0) {
                EXPECT_LE(std::llabs(r.pts - lastAudioPts - audioFrameTicks), 1);
            }
            if (lastAudioPts >= 0) {
                EXPECT_GT(r.pts, lastAudioPts);
            }
            lastAudioPts = r.pts;
        }
    }
}

TEST(ReceiverStreams, GeneratedTvChannelDecodesAndHoldsThePicturesOfTheElapsedTime)
{
    StreamRig rig(defaultReceiver());
    rig.start();
    const Collected c = rig.poll(seconds(4));

    DecodeReport v = test::decodeElementary(EsKind::Mpeg2Video, c.video);
    EXPECT_EQ(v.errors, 0) << v.firstError;
    EXPECT_EQ(v.width, 720);
    EXPECT_EQ(v.height, 576);
    // 4 s at 25 pictures/s; the encoder holds back two B pictures and the
    // last poll may miss what arrived after it.
    EXPECT_GE(v.frames, 94);
    EXPECT_LE(v.frames, 100);
    // A sequence header opens every GOP of 12 pictures.
    const auto seq = test::startCodes(c.video, 0xB3);
    EXPECT_EQ(seq.size(), static_cast<size_t>((v.frames + 11) / 12));
    EXPECT_EQ(test::startCodes(c.video, 0x00).size(), static_cast<size_t>(v.frames));
    EXPECT_EQ(seq[1] > 0
                  ? test::startCodes(std::vector<uint8_t>(c.video.begin(), c.video.begin() + seq[1]), 0x00).size()
                  : 0u,
              12u);
    // Reads carry zero stuffing after the last whole picture.
    EXPECT_EQ(c.video.size() % kVideoRead, 0u);
    EXPECT_EQ(c.video.back(), 0);

    DecodeReport a = test::decodeElementary(EsKind::Mp2, c.audio);
    EXPECT_EQ(a.errors, 0) << a.firstError;
    EXPECT_EQ(a.sampleRate, 48000);
    EXPECT_EQ(a.channels, 2);
    // 192 kbit/s = 24000 bytes/s; only whole 8192-byte reads are served.
    EXPECT_EQ(c.audio.size(), static_cast<size_t>(c.audioReads) * kAudioRead);
    EXPECT_GE(a.samples, 48000 * 35 / 10);

    ASSERT_FALSE(c.records.empty());
    expectRecordsMatchData(c, kMp2FrameTicks, false);
    // One record per picture, each picture's stamp one frame apart in
    // presentation order; audio and video start together.
    std::vector<int64_t> videoPts, audioPts;
    for (const Record &r : c.records)
        (r.stream == Stream::Video ? videoPts : audioPts).push_back(r.pts);
    std::sort(videoPts.begin(), videoPts.end());
    // The last pictures in presentation order may still wait in the buffer
    // (B pictures follow their later reference).
    ASSERT_GT(videoPts.size(), 3u);
    for (size_t i = 1; i + 2 < videoPts.size(); ++i)
        EXPECT_EQ(videoPts[i] - videoPts[i - 1], kVideoFrameTicks);
    ASSERT_FALSE(audioPts.empty());
    EXPECT_LE(std::llabs(audioPts.front() - videoPts.front()), 90000 / 10);
}

TEST(ReceiverStreams, Ac3ChannelDecodesWithCorrectCrcs)
{
    StreamRig rig(defaultReceiver());
    rig.tune(2);
    rig.start();
    const Collected c = rig.poll(seconds(3));
    DecodeReport a = test::decodeElementary(EsKind::Ac3, wholeAudioFrames(c));
    EXPECT_EQ(a.errors, 0) << a.firstError; // CRC checking is on
    EXPECT_GT(a.frames, 60);
    EXPECT_EQ(a.channels, 2);
    expectRecordsMatchData(c, kAc3FrameTicks, true);
    DecodeReport v = test::decodeElementary(EsKind::Mpeg2Video, c.video);
    EXPECT_EQ(v.errors, 0) << v.firstError;
}

TEST(ReceiverStreams, RadioChannelDeliversAudioOnly)
{
    StreamRig rig(defaultReceiver());
    rig.tune(3);
    rig.start();
    const Collected c = rig.poll(seconds(2));
    EXPECT_EQ(c.videoReads, 0);
    EXPECT_GT(c.audioReads, 0);
    for (const Record &r : c.records)
        EXPECT_EQ(r.stream, Stream::Audio);
    EXPECT_EQ(test::decodeElementary(EsKind::Mp2, c.audio).errors, 0);
}

TEST(ReceiverStreams, NothingBeforeStreamingStartsAndAfterItStops)
{
    StreamRig rig(defaultReceiver());
    Collected before = rig.poll(milliseconds(500));
    EXPECT_EQ(before.videoReads + before.audioReads, 0);
    EXPECT_TRUE(before.records.empty());
    rig.start();
    rig.poll(seconds(1));
    const test::Cdb stop = cdb10(kOpStreamA, 0, false, 0, 0);
    uint8_t zeros[6] = {};
    ASSERT_EQ(rig.run(stop, Direction::Out, zeros, 6).status, TargetStatus::Good);
    Collected after = rig.poll(milliseconds(500));
    EXPECT_EQ(after.videoReads + after.audioReads, 0);
    EXPECT_FALSE(rig.rx.state().streaming);
}

TEST(ReceiverStreams, DataNotFetchedInTimeIsDroppedAndCountedAndVideoResumesAtAGop)
{
    StreamRig rig(defaultReceiver());
    rig.start();
    // Nobody reads for 7 s: 4 Mbit/s overflows the 1 MiB video buffer and
    // 24000 bytes/s the 128 KiB audio buffer.
    for (int i = 0; i < 1400; ++i) {
        rig.rx.pump(rig.t);
        rig.t += kPumpPeriod;
    }
    ReceiverState s = rig.rx.state();
    EXPECT_GT(s.droppedVideoBytes, 0u);
    EXPECT_GT(s.droppedAudioBytes, 0u);
    const Collected c = rig.poll(seconds(3));
    DecodeReport v = test::decodeElementary(EsKind::Mpeg2Video, c.video);
    EXPECT_EQ(v.errors, 0) << v.firstError;
    EXPECT_EQ(test::decodeElementary(EsKind::Mp2, wholeAudioFrames(c)).errors, 0);
}

TEST(ReceiverStreams, RetuningSwitchesTheStreamToTheNewChannel)
{
    StreamRig rig(defaultReceiver());
    rig.start();
    rig.poll(seconds(1));
    rig.tune(2);
    // Within 300 ms the new channel's AC-3 arrives.
    const Collected c = rig.poll(milliseconds(300));
    ASSERT_FALSE(c.records.empty());
    ASSERT_FALSE(c.video.empty());
    EXPECT_EQ(test::decodeElementary(EsKind::Mpeg2Video, c.video).errors, 0);
    rig.poll(seconds(1));
    const Collected later = rig.poll(seconds(1));
    EXPECT_EQ(test::decodeElementary(EsKind::Ac3, wholeAudioFrames(later)).errors, 0);
    EXPECT_EQ(rig.rx.state().tunedChannel, 2u);
}

// A short DVB-like transport stream made with the ffmpeg program.
std::string makeCapture(const std::string &name, const std::string &audioCodec, double seconds)
{
    const auto dir = std::filesystem::path(QUELMAR_TEST_DIR) / "receiver-media";
    std::filesystem::create_directories(dir);
    const auto path = dir / name;
    if (std::filesystem::exists(path))
        return path.string();
    // Tests run in parallel: each makes its own temporary file and renames
    // it into place, which is atomic.
    const std::string tmp = path.string() + "." + std::to_string(::getpid()) + ".tmp";
    char cmd[1024];
    std::snprintf(cmd, sizeof cmd,
                  "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc=size=352x288:rate=25 "
                  "-f lavfi -i sine=frequency=440:sample_rate=48000 -t %.1f -c:v mpeg2video -b:v 1M -g 12 "
                  "-bf 2 -c:a %s -b:a 192k -ac 2 -f mpegts '%s' && mv '%s' '%s'",
                  seconds, audioCodec.c_str(), tmp.c_str(), tmp.c_str(), path.c_str());
    if (std::system(cmd) != 0)
        return {};
    return path.string();
}

ReceiverConfig fileReceiver(const std::string &path, uint16_t videoPid)
{
    ReceiverConfig r = defaultReceiver();
    r.channels.clear();
    ChannelConfig ch;
    ch.name = "Capture";
    ch.tag = 9;
    ch.videoPid = videoPid;
    ch.audioPid = 600;
    ch.source = SourceKind::File;
    ch.file = path;
    r.channels.push_back(ch);
    return r;
}

TEST(ReceiverStreams, MediaFileIsReplayedInASeamlessLoopWithIncreasingTimestamps)
{
    const std::string path = makeCapture("capture-mp2.ts", "mp2", 2.0);
    ASSERT_FALSE(path.empty()) << "ffmpeg could not make the test capture";
    StreamRig rig(fileReceiver(path, 500));
    rig.start();
    const Collected c = rig.poll(seconds(5)); // two and a half loops
    EXPECT_EQ(rig.rx.state().sourceProblem, "");
    DecodeReport v = test::decodeElementary(EsKind::Mpeg2Video, c.video);
    EXPECT_EQ(v.errors, 0) << v.firstError;
    EXPECT_EQ(v.width, 352);
    EXPECT_GE(v.frames, 110);
    DecodeReport a = test::decodeElementary(EsKind::Mp2, c.audio);
    EXPECT_EQ(a.errors, 0) << a.firstError;
    int64_t lastVideoDts = -1;
    for (const Record &r : c.records) {
        if (r.stream != Stream::Video)
            continue;
        EXPECT_GT(r.dts, lastVideoDts) << "timestamps must keep increasing across the loop";
        lastVideoDts = r.dts;
    }
    expectRecordsMatchData(c, 0, false);
}

TEST(ReceiverStreams, UnreadableOrUnusableFileMakesTheChannelDeliverNothingAndSaysWhy)
{
    const auto dir = std::filesystem::path(QUELMAR_TEST_DIR) / "receiver-media";
    std::filesystem::create_directories(dir);
    const auto garbage = dir / "garbage.ts";
    {
        std::ofstream f(garbage, std::ios::binary);
        for (int i = 0; i < 10000; ++i)
            f.put(static_cast<char>(i * 7919 % 251));
    }
    // A capture cut off after its first packets: the tables are there, the
    // pictures and audio frames are not.
    const std::string capture = makeCapture("capture-mp2.ts", "mp2", 2.0);
    ASSERT_FALSE(capture.empty());
    const auto cut = dir / "cut.ts";
    std::filesystem::copy_file(capture, cut, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::resize_file(cut, 188 * 6);
    for (const std::string &path : {std::string("/nonexistent/capture.ts"), garbage.string(), cut.string()}) {
        StreamRig rig(fileReceiver(path, 500));
        rig.start();
        const Collected c = rig.poll(seconds(1));
        EXPECT_EQ(c.videoReads + c.audioReads, 0);
        EXPECT_TRUE(c.records.empty());
        EXPECT_NE(rig.rx.state().sourceProblem.find(path), std::string::npos) << rig.rx.state().sourceProblem;
    }
}

} // namespace
} // namespace quelmar::receiver
