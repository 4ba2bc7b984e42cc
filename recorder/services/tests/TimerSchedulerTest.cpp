// The timer scheduler on its own: a receiver and a window model that only
// record what they are told, the recording service without a recording
// thread (a running recording is its flag), the settable clock and ticks
// given by hand.
#include "services/TimerScheduler.h"

#include "binding/ReceiverLibrary.h"
#include "engine/testing/RecordingEventsDouble.h"
#include "platform/testing/FakeSystemPower.h"
#include "platform/testing/ManualTickSource.h"
#include "platform/testing/TestFiles.h"
#include "services/RecordingService.h"
#include "timers/testing/TimerStoreFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

using namespace quelmar;
using namespace quelmar::testing;

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

constexpr int32_t kNow = 1796634000; // Monday 2026-12-07 09:00:00 UTC
constexpr int32_t kHour = 3600;
constexpr int32_t kDay = 86400;
constexpr uint8_t kDaily = 0x7F;
constexpr uint16_t kChannel = 2;

class Receiver : public TimerReceiver {
public:
    bool ReceiverPresent() const override { return true; }
    void TuneChannel(uint16_t number) override { tuned.push_back(number); }
    void ShowTunedChannel() override {}
    std::string NameOfChannel(uint16_t number) const override { return number == kChannel ? "Zwei" : ""; }
    void ShowPanelText(const char *text8) override { panel.emplace_back(text8); }
    void SwitchOff() override { ++switchOffs; }

    std::vector<uint16_t> tuned;
    Lines panel;
    int switchOffs = 0;
};

// Records the events and the pass's steps in one list, in order.
class Window : public TimerSchedulerListener {
public:
    void TimerLog(const std::string &line) override { events.push_back(line); }
    void TimerArmed(const std::string &fileBase) override { events.push_back("armed " + fileBase); }
    void TimerRecordingStopping() override { events.push_back("stopping"); }
    void TimerRecordingStarting(const std::string &, const std::string &base) override
    {
        events.push_back("starting " + base);
    }
    void TimerRecordingRefused() override { events.push_back("refused"); }
    void ShowLogNow() override {}
    void CloseForShutdown() override { events.push_back("close"); }
    RecordingRequest RecordingSettings() const override { return {}; }
    std::string RecordingsFolder() const override { return folder; }
    bool SuperviseBeforeTimers() override
    {
        events.push_back("before");
        return goOn;
    }
    void SuperviseManualMode() override { events.push_back("manual"); }
    void SuperviseAfterTimers() override { events.push_back("after"); }

    bool Saw(const std::string &event) const { return std::find(events.begin(), events.end(), event) != events.end(); }

    Lines events;
    std::string folder;
    bool goOn = true;
};

class TimerSchedulerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        CTime::SetTestNow(kNow);
        dir_ = ScratchDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
        window_.folder = dir_.string();
        recording_.SetReady(true);
    }
    void TearDown() override
    {
        scheduler_.reset();
        CTime::SetTestNow(std::nullopt);
        fs::remove_all(dir_);
    }

    CTimerEntry Entry(int32_t start, int32_t stop, uint8_t days = 0, uint8_t shutdown = 0) const
    {
        CTimerEntry entry;
        entry.m_nChannel = kChannel;
        entry.m_timeStart = CTime(start);
        entry.m_timeStop = CTime(stop);
        entry.m_nDays = days;
        entry.m_bShutdown = shutdown;
        entry.m_strFileName = (dir_ / "news").string();
        return entry;
    }
    // Writes the store as another process would.
    void Store(const std::vector<CTimerEntry> &entries) const
    {
        quelmar::testing::WriteTimerStore(StorePath(), entries);
    }
    std::vector<CTimerEntry> Stored() const { return quelmar::testing::ReadTimerStore(StorePath()); }
    std::string StorePath() const { return (dir_ / "timer.db").string(); }

    // The scheduler in timer mode over a store of `entries`, its passes running.
    TimerScheduler &Start(const std::vector<CTimerEntry> &entries, SystemPower *power = nullptr)
    {
        Store(entries);
        TimerSchedulerParts parts;
        parts.recording = &recording_;
        parts.receiver = &receiver_;
        parts.listener = &window_;
        parts.ticks = &ticks_;
        parts.storePath = StorePath();
        parts.power = power;
        scheduler_ = std::make_unique<TimerScheduler>(std::move(parts));
        scheduler_->LoadStore();
        EXPECT_TRUE(scheduler_->StartSupervision());
        scheduler_->SetTimerMode(true);
        window_.events.clear();
        return *scheduler_;
    }
    // One tick at `now`.
    void TickAt(int32_t now)
    {
        CTime::SetTestNow(now);
        ASSERT_TRUE(ticks_.Tick());
    }
    // A recording runs (as the engine says while it starts, runs and ends).
    void SetRecording(bool on)
    {
        recording_.MutableContext().recording.Set(on);
        recording_.SetReady(!on);
    }

    fs::path dir_;
    RecordingService recording_;
    Receiver receiver_;
    Window window_;
    ManualTickSource ticks_;
    std::unique_ptr<TimerScheduler> scheduler_;
};

// ---- arming and the countdown --------------------------------------------------------------

struct ArmingCase {
    const char *name;
    int32_t startAhead; // seconds from the arming pass to the start
    int32_t countdown;  // passes until the recording starts
    const char *line;
};

class Arming : public TimerSchedulerTest, public ::testing::WithParamInterface<ArmingCase> {};

TEST_P(Arming, ArmsWithinTheLeadAndCountsDownToASecondBeforeTheStart)
{
    const ArmingCase &c = GetParam();
    const int32_t start = kNow + c.startAhead;
    Start({Entry(start, start + kHour)});
    if (c.startAhead > kTimerLeadSeconds) {
        TickAt(start - kTimerLeadSeconds - 1);
        EXPECT_EQ(scheduler_->CurrentTimer(), nullptr) << "not before the lead";
        window_.events.clear();
    }
    TickAt(start - std::min(c.startAhead, kTimerLeadSeconds));
    ASSERT_NE(scheduler_->CurrentTimer(), nullptr);
    EXPECT_EQ(scheduler_->StartCountdown(), c.countdown);
    EXPECT_EQ(receiver_.tuned, std::vector<uint16_t>{kChannel});
    EXPECT_EQ(window_.events, (Lines{"before", "armed " + (dir_ / "news").string(), c.line, "after"}));
    for (int32_t pass = 1; pass < c.countdown; ++pass) {
        TickAt(CTime::GetCurrentTime().GetTime() + 1);
        EXPECT_EQ(scheduler_->StartCountdown(), c.countdown - pass);
    }
    EXPECT_FALSE(window_.Saw("starting " + (dir_ / "news").string()));
    // The last pass starts; without a receiver binding the service refuses.
    TickAt(CTime::GetCurrentTime().GetTime() + 1);
    EXPECT_TRUE(window_.Saw("starting " + (dir_ / "news").string()));
    EXPECT_EQ(scheduler_->StartCountdown(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Arming,
    ::testing::Values(ArmingCase{"TenSecondsAhead", 60, kStartCountdownPasses,
                                 "channel switched - recording will be started in 9 seconds"},
                      ArmingCase{"FiveSecondsAhead", 5, 4, "channel switched - recording will be started in 4 seconds"},
                      ArmingCase{"AtTheStart", 0, 1, "channel switched - recording will be started in 1 second"},
                      ArmingCase{"DuringTheBroadcast", -600, 1,
                                 "channel switched - recording will be started in 1 second"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(TimerSchedulerTest, PassesLostUnderLoadDoNotMakeTheStartLate)
{
    const int32_t start = kNow + kTimerLeadSeconds;
    Start({Entry(start, start + kHour)});
    TickAt(kNow);
    ASSERT_EQ(scheduler_->StartCountdown(), kStartCountdownPasses);
    TickAt(kNow + 3); // two passes lost
    EXPECT_FALSE(window_.Saw("starting " + (dir_ / "news").string()));
    TickAt(kNow + kStartCountdownPasses); // five more lost: the count's own second
    EXPECT_TRUE(window_.Saw("starting " + (dir_ / "news").string()));
    EXPECT_EQ(scheduler_->StartCountdown(), 0);
}

TEST_F(TimerSchedulerTest, TheRecordingTakesItsBaseFromTheEntry)
{
    ReceiverLibrary receiver{ReceiverLibrary::Unbound{}};
    receiver.device.status = DVB_STATUS_FOUND;
    recording_.SetReceiver(&receiver);
    CapturingLogSink log;
    const int32_t start = kNow + kTimerLeadSeconds;
    CTimerEntry daily = Entry(start, start + kHour, kDaily);
    Start({daily});
    TickAt(kNow);
    ASSERT_TRUE(scheduler_->StartRecording());
    EXPECT_EQ(recording_.Current().baseName, (dir_ / "news").string() + ", 07-12-2026");
    EXPECT_EQ(recording_.Current().origin, RecordingOrigin::Timer);
    // Nothing to save: the recording ends by itself.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!recording_.TakeEnd() && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_FALSE(recording_.Busy());
    recording_.SetReceiver(nullptr);
}

// ---- the stop -----------------------------------------------------------------------------

struct StopCase {
    const char *name;
    uint8_t days;
    size_t storedAfter;
};

class Stopping : public TimerSchedulerTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(Stopping, StopsAtTheStopAndMovesTheEntryOn)
{
    const int32_t start = kNow + kTimerLeadSeconds;
    Start({Entry(start, start + kHour, GetParam().days)});
    TickAt(kNow); // armed
    SetRecording(true);
    TickAt(start + kHour - 1);
    EXPECT_TRUE(recording_.Active()) << "runs until its stop";
    window_.events.clear();
    TickAt(start + kHour);
    EXPECT_FALSE(recording_.Active());
    EXPECT_EQ(window_.events, (Lines{"before", "recording will be stopped by timer", "stopping", "after"}));
    EXPECT_EQ(scheduler_->CurrentTimer(), nullptr);
    const auto stored = Stored();
    ASSERT_EQ(stored.size(), GetParam().storedAfter);
    if (!stored.empty()) {
        EXPECT_EQ(stored[0].m_timeStart.GetTime(), start + kDay);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Stopping,
                         ::testing::Values(StopCase{"OneOffIsRemoved", 0, 0}, StopCase{"DailyMovesOn", kDaily, 1}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(TimerSchedulerTest, StoreChangedByAnotherProcessIsPickedUp)
{
    const int32_t start = kNow + kTimerLeadSeconds;
    Start({Entry(start, start + kHour, 0, 1)});
    TickAt(kNow);
    ASSERT_NE(scheduler_->CurrentTimer(), nullptr);
    ASSERT_TRUE(scheduler_->ShutdownPending());
    const int32_t later = kNow + 2 * kHour;
    Store({Entry(later, later + kHour)}); // the armed entry is gone
    window_.events.clear();
    TickAt(kNow + 1);
    EXPECT_EQ(scheduler_->CurrentTimer(), nullptr);
    EXPECT_EQ(scheduler_->StartCountdown(), 0);
    EXPECT_FALSE(scheduler_->ShutdownPending()) << "an armed entry's shut-down goes with it";
    EXPECT_EQ(window_.events,
              (Lines{"before", "timer settings reloaded",
                     "next timer recording: Zwei, Monday, December 07, 2026, 11:00:00 to 12:00:00", "after"}));
}

// ---- shut-down ----------------------------------------------------------------------------

struct SkipCase {
    const char *name;
    bool power;
    int32_t nextAhead; // start of another entry, seconds after the stop; 0: none
    const char *line;
};

class ShutdownSkipped : public TimerSchedulerTest, public ::testing::WithParamInterface<SkipCase> {};

TEST_P(ShutdownSkipped, LogsWhyAndStaysUp)
{
    const SkipCase &c = GetParam();
    std::vector<std::string> steps;
    FakeSystemPower power(steps);
    const int32_t start = kNow + kTimerLeadSeconds;
    const int32_t stop = start + kHour;
    std::vector<CTimerEntry> entries{Entry(start, stop, 0, 1)};
    if (c.nextAhead)
        entries.push_back(Entry(stop + c.nextAhead, stop + c.nextAhead + kHour));
    Start(entries, c.power ? &power : nullptr);
    TickAt(kNow);
    SetRecording(true);
    TickAt(stop); // stopped; the shut-down waits for the end of the teardown
    ASSERT_TRUE(scheduler_->ShutdownPending());
    recording_.SetReady(true);
    window_.events.clear();
    TickAt(stop + 1);
    EXPECT_EQ(window_.events, (Lines{"before", c.line, "after"}));
    EXPECT_FALSE(scheduler_->ShutdownPending()) << "not tried again";
    EXPECT_EQ(receiver_.switchOffs, 0);
    EXPECT_TRUE(steps.empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, ShutdownSkipped,
                         ::testing::Values(SkipCase{"SwitchedOffForThisRun", false, 0,
                                                    "shut-down skipped: shutting down is switched off for this run"},
                                           SkipCase{"NextTimerTooClose", true, 60,
                                                    "shut-down skipped: next timer recording starts at 10:01:10"}),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- the pass ---------------------------------------------------------------------------------

TEST_F(TimerSchedulerTest, TheTicksRunThePassInItsOrder)
{
    Start({});
    TickAt(kNow);
    EXPECT_EQ(window_.events, (Lines{"before", "after"}));
    scheduler_->SetTimerMode(false);
    window_.events.clear();
    TickAt(kNow + 1);
    EXPECT_EQ(window_.events, (Lines{"before", "manual", "after"}));
    window_.goOn = false; // the window ended
    window_.events.clear();
    TickAt(kNow + 2);
    EXPECT_EQ(window_.events, Lines{"before"});
    scheduler_->StopSupervision();
    EXPECT_FALSE(ticks_.Tick());
    EXPECT_EQ(ticks_.PeriodMs(), kSupervisionPeriodMs);
}

} // namespace
