// Complete recordings from the simulated receiver, through the receiver
// access library, the recording engine and the multiplexer module, checked
// with ffprobe and ffmpeg.
#include "aspi_virtual.h"
#include "binding/ReceiverLibrary.h"
#include "binding/RemuxerBinding.h"
#include "engine/RecordingThread.h"
#include "engine/testing/RecordingEventsDouble.h"
#include "platform/DynamicLibrary.h"
#include "platform/testing/ResidentModule.h"
#include "platform/testing/TestFiles.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
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
// Enough of an output for the checks on it: a few GOPs of video (about 1.5 s
// of the simulated receiver's), some dozens of audio frames.
constexpr uintmax_t kFewGops = 1024 * 1024;
constexpr uintmax_t kSomeAudio = 96 * 1024;
constexpr uintmax_t kSomeMultiplex = 512 * 1024;

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
        stall_ = reinterpret_cast<AspiVirtualStallStreamFn>(control_.Symbol("aspiVirtualStallStream"));
        ASSERT_TRUE(reload_ && setPlugged_ && getState_ && stall_);
        ASSERT_EQ(reload_(nullptr), 1);

        receiver_ = std::make_unique<ReceiverLibrary>(kBin + "/libquelmarscsi.so");
        ASSERT_TRUE(receiver_->ReceiverPresent()) << std::hex << receiver_->Status();
        remuxer_ = std::make_unique<RemuxerBinding>(kBin + "/libremuxer.so");
        ASSERT_TRUE(remuxer_->Ready()) << std::hex << static_cast<uint32_t>(remuxer_->status);

        dir_ = quelmar::testing::ScratchDir(::testing::UnitTest::GetInstance()->current_test_info()->name());

        ctx_.receiver = receiver_.get();
        ctx_.multiplexer = remuxer_.get();
        ctx_.multiplexerAvailable.Set(true);
        ctx_.events = &events_;
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

    // Records until `until` returns true (checked every 20 ms, `during`
    // runs before each check), then stops and waits for the end. A recording
    // that ends by itself ends the wait; one that reaches kRecordLimit fails
    // the test. Returns the recording thread's result.
    uint32_t record(const std::function<bool()> &until, const std::function<void()> &during = nullptr)
    {
        constexpr int kStepMs = 20;
        auto thread = BeginRecording(ctx_);
        const auto limit = std::chrono::steady_clock::now() + kRecordLimit;
        while (ctx_.recording.Get() && !until()) {
            if (std::chrono::steady_clock::now() > limit) {
                ADD_FAILURE() << "what the recording waited for did not come";
                break;
            }
            SleepMs(kStepMs);
            if (during)
                during();
        }
        RequestStop(ctx_);
        EXPECT_TRUE(thread.WaitFor(std::chrono::milliseconds(kRecordLimit).count()));
        thread.Join();
        return thread.ExitCode();
    }
    static constexpr auto kRecordLimit = std::chrono::seconds(90);

    // Bytes of an output file so far (0 while there is none).
    uintmax_t bytes(const std::string &name) const
    {
        std::error_code error;
        const uintmax_t size = fs::file_size(dir_ / name, error);
        return error ? 0 : size;
    }
    // Until every named file holds at least `atLeast` bytes.
    std::function<bool()> filled(std::vector<std::string> names, uintmax_t atLeast) const
    {
        return [this, names = std::move(names), atLeast] {
            return std::all_of(names.begin(), names.end(),
                               [&](const std::string &name) { return bytes(name) >= atLeast; });
        };
    }

    std::vector<std::string> files() const { return quelmar::testing::SortedNames(dir_); }

    bool logged(const std::string &text) const { return log_.Contains(text); }

    DynamicLibrary control_;
    AspiVirtualReloadFn reload_ = nullptr;
    AspiVirtualSetPluggedFn setPlugged_ = nullptr;
    AspiVirtualGetStateFn getState_ = nullptr;
    AspiVirtualStallStreamFn stall_ = nullptr;
    std::unique_ptr<ReceiverLibrary> receiver_;
    std::unique_ptr<RemuxerBinding> remuxer_;
    std::atomic<uint32_t> splitSize_{5};
    RecordingContext ctx_;
    RecordingEventsDouble events_;
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
    EXPECT_EQ(record([&] { return bytes("rec (0).raw.m2v") >= kFewGops && bytes("rec (0).raw.mpp") >= kSomeAudio; }),
              kRecordingOk);
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
    EXPECT_EQ(record(filled({"rec (0).raw.acp"}, kSomeAudio)), kRecordingOk);
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
    EXPECT_EQ(record([&] {
                  return filled({"rec (0).mpg"}, kSomeMultiplex)() && !events_.Info(InfoStream::Video).empty() &&
                         !events_.Info(InfoStream::Audio).empty() &&
                         events_.Latest(&RecordingProgress::elapsedSeconds).value_or(0) != 0;
              }),
              kRecordingOk);
    EXPECT_EQ(files(), (std::vector<std::string>{"rec (0).m2v", "rec (0).mp2", "rec (0).mpg", "rec.log"}));
    EXPECT_EQ(codecs(dir_ / "rec (0).mpg"), "mpeg2video,mp2");
    EXPECT_EQ(decodeErrors(dir_ / "rec (0).mpg"), "");
    EXPECT_EQ(codecs(dir_ / "rec (0).m2v"), "mpeg2video");
    EXPECT_EQ(decodeErrors(dir_ / "rec (0).m2v"), "");
    EXPECT_EQ(codecs(dir_ / "rec (0).mp2"), "mp2");
    EXPECT_EQ(decodeErrors(dir_ / "rec (0).mp2"), "");
    EXPECT_TRUE(logged("a/v recording started, trying to synchronize..."));
    EXPECT_TRUE(logged("---------------- Video Info -----------------"));
    EXPECT_FALSE(events_.Info(InfoStream::Video).empty());
    ASSERT_FALSE(events_.Info(InfoStream::Audio).empty());
    EXPECT_EQ(events_.Info(InfoStream::Audio)[0], "Audio Type: MPEG, Layer 2");
    EXPECT_NE(events_.Latest(&RecordingProgress::elapsedSeconds).value_or(0), 0u);
}

TEST_F(RecordingEndToEnd, MultiplexedAc3AndRadioChannels)
{
    tune(kChannelAc3);
    ctx_.outputs.audio = OutputChoice::Elementary;
    ctx_.outputs.mux = OutputChoice::Raw;
    EXPECT_EQ(record([&] {
                  return filled({"rec (0).ac3"}, kSomeAudio)() && filled({"rec (0).mpg"}, kSomeMultiplex)() &&
                         !events_.Info(InfoStream::Audio).empty();
              }),
              kRecordingOk);
    EXPECT_EQ(files(), (std::vector<std::string>{"rec (0).ac3", "rec (0).mpg", "rec.log"}));
    EXPECT_EQ(codecs(dir_ / "rec (0).ac3"), "ac3");
    EXPECT_EQ(decodeErrors(dir_ / "rec (0).ac3"), "");
    EXPECT_EQ(decodeErrors(dir_ / "rec (0).mpg"), "");
    ASSERT_FALSE(events_.Info(InfoStream::Audio).empty());
    EXPECT_EQ(events_.Info(InfoStream::Audio)[0], "Audio Type: AC3");

    fs::remove_all(dir_);
    fs::create_directories(dir_);
    log_.Clear();
    tune(kChannelRadio);
    ctx_.outputs.audio = OutputChoice::Elementary;
    ctx_.outputs.mux = OutputChoice::Nothing;
    EXPECT_EQ(record(filled({"rec (0).mp2"}, kSomeAudio)), kRecordingOk);
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
    // Until the second part has some of everything.
    EXPECT_EQ(record([&] {
                  return logged("Performing 1st file split!") &&
                         filled({"rec (1).mpg", "rec (1).m2v"}, kSomeMultiplex)() &&
                         filled({"rec (1).mp2"}, kSomeAudio)();
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
    EXPECT_EQ(record(
                  [&] {
                      return logged("Performing 1st file split!") &&
                             filled({"rec (1).mpg", "rec (1).raw.m2v", "rec (1).raw.mpp"}, kSomeAudio)();
                  },
                  [&] {
                      if (!requested && bytes("rec (0).raw.m2v") >= kFewGops) {
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
    EXPECT_EQ(record([&] { return logged("Performing 1st file split!") && bytes("rec (1).mpg") >= kSomeMultiplex; }),
              kRecordingOk);
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
    ctx_.outputs.video = OutputChoice::Raw; // written whether paused or not
    // Paused once the program stream has begun, for as long as the receiver
    // takes to deliver another few GOPs (read on, but not multiplexed), then
    // resumed until the program stream has grown again.
    enum {
        BEFORE,
        PAUSED,
        RESUMED
    } phase = BEFORE;
    uintmax_t pausedAt = 0, resumedAt = 0;
    EXPECT_EQ(record([&] { return phase == RESUMED && bytes("rec (0).mpg") >= resumedAt + kSomeMultiplex; },
                     [&] {
                         if (phase == BEFORE && bytes("rec (0).mpg") >= kSomeMultiplex) {
                             ctx_.paused.Set(true);
                             pausedAt = bytes("rec (0).raw.m2v");
                             phase = PAUSED;
                         } else if (phase == PAUSED && bytes("rec (0).raw.m2v") >= pausedAt + kFewGops) {
                             ctx_.paused.Set(false);
                             resumedAt = bytes("rec (0).mpg");
                             phase = RESUMED;
                         }
                     }),
              kRecordingOk);
    EXPECT_EQ(decodeErrors(dir_ / "rec (0).mpg"), "");
    EXPECT_EQ(codecs(dir_ / "rec (0).mpg"), "mpeg2video,mp2");
    EXPECT_FALSE(ctx_.paused.Get());
}

TEST_F(RecordingEndToEnd, NothingToSaveGivesOnlyTheLogFile)
{
    ctx_.multiplexerAvailable.Set(false);
    EXPECT_EQ(record([] { return false; }), kRecordingFailed); // ends by itself
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
        result = record([] { return false; }); // ends by itself
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
    EXPECT_EQ(events_.End(), RecordingEnd::Failed);
}

TEST_F(RecordingEndToEnd, UnpluggedReceiverIdlesUntilStoppedAndKeepsTheFiles)
{
    tune(kChannelMp2);
    ctx_.outputs.video = OutputChoice::Raw;
    ctx_.outputs.mux = OutputChoice::Raw;
    // Unplugged once the files hold some GOPs; stopped once the polling
    // thread, idling on its schedule, reports the silent video.
    bool unplugged = false;
    EXPECT_EQ(record([&] { return logged("video stream stalled: no data for 5 s! Possible data loss!"); },
                     [&] {
                         if (!unplugged && filled({"rec (0).raw.m2v", "rec (0).mpg"}, kFewGops)()) {
                             setPlugged_(kAdapter, kTarget, 0);
                             unplugged = true;
                         }
                     }),
              kRecordingOk);
    EXPECT_TRUE(logged("polling thread terminated"));
    EXPECT_EQ(log_.Texts().back(), "recording stopped");
    EXPECT_EQ(decodeErrors(dir_ / "rec (0).mpg"), "");
    EXPECT_EQ(head(dir_ / "rec (0).raw.m2v", 4), (std::vector<uint8_t>{0x00, 0x00, 0x01, 0xB3}));
    EXPECT_EQ(decodeErrors(dir_ / "rec (0).raw.m2v", "mpegvideo"), "");
}

TEST_F(RecordingEndToEnd, StreamsThatStallAreLoggedWhenTheyStopAndResumeAndTheirGapIsCounted)
{
    tune(kChannelMp2);
    ctx_.outputs.mux = OutputChoice::Raw;
    const auto stallAll = [this](int32_t stalled) {
        for (int32_t kind : {ASPI_VIRTUAL_STREAM_AUDIO, ASPI_VIRTUAL_STREAM_VIDEO, ASPI_VIRTUAL_STREAM_TIMESTAMPS})
            EXPECT_EQ(stall_(kAdapter, kTarget, kind, stalled), 1);
    };
    enum {
        FLOWING,
        STALLED,
        RESUMED
    } phase = FLOWING;
    uintmax_t resumedAt = 0;
    EXPECT_EQ(record([&] { return phase == RESUMED && bytes("rec (0).mpg") >= resumedAt + kSomeMultiplex; },
                     [&] {
                         if (phase == FLOWING && bytes("rec (0).mpg") >= kSomeMultiplex) {
                             stallAll(1);
                             phase = STALLED;
                         } else if (phase == STALLED &&
                                    logged("video stream stalled: no data for 5 s! Possible data loss!") &&
                                    logged("audio stream stalled: no data for 5 s! Possible data loss!")) {
                             stallAll(0);
                             resumedAt = bytes("rec (0).mpg");
                             phase = RESUMED;
                         }
                     }),
              kRecordingOk);
    for (const char *stream : {"video", "audio"}) {
        int resumed = 0, missed = 0;
        for (const auto &text : log_.Texts()) {
            resumed += text.rfind(std::string(stream) + " stream delivers again after ", 0) == 0;
            missed += text.rfind(std::string(stream) + " stream missed ", 0) == 0 &&
                      text.find(" s of data in 1 stall") != std::string::npos;
        }
        EXPECT_EQ(resumed, 1) << stream;
        EXPECT_EQ(missed, 1) << stream;
    }
    EXPECT_EQ(decodeErrors(dir_ / "rec (0).mpg"), "");
}
