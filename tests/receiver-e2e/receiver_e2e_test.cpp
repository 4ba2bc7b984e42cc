// The receiver access library against the simulated receiver, loaded the way
// every client loads them: libquelmarscsi.so by dlopen, the layer through
// QUELMAR_ASPI_LAYER, the receivers from QUELMAR_VIRTUAL_RECEIVER.
#include "aspi.h"
#include "aspi_virtual.h"
#include "media_check.h"
#include "quelmarscsi_client.h"

#include <dlfcn.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace quelmar::receiver {
namespace {

using namespace std::chrono;
using quelmar::receiver::test::decodeElementary;
using quelmar::receiver::test::EsKind;

const std::string kBin = QUELMAR_BIN_DIR;
// A wait for data from the receiver that has not got it by then fails.
constexpr auto kCollectLimit = seconds(90);

// The control interface of the layer module the library loaded.
struct Control {
    void *handle = nullptr;
    AspiVirtualReloadFn reload = nullptr;
    AspiVirtualLastErrorFn lastError = nullptr;
    AspiVirtualSetPluggedFn setPlugged = nullptr;
    AspiVirtualHangFn hang = nullptr;
    AspiVirtualRefuseCommandFn refuse = nullptr;
    AspiVirtualStallStreamFn stall = nullptr;
    AspiVirtualGetStateFn getState = nullptr;

    Control()
    {
        handle = dlopen((kBin + "/libaspi-virtual.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle)
            return;
        reload = reinterpret_cast<AspiVirtualReloadFn>(dlsym(handle, "aspiVirtualReload"));
        lastError = reinterpret_cast<AspiVirtualLastErrorFn>(dlsym(handle, "aspiVirtualLastError"));
        setPlugged = reinterpret_cast<AspiVirtualSetPluggedFn>(dlsym(handle, "aspiVirtualSetPlugged"));
        hang = reinterpret_cast<AspiVirtualHangFn>(dlsym(handle, "aspiVirtualHang"));
        refuse = reinterpret_cast<AspiVirtualRefuseCommandFn>(dlsym(handle, "aspiVirtualRefuseCommand"));
        stall = reinterpret_cast<AspiVirtualStallStreamFn>(dlsym(handle, "aspiVirtualStallStream"));
        getState = reinterpret_cast<AspiVirtualGetStateFn>(dlsym(handle, "aspiVirtualGetState"));
    }
    ~Control()
    {
        if (handle)
            dlclose(handle);
    }
    AspiVirtualState state(uint8_t ha, uint8_t target)
    {
        AspiVirtualState s{};
        EXPECT_EQ(getState(ha, target, &s), 1);
        return s;
    }
};

class ReceiverE2E : public ::testing::Test {
protected:
    // Writes `config` (empty: the built-in default), makes the layer use it,
    // and loads the library.
    void start(const std::string &config)
    {
        setenv("QUELMAR_ASPI_LAYER", "libaspi-virtual.so", 1);
        ASSERT_TRUE(control_.handle && control_.reload && control_.getState) << dlerror();
        if (config.empty()) {
            unsetenv("QUELMAR_VIRTUAL_RECEIVER");
            ASSERT_EQ(control_.reload(nullptr), 1);
        } else {
            std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
            std::replace(name.begin(), name.end(), '/', '-'); // parameterised tests
            const std::string path = std::string(QUELMAR_TEST_DIR) + "/e2e-" + name + ".conf";
            std::ofstream(path) << config;
            setenv("QUELMAR_VIRTUAL_RECEIVER", path.c_str(), 1);
            ASSERT_EQ(control_.reload(nullptr), 1) << control_.lastError();
        }
        std::string error;
        ASSERT_TRUE(lib_.load(kBin + "/libquelmarscsi.so", &error)) << error;
        ASSERT_EQ(lib_.dvbInit(), DVB_ASPI_OK);
    }
    void TearDown() override
    {
        lib_.unload();
        if (control_.hang)
            control_.hang(0);
    }
    DvbDevice first()
    {
        DvbDevice d = lib_.dvbFindFirstQuelmar();
        EXPECT_TRUE(d.status == DVB_STATUS_FOUND || d.status == DVB_STATUS_FOUND_OLD);
        return d;
    }

    Control control_;
    QuelmarScsiClient lib_;
};

const char *kThreeReceivers = R"(# two current receivers and an older one on two adapters
receiver adapter=0 target=1 identification=older revision=2.14 rate=off
channel name="Alt Eins" tag=1 video-pid=100 audio=mp2
channel name="Alt Radio" tag=2 video-pid=8191 audio=mp2
receiver adapter=0 target=4 identification=current revision=2.17 rate=off
channel name="[Ü] 21°" tag=7 video-pid=101 audio=mp2
receiver adapter=1 target=2 identification=current revision=2.21 rate=off vendor="quelmar"
channel name="Neu Eins" tag=1 video-pid=200 audio=ac3
channel name="Neu Zwei" tag=2 video-pid=300 audio=mp2
channel name="Neu Radio" tag=3 video-pid=8191 audio=mp2
)";

TEST_F(ReceiverE2E, DiscoveryFindsCurrentAndOlderIdentificationsOnSeveralAdapters)
{
    start(kThreeReceivers);
    DvbDeviceList all = lib_.dvbFindAllQuelmars();
    ASSERT_EQ(all.count, 2);
    EXPECT_EQ(all.devices[0].hostAdapter, 0);
    EXPECT_EQ(all.devices[0].targetId, 4);
    EXPECT_EQ(all.devices[0].firmwareRevision, 0x0217);
    EXPECT_EQ(all.devices[1].hostAdapter, 1);
    EXPECT_EQ(all.devices[1].targetId, 2);
    EXPECT_EQ(all.devices[1].firmwareRevision, 0x0221); // lower-case vendor matches too
    EXPECT_EQ(all.devices[2].status, DVB_STATUS_NONE);
    // Discovery switched their SCSI mode to automatic: FF FF here.
    EXPECT_EQ(control_.state(0, 4).scsiModeWord, 0xFFFFu);

    DvbDevice d = lib_.dvbFindFirstQuelmar();
    EXPECT_EQ(d.status, DVB_STATUS_FOUND);
    EXPECT_EQ(d.targetId, 4);
    // Without the current ones, the older identification is found.
    control_.setPlugged(0, 4, 0);
    control_.setPlugged(1, 2, 0);
    d = lib_.dvbFindFirstQuelmar();
    EXPECT_EQ(d.status, DVB_STATUS_FOUND_OLD);
    EXPECT_EQ(d.targetId, 1);
    EXPECT_EQ(d.firmwareRevision, 0x0214);
    EXPECT_EQ(lib_.dvbFindAllQuelmars().count, 0);
}

TEST_F(ReceiverE2E, BothCommandLayoutsWorkAndAWrongRevisionIsRefused)
{
    start(kThreeReceivers);
    DvbDeviceList all = lib_.dvbFindAllQuelmars();
    ASSERT_EQ(all.count, 2);
    DvbDevice legacy = lib_.dvbFindFirstQuelmar();
    control_.setPlugged(0, 4, 0);
    control_.setPlugged(1, 2, 0);
    legacy = lib_.dvbFindFirstQuelmar();
    control_.setPlugged(0, 4, 1);
    control_.setPlugged(1, 2, 1);
    ASSERT_EQ(legacy.firmwareRevision, 0x0214);

    struct Expect {
        DvbDevice dev;
        uint16_t count;
        const char *secondName;
    } cases[] = {{legacy, 2, "Alt Radio"}, {all.devices[1], 3, "Neu Zwei"}};
    for (auto &c : cases) {
        EXPECT_EQ(lib_.dvbChannelCount(&c.dev), c.count);
        std::vector<DvbChannel> ch(8);
        ASSERT_EQ(lib_.dvbGetAllChannels(&c.dev, ch.data(), 8), 1);
        EXPECT_STREQ(ch[1].name, c.secondName);
        ASSERT_EQ(lib_.dvbSetChannel(&c.dev, 2), 1);
        DvbCurrentChannel cur = lib_.dvbGetCurrentChannel(&c.dev);
        EXPECT_NE(cur.answer, 0);
        EXPECT_STREQ(cur.channel.name, c.secondName);
        EXPECT_EQ(lib_.dvbSendSpecialCommand(&c.dev, reinterpret_cast<const uint8_t *>(" timer  "), 8, 1), 1);
        EXPECT_STREQ(control_.state(c.dev.hostAdapter, c.dev.targetId).frontPanel, " timer  ");

        // The same receiver addressed with the other layout refuses.
        DvbDevice wrong = c.dev;
        wrong.firmwareRevision = c.dev.firmwareRevision == 0x0214 ? 0x0215 : 0x0214;
        EXPECT_EQ(lib_.dvbChannelCount(&wrong), 0);
        EXPECT_EQ(lib_.dvbRemote(&wrong, 1), 0);
        EXPECT_EQ(control_.state(c.dev.hostAdapter, c.dev.targetId).remoteLocked, 0);
        EXPECT_EQ(lib_.dvbGetCurrentChannel(&wrong).answer, 0);
    }
}

TEST_F(ReceiverE2E, ChannelTableRoundTripWithTheReceiversCharacterCodes)
{
    start("");
    DvbDevice d = first();
    ASSERT_EQ(d.firmwareRevision, 0x0217);
    const uint16_t n = lib_.dvbChannelCount(&d);
    ASSERT_GE(n, 4);
    std::vector<DvbChannel> ch(n);
    ASSERT_EQ(lib_.dvbGetAllChannels(&d, ch.data(), n), 1);
    // Host form: "[Ü] Wetter 21°" in Latin-1.
    EXPECT_STREQ(ch[3].name, "[\xDC] Wetter 21\xB0");
    EXPECT_EQ(ch[2].word16, DVB_NO_VIDEO_PID);

    std::memset(ch[0].name, 0, sizeof ch[0].name);
    std::strcpy(ch[0].name, "[Neu] \xDC\xB0");
    ch[0].tag = 42;
    ASSERT_EQ(lib_.dvbPutAllChannels(&d, ch.data(), 2), 1);
    EXPECT_EQ(lib_.dvbChannelCount(&d), 2);
    // In the receiver's memory the name has the receiver's codes.
    uint8_t raw[64];
    ASSERT_EQ(lib_.dvbReadMemory(&d, 0x0D0000, raw, 64), 1);
    EXPECT_EQ(std::memcmp(raw + 32, "\x86Neu\x87 \x9A\xF8", 9), 0);
    EXPECT_EQ(raw[16], 101 >> 8); // video PID most significant byte first
    EXPECT_EQ(raw[17], 101 & 0xFF);
    std::vector<DvbChannel> back(2);
    ASSERT_EQ(lib_.dvbGetAllChannels(&d, back.data(), 2), 1);
    EXPECT_EQ(std::memcmp(back.data(), ch.data(), 2 * sizeof(DvbChannel)), 0);
}

TEST_F(ReceiverE2E, ControlCommandsReachTheReceiver)
{
    start("");
    DvbDevice d = first();
    EXPECT_EQ(lib_.dvbRemote(&d, 1), 1);
    EXPECT_EQ(control_.state(0, 3).remoteLocked, 1);
    EXPECT_EQ(lib_.dvbSetOSD(&d, 0, 0, 35, 40, "Guten Abend"), 1);
    EXPECT_STREQ(control_.state(0, 3).osd, "Guten Abend");
    EXPECT_EQ(lib_.dvbVideoGimmick(&d, 3), 1);
    EXPECT_EQ(control_.state(0, 3).videoSetting[1], 6);
    const uint8_t memory[4] = {1, 2, 3, 4};
    EXPECT_EQ(lib_.dvbWriteMemory(&d, 0xABCDEF, memory, 4), 1);
    uint8_t back[4] = {};
    EXPECT_EQ(lib_.dvbReadMemory(&d, 0xABCDEF, back, 4), 1);
    EXPECT_EQ(std::memcmp(back, memory, 4), 0);
    EXPECT_EQ(lib_.dvbSetSCSIMode(&d, DVB_SCSI_MODE_BUSY), 1);
    EXPECT_EQ(control_.state(0, 3).scsiModeWord, 0u);
    EXPECT_EQ(lib_.dvbSendSpecialCommand(&d, nullptr, 0, 2), 1);
    EXPECT_EQ(control_.state(0, 3).powered, 0);
}

TEST_F(ReceiverE2E, ReadsAreRefusedWhenNothingIsBufferedInBothScsiModes)
{
    start("");
    DvbDevice d = first();
    std::vector<uint8_t> buf(32768);
    for (int32_t mode : {DVB_SCSI_MODE_BUSY, DVB_SCSI_MODE_CHECK_CONDITION}) {
        ASSERT_EQ(lib_.dvbSetSCSIMode(&d, mode), 1);
        EXPECT_EQ(lib_.dvbReadMultipleStreams(&d, buf.data(), 16, DVB_STREAM_PTS), 0);
        EXPECT_EQ(lib_.dvbReadMultipleStreams(&d, buf.data(), 32768, DVB_STREAM_VIDEO), 0);
        EXPECT_EQ(lib_.dvbReadMultipleStreams(&d, buf.data(), 8192, DVB_STREAM_AUDIO), 0);
    }
    // A stalled stream is refused while the others flow.
    ASSERT_EQ(lib_.dvbInitStreaming(&d, 0, 0x10000, 10), 1);
    ASSERT_EQ(control_.stall(0, 3, ASPI_VIRTUAL_STREAM_VIDEO, 1), 1);
    int audio = 0, video = 0;
    for (const auto limit = steady_clock::now() + kCollectLimit; audio == 0 && steady_clock::now() < limit;) {
        std::this_thread::sleep_for(milliseconds(25)); // the poll period
        video += lib_.dvbReadMultipleStreams(&d, buf.data(), 32768, DVB_STREAM_VIDEO);
        audio += lib_.dvbReadMultipleStreams(&d, buf.data(), 8192, DVB_STREAM_AUDIO);
    }
    EXPECT_GT(audio, 0);
    EXPECT_EQ(video, 0);
    control_.stall(0, 3, ASPI_VIRTUAL_STREAM_VIDEO, 0);
    EXPECT_EQ(lib_.dvbReadMultipleStreams(&d, buf.data(), 32768, DVB_STREAM_VIDEO), 1);
    EXPECT_EQ(lib_.dvbDeInitStreaming(&d), 1);
}

struct Streams {
    std::vector<uint8_t> video, audio;
    std::vector<std::vector<uint8_t>> records;
    double elapsed = 0;
};

// Streams the tuned channel, polling like the recorder, until `enough` holds
// for what was collected (looked at after every cycle).
Streams collect(QuelmarScsiClient &client, const DvbDevice &d, const std::function<bool(const Streams &)> &enough)
{
    Streams s;
    EXPECT_EQ(client.dvbInitStreaming(&d, 0, 0x10000, 10), 1);
    const auto t0 = steady_clock::now();
    std::vector<uint8_t> buf(32768);
    auto next = t0;
    while (!enough(s)) {
        if (steady_clock::now() - t0 > kCollectLimit) {
            ADD_FAILURE() << "the receiver did not deliver what the test waits for";
            break;
        }
        for (int i = 0; i < 2; ++i)
            if (client.dvbReadMultipleStreams(&d, buf.data(), 16, DVB_STREAM_PTS))
                s.records.emplace_back(buf.begin(), buf.begin() + 16);
        if (client.dvbReadMultipleStreams(&d, buf.data(), 32768, DVB_STREAM_VIDEO))
            s.video.insert(s.video.end(), buf.begin(), buf.begin() + 32768);
        if (client.dvbReadMultipleStreams(&d, buf.data(), 8192, DVB_STREAM_AUDIO))
            s.audio.insert(s.audio.end(), buf.begin(), buf.begin() + 8192);
        next += milliseconds(25);
        std::this_thread::sleep_until(next);
        s.elapsed = duration<double>(steady_clock::now() - t0).count();
    }
    EXPECT_EQ(client.dvbDeInitStreaming(&d), 1);
    return s;
}

// Until `howLong` has passed.
std::function<bool(const Streams &)> during(duration<double> howLong)
{
    return [howLong](const Streams &s) { return s.elapsed >= howLong.count(); };
}
// Until at least this many bytes of video and of audio came.
std::function<bool(const Streams &)> atLeast(size_t videoBytes, size_t audioBytes)
{
    return [=](const Streams &s) { return s.video.size() >= videoBytes && s.audio.size() >= audioBytes; };
}

// ffprobe's codec name for a file, and whether ffmpeg decodes it without a
// single error message.
std::string probeCodec(const std::string &path)
{
    const std::string cmd = "ffprobe -v error -show_entries stream=codec_name -of csv=p=0 '" + path + "'";
    FILE *p = ::popen(cmd.c_str(), "r");
    char line[128] = {};
    std::string out = p && std::fgets(line, sizeof line, p) ? line : "";
    if (p)
        ::pclose(p);
    while (!out.empty() && (out.back() == '\n' || out.back() == ','))
        out.pop_back();
    return out;
}

std::string ffmpegErrors(const std::string &path)
{
    const std::string cmd = "ffmpeg -nostdin -v error -i '" + path + "' -f null - 2>&1";
    FILE *p = ::popen(cmd.c_str(), "r");
    std::string out;
    char line[512];
    while (p && std::fgets(line, sizeof line, p))
        out += line;
    if (p)
        ::pclose(p);
    return out;
}

std::string writeFile(const std::string &name, const std::vector<uint8_t> &data)
{
    const std::string path = std::string(QUELMAR_TEST_DIR) + "/" + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
    return path;
}

TEST_F(ReceiverE2E, StreamingInRealTimeDecodesWithTimestampsThatMatch)
{
    start("");
    DvbDevice d = first();
    ASSERT_EQ(lib_.dvbSetChannel(&d, 1), 1);
    const Streams s = collect(lib_, d, during(seconds(3)));

    auto v = decodeElementary(EsKind::Mpeg2Video, s.video);
    EXPECT_EQ(v.errors, 0) << v.firstError;
    EXPECT_EQ(v.width, 720);
    // The pictures of the elapsed time: never more; fewer by those still in
    // the encoder and the buffer when streaming stopped, with a second of
    // allowance for a loaded machine.
    EXPECT_LE(v.frames, static_cast<int>(s.elapsed * 25) + 1);
    EXPECT_GE(v.frames, static_cast<int>(s.elapsed * 25) - 25);
    auto a = decodeElementary(EsKind::Mp2, s.audio);
    EXPECT_EQ(a.errors, 0) << a.firstError;
    EXPECT_GT(a.samples, 0);

    // Every record points at the start of its picture or audio frame.
    int videoRecords = 0;
    for (const auto &r : s.records) {
        const uint32_t off = uint32_t{r[2]} << 24 | uint32_t{r[3]} << 16 | uint32_t{r[4]} << 8 | r[5];
        if (r[0] == 1) {
            ++videoRecords;
            ASSERT_LT(off + 3u, s.video.size());
            EXPECT_TRUE(s.video[off] == 0 && s.video[off + 1] == 0 && s.video[off + 2] == 1);
        } else if (off + 1u < s.audio.size()) {
            EXPECT_EQ(s.audio[off], 0xFF);
            EXPECT_EQ(s.audio[off + 1] & 0xF0, 0xF0);
        }
    }
    // One record per picture; those of the last read were still waiting
    // when polling stopped (each cycle reads records before video).
    EXPECT_LE(videoRecords, v.frames);
    EXPECT_GE(videoRecords, v.frames - 4);

    // The ffmpeg programs identify and decode what was recorded.
    const std::string m2v = writeFile("e2e-channel1.m2v", s.video);
    const std::string mp2 = writeFile("e2e-channel1.mp2", s.audio);
    EXPECT_EQ(probeCodec(m2v), "mpeg2video");
    EXPECT_EQ(probeCodec(mp2), "mp2");
    EXPECT_EQ(ffmpegErrors(m2v), "");
    EXPECT_EQ(ffmpegErrors(mp2), "");
}

TEST_F(ReceiverE2E, EveryOtherDefaultChannelStreamsAfterTuning)
{
    start("");
    DvbDevice d = first();
    ASSERT_EQ(lib_.dvbSetChannel(&d, 2), 1);
    constexpr size_t kSomeGops = 512 * 1024, kSomeAudio = 64 * 1024;
    Streams s = collect(lib_, d, atLeast(kSomeGops, kSomeAudio));
    // Cut the audio at the last frame boundary a record marks: the final
    // read ends inside a frame.
    size_t lastFrame = 0;
    for (const auto &r : s.records) {
        const uint32_t off = uint32_t{r[2]} << 24 | uint32_t{r[3]} << 16 | uint32_t{r[4]} << 8 | r[5];
        if (r[0] == 0 && off < s.audio.size())
            lastFrame = std::max<size_t>(lastFrame, off);
    }
    ASSERT_GT(lastFrame, 0u);
    s.audio.resize(lastFrame);
    const std::string ac3 = writeFile("e2e-channel2.ac3", s.audio);
    EXPECT_EQ(probeCodec(ac3), "ac3");
    EXPECT_EQ(ffmpegErrors(ac3), "");
    const std::string m2v = writeFile("e2e-channel2.m2v", s.video);
    EXPECT_EQ(probeCodec(m2v), "mpeg2video");
    EXPECT_EQ(ffmpegErrors(m2v), "");

    // The radio channel: audio only.
    ASSERT_EQ(lib_.dvbSetChannel(&d, 3), 1);
    s = collect(lib_, d, atLeast(0, kSomeAudio));
    EXPECT_TRUE(s.video.empty());
    EXPECT_FALSE(s.audio.empty());
    EXPECT_EQ(decodeElementary(EsKind::Mp2, s.audio).errors, 0);
    // The channel with the receiver's special characters in its name.
    ASSERT_EQ(lib_.dvbSetChannel(&d, 4), 1);
    EXPECT_STREQ(lib_.dvbGetCurrentChannel(&d).channel.name, "[\xDC] Wetter 21\xB0");
    s = collect(lib_, d, atLeast(kSomeGops, 0));
    auto v = decodeElementary(EsKind::Mpeg2Video, s.video);
    EXPECT_EQ(v.errors, 0) << v.firstError;
    EXPECT_GT(v.frames, 0);
}

class CaptureReplayE2E : public ReceiverE2E, public ::testing::WithParamInterface<const char *> {};

// A real capture on a file channel, streamed through the library in real
// time across a loop point: the receiver delivers, unit by unit, what
// ffmpeg's stream copy extracts from the capture (less the cut-off last
// picture and audio frame), on one timeline.
TEST_P(CaptureReplayE2E, DeliversTheCapturesUnitsAcrossALoopPoint)
{
    const std::string path = std::string(QUELMAR_SOURCE_DIR) + "/tests/data/" + GetParam();
    const test::ReplayReference ref = test::captureReference(GetParam());
    ASSERT_GT(ref.wholeVideo, 25u);
    ASSERT_GT(ref.wholeAudio, 25u);
    start("receiver adapter=0 target=0 revision=2.17 rate=off\nchannel name=Capture tag=1 video-pid=500 file=\"" +
          path + "\"\n");
    const DvbDevice d = first();
    // Until the pictures of a whole pass and some of the next were stamped.
    constexpr size_t kPastTheLoopPictures = 20;
    const Streams s = collect(lib_, d, [&](const Streams &got) {
        return static_cast<size_t>(std::count_if(got.records.begin(), got.records.end(), [](const auto &r) {
                   return r[0] == 1;
               })) >= ref.video.size() + kPastTheLoopPictures;
    });
    EXPECT_STREQ(control_.state(0, 0).sourceProblem, "");
    std::vector<test::Stamp> stamps;
    for (const auto &r : s.records)
        stamps.push_back(test::parseStamp(r.data()));
    const auto video = test::deliveredUnits(s.video, 0, stamps, Stream::Video);
    const auto audio = test::deliveredUnits(s.audio, 0, stamps, Stream::Audio);
    EXPECT_GE(test::expectFaithfulReplay(ref, video, audio), 1);
    EXPECT_GT(video.size(), ref.wholeVideo);
}

INSTANTIATE_TEST_SUITE_P(ReceiverE2E, CaptureReplayE2E,
                         ::testing::Values("closed-gop-mpeg2-mp2.ts", "open-gop-704x576-mpeg2-mp2.ts"),
                         [](const auto &info) { return info.index == 0 ? "ClosedGops" : "OpenGops"; });

TEST_F(ReceiverE2E, SpeedTestReflectsTheConfiguredTransferRate)
{
    start("receiver adapter=0 target=0 revision=2.17 rate=2M\nchannel name=A tag=1 video-pid=100 audio=mp2\n");
    DvbDevice d = first();
    const uint32_t bytes = 1 << 20;
    const int32_t ms = lib_.dvbSCSISpeedTest(&d, bytes, 1);
    // The layer never completes faster than 2 MB/s allows.
    EXPECT_GE(ms, static_cast<int32_t>(uint64_t{bytes} * 1000 / 2'000'000));
    std::printf("speed test: %u bytes in %d ms at a configured 2 MB/s\n", bytes, ms);
}

TEST_F(ReceiverE2E, UnplugFailsCommandsAndReplugWithANewDiscoveryFindsTheReceiver)
{
    start("");
    DvbDevice d = first();
    control_.setPlugged(0, 3, 0);
    EXPECT_EQ(lib_.dvbChannelCount(&d), 0);
    EXPECT_EQ(lib_.dvbGetCurrentChannel(&d).answer, 0);
    EXPECT_EQ(lib_.dvbFindFirstQuelmar().status, DVB_STATUS_NONE);
    control_.setPlugged(0, 3, 1);
    DvbDevice again = lib_.dvbFindFirstQuelmar();
    EXPECT_EQ(again.status, DVB_STATUS_FOUND);
    EXPECT_GT(lib_.dvbChannelCount(&again), 0);
}

TEST_F(ReceiverE2E, HangMakesTheLibraryTimeOutAndTheLayerSurvives)
{
    start("");
    DvbDevice d = first();
    control_.hang(3000);
    std::vector<uint8_t> buf(65536, 0);
    // The library gives up after its 1000 ms wait and aborts the request; the
    // late completion must never land in this (then released) buffer.
    {
        std::vector<uint8_t> scratch(65536);
        EXPECT_EQ(lib_.dvbReadMemory(&d, 0x0D0000, scratch.data(), 65536), 0);
    }
    EXPECT_EQ(lib_.dvbChannelCount(&d), 0);
    control_.hang(0);
    EXPECT_GT(lib_.dvbChannelCount(&d), 0);
    control_.refuse(1);
    EXPECT_EQ(lib_.dvbChannelCount(&d), 0);
    EXPECT_GT(lib_.dvbChannelCount(&d), 0);
}

} // namespace
} // namespace quelmar::receiver
