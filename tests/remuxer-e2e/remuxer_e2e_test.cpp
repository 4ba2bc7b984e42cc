// A 15-second recording of the simulated receiver's MP2 and AC-3 channels,
// with one second of pause and one split, read through the receiver access
// library on the recorder's 25 ms schedule and multiplexed by libremuxer.so.
// Every output part is checked with ffprobe and decoded with libavcodec.
#include "aspi_virtual.h"
#include "harness.h"
#include "quelmarscsi_client.h"

#include <dlfcn.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono;
using namespace quelmar::remux::test;

const std::string kBin = QUELMAR_BIN_DIR;
constexpr double kFeedSeconds = 15.0;
constexpr double kPauseFromS = 6.0, kPauseToS = 7.0;
constexpr double kSplitAtS = 10.0;
constexpr auto kPollPeriod = milliseconds(25);
constexpr double kFrameS = 0.04; // 25 frames/s
constexpr int kGopFrames = 12;
constexpr double kSyncToleranceS = 0.040;
// Audio reaches the module in 8192-byte reads (0.34 s of MP2 at 192 kbit/s)
// while video comes picture by picture: at a split the first part holds up
// to that much less audio than video.
constexpr double kSkewS = 0.5;
// The second part starts at the newest GOP start the first part's audio
// reaches, and its sound goes on from there: its pictures begin up to a GOP
// earlier than its audio.
constexpr double kGopS = kGopFrames * kFrameS;

struct Recording {
    Feed feed;
    size_t splitAfter = 0;
    int unpausedPictures = 0; // picture start codes in the chunks not paused
};

// text without its lines that contain `what`.
std::string withoutLines(const std::string &text, const std::string &what)
{
    std::string kept;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(at, end - at);
        if (line.find(what) == std::string::npos)
            kept += line;
        at = end + 1;
    }
    return kept;
}

int countPictures(const std::vector<uint8_t> &v)
{
    int n = 0;
    for (size_t i = 0; i + 3 < v.size(); ++i)
        if (v[i] == 0 && v[i + 1] == 0 && v[i + 2] == 1 && v[i + 3] == 0)
            ++n;
    return n;
}

class RemuxerE2E : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("QUELMAR_ASPI_LAYER", "libaspi-virtual.so", 1);
        unsetenv("QUELMAR_VIRTUAL_RECEIVER");
        layer_ = dlopen((kBin + "/libaspi-virtual.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_TRUE(layer_) << dlerror();
        auto reload = reinterpret_cast<AspiVirtualReloadFn>(dlsym(layer_, "aspiVirtualReload"));
        ASSERT_TRUE(reload);
        ASSERT_EQ(reload(nullptr), 1);
        std::string error;
        ASSERT_TRUE(lib_.load(kBin + "/libquelmarscsi.so", &error)) << error;
        ASSERT_EQ(lib_.dvbInit(), DVB_ASPI_OK);
    }
    void TearDown() override
    {
        lib_.unload();
        if (layer_)
            dlclose(layer_);
    }

    // Streams channel `channel` for kFeedSeconds like the polling thread:
    // two timestamp records, a video and an audio chunk every 25 ms, each
    // tagged with the paused flag of its cycle.
    Recording record(uint16_t channel)
    {
        Recording rec;
        DvbDevice d = lib_.dvbFindFirstQuelmar();
        EXPECT_TRUE(d.status == DVB_STATUS_FOUND || d.status == DVB_STATUS_FOUND_OLD);
        EXPECT_EQ(lib_.dvbSetChannel(&d, channel), 1);
        EXPECT_EQ(lib_.dvbInitStreaming(&d, 0, 0x10000, 10), 1);
        std::vector<uint8_t> pts(REMUX_PTS_RECORD_BYTES), video(REMUX_VIDEO_CHUNK_BYTES),
            audio(REMUX_AUDIO_CHUNK_BYTES);
        const auto t0 = steady_clock::now();
        auto next = t0;
        std::vector<uint8_t> unpausedVideo;
        while (true) {
            const double t = duration<double>(steady_clock::now() - t0).count();
            if (t >= kFeedSeconds)
                break;
            const bool paused = t >= kPauseFromS && t < kPauseToS;
            for (int i = 0; i < 2; ++i)
                if (lib_.dvbReadMultipleStreams(&d, pts.data(), static_cast<uint32_t>(pts.size()), DVB_STREAM_PTS))
                    rec.feed.chunks.push_back({REMUX_STREAM_PTS, pts, paused});
            if (lib_.dvbReadMultipleStreams(&d, video.data(), static_cast<uint32_t>(video.size()), DVB_STREAM_VIDEO)) {
                rec.feed.chunks.push_back({REMUX_STREAM_VIDEO, video, paused});
                if (!paused)
                    unpausedVideo.insert(unpausedVideo.end(), video.begin(), video.end());
            }
            if (lib_.dvbReadMultipleStreams(&d, audio.data(), static_cast<uint32_t>(audio.size()), DVB_STREAM_AUDIO))
                rec.feed.chunks.push_back({REMUX_STREAM_AUDIO, audio, paused});
            if (t < kSplitAtS)
                rec.splitAfter = rec.feed.chunks.size() - 1;
            next += kPollPeriod;
            std::this_thread::sleep_until(next);
        }
        EXPECT_EQ(lib_.dvbDeInitStreaming(&d), 1);
        rec.unpausedPictures = countPictures(unpausedVideo);
        return rec;
    }

    std::string save(const std::vector<uint8_t> &data, const std::string &name)
    {
        const std::string path = std::string(QUELMAR_TEST_DIR) + "/" + name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
        return path;
    }

    // ffprobe names the codecs of the file's streams and prints no warning.
    void expectProbe(const std::string &path, const std::string &codecs)
    {
        std::string out, err;
        const int rc = runCommand(
            "ffprobe -v warning -show_entries stream=codec_name -of default=nw=1:nk=1 '" + path + "'", &out, &err);
        EXPECT_EQ(rc, 0) << path;
        // A raw elementary stream has no timestamps; ffprobe always says so.
        EXPECT_EQ(withoutLines(err, "Estimating duration from bitrate, this may be inaccurate"), "") << path;
        std::string names;
        for (char c : out)
            names += c == '\n' ? ' ' : c;
        EXPECT_EQ(names, codecs) << path;
    }

    void check(uint16_t channel, const char *audioCodec, const char *audioExt)
    {
        Recording rec = record(channel);
        ASSERT_GT(rec.feed.chunks.size(), 100u) << "the receiver delivered nothing";
        RunOptions o;
        o.splitAfterChunks = {rec.splitAfter};
        RunResult r = run(rec.feed, o);
        ASSERT_FALSE(r.failedAt);
        ASSERT_EQ(r.parts.size(), 2u);
        EXPECT_TRUE(r.splitCleared);
        int totalFrames = 0;
        double totalAudio = 0;
        for (size_t k = 0; k < 2; ++k) {
            SCOPED_TRACE("part " + std::to_string(k));
            const Part &p = r.parts[k];
            const std::string base = "remuxer-e2e-" + std::to_string(channel) + " (" + std::to_string(k) + ")";
            const std::string mpg = save(p.mpg, base + ".mpg");
            expectProbe(mpg, std::string("mpeg2video ") + audioCodec + " ");
            // Also no "non monotonically increasing dts": the audio frames
            // keep their times as ffmpeg reads them (AC-3 ones included).
            std::string err;
            EXPECT_EQ(runCommand("ffmpeg -nostdin -v warning -i '" + mpg + "' -f null -", nullptr, &err), 0);
            EXPECT_EQ(err, "") << "ffmpeg decodes the part without a word";
            expectProbe(save(p.m2v, base + ".m2v"), "mpeg2video ");
            expectProbe(save(p.audio, base + audioExt), std::string(audioCodec) + " ");
            FileCheck ps = checkOutput(p.mpg, "mpeg");
            EXPECT_EQ(ps.warnings, 0) << (ps.messages.empty() ? "" : ps.messages.front());
            EXPECT_EQ(ps.video.decodeErrors + ps.audio.decodeErrors, 0);
            EXPECT_TRUE(ps.video.firstFrameIsI);
            const double audioLateS = k == 0 ? 0 : kGopS;
            EXPECT_GT(ps.audio.firstPts, ps.video.firstPts - kSyncToleranceS);
            EXPECT_LT(ps.audio.firstPts, ps.video.firstPts + audioLateS + kSyncToleranceS);
            FileCheck es = checkOutput(p.m2v, "mpegvideo");
            EXPECT_EQ(es.warnings + es.video.decodeErrors, 0);
            EXPECT_TRUE(es.video.firstFrameIsI);
            // The flush before the split writes what each output holds, the
            // program stream also the pictures whose timestamp records were
            // still awaited; the next part repeats from a GOP start anyway.
            EXPECT_LE(es.video.frames, ps.video.frames);
            EXPECT_LE(ps.video.frames, es.video.frames + kGopFrames);
            FileCheck a = checkOutput(p.audio, audioExt == std::string(".ac3") ? "ac3" : "mp3");
            EXPECT_EQ(a.warnings + a.audio.decodeErrors, 0);
            EXPECT_NEAR(a.audio.duration, es.video.duration, kSkewS + audioLateS);
            totalFrames += es.video.frames;
            totalAudio += a.audio.duration;
        }
        // The feed less the pause: every picture delivered outside the pause
        // (counted in the chunks, so that a slow machine cannot fail the
        // test), less what precedes the first GOP and the rest of the GOP cut
        // by the pause, plus the pictures of the GOP the second part repeats.
        std::printf("channel %u: %d pictures delivered outside the pause, %d in the two parts (%.2f s), audio %.2f s\n",
                    channel, rec.unpausedPictures, totalFrames, totalFrames * kFrameS, totalAudio);
        EXPECT_GE(totalFrames, rec.unpausedPictures - 2 * kGopFrames);
        EXPECT_LE(totalFrames, rec.unpausedPictures + kGopFrames);
        EXPECT_NEAR(totalAudio, totalFrames * kFrameS, 2 * kSkewS);
    }

    void *layer_ = nullptr;
    QuelmarScsiClient lib_;
};

TEST_F(RemuxerE2E, Mp2ChannelWithPauseAndSplit) { check(1, "mp2", ".mp2"); }

TEST_F(RemuxerE2E, Ac3ChannelWithPauseAndSplit) { check(2, "ac3", ".ac3"); }

} // namespace
