#include "timers/ShutdownSequence.h"

#include "TimerTestSupport.h"
#include "platform/testing/FakeSystemPower.h"
#include "platform/testing/TestFiles.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace quelmar {
namespace {

namespace fs = std::filesystem;
using testing::BerlinClockTest;
using testing::LocalTime;
using testing::MakeEntry;
using Events = std::vector<std::string>;

constexpr uint32_t kRefusal = 1234;

using FakePower = testing::FakeSystemPower;

struct Row {
    const char *name;
    std::optional<int> platformId;
    bool sessionOpens;
    bool mayPowerOff;
    uint32_t refusal;
    Events events; // after "sending shut down sequence..."; [wake] only in the timer variant
    bool closesAfterManual;
    bool closesAfterTimer;
};

class ShutdownTableTest : public ::testing::TestWithParam<std::tuple<Row, ShutdownVariant>> {};

TEST_P(ShutdownTableTest, StepsLinesAndClosing)
{
    const auto &[row, variant] = GetParam();
    Events events;
    FakePower power(events);
    power.platformId = row.platformId;
    power.sessionOpens = row.sessionOpens;
    power.mayPowerOff = row.mayPowerOff;
    power.refusal = row.refusal;
    ShutdownHooks hooks;
    hooks.log = [&](const std::string &line) { events.push_back(line); };
    hooks.switchOffReceiver = [&] { events.push_back("[receiver off]"); };
    hooks.showLog = [&] { events.push_back("[shown]"); };
    hooks.setWakeUp = [&] { events.push_back("[wake]"); };

    const bool closes = ShutdownSystem(variant, power, hooks);

    Events expected = {"[receiver off]", "sending shut down sequence...", "[shown]"};
    for (const std::string &event : row.events)
        if (event != "[wake]" || variant == ShutdownVariant::Timer)
            expected.push_back(event);
    EXPECT_EQ(events, expected);
    EXPECT_EQ(closes, variant == ShutdownVariant::Manual ? row.closesAfterManual : row.closesAfterTimer);
}

const Row kRows[] = {
    {"VersionQueryFailsAccepted",
     std::nullopt,
     true,
     true,
     0,
     {"Error while retrieving OS-Version!", "[priority]", "[wake]", "[request]",
      "shutting down and switching off system..."},
     true,
     true},
    {"VersionQueryFailsRefused",
     std::nullopt,
     true,
     true,
     kRefusal,
     {"Error while retrieving OS-Version!", "[priority]", "[wake]", "[request]",
      "shutting down failed with error 1234!"},
     true,
     false},
    {"TokenCannotBeOpened",
     kPlatformIdNt,
     false,
     true,
     0,
     {"[open]", "Error while opening process token!", "shutting down failed!!!"},
     true,
     false},
    {"PrivilegeCannotBeEnabled",
     kPlatformIdNt,
     true,
     false,
     0,
     {"[open]", "[may]", "Error while adjusting token privileges!", "shutting down failed!!!"},
     true,
     false},
    {"RequestRefused",
     kPlatformIdNt,
     true,
     true,
     kRefusal,
     {"[open]", "[may]", "[priority]", "[wake]", "[request]", "shutting down failed with error 1234!"},
     true,
     false},
    {"RequestAccepted",
     kPlatformIdNt,
     true,
     true,
     0,
     {"[open]", "[may]", "[priority]", "[wake]", "[request]", "shutting down and switching off system..."},
     true,
     true},
    // Other families have no token: the request follows the priority change.
    {"OtherFamilySkipsThePrivilege",
     kPlatformIdOther,
     false,
     false,
     0,
     {"[priority]", "[wake]", "[request]", "shutting down and switching off system..."},
     true,
     true},
};

INSTANTIATE_TEST_SUITE_P(Table, ShutdownTableTest,
                         ::testing::Combine(::testing::ValuesIn(kRows),
                                            ::testing::Values(ShutdownVariant::Manual, ShutdownVariant::Timer)),
                         [](const auto &info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) == ShutdownVariant::Manual ? "Manual" : "Timer");
                         });

TEST(ShutdownSequenceTest, WithoutReceiverTheRestRunsUnchanged)
{
    Events events;
    FakePower power(events);
    ShutdownHooks hooks;
    hooks.log = [&](const std::string &line) { events.push_back(line); };
    EXPECT_TRUE(ShutdownSystem(ShutdownVariant::Timer, power, hooks));
    EXPECT_EQ(events, Events({"sending shut down sequence...", "[open]", "[may]", "[priority]", "[request]",
                              "shutting down and switching off system..."}));
}

// A stand-in for /sys: class/rtc/rtc0 is a link into devices/, as on a real
// system, and the attribute a regular file.
class WakeUpTest : public BerlinClockTest {
protected:
    void SetUp() override
    {
        BerlinClockTest::SetUp();
        dir_ = testing::ScratchDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
        root_ = dir_ / "sys";
        fs::create_directories(root_ / "devices" / "rtc0");
        fs::create_directories(root_ / "class" / "rtc");
        fs::create_directory_symlink("../../devices/rtc0", root_ / "class" / "rtc" / "rtc0");
        std::ofstream(root_ / "devices" / "rtc0" / "wakealarm").flush();
        SetNow("2026-03-02 21:00:00");
    }
    void TearDown() override
    {
        fs::remove_all(dir_);
        BerlinClockTest::TearDown();
    }
    std::string Alarm() { return testing::ReadText(root_ / "devices" / "rtc0" / "wakealarm"); }
    void SetWakeUp()
    {
        SetWakeUpForNextTimer(timers_, RtcWakeAlarm(root_.string()),
                              [&](const std::string &line) { lines_.push_back(line); });
    }

    fs::path dir_;
    fs::path root_;
    CTimerList timers_;
    Events lines_;
};

TEST_F(WakeUpTest, SetTwoMinutesBeforeTheNextActiveTimer)
{
    timers_.AddCopy(MakeEntry("2026-03-03 06:00:00", "2026-03-03 07:00:00", 0, 0)); // inactive
    timers_.AddCopy(MakeEntry("2026-03-03 20:15:00", "2026-03-03 21:00:00"));
    timers_.AddCopy(MakeEntry("2026-03-03 08:00:00", "2026-03-03 09:00:00"));
    SetWakeUp();
    const int32_t wake = LocalTime("2026-03-03 07:58:00");
    EXPECT_EQ(Alarm(), std::to_string(wake));
    EXPECT_EQ(lines_, Events({"wake-up set for " + CTime(wake).Format("%A, %B %d, %Y, %X")}));
}

TEST_F(WakeUpTest, RepeatingEntriesAreMovedOnFirst)
{
    // Ended an hour ago; moved on to tomorrow's 20:00 before the search.
    timers_.AddCopy(MakeEntry("2026-03-02 19:00:00", "2026-03-02 20:00:00", 0x7F));
    SetWakeUp();
    EXPECT_EQ(Alarm(), std::to_string(LocalTime("2026-03-03 18:58:00")));
}

TEST_F(WakeUpTest, NothingSetWithoutAFutureWakeUp)
{
    struct {
        const char *name;
        std::vector<CTimerEntry> entries;
        const char *line;
    } cases[] = {
        {"none", {}, "wake-up not set: no active timer follows"},
        {"only past one-off",
         {MakeEntry("2026-03-02 19:00:00", "2026-03-02 20:00:00")},
         "wake-up not set: no active timer follows"},
        {"due within the lead",
         {MakeEntry("2026-03-02 21:01:30", "2026-03-02 22:00:00")},
         "wake-up not set: the next timer recording is due within 120 seconds"},
    };
    for (const auto &c : cases) {
        timers_.RemoveAll();
        lines_.clear();
        for (const CTimerEntry &entry : c.entries)
            timers_.AddCopy(entry);
        SetWakeUp();
        EXPECT_EQ(Alarm(), "") << c.name;
        EXPECT_EQ(lines_, Events({c.line})) << c.name;
    }
}

// A power-off would miss a timer that starts before the machine could be
// woken for it.
TEST_F(WakeUpTest, NextTimerWithinTheLeadIsTold)
{
    struct {
        const char *name;
        std::vector<CTimerEntry> entries;
        std::optional<const char *> told; // local start, or nothing
    } cases[] = {
        {"none", {}, std::nullopt},
        {"exactly the lead ahead", {MakeEntry("2026-03-02 21:02:00", "2026-03-02 22:00:00")}, "2026-03-02 21:02:00"},
        {"a second more", {MakeEntry("2026-03-02 21:02:01", "2026-03-02 22:00:00")}, std::nullopt},
        {"running now", {MakeEntry("2026-03-02 20:59:00", "2026-03-02 22:00:00")}, "2026-03-02 20:59:00"},
        {"inactive", {MakeEntry("2026-03-02 21:01:00", "2026-03-02 22:00:00", 0, 0)}, std::nullopt},
        // Ended a minute ago: moved on to tomorrow, far ahead.
        {"daily just ended", {MakeEntry("2026-03-02 20:00:00", "2026-03-02 20:59:00", 0x7F)}, std::nullopt},
    };
    for (const auto &c : cases) {
        timers_.RemoveAll();
        for (const CTimerEntry &entry : c.entries)
            timers_.AddCopy(entry);
        const auto told = NextTimerWithinWakeUpLead(timers_);
        ASSERT_EQ(told.has_value(), c.told.has_value()) << c.name;
        if (told) {
            EXPECT_EQ(told->GetTime(), LocalTime(*c.told)) << c.name;
        }
    }
}

// The program may run as root: the attribute is written only where it
// really lies inside the clock's folder, and never created.
TEST_F(WakeUpTest, PlantedPathsAreRefused)
{
    timers_.AddCopy(MakeEntry("2026-03-03 08:00:00", "2026-03-03 09:00:00"));
    const fs::path attribute = root_ / "devices" / "rtc0" / "wakealarm";
    const fs::path outside = dir_ / "precious";
    std::ofstream(outside) << "keep";
    struct {
        const char *name;
        std::function<void()> plant;
        const char *reason;
    } cases[] = {
        {"link to a file outside", [&] { fs::create_symlink(outside, attribute); }, "is a symbolic link"},
        {"fifo", [&] { mkfifo(attribute.c_str(), 0600); }, "not a regular file"},
        {"missing", [] {}, "No such file or directory"},
        // Last: it moves the clock's folder out of the root.
        {"folder link leading outside",
         [&] {
             fs::remove(root_ / "class" / "rtc" / "rtc0");
             fs::create_directories(dir_ / "out" / "rtc0");
             fs::rename(outside, dir_ / "out" / "rtc0" / "wakealarm");
             fs::create_directory_symlink(dir_ / "out" / "rtc0", root_ / "class" / "rtc" / "rtc0");
         },
         "leads outside"},
    };
    for (const auto &c : cases) {
        fs::remove(attribute);
        c.plant();
        lines_.clear();
        SetWakeUp();
        ASSERT_EQ(lines_.size(), 1u) << c.name;
        EXPECT_EQ(lines_[0].rfind("wake-up could not be set: ", 0), 0u) << lines_[0];
        EXPECT_NE(lines_[0].find(c.reason), std::string::npos) << c.name << ": " << lines_[0];
        EXPECT_FALSE(fs::exists(attribute) && fs::is_regular_file(fs::symlink_status(attribute))) << c.name;
    }
    EXPECT_EQ(testing::ReadText(dir_ / "out" / "rtc0" / "wakealarm"), "keep");
}

// The whole timer-variant sequence with the wake-up wired as the controller
// wires it.
TEST_F(WakeUpTest, TimerShutdownSetsTheWakeUpBeforeTheRequest)
{
    timers_.AddCopy(MakeEntry("2026-03-03 08:00:00", "2026-03-03 09:00:00"));
    FakePower power(lines_);
    ShutdownHooks hooks;
    hooks.log = [&](const std::string &line) { lines_.push_back(line); };
    hooks.setWakeUp = [&] { SetWakeUp(); };
    EXPECT_TRUE(ShutdownSystem(ShutdownVariant::Timer, power, hooks));
    const int32_t wake = LocalTime("2026-03-03 07:58:00");
    EXPECT_EQ(lines_, Events({"sending shut down sequence...", "[open]", "[may]", "[priority]",
                              "wake-up set for " + CTime(wake).Format("%A, %B %d, %Y, %X"), "[request]",
                              "shutting down and switching off system..."}));
    EXPECT_EQ(Alarm(), std::to_string(wake));
}

} // namespace
} // namespace quelmar
