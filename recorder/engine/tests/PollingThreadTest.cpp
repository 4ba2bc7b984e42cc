#include "engine/PollingThread.h"
#include "binding/ReceiverLibrary.h"
#include "engine/testing/RecordingEventsDouble.h"
#include "platform/WorkerThread.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace quelmar;

TEST(PollSchedule, OnTimeCyclesSleepTheRestOfTheirSlot)
{
    PollSchedule s;
    s.Start(1000);
    EXPECT_FALSE(s.Lateness(1000));
    EXPECT_EQ(s.NextSleep(1003), 22u); // the reads took 3 ms
    EXPECT_FALSE(s.Lateness(1025));
    EXPECT_EQ(s.NextSleep(1025), 25u);
    EXPECT_EQ(s.Cycles(), 2);
    // Exactly at the slot still sleeps (0 ms) and resets the slack.
    EXPECT_EQ(s.NextSleep(1075), 0u);
}

TEST(PollSchedule, ReportedDelayIsNotRepeatedWhileCatchingUp)
{
    PollSchedule s;
    s.Start(0);
    s.NextSleep(0); // cycle 0 on time; n = 1
    // Cycle 1 starts 150 ms late (slot 25): reported with 150.
    EXPECT_EQ(s.Lateness(175), 150u);
    EXPECT_EQ(s.Slack(), 125);
    EXPECT_FALSE(s.NextSleep(180)); // past slot 50: no sleep
    // Back to back, 130 ms late against slot 50: 130 - 125 <= 100, silent.
    EXPECT_FALSE(s.Lateness(180));
    EXPECT_EQ(s.Slack(), 105);
    EXPECT_FALSE(s.NextSleep(181));
    // 30 ms later than the expectation was and still silent: 106 - 105.
    EXPECT_FALSE(s.Lateness(181));
    // A cycle that can sleep again resets the slack.
    s.NextSleep(100);
    EXPECT_EQ(s.Slack(), 0);
}

TEST(PollSchedule, LateAgainAfterTheAllowanceIsReportedAgain)
{
    PollSchedule s;
    s.Start(0);
    s.NextSleep(0);
    EXPECT_EQ(s.Lateness(175), 150u); // slack 125
    s.NextSleep(175);
    // Now 400 ms late against slot 50: 400 - 125 > 100.
    EXPECT_EQ(s.Lateness(450), 275u);
    EXPECT_EQ(s.Slack(), 375);
}

TEST(PollSchedule, BacklogBeyondTwoSecondsIsGivenUp)
{
    PollSchedule s;
    s.Start(0);
    s.NextSleep(0);                     // n = 1, slot 25
    EXPECT_EQ(s.Lateness(3025), 3000u); // 3000 ms late
    EXPECT_EQ(s.Cycles(), 1 + 40);      // (3000 - 2000) / 25
    s.NextSleep(3025);
    EXPECT_EQ(s.Cycles(), 42);
    // 2001 ms late gives up nothing beyond integer division.
    PollSchedule t;
    t.Start(0);
    t.Lateness(2001);
    EXPECT_EQ(t.Cycles(), 0);
}

TEST(PollSchedule, ClockWrapDoesNotDisturbTheSchedule)
{
    PollSchedule s;
    const int32_t nearWrap = INT32_MAX - 10;
    s.Start(nearWrap);
    EXPECT_FALSE(s.Lateness(nearWrap));
    // 20 ms later the clock has wrapped to a negative value.
    EXPECT_EQ(s.NextSleep(static_cast<int32_t>(static_cast<uint32_t>(nearWrap) + 20)), 5u);
}

// A receiver whose behaviour the tests script.
namespace {

struct FakeReceiver {
    std::vector<std::string> calls;
    int cyclesBeforeStop = 3; // clears the recording flag after this many video reads
    bool readsSucceed = true;
    int32_t videoReadCostMs = 0;
    int lateCycle = -1; // this video read costs lateCostMs instead
    int32_t lateCostMs = 0;
    int videoReads = 0;
    Flag *recording = nullptr;
    Flag *paused = nullptr;
    int pauseAtCycle = -1;
    ManualClock *clock = nullptr;
    int videoStallFrom = -1; // video reads of these cycles fail
    int videoStallCycles = 0;
    bool audioNever = false; // audio reads always fail (a radio channel's video alike)
};
FakeReceiver *g_fake = nullptr;

int32_t FakeInit(const DvbDevice *, uint16_t a, uint32_t b, uint16_t c)
{
    g_fake->calls.push_back("init " + std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(c));
    return 1;
}
int32_t FakeDeInit(const DvbDevice *)
{
    g_fake->calls.push_back("deinit");
    return 1;
}
int32_t FakeSpecial(const DvbDevice *, const uint8_t *data, uint16_t length, uint8_t code)
{
    g_fake->calls.push_back("text '" + std::string(reinterpret_cast<const char *>(data), length) + "' " +
                            std::to_string(code));
    return 1;
}
int32_t FakeRead(const DvbDevice *, uint8_t *buffer, uint32_t length, int32_t kind)
{
    g_fake->calls.push_back("read " + std::to_string(kind) + " " + std::to_string(length));
    if (kind == DVB_STREAM_VIDEO) {
        const int cycle = g_fake->videoReads++;
        if (g_fake->clock)
            g_fake->clock->Advance(cycle == g_fake->lateCycle ? g_fake->lateCostMs : g_fake->videoReadCostMs);
        if (cycle + 1 == g_fake->pauseAtCycle)
            g_fake->paused->Set(true);
        if (cycle + 1 >= g_fake->cyclesBeforeStop)
            g_fake->recording->Set(false);
    }
    std::memset(buffer, kind + 1, length);
    const int cycle = g_fake->videoReads - 1; // audio is read after video
    if (kind == DVB_STREAM_VIDEO && cycle >= g_fake->videoStallFrom &&
        cycle < g_fake->videoStallFrom + g_fake->videoStallCycles)
        return 0;
    if (kind == DVB_STREAM_AUDIO && g_fake->audioNever)
        return 0;
    return g_fake->readsSucceed ? 1 : 0;
}

class PollingThreadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_fake = &fake_;
        fake_.recording = &recording_;
        fake_.paused = &paused_;
        fake_.clock = clock_.get();
        receiver_.device.status = DVB_STATUS_FOUND;
        receiver_.dvbInitStreaming = FakeInit;
        receiver_.dvbDeInitStreaming = FakeDeInit;
        receiver_.dvbSendSpecialCommand = FakeSpecial;
        receiver_.dvbReadMultipleStreams = FakeRead;
        args_.queue = queue_;
        args_.dataReady = event_;
        args_.recording = recording_.Reader();
        args_.paused = paused_.Reader();
        args_.clock = clock_;
    }
    void TearDown() override { g_fake = nullptr; }

    // Runs the thread function on this thread with the receiver as it is now.
    uint32_t Poll()
    {
        args_.receiver = receiver_.Snapshot();
        return PollingThreadProc(args_, {});
    }

    std::vector<StreamKind> DrainKinds(std::vector<uint32_t> *pausedTags = nullptr)
    {
        std::vector<StreamKind> kinds;
        while (!queue_->IsEmpty()) {
            kinds.push_back(queue_->FrontKind());
            if (pausedTags)
                pausedTags->push_back(queue_->FrontPaused());
            queue_->PopFront(true);
        }
        return kinds;
    }

    FakeReceiver fake_;
    ReceiverLibrary receiver_{ReceiverLibrary::Unbound{}};
    std::shared_ptr<PacketQueue> queue_ = std::make_shared<PacketQueue>();
    std::shared_ptr<AutoResetEvent> event_ = std::make_shared<AutoResetEvent>();
    Flag recording_;
    Flag paused_;
    std::shared_ptr<ManualClock> clock_ = std::make_shared<ManualClock>(5000);
    PollingThreadArgs args_;
    CapturingLogSink log_;
};

} // namespace

TEST_F(PollingThreadTest, RecordingFlagClearAtStartMakesNoReadButFullStartAndEnd)
{
    EXPECT_EQ(Poll(), 0u);
    EXPECT_EQ(fake_.calls,
              (std::vector<std::string>{"init 0 65536 10", "text ' ->rec<-' 1", "deinit", "text ' ready  ' 1"}));
    EXPECT_EQ(log_.Texts(), (std::vector<std::string>{"polling thread started", "polling thread terminated"}));
    EXPECT_TRUE(event_->WaitFor(0)); // the end sets the event
    EXPECT_TRUE(queue_->IsEmpty());
}

TEST_F(PollingThreadTest, EachCycleReadsTwoStampsVideoAndAudioInOrderAndSleepsOnSchedule)
{
    recording_.Set(true);
    fake_.cyclesBeforeStop = 3;
    fake_.videoReadCostMs = 4;
    queue_->Push(new uint8_t[1], 1, StreamKind::StreamAudio, 0, false); // a leftover the start clears
    Poll();

    const std::vector<std::string> cycle = {"read 2 16", "read 2 16", "read 1 32768", "read 0 8192"};
    std::vector<std::string> expected = {"init 0 65536 10", "text ' ->rec<-' 1"};
    for (int i = 0; i < 3; ++i)
        expected.insert(expected.end(), cycle.begin(), cycle.end());
    expected.push_back("deinit");
    expected.push_back("text ' ready  ' 1");
    EXPECT_EQ(fake_.calls, expected);
    // Each cycle took 4 ms of reading, so it sleeps 21 ms to its next slot.
    EXPECT_EQ(clock_->Sleeps(), (std::vector<uint32_t>{21, 21, 21}));
    const auto kinds = DrainKinds();
    const std::vector<StreamKind> one = {StreamKind::StreamPts, StreamKind::StreamPts, StreamKind::StreamVideo,
                                         StreamKind::StreamAudio};
    std::vector<StreamKind> all;
    for (int i = 0; i < 3; ++i)
        all.insert(all.end(), one.begin(), one.end());
    EXPECT_EQ(kinds, all);
    EXPECT_FALSE(log_.Contains("poll delayed for more than 100ms (0ms)! Possible data loss!"));
}

TEST_F(PollingThreadTest, FailedReadsQueueNothingAndTheThreadIdlesOnSchedule)
{
    recording_.Set(true);
    fake_.readsSucceed = false;
    fake_.cyclesBeforeStop = 4;
    Poll();
    EXPECT_TRUE(queue_->IsEmpty());
    EXPECT_EQ(clock_->Sleeps(), (std::vector<uint32_t>{25, 25, 25, 25}));
}

TEST_F(PollingThreadTest, NoReceiverMeansNoLibraryCallsAtAll)
{
    receiver_.device.status = DVB_STATUS_NONE;
    recording_.Set(true);
    // Nothing clears the flag from a read, so stop after a few sleeps.
    WorkerThread stopper(
        "stopper",
        [&] {
            while (clock_->Sleeps().size() < 3)
                SleepMs(1);
            recording_.Set(false);
            return 0u;
        },
        ThreadPriority::Normal);
    stopper.Resume();
    Poll();
    stopper.Join();
    EXPECT_TRUE(fake_.calls.empty());
    EXPECT_TRUE(log_.Contains("polling thread terminated"));
}

TEST_F(PollingThreadTest, ASlowReadIsReportedOnceWithItsLateness)
{
    recording_.Set(true);
    fake_.cyclesBeforeStop = 6;
    fake_.lateCycle = 1; // the second cycle's video read blocks 175 ms
    fake_.lateCostMs = 175;
    Poll();
    // Cycle 2 starts at 200 against slot 50: 150 ms late. Cycle 3 (back to
    // back, 125 ms late) stays silent.
    int reports = 0;
    for (const auto &t : log_.Texts())
        reports += t.rfind("poll delayed", 0) == 0;
    EXPECT_EQ(reports, 1);
    EXPECT_TRUE(log_.Contains("poll delayed for more than 100ms (150ms)! Possible data loss!"));
}

TEST_F(PollingThreadTest, AStalledStreamIsReportedWhenItStopsAndResumesAndCountedAtTheEnd)
{
    recording_.Set(true);
    fake_.cyclesBeforeStop = 260;
    fake_.videoStallFrom = 10; // last video at cycle 9, again at 250: 241 cycles of 25 ms
    fake_.videoStallCycles = 240;
    fake_.audioNever = true; // never delivered: nothing to report
    Poll();
    std::vector<std::string> reports;
    for (const auto &t : log_.Texts())
        if (t.find("stream") != std::string::npos)
            reports.push_back(t);
    EXPECT_EQ(reports, (std::vector<std::string>{"video stream stalled: no data for 5 s! Possible data loss!",
                                                 "video stream delivers again after 6 s without data",
                                                 "video stream missed 6 s of data in 1 stall"}));
    EXPECT_EQ(log_.Texts().back(), "polling thread terminated");
}

struct StallStep {
    int32_t t;
    bool delivered;
    StallWatch::Change change;
    int64_t silentMs; // after a change
};

TEST(StallWatch, ReportsAStreamThatDeliveredOnceItIsSilentForFiveSeconds)
{
    using C = StallWatch::Change;
    const std::vector<StallStep> steps = {
        {1000, false, C::None, 0},                                       // never delivered yet: not a stall
        {7000, false, C::None, 0},                                       //
        {8000, true, C::None, 0},                                        // first data
        {12999, false, C::None, 0},                                      // 4999 ms: not yet
        {13000, false, C::Stalled, 5000}, {20000, false, C::None, 5000}, // reported once
        {21000, true, C::Resumed, 13000}, {21025, true, C::None, 13000},
        {26100, false, C::Stalled, 5075}, // a second stall, still on at the end
    };
    StallWatch watch;
    for (const auto &step : steps) {
        EXPECT_EQ(watch.Cycle(step.t, step.delivered), step.change) << step.t;
        EXPECT_EQ(watch.SilentMs(), step.silentMs) << step.t;
    }
    watch.Finish(30025);
    EXPECT_EQ(watch.Stalls(), 2);
    EXPECT_EQ(watch.MissedMs(), 13000 + 9000);
}

TEST_F(PollingThreadTest, PausedFlagIsSampledOncePerCycle)
{
    recording_.Set(true);
    fake_.cyclesBeforeStop = 3;
    fake_.pauseAtCycle = 1; // set during the first cycle's video read
    std::vector<uint32_t> tags;
    Poll();
    DrainKinds(&tags);
    // The whole first cycle carries 0 (sampled before the change); the rest 1.
    EXPECT_EQ(tags, (std::vector<uint32_t>{0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1}));
}
