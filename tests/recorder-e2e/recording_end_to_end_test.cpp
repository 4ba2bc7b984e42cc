// Complete recordings from the simulated receiver, through the receiver
// access library, the recording engine and the multiplexer module, checked
// with ffprobe and ffmpeg.
#include "aspi_virtual.h"
#include "binding/ReceiverLibrary.h"
#include "binding/RemuxerBinding.h"
#include "engine/RecordingThread.h"
#include "engine/testing/RecordingViewDouble.h"
#include "platform/DynamicLibrary.h"
#include "platform/testing/ResidentModule.h"
#include "platform/testing/TestFiles.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

using namespace quelmar;
namespace fs = std::filesystem;

namespace {

const std::string kBin = QUELMAR_BIN_DIR;
const std::string kAspiLayer = kBin + "/libaspi-virtual.so";

// Channels of the simulated receiver's built-in table (numbers from 1).
constexpr uint16_t kChannelMp2 = 1;
constexpr uint16_t kChannelAc3 = 2;
constexpr uint16_t kChannelRadio = 3;
// Where the built-in receiver sits.
constexpr uint8_t kAdapter = 0;
constexpr uint8_t kTarget = 3;

// Runs a shell command; returns its exit status and fills *output with what
// it printed on both channels.
int runCommand(const std::string &command, std::string *output)
{
    output->clear();
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return -1;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output->append(buffer, n);
    return pclose(pipe);
}

std::string quote(const fs::path &path) { return "'" + path.string() + "'"; }

// ffprobe's names of the audio and video streams of a file, in stream
// order, e.g. "mpeg2video,mp2" (navigation and private streams left out).
std::string codecs(const fs::path &file, const std::string &format = "")
{
    std::string out;
    runCommand("ffprobe -v error " + (format.empty() ? "" : "-f " + format + " ") +
                   "-show_entries stream=codec_type,codec_name -of compact=p=0:nk=0 " + quote(file),
               &out);
    std::string joined;
    size_t pos = 0;
    while (pos < out.size()) {
        size_t end = out.find('\n', pos);
        if (end == std::string::npos)
            end = out.size();
        const std::string line = out.substr(pos, end - pos);
        pos = end + 1;
        const size_t name = line.find("codec_name=");
        if (name == std::string::npos)
            continue;
        if (line.find("codec_type=video") == std::string::npos && line.find("codec_type=audio") == std::string::npos)
            continue;
        const size_t from = name + std::string("codec_name=").size();
        joined += (joined.empty() ? "" : ",") + line.substr(from, line.find('|', from) - from);
    }
    return joined;
}

// Number of frames of the first stream that decode.
int decodedFrames(const fs::path &file, const std::string &format = "")
{
    std::string out;
    runCommand("ffprobe -v quiet " + (format.empty() ? "" : "-f " + format + " ") +
                   "-count_frames -select_streams 0 -show_entries stream=nb_read_frames -of csv=p=0 " + quote(file),
               &out);
    return std::atoi(out.c_str());
}

// Decodes the whole file; returns ffmpeg's complaints ("" when clean).
std::string decodeErrors(const fs::path &file, const std::string &format = "")
{
    std::string out;
    const int status = runCommand("ffmpeg -nostdin -v error " + (format.empty() ? "" : "-f " + format + " ") + "-i " +
                                      quote(file) + " -f null -",
                                  &out);
    if (status != 0 && out.empty())
        out = "ffmpeg exit status " + std::to_string(status);
    return out;
}

std::vector<uint8_t> head(const fs::path &file, size_t n)
{
    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t> bytes(n);
    in.read(reinterpret_cast<char *>(bytes.data()), std::streamsize(n));
    bytes.resize(size_t(in.gcount()));
    return bytes;
}

class RecordingEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        setenv("QUELMAR_ASPI_LAYER", kAspiLayer.c_str(), 1);
        quelmar::testing::KeepResident(kAspiLayer);
    }

    void SetUp() override
    {
        ASSERT_TRUE(control_.Load(kAspiLayer)) << control_.Error();
        reload_ = reinterpret_cast<AspiVirtualReloadFn>(control_.Symbol("aspiVirtualReload"));
        setPlugged_ = reinterpret_cast<AspiVirtualSetPluggedFn>(control_.Symbol("aspiVirtualSetPlugged"));
        getState_ = reinterpret_cast<AspiVirtualGetStateFn>(control_.Symbol("aspiVirtualGetState"));
        ASSERT_TRUE(reload_ && setPlugged_ && getState_);
        ASSERT_EQ(reload_(nullptr), 1);

        receiver_ = std::make_unique<ReceiverLibrary>(kBin + "/libquelmarscsi.so");
        ASSERT_TRUE(receiver_->ReceiverPresent()) << std::hex << receiver_->Status();
        remuxer_ = std::make_unique<RemuxerBinding>(kBin + "/libremuxer.so");
        ASSERT_TRUE(remuxer_->Ready()) << std::hex << static_cast<uint32_t>(remuxer_->status);

        dir_ = quelmar::testing::ScratchDir(::testing::UnitTest::GetInstance()->current_test_info()->name());

        ctx_.receiver = receiver_.get();
        ctx_.multiplexer = remuxer_.get();
        ctx_.multiplexerAvailable.Set(true);
        ctx_.view = &view_;
        ctx_.splitSize = &splitSize_;
        ctx_.baseName.Set((dir_ / "rec").string());
    }

    void TearDown() override
    {
        if (receiver_)
            receiver_->Unload();
        if (!HasFailure())
            fs::remove_all(dir_);
    }

    void tune(uint16_t channel) { ASSERT_EQ(receiver_->dvbSetChannel(&receiver_->device, channel), 1); }

    // Records until `until` returns true (checked every 20 ms), then stops and
    // waits for the end. Returns the recording thread's result.
    uint32_t record(const std::function<bool(int elapsedMs)> &until,
                    const std::function<void(int elapsedMs)> &during = nullptr)
    {
        constexpr int kStepMs = 20;
        auto thread = BeginRecording(ctx_);
        int elapsed = 0;
        while (ctx_.recording.Get() && !until(elapsed)) {
            SleepMs(kStepMs);
            elapsed += kStepMs;
            if (during)
                during(elapsed);
        }
        RequestStop(ctx_);
        while (!ctx_.ready.Get())
            SleepMs(kStepMs);
        thread.Join();
        return thread.ExitCode();
    }

    uint32_t recordForMs(int ms, const std::function<void(int)> &during = nullptr)
    {
        return record([ms](int elapsed) { return elapsed >= ms; }, during);
    }

    std::vector<std::string> files() const { return quelmar::testing::SortedNames(dir_); }

    bool logged(const std::string &text) const { return log_.Contains(text); }

    DynamicLibrary control_;
    AspiVirtualReloadFn reload_ = nullptr;
    AspiVirtualSetPluggedFn setPlugged_ = nullptr;
    AspiVirtualGetStateFn getState_ = nullptr;
    std::unique_ptr<ReceiverLibrary> receiver_;
    std::unique_ptr<RemuxerBinding> remuxer_;
    std::atomic<uint32_t> splitSize_{5};
    RecordingContext ctx_;
    RecordingViewDouble view_;
    CapturingLogSink log_;
    fs::path dir_;
};

} // namespace

TEST_F(RecordingEndToEnd, RawRecordingStartsAtASequenceHeaderAndDecodes)
{
    tune(kChannelMp2);
    ctx_.outputs.video = OutputChoice::Raw;
    ctx_.outputs.audio = OutputChoice::Raw;
    ctx_.multiplexerAvailable.Set(false); // raw only, as without the module
    EXPECT_EQ(recordForMs(2500), kRecordingOk);
    EXPECT_EQ(files(), (std::vector<std::string>{"rec (0).raw.m2v", "rec (0).raw.mpp", "rec.log"}));
    const fs::path video = dir_ / "rec (0).raw.m2v";
    EXPECT_EQ(head(video, 4), (std::vector<uint8_t>{0x00, 0x00, 0x01, 0xB3}));
    EXPECT_EQ(codecs(video, "mpegvideo"), "mpeg2video");
    EXPECT_EQ(decodeErrors(video, "mpegvideo"), "");
    const fs::path audio = dir_ / "rec (0).raw.mpp";
    EXPECT_EQ(codecs(audio, "mp3"), "mp2");
    EXPECT_GT(decodedFrames(audio, "mp3"), 40);
    // The log file holds the lines of the list.
    std::string lines;
    for (const auto &line : log_.Lines())
        lines += line + "\r\n";
    EXPECT_EQ(quelmar::testing::ReadText(dir_ / "rec.log"), lines);
    EXPECT_TRUE(logged("recording started"));
    AspiVirtualState state{};
    ASSERT_EQ(getState_(kAdapter, kTarget, &state), 1);
    EXPECT_STREQ(state.frontPanel, " ready  ");
    EXPECT_EQ(state.streaming, 0);
}

TEST_F(RecordingEndToEnd, RawAc3AudioIsRecognisedFromTheFirstChunk)
{
    tune(kChannelAc3);
    ctx_.outputs.audio = OutputChoice::Raw;
    ctx_.multiplexerAvailable.Set(false);
    EXPECT_EQ(recordForMs(2000), kRecordingOk);
    EXPECT_EQ(files(), (std::vector<std::string>{"rec (0).raw.acp", "rec.log"}));
    // Raw audio is the receiver's byte stream from the second chunk on, so
    // it begins and ends inside a frame; every whole frame decodes.
    EXPECT_EQ(codecs(dir_ / "rec (0).raw.acp", "ac3"), "ac3");
    EXPECT_GT(decodedFrames(dir_ / "rec (0).raw.acp", "ac3"), 40);
}

TEST_F(RecordingEndToEnd, MultiplexedRecordingGivesProgramAndElementaryStreams)
{
    tune(kChannelMp2);
    ctx_.outputs.video = OutputChoice::Elementary;
    ctx_.outputs.audio = OutputChoice::Elementary;
    ctx_.outputs.mux = OutputChoice::Raw;
    ctx_.logInfo.Set(true);
    EXPECT_EQ(recordForMs(3000), kRecordingOk);
    EXPECT_EQ(files(), (std::vector<std::string>{"rec (0).m2v", "rec (0).mp2", "rec (0).mpg", "rec.log"}));
    EXPECT_EQ(codecs(dir_ / "rec (0).mpg"), "mpeg2video,mp2");
    EXPECT_EQ(decodeErrors(dir_ / "rec (0).mpg"), "");
    EXPECT_EQ(codecs(dir_ / "rec (0).m2v"), "mpeg2video");
    EXPECT_EQ(decodeErrors(dir_ / "rec (0).m2v"), "");
    EXPECT_EQ(codecs(dir_ / "rec (0).mp2"), "mp2");
    EXPECT_EQ(decodeErrors(dir_ / "rec (0).mp2"), "");
    EXPECT_TRUE(logged("a/v recording started, trying to synchronize..."));
    EXPECT_TRUE(logged("---------------- Video Info -----------------"));
    EXPECT_FALSE(view_.Info(InfoPane::Video).empty());
    ASSERT_FALSE(view_.Info(InfoPane::Audio).empty());
    EXPECT_EQ(view_.Info(InfoPane::Audio)[0], "Audio Type: MPEG, Layer 2");
    EXPECT_NE(view_.Text(ControlId::RecordingTime), "0:00:00");
}

TEST_F(RecordingEndToEnd, MultiplexedAc3AndRadioChannels)
{
    tune(kChannelAc3);
    ctx_.outputs.audio = OutputChoice::Elementary;
    ctx_.outputs.mux = OutputChoice::Raw;
    EXPECT_EQ(recordForMs(2500), kRecordingOk);
    EXPECT_EQ(files(), (std::vector<std::string>{"rec (0).ac3", "rec (0).mpg", "rec.log"}));
    EXPECT_EQ(codecs(dir_ / "rec (0).ac3"), "ac3");
    EXPECT_EQ(decodeErrors(dir_ / "rec (0).ac3"), "");
    EXPECT_EQ(decodeErrors(dir_ / "rec (0).mpg"), "");
    ASSERT_FALSE(view_.Info(InfoPane::Audio).empty());
    EXPECT_EQ(view_.Info(InfoPane::Audio)[0], "Audio Type: AC3");

    fs::remove_all(dir_);
    fs::create_directories(dir_);
    log_.Clear();
    tune(kChannelRadio);
    ctx_.outputs.audio = OutputChoice::Elementary;
    ctx_.outputs.mux = OutputChoice::Nothing;
    EXPECT_EQ(recordForMs(2000), kRecordingOk);
    EXPECT_TRUE(logged("audio recording started"));
    EXPECT_EQ(files(), (std::vector<std::string>{"rec (0).mp2", "rec.log"}));
    EXPECT_EQ(decodeErrors(dir_ / "rec (0).mp2"), "");
}

TEST_F(RecordingEndToEnd, SplitBySizeGivesNumberedPartsThatEachPlay)
{
    tune(kChannelMp2);
    ctx_.outputs.video = OutputChoice::Elementary;
    ctx_.outputs.audio = OutputChoice::Elementary;
    ctx_.outputs.mux = OutputChoice::Raw;
    ctx_.splitOnSize.Set(true);
    // Until the second part has sound of its own (it goes on from where the
    // first part's ends, which audio reaches after video).
    const fs::path secondAudio = dir_ / "rec (1).mp2";
    EXPECT_EQ(record([&](int) {
                  std::error_code ec;
                  return logged("Performing 1st file split!") && fs::file_size(secondAudio, ec) > 0 && !ec;
              }),
              kRecordingOk);
    for (int part = 0; part < 2; ++part) {
        const std::string prefix = "rec (" + std::to_string(part) + ")";
        for (const char *ext : {".mpg", ".m2v", ".mp2"})
            EXPECT_TRUE(fs::exists(dir_ / (prefix + ext))) << prefix << ext;
        EXPECT_EQ(codecs(dir_ / (prefix + ".mpg")), "mpeg2video,mp2") << prefix;
        EXPECT_EQ(decodeErrors(dir_ / (prefix + ".mpg")), "") << prefix;
        EXPECT_EQ(decodeErrors(dir_ / (prefix + ".m2v")), "") << prefix;
    }
    EXPECT_LE(fs::file_size(dir_ / "rec (0).mpg"), 5u * 1048576);
    EXPECT_GE(fs::file_size(dir_ / "rec (0).mpg"), 5u * 1048576 - 524288);
}

TEST_F(RecordingEndToEnd, SplitNowAndSplitByTime)
{
    tune(kChannelMp2);
    ctx_.outputs.video = OutputChoice::Raw;
    ctx_.outputs.audio = OutputChoice::Raw;
    ctx_.outputs.mux = OutputChoice::Raw;
    bool requested = false;
    EXPECT_EQ(record([&](int) { return logged("Performing 1st file split!"); },
                     [&](int elapsed) {
                         if (!requested && elapsed >= 1500) {
                             RequestSplit(ctx_);
                             requested = true;
                         }
                     }),
              kRecordingOk);
    EXPECT_TRUE(fs::exists(dir_ / "rec (1).mpg"));
    EXPECT_TRUE(fs::exists(dir_ / "rec (1).raw.m2v"));
    EXPECT_TRUE(fs::exists(dir_ / "rec (1).raw.mpp"));
    EXPECT_EQ(decodeErrors(dir_ / "rec (1).mpg"), "");
    EXPECT_FALSE(ctx_.splitRequested.Get());

    fs::remove_all(dir_);
    fs::create_directories(dir_);
    log_.Clear();
    ctx_.outputs.video = OutputChoice::Nothing;
    ctx_.outputs.audio = OutputChoice::Nothing;
    ctx_.splitOnTime.Set(true);
    ctx_.splitTime = kMinSplitTimeSeconds;
    EXPECT_EQ(record([&](int) { return logged("Performing 1st file split!"); }), kRecordingOk);
    EXPECT_EQ(files(), (std::vector<std::string>{"rec (0).mpg", "rec (1).mpg", "rec.log"}));
    std::string out;
    runCommand("ffprobe -v error -show_entries format=duration -of csv=p=0 " + quote(dir_ / "rec (0).mpg"), &out);
    EXPECT_GE(std::atof(out.c_str()), 4.0) << out; // the first part covers the interval
    EXPECT_EQ(decodeErrors(dir_ / "rec (0).mpg"), "");
}

TEST_F(RecordingEndToEnd, PauseCutsTheMultiplexedOutputButNotTheRecording)
{
    tune(kChannelMp2);
    ctx_.outputs.mux = OutputChoice::Raw;
    EXPECT_EQ(recordForMs(4000,
                          [&](int elapsed) {
                              if (elapsed == 1500)
                                  ctx_.paused.Set(true);
                              if (elapsed == 3000)
                                  ctx_.paused.Set(false);
                          }),
              kRecordingOk);
    EXPECT_EQ(decodeErrors(dir_ / "rec (0).mpg"), "");
    EXPECT_EQ(codecs(dir_ / "rec (0).mpg"), "mpeg2video,mp2");
    EXPECT_FALSE(ctx_.paused.Get());
    EXPECT_EQ(view_.Text(ControlId::Pause), "&Pause");
}

TEST_F(RecordingEndToEnd, NothingToSaveGivesOnlyTheLogFile)
{
    ctx_.multiplexerAvailable.Set(false);
    EXPECT_EQ(recordForMs(100), kRecordingFailed);
    EXPECT_EQ(files(), std::vector<std::string>{"rec.log"});
    EXPECT_TRUE(logged("You should have seleceted anything to save, dude!"));
}

TEST_F(RecordingEndToEnd, FullDiskEndsTheRecordingAndKeepsAReadableFile)
{
    tune(kChannelMp2);
    ctx_.outputs.mux = OutputChoice::Raw;
    constexpr rlim_t kLimitBytes = 600000;
    uint32_t result;
    {
        quelmar::testing::ScopedFileSizeLimit limit(kLimitBytes);
        result = record([](int elapsed) { return elapsed > 60000; });
    }

    EXPECT_EQ(result, kRecordingFailed);
    bool reported = false;
    for (const auto &text : log_.Texts())
        reported |= text.find("File too large") != std::string::npos;
    EXPECT_TRUE(reported);
    EXPECT_EQ(log_.Texts().back(), "recording stopped");
    EXPECT_TRUE(logged("polling thread terminated"));
    EXPECT_LE(fs::file_size(dir_ / "rec (0).mpg"), kLimitBytes);
    EXPECT_EQ(codecs(dir_ / "rec (0).mpg"), "mpeg2video,mp2");
    EXPECT_TRUE(view_.Enabled(ControlId::Record));
}

TEST_F(RecordingEndToEnd, UnpluggedReceiverIdlesUntilStoppedAndKeepsTheFiles)
{
    tune(kChannelMp2);
    ctx_.outputs.video = OutputChoice::Raw;
    ctx_.outputs.mux = OutputChoice::Raw;
    bool unplugged = false;
    int unpluggedAt = 0;
    EXPECT_EQ(record([&](int elapsed) { return unplugged && elapsed >= unpluggedAt + 2000; },
                     [&](int elapsed) {
                         if (!unplugged && elapsed >= 2000) {
                             setPlugged_(kAdapter, kTarget, 0);
                             unplugged = true;
                             unpluggedAt = elapsed;
                         }
                     }),
              kRecordingOk);
    EXPECT_TRUE(logged("polling thread terminated"));
    EXPECT_EQ(log_.Texts().back(), "recording stopped");
    EXPECT_EQ(decodeErrors(dir_ / "rec (0).mpg"), "");
    EXPECT_EQ(head(dir_ / "rec (0).raw.m2v", 4), (std::vector<uint8_t>{0x00, 0x00, 0x01, 0xB3}));
    EXPECT_EQ(decodeErrors(dir_ / "rec (0).raw.m2v", "mpegvideo"), "");
}
