#include "engine/PollingThread.h"
#include "binding/ReceiverLibrary.h"
#include "engine/testing/RecordingViewDouble.h"
#include "platform/WorkerThread.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace quelmar;

TEST(PollSchedule, OnTimeCyclesSleepTheRestOfTheirSlot)
{
    PollSchedule s;
    s.start(1000);
    EXPECT_FALSE(s.lateness(1000));
    EXPECT_EQ(s.nextSleep(1003), 22u); // the reads took 3 ms
    EXPECT_FALSE(s.lateness(1025));
    EXPECT_EQ(s.nextSleep(1025), 25u);
    EXPECT_EQ(s.cycles(), 2);
    // Exactly at the slot still sleeps (0 ms) and resets the slack.
    EXPECT_EQ(s.nextSleep(1075), 0u);
}

TEST(PollSchedule, ReportedDelayIsNotRepeatedWhileCatchingUp)
{
    PollSchedule s;
    s.start(0);
    s.nextSleep(0); // cycle 0 on time; n = 1
    // Cycle 1 starts 150 ms late (slot 25): reported with 150.
    EXPECT_EQ(s.lateness(175), 150u);
    EXPECT_EQ(s.slack(), 125);
    EXPECT_FALSE(s.nextSleep(180)); // past slot 50: no sleep
    // Back to back, 130 ms late against slot 50: 130 - 125 <= 100, silent.
    EXPECT_FALSE(s.lateness(180));
    EXPECT_EQ(s.slack(), 105);
    EXPECT_FALSE(s.nextSleep(181));
    // 30 ms later than the expectation was and still silent: 106 - 105.
    EXPECT_FALSE(s.lateness(181));
    // A cycle that can sleep again resets the slack.
    s.nextSleep(100);
    EXPECT_EQ(s.slack(), 0);
}

TEST(PollSchedule, LateAgainAfterTheAllowanceIsReportedAgain)
{
    PollSchedule s;
    s.start(0);
    s.nextSleep(0);
    EXPECT_EQ(s.lateness(175), 150u); // slack 125
    s.nextSleep(175);
    // Now 400 ms late against slot 50: 400 - 125 > 100.
    EXPECT_EQ(s.lateness(450), 275u);
    EXPECT_EQ(s.slack(), 375);
}

TEST(PollSchedule, BacklogBeyondTwoSecondsIsGivenUp)
{
    PollSchedule s;
    s.start(0);
    s.nextSleep(0);                     // n = 1, slot 25
    EXPECT_EQ(s.lateness(3025), 3000u); // 3000 ms late
    EXPECT_EQ(s.cycles(), 1 + 40);      // (3000 - 2000) / 25
    s.nextSleep(3025);
    EXPECT_EQ(s.cycles(), 42);
    // 2001 ms late gives up nothing beyond integer division.
    PollSchedule t;
    t.start(0);
    t.lateness(2001);
    EXPECT_EQ(t.cycles(), 0);
}

TEST(PollSchedule, ClockWrapDoesNotDisturbTheSchedule)
{
    PollSchedule s;
    const int32_t nearWrap = INT32_MAX - 10;
    s.start(nearWrap);
    EXPECT_FALSE(s.lateness(nearWrap));
    // 20 ms later the clock has wrapped to a negative value.
    EXPECT_EQ(s.nextSleep(static_cast<int32_t>(static_cast<uint32_t>(nearWrap) + 20)), 5u);
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
    if (kind == StreamVideo) {
        const int cycle = g_fake->videoReads++;
        if (g_fake->clock)
            g_fake->clock->advance(cycle == g_fake->lateCycle ? g_fake->lateCostMs : g_fake->videoReadCostMs);
        if (cycle + 1 == g_fake->pauseAtCycle)
            g_fake->paused->set(true);
        if (cycle + 1 >= g_fake->cyclesBeforeStop)
            g_fake->recording->set(false);
    }
    std::memset(buffer, kind + 1, length);
    return g_fake->readsSucceed ? 1 : 0;
}

class PollingThreadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_fake = &fake;
        fake.recording = &recording;
        fake.paused = &paused;
        fake.clock = &clock;
        receiver.device.status = DVB_STATUS_FOUND;
        receiver.dvbInitStreaming = FakeInit;
        receiver.dvbDeInitStreaming = FakeDeInit;
        receiver.dvbSendSpecialCommand = FakeSpecial;
        receiver.dvbReadMultipleStreams = FakeRead;
        args.receiver = &receiver;
        args.queue = queue;
        args.dataReady = event;
        args.recording = &recording;
        args.paused = &paused;
        args.clock = &clock;
    }
    void TearDown() override { g_fake = nullptr; }

    std::vector<StreamKind> drainKinds(std::vector<uint32_t> *pausedTags = nullptr)
    {
        std::vector<StreamKind> kinds;
        while (!queue->IsEmpty()) {
            kinds.push_back(queue->FrontKind());
            if (pausedTags)
                pausedTags->push_back(queue->FrontPaused());
            queue->PopFront(true);
        }
        return kinds;
    }

    FakeReceiver fake;
    ReceiverLibrary receiver{ReceiverLibrary::Unbound{}};
    std::shared_ptr<PacketQueue> queue = std::make_shared<PacketQueue>();
    std::shared_ptr<AutoResetEvent> event = std::make_shared<AutoResetEvent>();
    Flag recording;
    Flag paused;
    ManualClock clock{5000};
    PollingThreadArgs args;
    CapturingLogSink log;
};

} // namespace

TEST_F(PollingThreadTest, RecordingFlagClearAtStartMakesNoReadButFullStartAndEnd)
{
    EXPECT_EQ(PollingThreadProc(args), 0u);
    EXPECT_EQ(fake.calls,
              (std::vector<std::string>{"init 0 65536 10", "text ' ->rec<-' 1", "deinit", "text ' ready  ' 1"}));
    EXPECT_EQ(log.texts(), (std::vector<std::string>{"polling thread started", "polling thread terminated"}));
    EXPECT_TRUE(event->waitFor(0)); // the end sets the event
    EXPECT_TRUE(queue->IsEmpty());
}

TEST_F(PollingThreadTest, EachCycleReadsTwoStampsVideoAndAudioInOrderAndSleepsOnSchedule)
{
    recording.set(true);
    fake.cyclesBeforeStop = 3;
    fake.videoReadCostMs = 4;
    queue->Push(new uint8_t[1], 1, StreamAudio, 0, false); // a leftover the start clears
    PollingThreadProc(args);

    const std::vector<std::string> cycle = {"read 2 16", "read 2 16", "read 1 32768", "read 0 8192"};
    std::vector<std::string> expected = {"init 0 65536 10", "text ' ->rec<-' 1"};
    for (int i = 0; i < 3; ++i)
        expected.insert(expected.end(), cycle.begin(), cycle.end());
    expected.push_back("deinit");
    expected.push_back("text ' ready  ' 1");
    EXPECT_EQ(fake.calls, expected);
    // Each cycle took 4 ms of reading, so it sleeps 21 ms to its next slot.
    EXPECT_EQ(clock.sleeps(), (std::vector<uint32_t>{21, 21, 21}));
    const auto kinds = drainKinds();
    const std::vector<StreamKind> one = {StreamPts, StreamPts, StreamVideo, StreamAudio};
    std::vector<StreamKind> all;
    for (int i = 0; i < 3; ++i)
        all.insert(all.end(), one.begin(), one.end());
    EXPECT_EQ(kinds, all);
    EXPECT_FALSE(log.contains("poll delayed for more than 100ms (0ms)! Possible data loss!"));
}

TEST_F(PollingThreadTest, FailedReadsQueueNothingAndTheThreadIdlesOnSchedule)
{
    recording.set(true);
    fake.readsSucceed = false;
    fake.cyclesBeforeStop = 4;
    PollingThreadProc(args);
    EXPECT_TRUE(queue->IsEmpty());
    EXPECT_EQ(clock.sleeps(), (std::vector<uint32_t>{25, 25, 25, 25}));
}

TEST_F(PollingThreadTest, NoReceiverMeansNoLibraryCallsAtAll)
{
    receiver.device.status = DVB_STATUS_NONE;
    recording.set(true);
    // Nothing clears the flag from a read, so stop after a few sleeps.
    WorkerThread stopper(
        [&] {
            while (clock.sleeps().size() < 3)
                SleepMs(1);
            recording.set(false);
            return 0u;
        },
        ThreadPriority::Normal);
    stopper.resume();
    PollingThreadProc(args);
    stopper.join();
    EXPECT_TRUE(fake.calls.empty());
    EXPECT_TRUE(log.contains("polling thread terminated"));
}

TEST_F(PollingThreadTest, ASlowReadIsReportedOnceWithItsLateness)
{
    recording.set(true);
    fake.cyclesBeforeStop = 6;
    fake.lateCycle = 1; // the second cycle's video read blocks 175 ms
    fake.lateCostMs = 175;
    PollingThreadProc(args);
    // Cycle 2 starts at 200 against slot 50: 150 ms late. Cycle 3 (back to
    // back, 125 ms late) stays silent.
    int reports = 0;
    for (const auto &t : log.texts())
        reports += t.rfind("poll delayed", 0) == 0;
    EXPECT_EQ(reports, 1);
    EXPECT_TRUE(log.contains("poll delayed for more than 100ms (150ms)! Possible data loss!"));
}

TEST_F(PollingThreadTest, PausedFlagIsSampledOncePerCycle)
{
    recording.set(true);
    fake.cyclesBeforeStop = 3;
    fake.pauseAtCycle = 1; // set during the first cycle's video read
    std::vector<uint32_t> tags;
    PollingThreadProc(args);
    drainKinds(&tags);
    // The whole first cycle carries 0 (sampled before the change); the rest 1.
    EXPECT_EQ(tags, (std::vector<uint32_t>{0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1}));
}
