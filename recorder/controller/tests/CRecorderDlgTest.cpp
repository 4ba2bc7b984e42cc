// The main window without a recording: bring-up, settings on the controls,
// menu commands, speed test, bus rescan, supervision and closing while idle.
#include "controller/tests/ControllerFixture.h"

#include "controller/OutputFileChecks.h"
#include "platform/testing/FakeSystemPower.h"
#include "platform/testing/ScopedLocale.h"

#include <sys/stat.h>

#include <fstream>

using namespace quelmar;
using namespace quelmar::testing;
using Lines = std::vector<std::string>;

namespace {

const std::string kFound23 = "libquelmarscsi.so found: Version 23";
const std::string kMuxFound = "libremuxer.so found: Version 1.25, Build #1";

// ---- bring-up -------------------------------------------------------------------

struct BringUpCase {
    const char *name;
    uint32_t status;
    uint32_t version;
    Mux mux;
    Lines lines;
};

class BringUp : public ControllerTest, public ::testing::WithParamInterface<BringUpCase> {};

TEST_P(BringUp, LogsWhatItFound)
{
    script_.status = GetParam().status;
    script_.version = GetParam().version;
    Start(GetParam().mux);
    EXPECT_EQ(Log(), GetParam().lines);
    const bool found = GetParam().status == DVB_STATUS_FOUND || GetParam().status == DVB_STATUS_FOUND_OLD;
    EXPECT_EQ(dlg_->ReceiverReady(), found);
    EXPECT_EQ(dlg_->Control(ControlId::Record).enabled, found);
    EXPECT_EQ(dlg_->TopMenuEnabled(TopMenu::ScsiMode), true);
    EXPECT_EQ(dlg_->TopMenuEnabled(TopMenu::Timer), found);
    EXPECT_EQ(dlg_->MenuItem(MenuItemId::RescanBus).enabled, !found);
    EXPECT_EQ(dlg_->MenuItem(MenuItemId::SpeedTest).enabled, found);
    EXPECT_EQ(ticks_.Running(), found);
    const bool mux = GetParam().mux == Mux::Ready;
    EXPECT_EQ(dlg_->Control(ControlId::AudioChoice).items.size(), mux ? 3u : 2u);
    EXPECT_EQ(dlg_->Control(ControlId::VideoChoice).items.size(), mux ? 3u : 2u);
    EXPECT_EQ(dlg_->Control(ControlId::MuxChoice).enabled, mux && found);
    EXPECT_EQ(dlg_->Control(ControlId::Pause).enabled, mux && found);
}

INSTANTIATE_TEST_SUITE_P(
    EveryStatus, BringUp,
    ::testing::Values(
        BringUpCase{"LibraryMissing",
                    ReceiverLibrary::kLibraryMissing,
                    0,
                    Mux::Ready,
                    {"libquelmarscsi.so not found! You need Version 23 or newer!", kMuxFound}},
        BringUpCase{"WrongApi",
                    ReceiverLibrary::kEntryMissing,
                    23,
                    Mux::TooOld,
                    {"libquelmarscsi.so found: Version -1",
                     "libquelmarscsi.so has a wrong API! You need Version 22 or later for this release!",
                     "libremuxer.so found: Version 1.24, Build #1", "libremuxer.so to old or incompatible!",
                     "You need Version 1.25 or newer! Switched to raw mode!"}},
        BringUpCase{"TooOld",
                    ReceiverLibrary::kVersionTooOld,
                    22,
                    Mux::Incomplete,
                    {"libquelmarscsi.so found: Version 22",
                     "libquelmarscsi.so is to old! You need Version 22 or later for this release!",
                     "libremuxer.so could not be initialized! Switched to raw mode!"}},
        BringUpCase{"AspiNotInstalled",
                    DVB_ASPI_SUPPORT_FAIL,
                    23,
                    Mux::Missing,
                    {"ASPI-layer not properly installed!", kFound23, "libremuxer.so not found! Switched to raw mode!"}},
        BringUpCase{"AspiIncomplete",
                    DVB_ASPI_ENTRY_MISSING,
                    23,
                    Mux::Ready,
                    {"ASPI-layer could not be initialized!", kFound23, kMuxFound}},
        BringUpCase{
            "AspiMissing", DVB_ASPI_NOT_LOADED, 23, Mux::Ready, {"ASPI-layer not present!", kFound23, kMuxFound}},
        BringUpCase{"NoReceiver",
                    DVB_STATUS_NONE,
                    23,
                    Mux::Ready,
                    {"ASPI-layer detected", kFound23,
                     "Quelmar could not be found! Ckeck connections and/or rescan SCSI-Bus!", kMuxFound}},
        BringUpCase{"Found",
                    DVB_STATUS_FOUND,
                    23,
                    Mux::Missing,
                    {"ASPI-layer detected", kFound23, "Quelmar found on host adapter 1, id 3, firmware revision 2.17",
                     "libremuxer.so not found! Switched to raw mode!"}},
        BringUpCase{"FoundOlder",
                    DVB_STATUS_FOUND_OLD,
                    23,
                    Mux::Ready,
                    {"ASPI-layer detected", kFound23, "Quelmar found on host adapter 1, id 3, firmware revision 2.17",
                     kMuxFound}}),
    [](const auto &info) { return std::string(info.param.name); });

class Firmware : public ControllerTest, public ::testing::WithParamInterface<std::pair<uint16_t, bool>> {};

TEST_P(Firmware, WarnsOutside217To221)
{
    script_.firmware = GetParam().first;
    Start();
    const auto log = Log();
    const bool warned = std::count(log.begin(), log.end(), "You may experience problems using this firmware revision!");
    EXPECT_EQ(warned, GetParam().second);
    EXPECT_EQ(std::count(log.begin(), log.end(),
                         "You need SCSI rev. 2.17 to 2.21 of Quelmar! Try version 2.00.0 for example"),
              GetParam().second ? 1 : 0);
    EXPECT_TRUE(dlg_->ReceiverReady()); // used all the same
}

INSTANTIATE_TEST_SUITE_P(Revisions, Firmware,
                         ::testing::Values(std::pair<uint16_t, bool>{0x0216, true},
                                           std::pair<uint16_t, bool>{0x0217, false},
                                           std::pair<uint16_t, bool>{0x0221, false},
                                           std::pair<uint16_t, bool>{0x0222, true}));

TEST_F(ControllerTest, FoundLineIsShownAtOnce)
{
    Start();
    ASSERT_FALSE(view_.lastLineAtUpdate.empty());
    // Shown before the slower steps of the bring-up, not with them.
    EXPECT_EQ(view_.lastLineAtUpdate.front().substr(10),
              "Quelmar found on host adapter 1, id 3, firmware revision 2.17");
}

TEST_F(ControllerTest, TunedChannelIsFoundByTagAndName)
{
    script_.channels = {Channel("Eins", 1), Channel("Zwei", 2), Channel("Zwei", 3),
                        Channel("\xDC"
                                "ber 21\xB0",
                                4)};
    script_.current.channel = Channel("Zwei", 3);
    Start();
    EXPECT_EQ(dlg_->Control(ControlId::ChannelList).selection, 2);
    // Names arrive in the receiver's host codes and are shown as UTF-8.
    EXPECT_EQ(dlg_->Control(ControlId::ChannelList).items, (Lines{"Eins", "Zwei", "Zwei",
                                                                  "\xC3\x9C"
                                                                  "ber 21\xC2\xB0"}));

    // Same name, another tag: the first entry.
    script_.current.channel = Channel("Zwei", 9);
    dlg_->BringUpReceiver();
    EXPECT_EQ(dlg_->Control(ControlId::ChannelList).selection, 0);
    EXPECT_EQ(dlg_->Control(ControlId::ChannelList).items.size(), 4u); // built anew, not appended
}

TEST_F(ControllerTest, FailedTableReadLeavesEmptyNames)
{
    script_.tableReadFails = true;
    Start();
    EXPECT_EQ(dlg_->Control(ControlId::ChannelList).items, Lines(5, ""));
    EXPECT_TRUE(ticks_.Running());
}

TEST_F(ControllerTest, StartUpTakesTheSettings)
{
    app_.m_nScsiMode = 1;
    app_.m_nPriorityClass = 64;
    app_.m_bRemoteOff = 0;
    app_.m_bLogInfos = 1;
    app_.m_nSplitTime = 4440;
    app_.m_bSplitOnSize = 1;
    app_.m_nSplitSize = 700;
    app_.m_nVideoDelay = -250;
    app_.m_nSaveAudio = 2;
    app_.m_nSaveVideo = 1;
    app_.m_nSaveMux = 0;
    Start();
    EXPECT_TRUE(dlg_->MenuItem(MenuItemId::ScsiCheckCondition).checked);
    EXPECT_FALSE(dlg_->MenuItem(MenuItemId::ScsiAuto).checked);
    EXPECT_TRUE(dlg_->MenuItem(MenuItemId::PriorityIdle).checked);
    EXPECT_FALSE(dlg_->MenuItem(MenuItemId::RemoteDisable).checked);
    EXPECT_TRUE(dlg_->MenuItem(MenuItemId::LogInfos).checked);
    EXPECT_EQ(dlg_->Control(ControlId::SplitInterval).timeOfDay, 1 * 3600 + 14 * 60); // 01:14:00
    EXPECT_TRUE(dlg_->Control(ControlId::SplitOnSize).checked);
    EXPECT_EQ(dlg_->Control(ControlId::SplitSize).text, "700");
    EXPECT_EQ(dlg_->Control(ControlId::VideoDelay).text, "-250");
    EXPECT_EQ(dlg_->Control(ControlId::FileName).text, app_.m_strFile);
    EXPECT_EQ(dlg_->Control(ControlId::AudioChoice).selection, 2);
    EXPECT_EQ(dlg_->Control(ControlId::VideoChoice).selection, 1);
    EXPECT_TRUE(script_.Called("scsi 1"));
    // The view was told everything it shows.
    EXPECT_EQ(view_.controls.size(), std::size(kAllControls));
    EXPECT_EQ(view_.controls[ControlId::SplitSize].text, "700");
}

// ---- recording settings while idle --------------------------------------------------

TEST_F(ControllerTest, SplitSizeAndVideoDelayFieldsClampOrRefuse)
{
    Start();
    struct Case {
        bool size;
        const char *typed;
        const char *shown; // nullptr: refused
    } cases[] = {
        {true, "0", "5"},          {true, "3", "5"},        {true, "4096", "4096"},    {true, "abc", nullptr},
        {true, "-1", nullptr},     {false, "2000", "1000"}, {false, "-1500", "-1000"}, {false, " 40 ", "40"},
        {false, "40000", nullptr}, {false, "1e3", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.typed);
        const uint32_t sizeBefore = app_.m_nSplitSize;
        const int32_t delayBefore = app_.m_nVideoDelay;
        view_.messages.clear();
        if (c.size)
            dlg_->OnSplitSizeKillFocus(c.typed);
        else
            dlg_->OnVideoDelayKillFocus(c.typed);
        const ControlId field = c.size ? ControlId::SplitSize : ControlId::VideoDelay;
        if (c.shown) {
            EXPECT_TRUE(view_.messages.empty());
            EXPECT_EQ(dlg_->Control(field).text, c.shown);
            if (c.size)
                EXPECT_EQ(std::to_string(app_.m_nSplitSize), c.shown);
            else
                EXPECT_EQ(std::to_string(app_.m_nVideoDelay), c.shown);
        } else {
            ASSERT_EQ(view_.messages.size(), 1u);
            EXPECT_EQ(view_.messages[0].text, c.size ? "Please enter a positive integer." : "Please enter an integer.");
            EXPECT_EQ(app_.m_nSplitSize, sizeBefore);
            EXPECT_EQ(app_.m_nVideoDelay, delayBefore);
            // The field keeps the typed text until it holds a number again.
            c.size ? dlg_->OnSplitSizeKillFocus(std::to_string(sizeBefore))
                   : dlg_->OnVideoDelayKillFocus(std::to_string(delayBefore));
        }
    }
    EXPECT_EQ(dlg_->SplitSizeMb(), 4096u);
}

TEST_F(ControllerTest, SplitIntervalNeverBelowFiveSeconds)
{
    Start();
    dlg_->OnSplitIntervalChanged(3);
    EXPECT_EQ(dlg_->Control(ControlId::SplitInterval).timeOfDay, 5);
    EXPECT_EQ(app_.m_nSplitTime, 5u);
    EXPECT_EQ(dlg_->Context().splitTime.load(), 5u);
    dlg_->OnSplitOnTimeClicked(false);
    EXPECT_EQ(dlg_->Control(ControlId::TimeSinceSplit).text, "hh:mm:ss");
    EXPECT_EQ(app_.m_bSplitOnTime, 0u);
}

TEST_F(ControllerTest, StreamChoicesDecideDelayFieldAndSplitOnTime)
{
    Start();
    struct Case {
        ControlId list;
        int index;
        bool delay, splitOnTime;
    } steps[] = {
        {ControlId::MuxChoice, 0, false, false},  // raw video, raw audio, no multiplex
        {ControlId::AudioChoice, 2, false, true}, // audio as mp2/ac3
        {ControlId::VideoChoice, 2, true, true},  // both elementary
        {ControlId::AudioChoice, 0, false, true}, //
        {ControlId::MuxChoice, 1, true, true},    // the program stream
    };
    for (const auto &s : steps) {
        dlg_->OnStreamChoiceChanged(s.list, s.index);
        EXPECT_EQ(dlg_->Control(ControlId::VideoDelay).enabled, s.delay);
        EXPECT_EQ(dlg_->Control(ControlId::SplitOnTime).enabled, s.splitOnTime);
        EXPECT_EQ(dlg_->Control(ControlId::SplitInterval).enabled, s.splitOnTime);
    }
    EXPECT_EQ(app_.m_nSaveAudio, 0);
    EXPECT_EQ(app_.m_nSaveVideo, 2);
    EXPECT_EQ(app_.m_nSaveMux, 1);
}

TEST_F(ControllerTest, ChannelSelectionTunesAndRearmsSupervision)
{
    Start();
    const int startsBefore = ticks_.Starts();
    dlg_->OnChannelSelected(4);
    EXPECT_TRUE(script_.Called("channel 5"));
    EXPECT_EQ(ticks_.Starts(), startsBefore + 1);
    EXPECT_EQ(dlg_->Control(ControlId::ChannelList).selection, 4);
}

TEST_F(ControllerTest, StopTimePickerMeansTodayOrTomorrow)
{
    Start();
    dlg_->OnStopTimeChanged(8 * 3600); // 08:00 picked at 09:00: tomorrow
    EXPECT_EQ(dlg_->StopTime().GetTime(), kMonday0900 + 23 * 3600);
    dlg_->OnStopTimeChanged(10 * 3600); // 10:00: today
    EXPECT_EQ(dlg_->StopTime().GetTime(), kMonday0900 + 3600);
    dlg_->OnStopTimeChanged(8 * 3600);
    dlg_->OnStopAtClicked(true); // the picker shows a past time: half an hour from now
    EXPECT_EQ(dlg_->StopTime().GetTime(), kMonday0900 + 1800);
    EXPECT_EQ(dlg_->Control(ControlId::StopTime).timeOfDay, 9 * 3600 + 1800);
    EXPECT_TRUE(dlg_->Control(ControlId::ShutdownBox).enabled);
    dlg_->OnShutdownBoxClicked(true);
    dlg_->OnStopAtClicked(false);
    EXPECT_FALSE(dlg_->Control(ControlId::ShutdownBox).checked);
    EXPECT_FALSE(dlg_->Control(ControlId::StopTime).enabled);
}

// ---- menu commands -------------------------------------------------------------------

TEST_F(ControllerTest, ScsiModeItemsCheckOneStoreAndSend)
{
    Start();
    dlg_->OnMenuCommand(MenuItemId::ScsiBusy);
    EXPECT_TRUE(dlg_->MenuItem(MenuItemId::ScsiBusy).checked);
    EXPECT_FALSE(dlg_->MenuItem(MenuItemId::ScsiAuto).checked);
    EXPECT_FALSE(dlg_->MenuItem(MenuItemId::ScsiCheckCondition).checked);
    EXPECT_EQ(app_.m_nScsiMode, 2u);
    EXPECT_TRUE(script_.Called("scsi 2"));

    script_.status = DVB_STATUS_NONE; // without a receiver only the mark and the setting change
    dlg_->BringUpReceiver();
    dlg_->OnMenuCommand(MenuItemId::ScsiCheckCondition);
    EXPECT_EQ(app_.m_nScsiMode, 1u);
    EXPECT_FALSE(script_.Called("scsi 1"));
}

TEST_F(ControllerTest, TogglesAndPriority)
{
    Start();
    dlg_->OnMenuCommand(MenuItemId::RemoteDisable); // idle: no receiver call
    EXPECT_EQ(app_.m_bRemoteOff, 0u);
    dlg_->OnMenuCommand(MenuItemId::PanicMode);
    dlg_->OnMenuCommand(MenuItemId::LogInfos);
    EXPECT_EQ(app_.m_bPanicMode, 1u);
    EXPECT_EQ(app_.m_bLogInfos, 1u);
    dlg_->OnMenuCommand(MenuItemId::LogInfos);
    EXPECT_EQ(app_.m_bLogInfos, 0u);
    EXPECT_FALSE(script_.Called("remote 0"));

    dlg_->OnMenuCommand(MenuItemId::PriorityHigh);
    EXPECT_TRUE(dlg_->MenuItem(MenuItemId::PriorityHigh).checked);
    EXPECT_FALSE(dlg_->MenuItem(MenuItemId::PriorityRealTime).checked);
    EXPECT_EQ(app_.m_nPriorityClass, 128u);
    EXPECT_EQ(priorities_.back(), PriorityClass::High);
}

TEST_F(ControllerTest, PanicModeNamesAfterChannelAndTime)
{
    CTime::SetTestNow(1796673909); // 7 December 2026, 20:05:09
    app_.m_bPanicMode = 1;
    app_.m_strFile = "/rec/old";
    script_.current.channel = Channel("A/B: 1", 5);
    Start();
    dlg_->OnTimer(kTimerSupervision);
    EXPECT_EQ(dlg_->Control(ControlId::FileName).text, "/rec/A_B_ 1, 07-12-2026, 20.05.09");
    EXPECT_EQ(app_.m_strFile, "/rec/A_B_ 1, 07-12-2026, 20.05.09");
    EXPECT_EQ(dlg_->Control(ControlId::Clock).text, "20:05:09");
    EXPECT_EQ(dlg_->Control(ControlId::Date).text, "Monday, 07. December 2026");
    EXPECT_EQ(PanicModeFileBase("old", "a\\b*c\"d?e<f>g|h", CTime(0)), "a_b_c_d_e_f_g_h, 01-01-1970, 00.00.00");
}

TEST_F(ControllerTest, SpeedTestShowsTheRate)
{
    struct Case {
        uint32_t status;
        int32_t ms;
        const char *text;
    } cases[] = {
        {DVB_STATUS_FOUND, 1000, "Transferrate: 5120.0 kb/s"},
        {DVB_STATUS_FOUND, 3, "Transferrate: 1706666.7 kb/s"},
        {DVB_STATUS_FOUND, 0, "Speed Test failed!"},
        {DVB_STATUS_NONE, 1000, "Speed Test failed!"},
    };
    // The rate keeps its decimal point under the user's locale too.
    ScopedLocale german(kGermanLocale);
    if (!german.Active())
        GTEST_SKIP() << kGermanLocale << " is not installed (scripts/install-deps generates it)";
    for (const auto &c : cases) {
        script_.status = c.status;
        script_.speedTestMs = c.ms;
        Start();
        dlg_->OnSpeedTest();
        ASSERT_EQ(view_.messages.size(), 1u);
        EXPECT_EQ(view_.messages[0].text, c.text);
        EXPECT_EQ(view_.messages[0].caption, "SCSI - Speed Test");
        view_.messages.clear();
    }
}

// ---- bus rescan ---------------------------------------------------------------------

TEST_F(ControllerTest, RescanOnNtFamilyGoesThroughTheLibrary)
{
    script_.status = DVB_STATUS_NONE;
    Start();
    dlg_->OnRescanBus();
    EXPECT_TRUE(script_.Called("rescan"));
    EXPECT_EQ(view_.cursor, (std::vector<bool>{true, false}));

    // Without a usable library the rescan is skipped, bring-up runs all the same.
    script_.status = ReceiverLibrary::kLibraryMissing;
    dlg_->BringUpReceiver();
    script_.calls.clear();
    script_.status = DVB_STATUS_FOUND;
    dlg_->OnRescanBus();
    EXPECT_FALSE(script_.Called("rescan"));
    EXPECT_TRUE(dlg_->ReceiverReady());
}

TEST_F(ControllerTest, RescanOnOtherFamilyRunsAndAwaitsTheHelper)
{
    script_.status = DVB_STATUS_NONE;
    Start();
    setenv("QUELMAR_OS_FAMILY", "9x", 1);
    dlg_->OnRescanBus(); // no helper program in its folder
    EXPECT_EQ(Log().back(), "could not run \"halvane\"!");
    EXPECT_EQ(view_.cursor, (std::vector<bool>{true, false}));

    // A helper that ends when the test lets it.
    const auto fifo = dir_ / "go";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    {
        std::ofstream(dir_ / "halvane") << "#!/bin/sh\nread line < '" << fifo.string() << "'\n";
    }
    std::filesystem::permissions(dir_ / "halvane", std::filesystem::perms::owner_all);
    setenv("QUELMAR_OS_FAMILY", "unknown", 1); // the version query fails: the helper is used
    dlg_->OnRescanBus();
    EXPECT_EQ(Log().back(), "Error while retrieving OS-Version!");
    EXPECT_EQ(view_.timers, (std::map<int, int>{{kTimerHelperWait, 100}}));
    EXPECT_FALSE(ticks_.Running()); // supervision stopped
    dlg_->OnTimer(kTimerHelperWait);
    EXPECT_EQ(view_.cursor.back(), true); // still running
    script_.status = DVB_STATUS_FOUND;
    std::ofstream(fifo) << "go\n";
    ASSERT_TRUE(RunUntil([&] {
        dlg_->OnTimer(kTimerHelperWait);
        return !view_.cursor.back();
    }));
    EXPECT_TRUE(dlg_->ReceiverReady());
    EXPECT_EQ(view_.timers.count(kTimerHelperWait), 0u);
    EXPECT_TRUE(ticks_.Running());
    unsetenv("QUELMAR_OS_FAMILY");
}

// ---- supervision and closing while idle -------------------------------------------------

TEST_F(ControllerTest, SupervisionFollowsTheTunedChannelUnlessDroppedDown)
{
    Start();
    script_.current.channel = Channel("Drei", 3);
    view_.droppedDown = true;
    dlg_->OnTimer(kTimerSupervision);
    EXPECT_EQ(dlg_->Control(ControlId::ChannelList).selection, 0);
    view_.droppedDown = false;
    dlg_->OnTimer(kTimerSupervision);
    EXPECT_EQ(dlg_->Control(ControlId::ChannelList).selection, 2);
    script_.current.channel = Channel("Unknown", 77);
    dlg_->OnTimer(kTimerSupervision);
    EXPECT_EQ(dlg_->Control(ControlId::ChannelList).selection, 0);
}

TEST_F(ControllerTest, SilentReceiverBringsUpAgain)
{
    Start();
    script_.current = DvbCurrentChannel{};
    script_.status = DVB_STATUS_NONE;
    dlg_->OnTimer(kTimerSupervision);
    const auto log = Log();
    EXPECT_NE(std::find(log.begin(), log.end(), "fatal error: Quelmar does not respond anymore!"), log.end());
    EXPECT_EQ(log.back(), kMuxFound);
    EXPECT_FALSE(dlg_->ReceiverReady());
    EXPECT_FALSE(ticks_.Running());
}

TEST_F(ControllerTest, PowerOffEscapeAndCloseWhileIdle)
{
    for (int way = 0; way < 3; ++way) {
        script_.calls.clear();
        view_.endDialogs = 0;
        Start();
        if (way == 0)
            dlg_->OnCancel(); // Power Off or Escape
        else if (way == 1)
            dlg_->OnClose();
        else
            dlg_->OnMenuCommand(MenuItemId::SystemClose);
        EXPECT_TRUE(script_.Called("special 2 ''"));
        EXPECT_FALSE(ticks_.Running());
        EXPECT_EQ(view_.endDialogs, 1);
        dlg_->OnCancel(); // ends once
        EXPECT_EQ(view_.endDialogs, 1);
    }
}

TEST_F(ControllerTest, TimerModeSwitchesControlsAndFrontPanel)
{
    Start();
    dlg_->OnTimerEnable();
    EXPECT_TRUE(dlg_->TimerModeOn());
    EXPECT_TRUE(dlg_->MenuItem(MenuItemId::TimerEnable).checked);
    EXPECT_TRUE(script_.Called("special 1 ' timer  '"));
    for (ControlId id : {ControlId::Record, ControlId::Pause, ControlId::AudioChoice, ControlId::ChannelList,
                         ControlId::Browse, ControlId::VideoDelay})
        EXPECT_FALSE(dlg_->Control(id).enabled);
    EXPECT_EQ(app_.m_bTimerEnabled, 1u);
    dlg_->OnTimerEnable();
    EXPECT_TRUE(script_.Called("special 1 ' ready  '"));
    EXPECT_TRUE(dlg_->Control(ControlId::Record).enabled);
    EXPECT_TRUE(dlg_->Control(ControlId::Pause).enabled);
    EXPECT_EQ(Log().back(), "timer disabled");
    EXPECT_EQ(app_.m_bTimerEnabled, 0u);
}

TEST_F(ControllerTest, TimerStoreAndNextTimerReport)
{
    std::filesystem::create_directories(dir_);
    std::ofstream(dir_ / "timer.db") << "\x01"; // shorter than its header
    Start();
    const auto loaded = Log();
    EXPECT_TRUE(std::any_of(loaded.begin(), loaded.end(), [&](const std::string &line) {
        return line.rfind((dir_ / "timer.db").string() + ": ", 0) == 0;
    })) << ::testing::PrintToString(loaded);

    CTimerList timers;
    timers.m_strPath = (dir_ / "timer.db").string();
    CTimerEntry news;
    news.m_nChannel = 2;
    news.m_timeStart = CTime(kMonday0900 + 3600);
    news.m_timeStop = CTime(kMonday0900 + 7200);
    news.m_bShutdown = 1;
    timers.AddCopy(news);
    TimerStoreError error;
    ASSERT_TRUE(timers.Save(error)) << error.text;
    app_.m_bTimerEnabled = 1;
    // With shut-downs, and with shut-downs switched off for the run (--no-shutdown).
    Lines events;
    FakeSystemPower power(events);
    for (SystemPower *withPower : {static_cast<SystemPower *>(&power), static_cast<SystemPower *>(nullptr)}) {
        CRecorderDlg::Setup setup;
        setup.makeReceiver = MakeScriptedReceiver;
        setup.makeRemuxer = [] { return MakeRemuxer(Mux::Ready); };
        setup.power = withPower;
        Start(std::move(setup));
        const auto log = Log();
        ASSERT_GE(log.size(), 3u);
        EXPECT_EQ(Lines(log.end() - 3, log.end()),
                  (Lines{"timer enabled", "next timer recording: Zwei, Monday, December 07, 2026, 10:00:00 to 11:00:00",
                         withPower ? "system will be shut down after this recording"
                                   : "system will not be shut down after this recording: shutting down is switched "
                                     "off for this run"}));
        EXPECT_EQ(dlg_->Timers().GetCount(), 1);
    }

    std::filesystem::remove(dir_ / "timer.db"); // missing: not an error
    app_.m_bTimerEnabled = 0;
    Start();
    dlg_->OnTimerEnable();
    EXPECT_EQ(Log().back(), "no active timer settings present");
    EXPECT_EQ(dlg_->Timers().GetCount(), 0);
}

} // namespace
