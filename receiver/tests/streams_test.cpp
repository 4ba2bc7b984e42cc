// The tuned channel's streams: real MPEG that libavcodec decodes, delivered
// by the rules of the box (whole pictures and zero stuffing, continuous
// audio), with timestamp records that match the data. Time is simulated: the
// receiver is pumped with made-up instants, so no test waits for real time.
#include "media_check.h"
#include "test_cdb.h"

#include "receiver/channel_record.h"
#include "receiver/receiver.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

#include <sys/stat.h>

#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>

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
constexpr milliseconds kOpenBound{30000};  // only guards against a hanging test
constexpr int64_t kVideoFrameTicks = 3600; // 90 kHz ticks per picture at 25 fps
constexpr int64_t kMp2FrameTicks = 1152 * 90000 / 48000;
constexpr int64_t kAc3FrameTicks = 1536 * 90000 / 48000;
constexpr uintmax_t kTsPacketBytes = 188;

using Record = test::Stamp;

struct Collected {
    std::vector<uint8_t> video, audio;
    uint32_t audioBase = 0; // audio bytes delivered since streaming (re)started, before this poll
    std::vector<Record> records;
    int videoReads = 0, audioReads = 0, refusals = 0;
};

class StreamRig {
public:
    explicit StreamRig(ReceiverConfig cfg, SourceOpener opener = openSource)
        : rx(std::move(cfg), std::move(opener)), t(steady_clock::now())
    {}

    CommandResult run(const test::Cdb &c, Direction dir, uint8_t *data, uint32_t len)
    {
        return rx.execute(c.data(), c.size(), dir, data, len);
    }
    void start(bool settleSource = true)
    {
        uint8_t params[6] = {0, 0, 0, 0, 0, 10};
        ASSERT_EQ(run(cdb10(kOpStreamA, 0, rx.legacyLayout(), 0, 6), Direction::Out, params, 6).status,
                  TargetStatus::Good);
        audioDelivered = 0;
        if (settleSource)
            settle();
    }
    void tune(unsigned channel)
    {
        test::Cdb c{kOpStreamA, 1, 0, 0, 0, 0, 0, 0, 2, 0};
        uint8_t d[2] = {0, static_cast<uint8_t>(channel - 1)};
        ASSERT_EQ(run(c, Direction::Out, d, 2).status, TargetStatus::Good);
        audioDelivered = 0;
        settle();
    }
    // Lets the source the receiver has begun to open finish opening (in
    // real time), so that streaming starts at the current made-up instant.
    void settle()
    {
        rx.pump(t);
        ASSERT_TRUE(rx.awaitSourceOpened(kOpenBound));
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
                        c.records.push_back(test::parseStamp(buf.data()));
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
std::string makeCapture(const std::string &name, const std::string &audioCodec, double seconds, bool video = true)
{
    const auto dir = std::filesystem::path(QUELMAR_TEST_DIR) / "receiver-media";
    std::filesystem::create_directories(dir);
    const auto path = dir / name;
    if (std::filesystem::exists(path))
        return path.string();
    // Tests run in parallel: each makes its own temporary file and renames
    // it into place, which is atomic.
    const std::string tmp = path.string() + "." + std::to_string(::getpid()) + ".tmp";
    const std::string videoInput = video ? "-f lavfi -i testsrc=size=352x288:rate=25 " : "";
    char cmd[1024];
    std::snprintf(cmd, sizeof cmd,
                  "ffmpeg -nostdin -hide_banner -loglevel error -y %s"
                  "-f lavfi -i sine=frequency=440:sample_rate=48000 -t %.1f -c:v mpeg2video -b:v 1M -g 12 "
                  "-bf 2 -c:a %s -b:a 192k -ac 2 -f mpegts '%s' && mv '%s' '%s'",
                  videoInput.c_str(), seconds, audioCodec.c_str(), tmp.c_str(), tmp.c_str(), path.c_str());
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

// A copy of `path` that ends after `bytes`, as a capture ends mid-unit.
std::string cutCopy(const std::string &path, const std::string &name, uintmax_t bytes)
{
    const auto cut = std::filesystem::path(QUELMAR_TEST_DIR) / "receiver-media" / name;
    std::filesystem::copy_file(path, cut, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::resize_file(cut, bytes);
    return cut.string();
}

// How many leading units of `cut` equal those of `whole`.
size_t wholePrefix(const std::vector<test::Unit> &cut, const std::vector<test::Unit> &whole)
{
    size_t n = 0;
    while (n < cut.size() && n < whole.size() && cut[n].data == whole[n].data)
        ++n;
    return n;
}

// Streams the file channel for `duration` of made-up time; checks what was
// delivered against the file's own units and returns the loop points crossed.
int replay(const test::ReplayReference &ref, const std::string &path, milliseconds duration)
{
    StreamRig rig(fileReceiver(path, 500));
    rig.start();
    const Collected c = rig.poll(duration);
    EXPECT_EQ(rig.rx.state().sourceProblem, "");
    return test::expectFaithfulReplay(ref, test::deliveredUnits(c.video, 0, c.records, Stream::Video),
                                      test::deliveredUnits(c.audio, c.audioBase, c.records, Stream::Audio));
}

milliseconds loops(double n, const test::ReplayReference &ref)
{
    const size_t units = ref.video.empty() ? ref.audio.size() : ref.video.size();
    const double unitMs = ref.video.empty() ? 1536.0 / 48.0 : 40.0; // an AC-3 frame, a picture
    return milliseconds(static_cast<int64_t>(n * static_cast<double>(units) * unitMs));
}

TEST(ReceiverStreams, MediaFileIsReplayedInASeamlessLoopOnOneTimeline)
{
    const std::string path = makeCapture("capture-mp2.ts", "mp2", 2.0);
    ASSERT_FALSE(path.empty()) << "ffmpeg could not make the test capture";
    test::ReplayReference ref;
    ref.video = test::extractUnits(path, true);
    ref.audio = test::extractUnits(path, false);
    ref.wholeVideo = ref.video.size(); // a file the muxer finished: nothing cut off
    ref.wholeAudio = ref.audio.size();
    ASSERT_EQ(ref.video.size(), 50u);
    EXPECT_GE(replay(ref, path, loops(2.5, ref)), 2);
}

struct Capture {
    const char *file;
    bool openGop; // its first GOP: leading B pictures that refer to the picture before
};

class CaptureReplay : public ::testing::TestWithParam<Capture> {};

// The captures end mid-unit: their last picture and last audio frame are
// cut off.
TEST_P(CaptureReplay, EveryPassDeliversTheWholeUnitsOfTheCaptureOnOneTimeline)
{
    const std::string path = std::string(QUELMAR_SOURCE_DIR) + "/tests/data/" + GetParam().file;
    const test::ReplayReference ref = test::captureReference(GetParam().file);
    ASSERT_GT(ref.wholeVideo, 25u);
    ASSERT_GT(ref.wholeAudio, 25u);
    EXPECT_LT(ref.audio.back().data.size(), ref.audio.front().data.size()); // constant rate: the last is short
    // Replay begins at the first sequence header; its GOP decides what a
    // loop point must do.
    const auto first = std::find_if(ref.video.begin(), ref.video.end(),
                                    [](const test::Unit &u) { return !test::startCodes(u.data, 0xB3).empty(); });
    ASSERT_NE(first, ref.video.end());
    const auto gop = test::startCodes(first->data, 0xB8);
    ASSERT_FALSE(gop.empty());
    EXPECT_EQ(!(first->data[gop[0] + 7] & 0x40), GetParam().openGop);
    EXPECT_GE(replay(ref, path, loops(2.5, ref)), 2);
}

INSTANTIATE_TEST_SUITE_P(ReceiverStreams, CaptureReplay,
                         ::testing::Values(Capture{"closed-gop-mpeg2-mp2.ts", false},
                                           Capture{"open-gop-704x576-mpeg2-mp2.ts", true}),
                         [](const auto &info) { return info.param.openGop ? "OpenGops" : "ClosedGops"; });

TEST(ReceiverStreams, UnitsCutOffByTheEndOfAFileAreLeftOutAtEveryLoopPoint)
{
    const std::string tv = makeCapture("capture-mp2.ts", "mp2", 2.0);
    const std::string radio = makeCapture("radio-ac3.ts", "ac3", 2.0, false);
    ASSERT_FALSE(tv.empty() || radio.empty());
    // Cut inside the TV capture's last picture, and inside the radio
    // capture's last audio frame.
    const int64_t lastPicture = test::extractUnits(tv, true).back().pos;
    ASSERT_GT(lastPicture, 0);
    const struct {
        std::string path;
        bool video;
    } cases[] = {
        {cutCopy(tv, "cut-picture.ts", static_cast<uintmax_t>(lastPicture) + 2 * kTsPacketBytes), true},
        {cutCopy(radio, "cut-frame.ts", std::filesystem::file_size(radio) - 2 * kTsPacketBytes), false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        const std::string full = c.video ? tv : radio;
        test::ReplayReference ref;
        ref.video = test::extractUnits(c.path, true);
        ref.audio = test::extractUnits(c.path, false);
        ref.wholeVideo = wholePrefix(ref.video, test::extractUnits(full, true));
        ref.wholeAudio = wholePrefix(ref.audio, test::extractUnits(full, false));
        // The capture really ends with a cut-off unit of that stream.
        if (c.video)
            ASSERT_EQ(ref.wholeVideo + 1, ref.video.size());
        else
            ASSERT_EQ(ref.wholeAudio + 1, ref.audio.size());
        EXPECT_GE(replay(ref, c.path, loops(3.5, ref)), 3);
    }
}

// An audio-only service as some broadcasters send it: the programme declares
// an MPEG-2 video stream (a placeholder PID) that carries nothing, beside
// AC-3 audio. Made with libavcodec's AC-3 encoder and libavformat's
// transport stream muxer.
std::string makeAc3ServiceWithEmptyVideo(const std::string &name, int frames)
{
    const auto path = std::filesystem::path(QUELMAR_TEST_DIR) / "receiver-media" / name;
    std::filesystem::create_directories(path.parent_path());
    const std::string tmp = path.string() + "." + std::to_string(::getpid()) + ".tmp";
    AVFormatContext *oc = nullptr;
    if (avformat_alloc_output_context2(&oc, nullptr, "mpegts", tmp.c_str()) < 0)
        return {};
    AVStream *video = avformat_new_stream(oc, nullptr);
    video->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    video->codecpar->codec_id = AV_CODEC_ID_MPEG2VIDEO;
    const AVCodec *ac3 = avcodec_find_encoder(AV_CODEC_ID_AC3);
    AVCodecContext *enc = avcodec_alloc_context3(ac3);
    enc->sample_rate = 48000;
    enc->sample_fmt = AV_SAMPLE_FMT_FLTP;
    enc->bit_rate = 384000;
    enc->time_base = AVRational{1, 48000};
    av_channel_layout_default(&enc->ch_layout, 2);
    AVStream *audio = avformat_new_stream(oc, nullptr);
    bool ok = avcodec_open2(enc, ac3, nullptr) >= 0 && avcodec_parameters_from_context(audio->codecpar, enc) >= 0 &&
              avio_open(&oc->pb, tmp.c_str(), AVIO_FLAG_WRITE) >= 0 && avformat_write_header(oc, nullptr) >= 0;
    AVFrame *frame = av_frame_alloc();
    AVPacket *packet = av_packet_alloc();
    frame->format = enc->sample_fmt;
    frame->nb_samples = enc->frame_size;
    av_channel_layout_copy(&frame->ch_layout, &enc->ch_layout);
    ok = ok && av_frame_get_buffer(frame, 0) >= 0;
    for (int n = 0; ok && n <= frames; ++n) {
        if (n < frames) {
            for (int ch = 0; ch < 2; ++ch) {
                auto *samples = reinterpret_cast<float *>(frame->data[ch]);
                for (int i = 0; i < frame->nb_samples; ++i)
                    samples[i] = static_cast<float>(
                        0.25 * std::sin(2 * M_PI * 440 * (n * frame->nb_samples + i) / 48000.0 * (ch + 1)));
            }
            frame->pts = int64_t{n} * frame->nb_samples;
        }
        ok = avcodec_send_frame(enc, n < frames ? frame : nullptr) >= 0;
        while (ok && avcodec_receive_packet(enc, packet) == 0) {
            av_packet_rescale_ts(packet, enc->time_base, audio->time_base);
            packet->stream_index = audio->index;
            ok = av_write_frame(oc, packet) >= 0; // not interleaved: the video stream never has a packet
        }
    }
    ok = ok && av_write_trailer(oc) >= 0;
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&enc);
    avio_closep(&oc->pb);
    avformat_free_context(oc);
    if (!ok)
        return {};
    std::filesystem::rename(tmp, path);
    return path.string();
}

TEST(ReceiverStreams, ServiceWhoseDeclaredVideoCarriesNothingDeliversItsAudioLikeRadio)
{
    const std::string path = makeAc3ServiceWithEmptyVideo("ac3-empty-video.ts", 60);
    ASSERT_FALSE(path.empty());
    test::ReplayReference ref;
    ref.audio = test::extractUnits(path, false);
    ref.wholeAudio = ref.audio.size();
    ASSERT_EQ(ref.audio.size(), 60u);
    ASSERT_TRUE(test::extractUnits(path, true).empty());

    StreamRig rig(fileReceiver(path, 500));
    rig.start();
    const Collected c = rig.poll(loops(2.5, ref));
    EXPECT_EQ(rig.rx.state().sourceProblem, "");
    EXPECT_EQ(c.videoReads, 0);
    EXPECT_GT(c.audioReads, 0);
    EXPECT_GE(test::expectFaithfulReplay(ref, {}, test::deliveredUnits(c.audio, c.audioBase, c.records, Stream::Audio)),
              2);
    const DecodeReport a = test::decodeElementary(EsKind::Ac3, wholeAudioFrames(c));
    EXPECT_EQ(a.errors, 0) << a.firstError;
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
    const std::string cut = cutCopy(capture, "cut.ts", 6 * kTsPacketBytes);
    // A FIFO would block whoever opens it; a URL must not be followed.
    const auto fifo = dir / ("capture-" + std::to_string(::getpid()) + ".fifo");
    std::filesystem::remove(fifo);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::string path;
        const char *why;
    } cases[] = {
        {"/nonexistent/capture.ts", "cannot be read: No such file or directory"},
        {garbage.string(), ""},
        {cut, ""},
        {fifo.string(), "cannot be read: it is not a regular file"},
        {dir.string(), "cannot be read: it is a directory"},
        {"pipe:0", "cannot be read: No such file or directory"},
        {"tcp://127.0.0.1:9/capture.ts", "cannot be read: No such file or directory"},
    };
    for (const auto &c : cases) {
        StreamRig rig(fileReceiver(c.path, 500));
        rig.start();
        const Collected got = rig.poll(seconds(1));
        EXPECT_EQ(got.videoReads + got.audioReads, 0);
        EXPECT_TRUE(got.records.empty());
        const std::string problem = rig.rx.state().sourceProblem;
        EXPECT_EQ(problem.rfind(c.path + ": ", 0), 0u) << problem;
        EXPECT_NE(problem.find(c.why), std::string::npos) << problem;
    }
    std::filesystem::remove(fifo);
}

// Released once; waiting threads go on.
struct Gate {
    std::mutex mutex;
    std::condition_variable opened;
    bool open = false;
    void wait()
    {
        std::unique_lock lock(mutex);
        opened.wait(lock, [this] { return open; });
    }
    void release()
    {
        std::lock_guard lock(mutex);
        open = true;
        opened.notify_all();
    }
};

TEST(ReceiverStreams, ASourceThatDoesNotOpenInTimeIsGivenUpWhileTheReceiverAnswers)
{
    // A file on a hung file system: the open does not return until the end.
    auto gate = std::make_shared<Gate>();
    SourceOpener stuck = [gate](const ChannelConfig &channel, int64_t basePts, std::string *error) {
        if (channel.tag != 1)
            return openSource(channel, basePts, error);
        gate->wait();
        return std::unique_ptr<StreamSource>();
    };
    StreamRig rig(defaultReceiver(), stuck);
    rig.start(false);
    rig.rx.pump(rig.t); // begins opening; returns at once
    rig.rx.pump(rig.t + kSourceOpenTimeout - milliseconds(1));
    EXPECT_EQ(rig.rx.state().sourceProblem, "");
    std::vector<uint8_t> count(4);
    EXPECT_EQ(rig.run(cdb10(kOpReadBuffer, kModeChannelCount, false, 0, 4), Direction::In, count.data(), 4).status,
              TargetStatus::Good);
    rig.rx.pump(rig.t + kSourceOpenTimeout);
    EXPECT_NE(rig.rx.state().sourceProblem.find("did not open within 5 s"), std::string::npos)
        << rig.rx.state().sourceProblem;
    // Another channel opens as usual; the stuck open is left behind.
    rig.tune(2);
    gate->release();
}
} // namespace
} // namespace quelmar::receiver
