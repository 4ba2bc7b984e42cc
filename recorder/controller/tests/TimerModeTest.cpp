// Timer mode driven pass by pass with the settable clock: arming ten
// seconds ahead, the nine-pass countdown, the stop, what becomes of the
// entry, the Timer dialog's effect on a running timer, the shut-down after
// a timer recording (a stand-in for logind, a stand-in /sys for the wake
// alarm) and the store file edited by another process.
#include "controller/tests/ControllerFixture.h"

#include "platform/testing/FakeSystemPower.h"
#include "timers/ShutdownSequence.h"
#include "timers/TimerDialogModel.h"
#include "timers/testing/TimerStoreFiles.h"

#include <fstream>
#include <optional>

using namespace quelmar;
using namespace quelmar::testing;

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

constexpr int32_t kDay = 86400;
constexpr uint8_t kDaily = 0x7F;
constexpr uint16_t kChannel = 3;      // "Drei"
constexpr uint16_t kOtherChannel = 2; // "Zwei"
constexpr int kCountdown = 9;

class TimerMode : public ControllerTest {
public:
    // One supervision pass at the clock's time.
    void PassNow() { Pass(CTime::GetCurrentTime().GetTime()); }

protected:
    void SetUp() override
    {
        ControllerTest::SetUp();
        const fs::path clock = dir_ / "sys" / "class" / "rtc" / "rtc0";
        fs::create_directories(clock);
        std::ofstream(clock / "wakealarm").flush();
        alarm_.emplace((dir_ / "sys").string());
    }

    CTimerEntry Timer(int32_t start, int32_t stop, uint8_t days = 0, uint8_t shutdown = 0,
                      const std::string &file = "news") const
    {
        CTimerEntry entry;
        entry.m_nChannel = kChannel;
        entry.m_timeStart = CTime(start);
        entry.m_timeStop = CTime(stop);
        entry.m_nDays = days;
        entry.m_bShutdown = shutdown;
        entry.m_strFileName = (dir_ / file).string();
        return entry;
    }

    // Stores `entries` as the timer file (as another process would).
    void Store(const std::vector<CTimerEntry> &entries) const
    {
        quelmar::testing::WriteTimerStore((dir_ / "timer.db").string(), entries);
    }
    std::vector<CTimerEntry> Stored() const { return quelmar::testing::ReadTimerStore((dir_ / "timer.db").string()); }

    // Starts the window in timer mode over a timer file of `entries`.
    void StartWith(const std::vector<CTimerEntry> &entries, bool power = true)
    {
        Store(entries);
        app_.m_bTimerEnabled = 1;
        CRecorderDlg::Setup setup;
        setup.makeReceiver = MakeScriptedReceiver;
        setup.makeRemuxer = [] { return MakeRemuxer(Mux::Ready); };
        if (power)
            setup.power = &power_;
        setup.wakeAlarm = &*alarm_;
        Start(std::move(setup));
    }

    // One supervision pass at `now`, then the work it posted.
    void Pass(int32_t now)
    {
        CTime::SetTestNow(now);
        dlg_->OnTimer(kTimerSupervision);
        dispatcher_.RunPending();
    }

    // Arms the entry starting at `start` ten seconds ahead and counts down:
    // the ninth pass starts the recording.
    void RunToStart(int32_t start)
    {
        Pass(start - 11);
        ASSERT_EQ(dlg_->CurrentTimer(), nullptr);
        Pass(start - 10);
        ASSERT_NE(dlg_->CurrentTimer(), nullptr);
        ASSERT_EQ(dlg_->StartCountdown(), kCountdown);
        for (int pass = 1; pass < kCountdown; ++pass) {
            Pass(start - 10 + pass);
            ASSERT_FALSE(dlg_->RecordingBusy()) << pass;
            ASSERT_EQ(dlg_->StartCountdown(), kCountdown - pass);
        }
        // Checked before the posted work runs: a recording whose files fail
        // may already have ended and posted its teardown.
        CTime::SetTestNow(start - 1);
        dlg_->OnTimer(kTimerSupervision);
        ASSERT_TRUE(dlg_->RecordingBusy());
        dispatcher_.RunPending();
    }

    Lines AllLog()
    {
        dispatcher_.RunPending();
        return view_.LogTexts(true);
    }
    int Count(const std::string &line)
    {
        const Lines all = AllLog();
        return static_cast<int>(std::count(all.begin(), all.end(), line));
    }
    bool Logged(const std::string &line) { return Count(line) > 0; }
    std::string Alarm() const { return ReadText(dir_ / "sys" / "class" / "rtc" / "rtc0" / "wakealarm"); }

    const int32_t start_ = kMonday0900 + 60;
    const int32_t stop_ = kMonday0900 + 90;
    Lines powerEvents_;
    FakeSystemPower power_{powerEvents_};
    std::optional<RtcWakeAlarm> alarm_;
};

TEST_F(TimerMode, OneOffIsArmedStartedOnTheNinthPassStoppedAndRemoved)
{
    StartWith({Timer(start_, stop_)});
    EXPECT_TRUE(Logged("timer enabled"));
    EXPECT_TRUE(Logged("next timer recording: Drei, Monday, December 07, 2026, 09:01:00 to 09:01:30"));

    RunToStart(start_);
    EXPECT_TRUE(Logged("channel switched - recording will be started in 9 seconds"));
    EXPECT_TRUE(script_.Called("channel 3"));
    EXPECT_EQ(dlg_->Control(ControlId::FileName).text, (dir_ / "news").string()) << "a one-off name stays";
    ASSERT_TRUE(Started());

    // The mode does not change while a recording runs; the command says so anyway.
    dlg_->SetTimerMode(false);
    EXPECT_TRUE(dlg_->TimerModeOn());
    EXPECT_TRUE(dlg_->MenuItem(MenuItemId::TimerEnable).checked);
    dlg_->OnTimerEnable();
    EXPECT_TRUE(dlg_->TimerModeOn());
    EXPECT_TRUE(Logged("timer disabled"));

    Pass(stop_ - 1);
    EXPECT_TRUE(dlg_->RecordingActive());
    Pass(stop_);
    EXPECT_TRUE(Logged("recording will be stopped by timer"));
    EXPECT_FALSE(dlg_->RecordingActive());
    EXPECT_EQ(dlg_->Timers().GetCount(), 0);
    EXPECT_TRUE(Stored().empty());
    ASSERT_TRUE(TornDown());
    EXPECT_EQ(dlg_->LastOutcome(), RecordingOutcome::Normal);
    // The report at the end of the recording, posted to this thread.
    EXPECT_EQ(AllLog().back(), "no active timer settings present");
    EXPECT_FALSE(script_.Called("special 2 ''"));
}

TEST_F(TimerMode, DailyRecordsIntoADatedNameAndMovesOn)
{
    StartWith({Timer(start_, stop_, kDaily)});
    RunToStart(start_);
    EXPECT_EQ(dlg_->Control(ControlId::FileName).text, (dir_ / "news").string() + ", 07-12-2026");
    ASSERT_TRUE(Started());
    Pass(stop_);
    ASSERT_EQ(dlg_->Timers().GetCount(), 1);
    EXPECT_EQ(dlg_->Timers().GetAt(0)->m_timeStart.GetTime(), start_ + kDay);
    ASSERT_EQ(Stored().size(), 1u);
    EXPECT_EQ(Stored()[0].m_timeStart.GetTime(), start_ + kDay);
    ASSERT_TRUE(TornDown());
    EXPECT_EQ(AllLog().back(), "next timer recording: Drei, Tuesday, December 08, 2026, 09:01:00 to 09:01:30");
}

TEST_F(TimerMode, RecordsUnderTheEntrysNameWhateverTheFileFieldSays)
{
    StartWith({Timer(start_, stop_, kDaily)});
    Pass(start_ - 10); // armed: the field shows the entry's dated name
    const std::string armed = (dir_ / "news").string() + ", 07-12-2026";
    ASSERT_EQ(dlg_->Control(ControlId::FileName).text, armed);
    view_.savePaths = {(dir_ / "elsewhere").string()};
    dlg_->OnBrowse();
    ASSERT_EQ(dlg_->Control(ControlId::FileName).text, (dir_ / "elsewhere").string());
    for (int pass = 1; pass <= kCountdown; ++pass)
        Pass(start_ - 10 + pass);
    ASSERT_TRUE(dlg_->RecordingBusy());
    EXPECT_EQ(dlg_->Recording().Current().origin, RecordingOrigin::Timer);
    EXPECT_EQ(dlg_->Context().baseName.Get(), armed);
    ASSERT_TRUE(Started());
    Pass(stop_);
    ASSERT_TRUE(TornDown());
    EXPECT_TRUE(fs::exists(armed + ".log"));
    EXPECT_FALSE(fs::exists((dir_ / "elsewhere").string() + ".log"));
}

TEST_F(TimerMode, AnyDayBitGivesTheDateSuffix)
{
    StartWith({Timer(start_, stop_, 0x80)}); // no weekday: records once
    RunToStart(start_);
    EXPECT_EQ(dlg_->Control(ControlId::FileName).text, (dir_ / "news").string() + ", 07-12-2026");
    ASSERT_TRUE(Started());
    Pass(stop_);
    EXPECT_EQ(dlg_->Timers().GetCount(), 0);
    ASSERT_TRUE(TornDown());
}

TEST_F(TimerMode, SwitchedOffDuringTheCountdownDisarmsTheEntryAndItsShutdown)
{
    StartWith({Timer(start_, stop_, 0, 1)});
    Pass(start_ - 10);
    ASSERT_TRUE(dlg_->ShutdownPending());
    dlg_->OnTimerEnable();
    EXPECT_FALSE(dlg_->TimerModeOn());
    EXPECT_EQ(dlg_->CurrentTimer(), nullptr);
    EXPECT_FALSE(dlg_->ShutdownPending());
    for (int32_t now = start_ - 9; now <= start_ + 2; ++now)
        Pass(now);
    EXPECT_FALSE(dlg_->RecordingBusy());
    EXPECT_FALSE(Logged("sending shut down sequence..."));
    EXPECT_TRUE(powerEvents_.empty());
    EXPECT_EQ(view_.endDialogs, 0);
}

// Nobody answers in timer mode: a taken name is never overwritten, the
// recording goes to the next free one.
struct TakenName {
    const char *name;
    std::vector<std::string> present; // in the recordings folder
    const char *recordsAs;            // "" for the entry's own name
};

void PrintTo(const TakenName &c, std::ostream *os) { *os << c.name; }

class TimerTakenName : public TimerMode, public ::testing::WithParamInterface<TakenName> {};

TEST_P(TimerTakenName, RecordsUnderTheNextFreeName)
{
    const TakenName &c = GetParam();
    for (const std::string &file : c.present)
        std::ofstream(dir_ / file) << "earlier";
    StartWith({Timer(start_, stop_)});
    RunToStart(start_);
    const std::string news = (dir_ / "news").string(), free = news + c.recordsAs;
    EXPECT_EQ(dlg_->Control(ControlId::FileName).text, free);
    EXPECT_EQ(dlg_->Context().baseName.Get(), free);
    EXPECT_TRUE(dlg_->Context().overwriteAgreed.empty());
    EXPECT_EQ(Logged("file name \"" + news + "\" is in use: recording into \"" + free + "\" instead"), free != news);
    ASSERT_TRUE(Started());
    Pass(stop_);
    ASSERT_TRUE(TornDown());
    for (const std::string &file : c.present)
        EXPECT_EQ(ReadText(dir_ / file), "earlier") << file;
    EXPECT_TRUE(fs::exists(free + ".log"));
}

INSTANTIATE_TEST_SUITE_P(
    Table, TimerTakenName,
    ::testing::Values(TakenName{"Free", {"news (x).mpg", "news (0).mpg.old", "news (01).mpg", "newsreel.log"}, ""},
                      TakenName{"LogFile", {"news.log"}, "-2"},
                      TakenName{"LaterPartOfAnotherOutput", {"news (7).ac3"}, "-2"},
                      TakenName{"AlternativeTakenToo", {"news (0).mpg", "news-2 (1).raw.m2v"}, "-3"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(TimerMode, EntryWithoutFileNameRecordsNothingAndIsGivenUp)
{
    StartWith({Timer(start_, stop_, 0, 0, "")});
    for (int32_t now = start_ - 10; now <= start_ + 10; ++now)
        Pass(now);
    EXPECT_FALSE(dlg_->RecordingBusy());
    EXPECT_EQ(Count("The file name is empty! Choose a file name (without extension) first."), 1)
        << "given up, not armed again";
    ASSERT_EQ(dlg_->Timers().GetCount(), 1);
    EXPECT_EQ(dlg_->Timers().GetAt(0)->m_bActive, 0);
    for (const auto &entry : fs::directory_iterator(dir_))
        EXPECT_EQ(std::string(" .").find(entry.path().filename().string().front()), std::string::npos)
            << "no \" (0).mpg\", no hidden \".log\": " << entry.path();
}

TEST_F(TimerMode, EntryDeletedInTheDialogStopsItsRecordingAndKeepsItsShutdown)
{
    StartWith({Timer(start_, stop_ + 3600, 0, 1)});
    RunToStart(start_);
    ASSERT_TRUE(Started());
    EXPECT_TRUE(dlg_->ShutdownPending());
    view_.timerDialog = [](TimerDialogModel &model, const auto &) {
        model.Select(0);
        model.OnDelete();
        return true;
    };
    dlg_->OnTimerEdit();
    EXPECT_EQ(dlg_->CurrentTimer(), nullptr);
    EXPECT_TRUE(dlg_->ShutdownPending()) << "the shut-down follows the stop";
    EXPECT_TRUE(Stored().empty());
    Pass(start_ + 5);
    EXPECT_TRUE(Logged("recording will be stopped by timer"));
    ASSERT_TRUE(TornDown());
    Pass(start_ + 7);
    EXPECT_TRUE(Logged("sending shut down sequence..."));
    EXPECT_EQ(view_.endDialogs, 1);
}

TEST_F(TimerMode, ArmedEntryDeletedInTheDialogNeitherStartsNorShutsDown)
{
    StartWith({Timer(start_, stop_, 0, 1)});
    Pass(start_ - 10);
    ASSERT_TRUE(dlg_->ShutdownPending());
    view_.timerDialog = [](TimerDialogModel &model, const auto &) {
        model.Select(0);
        model.OnDelete();
        return true;
    };
    dlg_->OnTimerEdit();
    for (int32_t now = start_ - 9; now <= stop_; ++now)
        Pass(now);
    EXPECT_FALSE(dlg_->RecordingBusy());
    EXPECT_FALSE(Logged("sending shut down sequence..."));
    EXPECT_EQ(view_.endDialogs, 0);

    // The dialog starts from the file as it is now; Cancel changes nothing.
    Store({Timer(start_ + kDay, stop_ + kDay)});
    view_.timerDialog = [](TimerDialogModel &model, const auto &) {
        model.Select(0);
        model.OnDelete();
        return false;
    };
    dlg_->OnTimerEdit();
    EXPECT_EQ(dlg_->Timers().GetCount(), 1);
}

// After a timer recording that asks for it, once the recorder is ready
// again: the shut-down (or why not).
struct ShutdownCase {
    const char *name;
    bool power;                     // false: shut-downs switched off for this run (--no-shutdown)
    uint32_t refusal;               // of the power-off request
    int32_t nextAfterStop;          // seconds from the stop to the next timer's start
    std::vector<std::string> lines; // after "recording stopped"; "@wake" stands for the wake-up line
    Lines events;                   // the steps the stand-in for logind saw
    bool ends;
};

void PrintTo(const ShutdownCase &c, std::ostream *os) { *os << c.name; }

class TimerShutdown : public TimerMode, public ::testing::WithParamInterface<ShutdownCase> {};

TEST_P(TimerShutdown, FollowsTheRecordingThatAskedForIt)
{
    const ShutdownCase &c = GetParam();
    power_.refusal = c.refusal;
    const int32_t next = stop_ + c.nextAfterStop;
    StartWith({Timer(start_, stop_, 0, 1), Timer(next, next + 3600)}, c.power);
    RunToStart(start_);
    ASSERT_TRUE(Started());
    Pass(stop_);
    ASSERT_TRUE(TornDown()); // its passes run the shut-down once ready
    Pass(stop_ + 1);

    const std::string wake = "wake-up set for " + CTime(next - kWakeUpLeadSeconds).Format("%A, %B %d, %Y, %X");
    Lines expected;
    for (const std::string &line : c.lines)
        expected.push_back(line == "@wake" ? wake : line);
    const Lines all = AllLog();
    const auto stopped = std::find(all.begin(), all.end(), "recording stopped");
    ASSERT_NE(stopped, all.end());
    Lines after;
    for (auto it = stopped + 1; it != all.end(); ++it)
        if (it->rfind("next timer recording", 0) != 0 && it->rfind("Timer settings", 0) != 0)
            after.push_back(*it);
    EXPECT_EQ(after, expected);
    EXPECT_EQ(powerEvents_, c.events);
    EXPECT_EQ(view_.endDialogs, c.ends ? 1 : 0);
    EXPECT_EQ(script_.Called("special 2 ''"), !c.events.empty());
    EXPECT_EQ(Alarm(), c.events.size() > 2 ? std::to_string(next - kWakeUpLeadSeconds) : "");
    EXPECT_FALSE(dlg_->ShutdownPending()) << "never tried twice";
}

INSTANTIATE_TEST_SUITE_P(
    Table, TimerShutdown,
    ::testing::Values(ShutdownCase{"Accepted",
                                   true,
                                   0,
                                   kDay,
                                   {"sending shut down sequence...", "@wake",
                                    "shutting down and switching off system..."},
                                   {"[open]", "[may]", "[priority]", "[request]"},
                                   true},
                      ShutdownCase{"RefusedStaysUp",
                                   true,
                                   1234,
                                   kDay,
                                   {"sending shut down sequence...", "@wake", "shutting down failed with error 1234!"},
                                   {"[open]", "[may]", "[priority]", "[request]"},
                                   false},
                      // The machine could not be woken in time for the next one.
                      ShutdownCase{"NextTimerWithinTheWakeUpLead",
                                   true,
                                   0,
                                   kWakeUpLeadSeconds,
                                   {"shut-down skipped: next timer recording starts at 09:03:30"},
                                   {},
                                   false},
                      ShutdownCase{"SwitchedOffForThisRun",
                                   false,
                                   0,
                                   kDay,
                                   {"shut-down skipped: shutting down is switched off for this run"},
                                   {},
                                   false}),
    [](const auto &info) { return std::string(info.param.name); });

// Ends that are not the user's Stop: a repeating timer keeps its later
// days, a one-off one is kept but not armed again (it would record into
// the same files).
struct UnplannedEnd {
    const char *name;
    const char *file;
    uint8_t days;
    std::function<void(TimerMode &, CRecorderDlg &, ScriptedReceiver &)> end;
    bool movedOn; // else deactivated
};

void PrintTo(const UnplannedEnd &c, std::ostream *os) { *os << c.name; }

class TimerUnplannedEnd : public TimerMode, public ::testing::WithParamInterface<UnplannedEnd> {};

TEST_P(TimerUnplannedEnd, DoesNotGiveUpLaterDaysNorRecordTwice)
{
    const UnplannedEnd &c = GetParam();
    StartWith({Timer(start_, stop_ + 3600, c.days, 1, c.file)});
    RunToStart(start_);
    c.end(*this, *dlg_, script_);
    ASSERT_TRUE(TornDown());
    ASSERT_EQ(dlg_->Timers().GetCount(), 1);
    const CTimerEntry &entry = *dlg_->Timers().GetAt(0);
    EXPECT_EQ(entry.m_bActive, c.movedOn ? 1 : 0);
    EXPECT_EQ(entry.m_timeStart.GetTime(), c.movedOn ? start_ + kDay : start_);
    EXPECT_EQ(Stored().at(0).m_bActive, entry.m_bActive);
    EXPECT_FALSE(dlg_->ShutdownPending());
    for (int32_t now = start_; now < start_ + 30; ++now)
        Pass(now);
    EXPECT_EQ(Count("channel switched - recording will be started in 9 seconds"), 1);
    EXPECT_FALSE(Logged("sending shut down sequence..."));
}

INSTANTIATE_TEST_SUITE_P(
    Table, TimerUnplannedEnd,
    ::testing::Values(
        // The recording thread gives up: its files cannot be created.
        UnplannedEnd{"FilesFail", "missing/news", 0, [](TimerMode &, CRecorderDlg &, ScriptedReceiver &) {}, false},
        UnplannedEnd{"ChannelChangedDaily", "news", kDaily,
                     [](TimerMode &t, CRecorderDlg &, ScriptedReceiver &rx) {
                         rx.current = DvbCurrentChannel{1, {}, Channel("Zwei", 2)};
                         t.PassNow();
                     },
                     true},
        UnplannedEnd{"CloseDaily", "news", kDaily,
                     [](TimerMode &, CRecorderDlg &dlg, ScriptedReceiver &) { dlg.OnClose(); }, true},
        UnplannedEnd{"CloseOneOff", "news", 0,
                     [](TimerMode &, CRecorderDlg &dlg, ScriptedReceiver &) { dlg.OnClose(); }, false}),
    [](const auto &info) { return std::string(info.param.name); });

// An entry armed later than ten seconds ahead starts about a second before
// its start, or on the next pass when it has begun: not nine seconds late.
struct LateArming {
    const char *name;
    int32_t armedAt; // seconds relative to the start
    int32_t countdown;
    const char *line;
};

void PrintTo(const LateArming &c, std::ostream *os) { *os << c.name; }

class TimerLateArming : public TimerMode, public ::testing::WithParamInterface<LateArming> {};

TEST_P(TimerLateArming, CountsDownOnlyToTheStart)
{
    const LateArming &c = GetParam();
    StartWith({Timer(start_, stop_ + 600)});
    Pass(start_ + c.armedAt);
    ASSERT_NE(dlg_->CurrentTimer(), nullptr);
    EXPECT_EQ(dlg_->StartCountdown(), c.countdown);
    EXPECT_TRUE(Logged(c.line));
    for (int pass = 1; pass < c.countdown; ++pass)
        Pass(start_ + c.armedAt + pass);
    EXPECT_FALSE(dlg_->RecordingBusy());
    Pass(start_ + c.armedAt + c.countdown);
    EXPECT_TRUE(dlg_->RecordingBusy());
}

INSTANTIATE_TEST_SUITE_P(
    Table, TimerLateArming,
    ::testing::Values(LateArming{"ThreeSecondsAhead", -3, 2,
                                 "channel switched - recording will be started in 2 seconds"},
                      LateArming{"AtItsStart", 0, 1, "channel switched - recording will be started in 1 second"},
                      LateArming{"FiveMinutesIn", 300, 1, "channel switched - recording will be started in 1 second"}),
    [](const auto &info) { return std::string(info.param.name); });

// The next entry is armed at the stop, while the recording is torn down; one
// starting right then records as soon as the teardown has ended, with the
// clock still at its start, a later one counts down as usual.
struct HandOver {
    const char *name;
    int32_t gap; // seconds from the stop to the next start
    const char *line;
    bool startsAtTeardownEnd;
};

void PrintTo(const HandOver &c, std::ostream *os) { *os << c.name; }

class TimerBackToBack : public TimerMode, public ::testing::WithParamInterface<HandOver> {
protected:
    // Runs the posted work, without supervision passes, until the view has
    // heard of the end of a recording.
    bool TeardownEnded()
    {
        for (int round = 0; round < kRounds; ++round) {
            dispatcher_.RunPending();
            if (!view_.finished.empty())
                return true;
            dispatcher_.WaitForTask(std::chrono::milliseconds(kRoundMs));
        }
        return false;
    }
};

TEST_P(TimerBackToBack, NextEntryIsArmedAtTheStop)
{
    const HandOver &c = GetParam();
    const int32_t next = stop_ + c.gap;
    script_.followsSetChannel = true;
    CTimerEntry nextEntry = Timer(next, next + 60, 0, 0, "next");
    nextEntry.m_nChannel = kOtherChannel;
    StartWith({Timer(start_, stop_), nextEntry});
    RunToStart(start_);
    ASSERT_TRUE(Started());
    Pass(stop_);
    ASSERT_NE(dlg_->CurrentTimer(), nullptr);
    EXPECT_EQ(dlg_->CurrentTimer()->m_strFileName, (dir_ / "next").string());
    EXPECT_EQ(dlg_->Control(ControlId::FileName).text, (dir_ / "next").string());
    EXPECT_TRUE(Logged(c.line));
    ASSERT_TRUE(TeardownEnded());
    // Switched once the first recording no longer reads from the receiver
    // (its stop routine lets go of the remote control last).
    const Lines calls = script_.Calls();
    const auto switched = std::find(calls.begin(), calls.end(), "channel " + std::to_string(kOtherChannel));
    EXPECT_NE(switched, calls.end());
    EXPECT_LT(std::find(calls.begin(), calls.end(), "remote 0"), switched);
    EXPECT_EQ(view_.finished, std::vector<RecordingOutcome>{RecordingOutcome::Normal});
    EXPECT_EQ(dlg_->RecordingBusy(), c.startsAtTeardownEnd);
    if (!c.startsAtTeardownEnd) {
        for (int32_t now = stop_ + 1; now < next - 1; ++now) {
            Pass(now);
            ASSERT_FALSE(dlg_->RecordingBusy()) << now;
        }
        Pass(next - 1);
        EXPECT_TRUE(dlg_->RecordingBusy());
    }
    ASSERT_TRUE(Started());
    ASSERT_NE(dlg_->CurrentTimer(), nullptr) << ::testing::PrintToString(AllLog());
    EXPECT_EQ(dlg_->CurrentTimer()->m_strFileName, (dir_ / "next").string());
    EXPECT_EQ(Stored().size(), 1u); // the first one-off entry is gone
    // The channel list shows the new channel: the next pass takes no change.
    Pass(next + 1);
    EXPECT_TRUE(dlg_->RecordingActive());
    EXPECT_FALSE(Logged("channel changed during recording!"));
}

INSTANTIATE_TEST_SUITE_P(Table, TimerBackToBack,
                         ::testing::Values(HandOver{"StartingAtTheStop", 0,
                                                    "channel switched - recording will be started in 1 second", true},
                                           HandOver{"StartingFiveSecondsLater", 5,
                                                    "channel switched - recording will be started in 4 seconds",
                                                    false}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(TimerMode, StoreEditedElsewhereIsTakenOnTheNextPass)
{
    StartWith({});
    EXPECT_TRUE(Logged("no active timer settings present"));
    Store({Timer(start_, stop_)});
    Pass(kMonday0900);
    EXPECT_TRUE(Logged("timer settings reloaded"));
    EXPECT_TRUE(Logged("next timer recording: Drei, Monday, December 07, 2026, 09:01:00 to 09:01:30"));
    RunToStart(start_);
    EXPECT_EQ(Count("timer settings reloaded"), 1) << "its own writes are not taken for edits";
    ASSERT_TRUE(Started());

    // The running timer stays current through an edit that keeps it ...
    Store({Timer(start_ + kDay, stop_ + kDay), Timer(start_, stop_)});
    Pass(start_ + 1);
    ASSERT_NE(dlg_->CurrentTimer(), nullptr);
    EXPECT_EQ(dlg_->CurrentTimer()->m_timeStart.GetTime(), start_);
    EXPECT_TRUE(dlg_->RecordingActive());
    // ... and is stopped by one that removes it.
    Store({Timer(start_ + kDay, stop_ + kDay)});
    Pass(start_ + 2);
    Pass(start_ + 3);
    EXPECT_TRUE(Logged("recording will be stopped by timer"));
    ASSERT_TRUE(TornDown());
    EXPECT_EQ(Stored().size(), 1u);
}

// A save of the window reads first what another program changed since the
// last pass: an entry removed there is not written back.
TEST_F(TimerMode, SaveDoesNotBringBackWhatAnotherProgramRemoved)
{
    StartWith({Timer(start_, stop_ + 3600), Timer(start_ + kDay, stop_ + kDay, 0, 0, "later")});
    RunToStart(start_);
    ASSERT_TRUE(Started());
    Store({Timer(start_, stop_ + 3600)}); // --remove-timer 2 meanwhile
    dlg_->OnStop();                       // deactivates the current entry and saves, before any pass
    ASSERT_TRUE(TornDown());
    const std::vector<CTimerEntry> stored = Stored();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].m_timeStart.GetTime(), start_);
    EXPECT_EQ(stored[0].m_bActive, 0);
    EXPECT_TRUE(Logged("timer settings reloaded"));
}

// A store that did not load whole: timer mode records what it could read,
// but keeps the damaged file aside, saying so, before its first save.
TEST_F(TimerMode, DamagedStoreIsKeptAsideBeforeTheFirstSave)
{
    Store({Timer(start_, stop_), Timer(start_ + kDay, stop_ + kDay, 0, 0, "later")});
    std::vector<uint8_t> damaged = ReadBytes(dir_ / "timer.db");
    damaged[8] = 3;                                  // three entries announced ...
    damaged.insert(damaged.end(), {kChannel, 0, 0}); // ... the third cut off
    std::ofstream(dir_ / "timer.db", std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char *>(damaged.data()), static_cast<std::streamsize>(damaged.size()));
    app_.m_bTimerEnabled = 1;
    CRecorderDlg::Setup setup;
    setup.makeReceiver = MakeScriptedReceiver;
    Start(std::move(setup));
    ASSERT_EQ(dlg_->Timers().GetCount(), 2);

    RunToStart(start_);
    const Lines all = AllLog();
    const auto holding = [&](const std::string &text) {
        return std::find_if(all.begin(), all.end(),
                            [&](const std::string &line) { return line.find(text) != std::string::npos; });
    };
    EXPECT_NE(holding((dir_ / "timer.db").string() + ": timer entry 3 of 3 is incomplete"), all.end());
    const std::string keptAs = "the damaged timer store is kept as ";
    const auto kept = holding(keptAs);
    ASSERT_NE(kept, all.end());
    EXPECT_LT(kept - all.begin(),
              std::find(all.begin(), all.end(), "channel switched - recording will be started in 9 seconds") -
                  all.begin());
    const size_t name = kept->find(keptAs) + keptAs.size();
    EXPECT_EQ(ReadBytes(kept->substr(name, kept->find(';') - name)), damaged);
    ASSERT_TRUE(Started());
    Pass(stop_);
    ASSERT_TRUE(TornDown());
    ASSERT_EQ(Stored().size(), 1u);
    EXPECT_EQ(Stored()[0].m_strFileName, (dir_ / "later").string());
    EXPECT_EQ(Count(*kept), 1) << "kept aside once";
}

// A relative name in the store records into the folder of the stored file
// name, not into the working directory.
TEST_F(TimerMode, RelativeFileNameRecordsIntoTheRecordingsFolder)
{
    CTimerEntry relative = Timer(start_, stop_);
    relative.m_strFileName = "news";
    StartWith({relative});
    Pass(start_ - 10);
    ASSERT_NE(dlg_->CurrentTimer(), nullptr);
    EXPECT_EQ(dlg_->Control(ControlId::FileName).text, (dir_ / "news").string());
}

TEST_F(TimerMode, NotSwitchedOnWhileARecordingRuns)
{
    Start();
    dlg_->OnRecord();
    ASSERT_TRUE(Started());
    dlg_->SetTimerMode(true);
    EXPECT_FALSE(dlg_->TimerModeOn());
    EXPECT_FALSE(dlg_->MenuItem(MenuItemId::TimerEnable).checked);
    EXPECT_FALSE(Logged("timer enabled"));
    EXPECT_EQ(app_.m_bTimerEnabled, 0u);
    dlg_->OnStop();
    ASSERT_TRUE(TornDown());
}

} // namespace
