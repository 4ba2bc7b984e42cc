// The recording thread against a scripted receiver and a scripted
// multiplexer, both in-process.
#include "engine/RecordingThread.h"
#include "binding/ReceiverLibrary.h"
#include "binding/RemuxerBinding.h"
#include "engine/PacketQueue.h"
#include "engine/testing/RecordingEventsDouble.h"
#include "platform/Clock.h"
#include "platform/testing/TestFiles.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

using namespace quelmar;
namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

// ---- scripted receiver ------------------------------------------------------

struct ScriptedReceiver {
    std::mutex mutex;
    std::deque<Bytes> streams[3]; // by StreamKind
    std::atomic<bool> exhausted{false};
    std::atomic<int> videoReads{0};
    int splitAtVideoRead = -1;                // sets splitRequested at this video read
    std::function<void()> beforeSplitRequest; // runs at that read, before the request
    Flag *splitRequested = nullptr;
    int pauseAtVideoRead = -1; // sets paused after this video read
    Flag *paused = nullptr;
    uint16_t videoPid = 0x0100;
    bool answers = true;
    // A hanging receiver: reads block until released.
    bool hang = false;
    std::atomic<bool> hanging{false};
    std::condition_variable release;
    bool released = false;
    std::thread::id hungThread;              // the thread that got stuck
    int hungThreadCallsAfterRelease = 0;     // receiver calls it made once let go
    std::atomic<int> readsByOtherThreads{0}; // reads of any other thread
    std::vector<std::string> calls;
    std::set<std::string> readingThreads; // names of the threads that read streams
};
ScriptedReceiver *g_rx = nullptr;

std::string CurrentThreadName()
{
    char name[WorkerThread::kMaxNameChars + 1] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

// Counts a call of the thread that hung once it was let go. Lock held.
void NoteCall()
{
    if (g_rx->released && std::this_thread::get_id() == g_rx->hungThread)
        ++g_rx->hungThreadCallsAfterRelease;
}

int32_t RxRead(const DvbDevice *, uint8_t *buffer, uint32_t length, int32_t kind)
{
    std::unique_lock lock(g_rx->mutex);
    g_rx->readingThreads.insert(CurrentThreadName());
    NoteCall();
    if (g_rx->hang) {
        g_rx->hungThread = std::this_thread::get_id();
        g_rx->hanging = true;
        g_rx->release.wait(lock, [] { return g_rx->released; });
        return 0;
    }
    if (std::this_thread::get_id() != g_rx->hungThread)
        ++g_rx->readsByOtherThreads;
    auto &queue = g_rx->streams[kind];
    if (queue.empty()) {
        if (g_rx->streams[0].empty() && g_rx->streams[1].empty() && g_rx->streams[2].empty())
            g_rx->exhausted = true;
        lock.unlock();
        SleepMs(1);
        return 0;
    }
    Bytes chunk = std::move(queue.front());
    queue.pop_front();
    chunk.resize(length, 0);
    std::memcpy(buffer, chunk.data(), length);
    if (kind == DVB_STREAM_VIDEO) {
        const int reads = ++g_rx->videoReads;
        if (reads == g_rx->splitAtVideoRead) {
            if (g_rx->beforeSplitRequest)
                g_rx->beforeSplitRequest();
            g_rx->splitRequested->Set(true);
        }
        if (reads == g_rx->pauseAtVideoRead)
            g_rx->paused->Set(true);
    }
    return 1;
}
int32_t RxOk(const DvbDevice *)
{
    std::lock_guard lock(g_rx->mutex);
    NoteCall();
    return 1;
}
int32_t RxInit(const DvbDevice *, uint16_t, uint32_t, uint16_t) { return 1; }
int32_t RxText(const DvbDevice *, const uint8_t *, uint16_t, uint8_t)
{
    std::lock_guard lock(g_rx->mutex);
    NoteCall();
    return 1;
}
int32_t RxRemote(const DvbDevice *, int32_t on)
{
    std::lock_guard lock(g_rx->mutex);
    g_rx->calls.push_back("remote " + std::to_string(on) + " on " + CurrentThreadName());
    return 1;
}
DvbCurrentChannel RxCurrent(const DvbDevice *)
{
    DvbCurrentChannel c{};
    if (g_rx->answers) {
        c.answer = 1;
        c.channel.word16 = g_rx->videoPid;
    }
    return c;
}

// ---- scripted multiplexer ---------------------------------------------------

struct ScriptedRemuxer {
    std::vector<std::string> calls;
    Bytes video, audio;
    uint32_t videoChunks = 0;
    std::vector<uint32_t> pausedTags;
    int failWriteAfter = -1; // Write_Mpg fails from this call on
    int pendingEvery = 0;    // Write_Mpg calls 1, n + 1, 2n + 1 ... report more output pending
    int writeCalls = 0;
    bool ac3 = false;
    bool audioSeen = false;
    VideoInfo info{};
    VideoInfo reported{}; // what the last GetVideoInfo returned
    int videoInfoReads = 0;
    uint8_t frame[1536] = {};
};
ScriptedRemuxer *g_mx = nullptr;

void MxInitEx(RemuxLog log, int32_t reserved, int16_t delay, int32_t audioOnly)
{
    g_mx->calls.push_back("InitEx " + std::to_string(reserved) + " " + std::to_string(delay) + " " +
                          std::to_string(audioOnly));
    if (log)
        log("remuxer says hello");
}
void MxResync() { g_mx->calls.push_back("Resync"); }
void MxSetPaused(int32_t p) { g_mx->pausedTags.push_back(static_cast<uint32_t>(p)); }
void MxSupply(const uint8_t *data, uint32_t length, int32_t kind)
{
    if (kind == REMUX_STREAM_VIDEO) {
        g_mx->video.insert(g_mx->video.end(), data, data + length);
        ++g_mx->videoChunks;
        // The chunk's first byte stands for its sequence header: a new value
        // is a changed sequence (flag 1), which reading the record clears.
        const uint16_t width = data[0] < 0x80 ? 720 : 352;
        g_mx->info.sequenceChanged |= g_mx->info.sequenceKnown == 0 || g_mx->info.width != width;
        g_mx->info.sequenceKnown = 1;
        g_mx->info.frameRate = 25.0;
        g_mx->info.bitRate = 15000;
        g_mx->info.width = width;
        g_mx->info.height = 576;
        g_mx->info.chromaFormat = 1;
        g_mx->info.aspectRatio = 3;
    } else if (kind == REMUX_STREAM_AUDIO) {
        g_mx->audio.insert(g_mx->audio.end(), data, data + length);
        g_mx->audioSeen = true;
    }
}
int32_t MxWrite(RemuxWriter mux, RemuxWriter video, RemuxWriter audio, uint8_t *splitPending)
{
    ++g_mx->writeCalls;
    if (g_mx->failWriteAfter >= 0 && g_mx->writeCalls > g_mx->failWriteAfter)
        return REMUX_WRITE_FAILED;
    std::string call = "Write ";
    call += mux ? "m" : "-";
    call += video ? "v" : "-";
    call += audio ? "a" : "-";
    if (g_mx->calls.empty() || g_mx->calls.back() != call)
        g_mx->calls.push_back(call);
    Bytes both = g_mx->video;
    both.insert(both.end(), g_mx->audio.begin(), g_mx->audio.end());
    if (mux && !both.empty() && !mux(both.data(), uint32_t(both.size())))
        return REMUX_WRITE_FAILED;
    if (video && !g_mx->video.empty() && !video(g_mx->video.data(), uint32_t(g_mx->video.size())))
        return REMUX_WRITE_FAILED;
    if (audio && !g_mx->audio.empty() && !audio(g_mx->audio.data(), uint32_t(g_mx->audio.size())))
        return REMUX_WRITE_FAILED;
    g_mx->video.clear();
    g_mx->audio.clear();
    *splitPending = 0;
    if (g_mx->pendingEvery && g_mx->writeCalls % g_mx->pendingEvery == 1)
        return REMUX_WRITE_PENDING;
    return REMUX_WRITE_DONE;
}
int32_t MxFlush(RemuxWriter mux)
{
    g_mx->calls.push_back(mux ? "Flush" : "Flush tails");
    return REMUX_WRITE_DONE;
}
uint32_t MxTime() { return g_mx->videoChunks * 1000; }
const uint8_t *MxLastAudio()
{
    if (!g_mx->audioSeen)
        return nullptr;
    if (g_mx->ac3) {
        g_mx->frame[0] = 0x0B;
        g_mx->frame[1] = 0x77;
        g_mx->frame[4] = 0x1C; // 48 kHz, 384 kbit/s: 1536 bytes
    } else {
        const uint8_t header[] = {0xFF, 0xFD, 0xA4, 0x04};
        std::memcpy(g_mx->frame, header, sizeof header);
    }
    return g_mx->frame;
}
const void *MxVideoInfo()
{
    ++g_mx->videoInfoReads;
    g_mx->reported = g_mx->info;
    g_mx->info.sequenceChanged = 0;
    return &g_mx->reported;
}
uint64_t MxPadding() { return 42; }

// ---- stream content ---------------------------------------------------------

// A sequence header the raw video rule accepts (720x576, marker set,
// constrained parameters clear).
const uint8_t kGoodHeader[12] = {0x00, 0x00, 0x01, 0xB3, 0x2D, 0x02, 0x40, 0x33, 0xFF, 0xFF, 0xE0, 0x18};

Bytes VideoChunk(uint8_t fill, int headerAt = -1, const uint8_t *header = kGoodHeader)
{
    Bytes chunk(kVideoChunkBytes, fill);
    if (headerAt >= 0)
        std::memcpy(chunk.data() + headerAt, header, 12);
    return chunk;
}

Bytes AudioChunk(uint8_t fill) { return Bytes(kAudioChunkBytes, fill); }

using quelmar::testing::ReadText;

Bytes ReadFile(const fs::path &path) { return quelmar::testing::ReadBytes(path); }

class RecordingThreadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_rx = &rx_;
        g_mx = &mx_;
        rx_.splitRequested = &ctx_.splitRequested;
        rx_.paused = &ctx_.paused;
        dir_ = quelmar::testing::ScratchDir(::testing::UnitTest::GetInstance()->current_test_info()->name());

        Script(receiver_);

        remuxer_.InitEx = MxInitEx;
        remuxer_.Perform_Resync = MxResync;
        remuxer_.SetPaused = MxSetPaused;
        remuxer_.Supply_Data = MxSupply;
        remuxer_.Write_Mpg = MxWrite;
        remuxer_.Flush_Mpg = MxFlush;
        remuxer_.GetRecordingTime = MxTime;
        remuxer_.GetLastAudioPES = MxLastAudio;
        remuxer_.GetVideoInfo = MxVideoInfo;
        remuxer_.GetVideoPaddingCount = MxPadding;

        Fill(ctx_);
    }

    // The scripted receiver's entries.
    static void Script(ReceiverLibrary &receiver)
    {
        receiver.device.status = DVB_STATUS_FOUND;
        receiver.dvbReadMultipleStreams = RxRead;
        receiver.dvbInitStreaming = RxInit;
        receiver.dvbDeInitStreaming = RxOk;
        receiver.dvbSendSpecialCommand = RxText;
        receiver.dvbRemote = RxRemote;
        receiver.dvbGetCurrentChannel = RxCurrent;
    }
    void Fill(RecordingContext &ctx)
    {
        ctx.receiver = &receiver_;
        ctx.multiplexer = &remuxer_;
        ctx.events = &events_;
        ctx.splitSize = &splitSize_;
        ctx.pollClock = clock_;
        ctx.baseName.Set((dir_ / "rec").string());
    }
    // Lets a hanging read return.
    void Release()
    {
        {
            std::lock_guard lock(rx_.mutex);
            rx_.released = true;
        }
        rx_.release.notify_all();
    }
    // Waits for `condition`; false when it did not come within kWaitLimit
    // (a hung test fails instead of blocking the run).
    static bool WaitUntil(const std::function<bool()> &condition)
    {
        const auto limit = std::chrono::steady_clock::now() + kWaitLimit;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > limit)
                return condition();
            SleepMs(1);
        }
        return true;
    }
    static constexpr auto kWaitLimit = std::chrono::seconds(60);
    void TearDown() override
    {
        g_rx = nullptr;
        g_mx = nullptr;
        fs::remove_all(dir_);
    }

    void UseMultiplexer()
    {
        remuxer_.status = RemuxerStatus::RemuxerReady;
        ctx_.multiplexerAvailable.Set(true);
    }

    // Starts a recording, lets it take everything scripted, stops it and
    // returns the recording thread's result.
    uint32_t Record()
    {
        auto thread = BeginRecording(ctx_);
        if (!WaitUntil([this] {
                if (rx_.exhausted)
                    RequestStop(ctx_);
                return ctx_.ready.Get();
            })) {
            ADD_FAILURE() << "the recording did not end";
            RequestStop(ctx_);
        }
        thread.Join();
        return thread.ExitCode();
    }

    std::vector<std::string> Files() const { return quelmar::testing::SortedNames(dir_); }

    ScriptedReceiver rx_;
    ScriptedRemuxer mx_;
    ReceiverLibrary receiver_{ReceiverLibrary::Unbound{}};
    RemuxerBinding remuxer_{RemuxerBinding::Unbound{}};
    std::atomic<uint32_t> splitSize_{5};
    std::shared_ptr<ManualClock> clock_ = std::make_shared<ManualClock>();
    RecordingContext ctx_;
    RecordingEventsDouble events_;
    CapturingLogSink log_;
    fs::path dir_;
};

} // namespace

TEST_F(RecordingThreadTest, NothingToSaveEndsAtOnceWithOnlyTheLogFile)
{
    EXPECT_EQ(Record(), kRecordingFailed);
    EXPECT_EQ(Files(), std::vector<std::string>{"rec.log"});
    EXPECT_EQ(log_.Texts(),
              (std::vector<std::string>{"You should have seleceted anything to save, dude!", "recording stopped"}));
    EXPECT_EQ(ReadText(dir_ / "rec.log"), log_.Lines()[0] + "\r\n" + log_.Lines()[1] + "\r\n");
    EXPECT_EQ(events_.End(), RecordingEnd::Failed);
    EXPECT_EQ(events_.Count(RecordingEventsDouble::Kind::Starting), 0);
    EXPECT_FALSE(ctx_.recording.Get());
    EXPECT_EQ(rx_.calls, std::vector<std::string>{"remote 0 on record"});
}

TEST_F(RecordingThreadTest, RawVideoStartsAtTheFirstAcceptedSequenceHeader)
{
    ctx_.outputs.video = OutputChoice::Raw;
    ctx_.outputs.audio = OutputChoice::Raw;
    // A header with the constrained-parameters flag set is not accepted.
    uint8_t constrained[12];
    std::memcpy(constrained, kGoodHeader, 12);
    constrained[11] |= 0x04;
    rx_.streams[DVB_STREAM_VIDEO] = {VideoChunk(1), VideoChunk(2, 20, constrained), VideoChunk(3, 100), VideoChunk(4)};
    // The accepted header sits at offset 100 of the third chunk.
    rx_.streams[DVB_STREAM_AUDIO] = {AudioChunk(0x11), AudioChunk(0x22), AudioChunk(0x33)};
    rx_.streams[DVB_STREAM_PTS] = {Bytes(16, 9)};

    EXPECT_EQ(Record(), kRecordingOk);
    EXPECT_EQ(Files(), (std::vector<std::string>{"rec (0).raw.m2v", "rec (0).raw.mpp", "rec.log"}));
    Bytes third = VideoChunk(3, 100);
    Bytes expected(third.begin() + 100, third.end());
    const Bytes fourth = VideoChunk(4);
    expected.insert(expected.end(), fourth.begin(), fourth.end());
    EXPECT_EQ(ReadFile(dir_ / "rec (0).raw.m2v"), expected);
    // The first audio chunk decides the type and is not written.
    Bytes audio = AudioChunk(0x22);
    const Bytes last = AudioChunk(0x33);
    audio.insert(audio.end(), last.begin(), last.end());
    EXPECT_EQ(ReadFile(dir_ / "rec (0).raw.mpp"), audio);
    // No multiplexer: PTS and clocks stay at their start values.
    EXPECT_EQ(events_.Latest(&RecordingProgress::ptsBytes), 0u);
    EXPECT_EQ(events_.Latest(&RecordingProgress::elapsedSeconds), std::nullopt);
    EXPECT_EQ(events_.Latest(&RecordingProgress::sinceSplitSeconds), std::nullopt);
    EXPECT_EQ(events_.Latest(&RecordingProgress::videoBytes), expected.size());
    EXPECT_EQ(events_.Count(RecordingEventsDouble::Kind::Synchronised), 1);
    EXPECT_EQ(events_.End(), RecordingEnd::Completed);
    // The log file holds exactly the lines of the list.
    std::string lines;
    for (const auto &line : log_.Lines())
        lines += line + "\r\n";
    EXPECT_EQ(ReadText(dir_ / "rec.log"), lines);
    EXPECT_TRUE(log_.Contains("recording started"));
    EXPECT_TRUE(log_.Contains("polling thread started"));
    EXPECT_EQ(rx_.readingThreads, std::set<std::string>{"poll"});
    EXPECT_TRUE(log_.Contains("polling thread terminated"));
    EXPECT_EQ(log_.Texts().back(), "recording stopped");
    EXPECT_TRUE(ctx_.ready.Get());
}

TEST_F(RecordingThreadTest, SplitBySizeNumbersThePartsAndLosesNoByte)
{
    ctx_.outputs.video = OutputChoice::Raw;
    ctx_.outputs.audio = OutputChoice::Raw;
    ctx_.splitOnSize.Set(true);
    constexpr int kChunks = 300; // 9.4 MiB: three parts at 5 MB
    for (int i = 0; i < kChunks; ++i)
        rx_.streams[DVB_STREAM_VIDEO].push_back(VideoChunk(uint8_t(i), i == 0 ? 0 : -1));
    for (int i = 0; i < 20; ++i)
        rx_.streams[DVB_STREAM_AUDIO].push_back(AudioChunk(uint8_t(i)));

    EXPECT_EQ(Record(), kRecordingOk);
    // All audio came within the first part: the later audio parts stayed
    // empty and are gone.
    EXPECT_EQ(Files(), (std::vector<std::string>{"rec (0).raw.m2v", "rec (0).raw.mpp", "rec (1).raw.m2v",
                                                 "rec (2).raw.m2v", "rec.log"}));
    EXPECT_TRUE(log_.Contains("\"" + (dir_ / "rec (1).raw.mpp").string() + "\" stayed empty and was removed"));
    const uint64_t partLimit = 5 * 1048576 - 524288;
    EXPECT_EQ(fs::file_size(dir_ / "rec (0).raw.m2v"), partLimit);
    Bytes joined;
    for (int part = 0; part < 3; ++part) {
        const Bytes bytes = ReadFile(dir_ / ("rec (" + std::to_string(part) + ").raw.m2v"));
        joined.insert(joined.end(), bytes.begin(), bytes.end());
    }
    EXPECT_EQ(joined.size(), uint64_t(kChunks) * kVideoChunkBytes);
    EXPECT_TRUE(log_.Contains("Performing 1st file split!"));
    EXPECT_TRUE(log_.Contains("Performing 2nd file split!"));
    EXPECT_FALSE(log_.Contains("Performing 3rd file split!"));
}

TEST_F(RecordingThreadTest, SplitNowIsCarriedOutAndReenablesTheButton)
{
    ctx_.outputs.video = OutputChoice::Raw;
    rx_.splitAtVideoRead = 3;
    for (int i = 0; i < 6; ++i)
        rx_.streams[DVB_STREAM_VIDEO].push_back(VideoChunk(uint8_t(i), i == 0 ? 0 : -1));

    EXPECT_EQ(Record(), kRecordingOk);
    EXPECT_EQ(Files(), (std::vector<std::string>{"rec (0).raw.m2v", "rec (1).raw.m2v", "rec.log"}));
    EXPECT_TRUE(log_.Contains("Performing 1st file split!"));
    EXPECT_FALSE(ctx_.splitRequested.Get());
    // Reported once, with the parts numbered from the split on.
    EXPECT_EQ(events_.Count(RecordingEventsDouble::Kind::SplitDone), 1);
    EXPECT_EQ(events_.Events().back().kind, RecordingEventsDouble::Kind::Stopped);
    int lastPart = -1;
    for (const auto &e : events_.Events())
        if (e.kind == RecordingEventsDouble::Kind::Progress)
            lastPart = e.progress.part;
    EXPECT_EQ(lastPart, 1);
}

TEST_F(RecordingThreadTest, LogFileThatCannotBeCreatedEndsTheRecording)
{
    ctx_.outputs.video = OutputChoice::Raw;
    ctx_.baseName.Set((dir_ / "missing" / "rec").string());
    EXPECT_EQ(Record(), kRecordingFailed);
    const auto texts = log_.Texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_NE(texts[0].find("No such file or directory"), std::string::npos);
    EXPECT_EQ(texts[1], "recording stopped");
    EXPECT_TRUE(ctx_.ready.Get());
}

TEST_F(RecordingThreadTest, VideoFileThatCannotBeCreatedStopsWithoutWaiting)
{
    ctx_.outputs.video = OutputChoice::Raw;
    // A name the log file can have but the video file, 8 characters longer, cannot.
    constexpr size_t kLongestNameChars = 255;
    ctx_.baseName.Set((dir_ / std::string(kLongestNameChars - 4, 'r')).string());
    EXPECT_EQ(Record(), kRecordingFailed);
    EXPECT_FALSE(log_.Contains("polling thread started"));
    EXPECT_FALSE(log_.Contains("waiting for polling thread to terminate..."));
    EXPECT_EQ(log_.Texts().back(), "recording stopped");
    EXPECT_NE(log_.Texts()[1].find("File name too long"), std::string::npos);
    EXPECT_EQ(events_.End(), RecordingEnd::Failed);
}

// A link at an output name, and whether the user agreed to overwrite it.
struct Planted {
    const char *name;
    bool agreed;
    uint32_t result;
    const char *message;    // in the log
    const char *firstVideo; // the file the video went to ("": none)
};

// NOLINTNEXTLINE(readability-identifier-naming)
void PrintTo(const Planted &planted, std::ostream *os) { *os << planted.name << (planted.agreed ? ", agreed" : ""); }

class PlantedOutputTest : public RecordingThreadTest, public ::testing::WithParamInterface<Planted> {};

// Another user's link in the recording folder, named like an output file, is
// never followed. Not agreed to, it is kept as it is and the part moves on to
// a free number; the log file has no number, so that recording ends.
TEST_P(PlantedOutputTest, IsNeverFollowedNorReplaced)
{
    ctx_.outputs.video = OutputChoice::Raw;
    ctx_.outputs.audio = OutputChoice::Raw;
    rx_.streams[DVB_STREAM_VIDEO] = {VideoChunk(1, 0), VideoChunk(2)};
    rx_.streams[DVB_STREAM_AUDIO] = {AudioChunk(3), AudioChunk(4)};
    const fs::path victim = dir_ / "victim";
    std::ofstream(victim) << "root's file";
    fs::create_symlink(victim, dir_ / GetParam().name);
    if (GetParam().agreed)
        ctx_.overwriteAgreed = {(dir_ / GetParam().name).string()};

    EXPECT_EQ(Record(), GetParam().result);
    EXPECT_EQ(ReadText(victim), "root's file");
    EXPECT_TRUE(fs::is_symlink(dir_ / GetParam().name));
    const auto texts = log_.Texts();
    const std::string message = GetParam().message;
    EXPECT_TRUE(std::any_of(texts.begin(), texts.end(), [&](const std::string &t) {
        return t.find(message) != std::string::npos;
    })) << message;
    if (*GetParam().firstVideo) {
        EXPECT_EQ(ReadFile(dir_ / GetParam().firstVideo).size(), 2u * kVideoChunkBytes);
    }
    EXPECT_EQ(texts.back(), "recording stopped");
    EXPECT_TRUE(ctx_.ready.Get());
    EXPECT_FALSE(ctx_.recording.Get());
}

INSTANTIATE_TEST_SUITE_P(
    LogVideoAndLaterAudioFile, PlantedOutputTest,
    ::testing::Values(Planted{"rec.log", false, kRecordingFailed, "rec.log: File exists", ""},
                      Planted{"rec.log", true, kRecordingFailed, "Too many levels of symbolic links", ""},
                      Planted{"rec (0).raw.m2v", false, kRecordingOk,
                              "rec (0).raw.m2v\" already exists and is kept: this part is written as",
                              "rec (1).raw.m2v"},
                      Planted{"rec (0).raw.m2v", true, kRecordingFailed, "Too many levels of symbolic links", ""},
                      Planted{"rec (0).raw.mpp", false, kRecordingOk, "rec (1).raw.mpp\"", "rec (1).raw.m2v"},
                      Planted{"rec (0).raw.mpp", true, kRecordingFailed, "Too many levels of symbolic links", ""}));

TEST_F(RecordingThreadTest, ASplitKeepsWhatItFindsUnlessAgreedAndTakesTheNextFreeNumber)
{
    ctx_.outputs.video = OutputChoice::Raw;
    rx_.splitAtVideoRead = 3;
    for (int i = 0; i < 6; ++i)
        rx_.streams[DVB_STREAM_VIDEO].push_back(VideoChunk(uint8_t(i), i == 0 ? 0 : -1));
    // An earlier recording's parts: the first agreed to, the next two not (a
    // file and a folder).
    for (const char *part : {"rec (0).raw.m2v", "rec (1).raw.m2v"})
        std::ofstream(dir_ / part) << "earlier";
    fs::create_directories(dir_ / "rec (2).raw.m2v");
    ctx_.overwriteAgreed = {(dir_ / "rec (0).raw.m2v").string()};

    EXPECT_EQ(Record(), kRecordingOk);
    EXPECT_EQ(ReadText(dir_ / "rec (1).raw.m2v"), "earlier");
    EXPECT_TRUE(fs::is_directory(dir_ / "rec (2).raw.m2v"));
    const uint64_t first = fs::file_size(dir_ / "rec (0).raw.m2v");
    EXPECT_EQ(first + fs::file_size(dir_ / "rec (3).raw.m2v"), 6u * kVideoChunkBytes);
    EXPECT_GE(first, 3u * kVideoChunkBytes);
    EXPECT_TRUE(log_.Contains("\"" + (dir_ / "rec (1).raw.m2v").string() +
                              "\" already exists and is kept: this part is written as \"" +
                              (dir_ / "rec (3).raw.m2v").string() + "\""));
    EXPECT_TRUE(log_.Contains("Performing 1st file split!"));
}

TEST_F(RecordingThreadTest, LaterPartsGoToTheFolderOfTheStartEvenWhenItsPathBecomesALink)
{
    ctx_.outputs.video = OutputChoice::Raw;
    fs::create_directories(dir_ / "out");
    fs::create_directories(dir_ / "elsewhere");
    ctx_.baseName.Set((dir_ / "out" / "rec").string());
    rx_.splitAtVideoRead = 3;
    rx_.beforeSplitRequest = [this] {
        fs::rename(dir_ / "out", dir_ / "moved");
        fs::create_directory_symlink(dir_ / "elsewhere", dir_ / "out");
    };
    for (int i = 0; i < 6; ++i)
        rx_.streams[DVB_STREAM_VIDEO].push_back(VideoChunk(uint8_t(i), i == 0 ? 0 : -1));

    EXPECT_EQ(Record(), kRecordingOk);
    EXPECT_TRUE(quelmar::testing::SortedNames(dir_ / "elsewhere").empty());
    EXPECT_EQ(quelmar::testing::SortedNames(dir_ / "moved"),
              (std::vector<std::string>{"rec (0).raw.m2v", "rec (1).raw.m2v", "rec.log"}));
}

// A channel that delivers nothing, and a radio channel recorded with video.
struct Silence {
    const char *name;
    bool audio; // the receiver delivers audio
    uint32_t result;
    std::vector<std::string> files;
};

// NOLINTNEXTLINE(readability-identifier-naming)
void PrintTo(const Silence &silence, std::ostream *os) { *os << silence.name; }

class EmptyOutputTest : public RecordingThreadTest, public ::testing::WithParamInterface<Silence> {};

TEST_P(EmptyOutputTest, IsRemovedAndNothingReceivedIsAFailure)
{
    UseMultiplexer();
    ctx_.outputs.video = OutputChoice::Elementary;
    ctx_.outputs.audio = OutputChoice::Elementary;
    ctx_.outputs.mux = OutputChoice::Raw;
    if (GetParam().audio)
        rx_.streams[DVB_STREAM_AUDIO] = {AudioChunk(3), AudioChunk(4)};
    EXPECT_EQ(Record(), GetParam().result);
    EXPECT_EQ(Files(), GetParam().files);
    const std::string removed = "\"" + (dir_ / "rec (0).m2v").string() + "\" stayed empty and was removed";
    EXPECT_TRUE(log_.Contains(removed));
    EXPECT_NE(ReadText(dir_ / "rec.log").find(removed), std::string::npos);
    EXPECT_EQ(log_.Contains("no data received from Quelmar! Nothing was recorded!"), !GetParam().audio);
    EXPECT_EQ(log_.Texts().back(), "recording stopped");
}

INSTANTIATE_TEST_SUITE_P(
    Channels, EmptyOutputTest,
    ::testing::Values(Silence{"NothingDelivered", false, kRecordingFailed, {"rec.log"}},
                      Silence{"RadioWithVideo", true, kRecordingOk, {"rec (0).mp2", "rec (0).mpg", "rec.log"}}),
    [](const ::testing::TestParamInfo<Silence> &info) { return std::string(info.param.name); });

TEST_F(RecordingThreadTest, FullDiskEndsTheRecordingCleanlyAndKeepsWhatWasWritten)
{
    ctx_.outputs.video = OutputChoice::Raw;
    for (int i = 0; i < 100; ++i)
        rx_.streams[DVB_STREAM_VIDEO].push_back(VideoChunk(uint8_t(i), i == 0 ? 0 : -1));
    constexpr rlim_t kLimitBytes = 10 * kVideoChunkBytes + 1000;
    uint32_t result;
    {
        quelmar::testing::ScopedFileSizeLimit limit(kLimitBytes);
        result = Record();
    }

    EXPECT_EQ(result, kRecordingFailed);
    EXPECT_EQ(fs::file_size(dir_ / "rec (0).raw.m2v"), kLimitBytes);
    bool reported = false;
    for (const auto &t : log_.Texts())
        reported |= t.find("rec (0).raw.m2v: File too large") != std::string::npos;
    EXPECT_TRUE(reported);
    EXPECT_TRUE(log_.Contains("polling thread terminated"));
    EXPECT_EQ(log_.Texts().back(), "recording stopped");
    EXPECT_TRUE(ctx_.ready.Get());
    EXPECT_FALSE(ctx_.recording.Get());
}

TEST_F(RecordingThreadTest, MultiplexedRecordingFeedsTheMultiplexerAndWritesThreeOutputs)
{
    UseMultiplexer();
    ctx_.outputs.video = OutputChoice::Elementary;
    ctx_.outputs.audio = OutputChoice::Elementary;
    ctx_.outputs.mux = OutputChoice::Raw;
    ctx_.videoDelay = -120;
    ctx_.logInfo.Set(true);
    rx_.streams[DVB_STREAM_VIDEO] = {VideoChunk(1), VideoChunk(2)};
    rx_.streams[DVB_STREAM_AUDIO] = {AudioChunk(3), AudioChunk(4)};
    rx_.streams[DVB_STREAM_PTS] = {Bytes(16, 1), Bytes(16, 2), Bytes(16, 3)};

    EXPECT_EQ(Record(), kRecordingOk);
    EXPECT_EQ(Files(), (std::vector<std::string>{"rec (0).m2v", "rec (0).mp2", "rec (0).mpg", "rec.log"}));
    ASSERT_GE(mx_.calls.size(), 3u);
    EXPECT_EQ(mx_.calls[0], "InitEx 0 -120 0");
    EXPECT_EQ(mx_.calls[1], "Resync");
    EXPECT_EQ(mx_.calls.back(), "Flush");
    EXPECT_TRUE(log_.Contains("a/v recording started, trying to synchronize..."));
    EXPECT_TRUE(log_.Contains("remuxer says hello"));
    EXPECT_EQ(events_.Latest(&RecordingProgress::ptsBytes), 48u);
    EXPECT_EQ(events_.Latest(&RecordingProgress::elapsedSeconds), 2u);
    EXPECT_EQ(events_.Latest(&RecordingProgress::videoPadding), 42u);
    EXPECT_EQ(fs::file_size(dir_ / "rec (0).m2v"), 2u * kVideoChunkBytes);
    EXPECT_EQ(events_.Info(InfoStream::Video),
              (std::vector<std::string>{"Frame Rate: 25.0000 Hz", "Bit Rate: 6.0000 Mbps", "Resolution: 720x576",
                                        "Picture Format: interlaced", "Chroma Format: 4:2:0", "Aspect Ratio: 16:9"}));
    ASSERT_FALSE(events_.Info(InfoStream::Audio).empty());
    EXPECT_EQ(events_.Info(InfoStream::Audio)[0], "Audio Type: MPEG, Layer 2");
    EXPECT_TRUE(log_.Contains("---------------- Video Info -----------------"));
    EXPECT_TRUE(log_.Contains("Audio Type: MPEG, Layer 2"));
    EXPECT_EQ(mx_.pausedTags.size(), 7u); // every chunk
}

TEST_F(RecordingThreadTest, ElementaryStreamsWithoutProgramStreamGetTheirTailsAtTheEnd)
{
    UseMultiplexer();
    ctx_.outputs.video = OutputChoice::Elementary;
    ctx_.outputs.audio = OutputChoice::Elementary;
    rx_.streams[DVB_STREAM_VIDEO] = {VideoChunk(1)};
    rx_.streams[DVB_STREAM_AUDIO] = {AudioChunk(3)};

    EXPECT_EQ(Record(), kRecordingOk);
    EXPECT_EQ(Files(), (std::vector<std::string>{"rec (0).m2v", "rec (0).mp2", "rec.log"}));
    ASSERT_FALSE(mx_.calls.empty());
    EXPECT_EQ(mx_.calls.back(), "Flush tails");
}

TEST_F(RecordingThreadTest, VideoPaneAndItsLogLinesFollowOnlyAChangedSequence)
{
    UseMultiplexer();
    ctx_.outputs.mux = OutputChoice::Raw;
    ctx_.logInfo.Set(true);
    // Two chunks of one sequence, then three of another (352 pixels wide).
    rx_.streams[DVB_STREAM_VIDEO] = {VideoChunk(1), VideoChunk(2), VideoChunk(0x81), VideoChunk(0x82),
                                     VideoChunk(0x83)};
    EXPECT_EQ(Record(), kRecordingOk);
    EXPECT_EQ(mx_.videoInfoReads, 5); // once per video chunk: reading clears the change
    int videoReports = 0;
    for (const auto &e : events_.Events())
        videoReports += e.kind == RecordingEventsDouble::Kind::StreamInfo && e.stream == InfoStream::Video;
    EXPECT_EQ(videoReports, 2); // once per sequence
    const auto texts = log_.Texts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "---------------- Video Info -----------------"), 2);
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "Frame Rate: 25.0000 Hz"), 2);
    EXPECT_EQ(events_.Info(InfoStream::Video)[2], "Resolution: 352x576");
}

TEST_F(RecordingThreadTest, RadioChannelWithAc3IsAnAudioRecordingNamedAc3)
{
    UseMultiplexer();
    ctx_.outputs.audio = OutputChoice::Elementary;
    rx_.videoPid = DVB_NO_VIDEO_PID;
    mx_.ac3 = true;
    rx_.streams[DVB_STREAM_AUDIO] = {AudioChunk(3), AudioChunk(4)};
    EXPECT_EQ(Record(), kRecordingOk);
    EXPECT_EQ(mx_.calls[0], "InitEx 0 0 1");
    EXPECT_TRUE(log_.Contains("audio recording started"));
    EXPECT_EQ(Files(), (std::vector<std::string>{"rec (0).ac3", "rec.log"}));
    // Without a multiplex output nothing is flushed.
    EXPECT_EQ(std::count(mx_.calls.begin(), mx_.calls.end(), "Flush"), 0);
    EXPECT_TRUE(std::count(mx_.calls.begin(), mx_.calls.end(), "Write --a") > 0);
    EXPECT_EQ(events_.Info(InfoStream::Audio)[0], "Audio Type: AC3");
}

TEST_F(RecordingThreadTest, UnreadableChannelEndsAMultiplexedRecording)
{
    UseMultiplexer();
    ctx_.outputs.mux = OutputChoice::Raw;
    rx_.answers = false;
    EXPECT_EQ(Record(), kRecordingFailed);
    EXPECT_TRUE(log_.Contains("error while retrieving channel info from Quelmar"));
    EXPECT_EQ(Files(), std::vector<std::string>{"rec.log"});
    EXPECT_TRUE(mx_.calls.empty());
}

TEST_F(RecordingThreadTest, SplitOnTimeFlushesAndNumbersEveryOutput)
{
    UseMultiplexer();
    ctx_.outputs.video = OutputChoice::Elementary;
    ctx_.outputs.audio = OutputChoice::Raw;
    ctx_.outputs.mux = OutputChoice::Raw;
    ctx_.splitOnTime.Set(true);
    ctx_.splitTime = 5;
    for (int i = 0; i < 12; ++i)
        rx_.streams[DVB_STREAM_VIDEO].push_back(VideoChunk(uint8_t(i)));
    rx_.streams[DVB_STREAM_AUDIO] = {AudioChunk(1), AudioChunk(2)};
    EXPECT_EQ(Record(), kRecordingOk);
    EXPECT_EQ(Files(), (std::vector<std::string>{"rec (0).m2v", "rec (0).mpg", "rec (0).raw.mpp", "rec (1).m2v",
                                                 "rec (1).mpg", "rec (2).m2v", "rec (2).mpg", "rec.log"}));
    EXPECT_EQ(std::count(mx_.calls.begin(), mx_.calls.end(), "Flush"), 3); // two splits and the end
    EXPECT_TRUE(log_.Contains("Performing 2nd file split!"));
}

TEST_F(RecordingThreadTest, PendingOutputRunsTheSplitTestAndTheStepAgainBeforeTheNextChunk)
{
    UseMultiplexer();
    ctx_.outputs.mux = OutputChoice::Raw;
    mx_.pendingEvery = 2; // every chunk's first call says more is pending
    rx_.splitAtVideoRead = 2;
    rx_.streams[DVB_STREAM_VIDEO] = {VideoChunk(1), VideoChunk(2), VideoChunk(3)};
    EXPECT_EQ(Record(), kRecordingOk);
    // Two Write_Mpg calls per chunk: pending, then done.
    EXPECT_EQ(mx_.writeCalls % 2, 0);
    EXPECT_GE(mx_.writeCalls, 6);
    EXPECT_EQ(Files(), (std::vector<std::string>{"rec (0).mpg", "rec (1).mpg", "rec.log"}));
    // The split is announced once, and reported done once the multiplexer
    // cleared the pending split.
    EXPECT_EQ(std::count(mx_.calls.begin(), mx_.calls.end(), "Flush"), 2);
    EXPECT_EQ(events_.Count(RecordingEventsDouble::Kind::SplitDone), 1);
}

TEST_F(RecordingThreadTest, ChunksReadWhilePausedReachTheMultiplexerAsPaused)
{
    UseMultiplexer();
    ctx_.outputs.mux = OutputChoice::Raw;
    ctx_.outputs.video = OutputChoice::Raw; // raw output is written whether paused or not
    rx_.pauseAtVideoRead = 2;
    rx_.streams[DVB_STREAM_VIDEO] = {VideoChunk(1, 0), VideoChunk(2), VideoChunk(3)};
    EXPECT_EQ(Record(), kRecordingOk);
    ASSERT_EQ(mx_.pausedTags.size(), 3u);
    EXPECT_EQ(mx_.pausedTags[0], 0u);
    EXPECT_EQ(mx_.pausedTags[2], 1u);
    EXPECT_EQ(fs::file_size(dir_ / "rec (0).raw.m2v"), 3u * kVideoChunkBytes);
}

TEST_F(RecordingThreadTest, FailingMultiplexerOutputEndsTheRecording)
{
    UseMultiplexer();
    ctx_.outputs.mux = OutputChoice::Raw;
    mx_.failWriteAfter = 1;
    rx_.streams[DVB_STREAM_VIDEO] = {VideoChunk(1), VideoChunk(2), VideoChunk(3)};
    EXPECT_EQ(Record(), kRecordingFailed);
    EXPECT_EQ(log_.Texts().back(), "recording stopped");
    EXPECT_TRUE(log_.Contains("polling thread terminated"));
}

TEST_F(RecordingThreadTest, HangingPollingThreadIsGivenUpAfterFourAndAHalfSeconds)
{
    ctx_.outputs.video = OutputChoice::Raw;
    rx_.hang = true;
    auto thread = BeginRecording(ctx_);
    ASSERT_TRUE(WaitUntil([&] { return rx_.hanging.load(); }));
    RequestStop(ctx_);
    // The polling thread is stuck in a read; the recording thread sees the
    // cleared flag, ends and gives the polling thread up in the stop routine.
    ASSERT_TRUE(WaitUntil([&] { return log_.Contains("thread brutally killed"); }));
    ASSERT_TRUE(WaitUntil([&] { return ctx_.ready.Get(); }));
    EXPECT_TRUE(log_.Contains("waiting for polling thread to terminate..."));
    EXPECT_TRUE(log_.Contains("stop bug: Polling thread still running... trying to kill the thread..."));
    Release();
    thread.Join();
    // The abandoned thread ends on its own once its read returns.
    EXPECT_TRUE(WaitUntil([&] { return log_.Contains("polling thread terminated"); }));
}

TEST_F(RecordingThreadTest, GivenUpPollingThreadNeverTouchesAContextThatIsGone)
{
    auto ctx = std::make_unique<RecordingContext>();
    Fill(*ctx);
    ctx->outputs.video = OutputChoice::Raw;
    rx_.hang = true;
    auto thread = BeginRecording(*ctx);
    ASSERT_TRUE(WaitUntil([&] { return rx_.hanging.load(); }));
    RequestStop(*ctx);
    ASSERT_TRUE(WaitUntil([&] { return ctx->ready.Get(); }));
    thread.Join();
    ctx.reset(); // the block that held the flags is released
    Release();
    // Back from the library, the thread reads nothing of the old block (the
    // address sanitizer watches) and ends.
    ASSERT_TRUE(WaitUntil([&] { return log_.Contains("polling thread terminated"); }));
    std::lock_guard lock(rx_.mutex);
    EXPECT_EQ(rx_.hungThreadCallsAfterRelease, 0);
}

TEST_F(RecordingThreadTest, GivenUpPollingThreadLeavesTheReceiverToTheNextRecording)
{
    ctx_.outputs.video = OutputChoice::Raw;
    rx_.hang = true;
    auto first = BeginRecording(ctx_);
    ASSERT_TRUE(WaitUntil([&] { return rx_.hanging.load(); }));
    RequestStop(ctx_);
    ASSERT_TRUE(WaitUntil([&] { return ctx_.ready.Get(); }));
    first.Join();
    {
        std::lock_guard lock(rx_.mutex);
        rx_.hang = false;
    }
    // The next recording on the same context reads; then the first polling
    // thread comes back from its read while the recording flag is set again.
    log_.Clear();
    ctx_.baseName.Set((dir_ / "second").string()); // the first one's files stay
    auto second = BeginRecording(ctx_);
    ASSERT_TRUE(WaitUntil([&] { return rx_.readsByOtherThreads > 0; }));
    Release();
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard lock(rx_.mutex);
        return rx_.hungThreadCallsAfterRelease > 0 || log_.Contains("polling thread terminated");
    }));
    RequestStop(ctx_);
    ASSERT_TRUE(WaitUntil([&] { return ctx_.ready.Get(); }));
    second.Join();
    // Not a single read (nor streaming stop, nor front-panel text) of the
    // old thread, and no report of its lateness in the new recording's log.
    std::lock_guard lock(rx_.mutex);
    EXPECT_EQ(rx_.hungThreadCallsAfterRelease, 0);
    for (const auto &text : log_.Texts())
        EXPECT_EQ(text.rfind("poll delayed", 0), std::string::npos) << text;
}

TEST_F(RecordingThreadTest, TeardownGivesTheRemoteBackThroughItsOwnCopyOfTheBinding)
{
    auto binding = std::make_unique<ReceiverLibrary>(ReceiverLibrary::Unbound{});
    Script(*binding);
    ctx_.receiver = binding.get();
    ctx_.outputs.video = OutputChoice::Raw;
    auto thread = BeginRecording(ctx_);
    ASSERT_TRUE(WaitUntil([&] { return log_.Contains("polling thread started"); }));
    // Supervision finds the receiver silent: it stops the recording and its
    // bring-up deletes the binding at once, while the teardown still runs.
    RequestStop(ctx_);
    binding.reset();
    ASSERT_TRUE(WaitUntil([&] { return ctx_.ready.Get(); }));
    thread.Join();
    std::lock_guard lock(rx_.mutex);
    EXPECT_EQ(rx_.calls, std::vector<std::string>{"remote 0 on record"});
}

TEST_F(RecordingThreadTest, ForgettingTheRecordingDoesNotWaitForItsEnd)
{
    ctx_.outputs.video = OutputChoice::Raw;
    rx_.hang = true;
    auto handle = BeginRecording(ctx_);
    ASSERT_TRUE(WaitUntil([&] { return rx_.hanging.load(); }));
    RequestStop(ctx_);
    handle.Forget(); // the window drops the thread (bring-up) and goes on
    // Returned while the recording still waits for its polling thread.
    EXPECT_FALSE(ctx_.ready.Get());
    Release();
    ASSERT_TRUE(WaitUntil([&] { return ctx_.ready.Get(); }));
}

TEST_F(RecordingThreadTest, StartWithoutReceiverBindingIsRefused)
{
    ctx_.receiver = nullptr;
    ctx_.outputs.video = OutputChoice::Raw;
    ctx_.ready.Set(true);
    auto handle = BeginRecording(ctx_);
    EXPECT_FALSE(handle);
    EXPECT_FALSE(ctx_.recording.Get());
    EXPECT_TRUE(ctx_.ready.Get());
    EXPECT_TRUE(Files().empty());
}
