#include "timers/CTimerList.h"

#include "TimerTestSupport.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace quelmar {
namespace {

using testing::BerlinClockTest;
using testing::LocalTime;
using testing::MakeEntry;

constexpr uint8_t kDaily = 0x7F;
constexpr uint8_t kMondayOnly = 0x20;
constexpr uint8_t kWorkdays = 0x3E; // Monday to Friday

struct AdjustCase {
    const char *name;
    const char *now;
    const char *start;
    const char *stop;
    uint8_t days;
    const char *expectStart; // local time after Adjust
    const char *expectStop;
    bool expectResult;
};

class AdjustTest : public BerlinClockTest, public ::testing::WithParamInterface<AdjustCase> {};

TEST_P(AdjustTest, MovesToTheNextValidOccurrence)
{
    const AdjustCase &c = GetParam();
    SetNow(c.now);
    CTimerEntry entry = MakeEntry(c.start, c.stop, c.days);
    EXPECT_EQ(entry.Adjust(), c.expectResult);
    EXPECT_EQ(entry.m_timeStart.GetTime(), LocalTime(c.expectStart)) << entry.m_timeStart.Format("%c");
    EXPECT_EQ(entry.m_timeStop.GetTime(), LocalTime(c.expectStop)) << entry.m_timeStop.Format("%c");
}

INSTANTIATE_TEST_SUITE_P(
    Table, AdjustTest,
    ::testing::Values(
        // Moved by whole days only: the result stays false.
        AdjustCase{"DailyEndedMovesToTomorrow", "2026-03-02 21:00:30", "2026-03-02 20:00:00", "2026-03-02 21:00:00",
                   kDaily, "2026-03-03 20:00:00", "2026-03-03 21:00:00", false},
        AdjustCase{"DailyTenDaysOld", "2026-03-12 08:00:00", "2026-03-01 20:00:00", "2026-03-01 21:00:00", kDaily,
                   "2026-03-12 20:00:00", "2026-03-12 21:00:00", false},
        AdjustCase{"StopEqualToNowStays", "2026-03-02 21:00:00", "2026-03-02 20:00:00", "2026-03-02 21:00:00", kDaily,
                   "2026-03-02 20:00:00", "2026-03-02 21:00:00", false},
        // The weekday search moves an upcoming entry too.
        AdjustCase{"MondayOnlyOnWednesday", "2026-03-01 12:00:00", "2026-03-04 20:00:00", "2026-03-04 21:00:00",
                   kMondayOnly, "2026-03-09 20:00:00", "2026-03-09 21:00:00", true},
        AdjustCase{"WorkdaysEndedOnFriday", "2026-03-06 22:00:00", "2026-03-06 20:00:00", "2026-03-06 21:00:00",
                   kWorkdays, "2026-03-09 20:00:00", "2026-03-09 21:00:00", true},
        AdjustCase{"RunningInsideItsDays", "2026-03-02 20:30:00", "2026-03-02 20:00:00", "2026-03-02 21:00:00",
                   kMondayOnly, "2026-03-02 20:00:00", "2026-03-02 21:00:00", false},
        AdjustCase{"OneOffNeverMoves", "2026-03-09 12:00:00", "2026-03-02 20:00:00", "2026-03-02 21:00:00", 0x80,
                   "2026-03-02 20:00:00", "2026-03-02 21:00:00", false},
        // The weekday is the local one: 00:30 on Monday in Berlin is still
        // Sunday in UTC.
        AdjustCase{"LocalWeekdayNotUtc", "2026-03-01 12:00:00", "2026-03-02 00:30:00", "2026-03-02 01:30:00",
                   kMondayOnly, "2026-03-02 00:30:00", "2026-03-02 01:30:00", false},
        // Across the change to summer time (29 March 2026) a day stays
        // 86 400 seconds: 20:00 becomes 21:00 on the wall clock.
        AdjustCase{"SummerTimeKeepsSeconds", "2026-03-29 21:30:00", "2026-03-28 20:00:00", "2026-03-28 21:00:00",
                   kDaily, "2026-03-29 21:00:00", "2026-03-29 22:00:00", false}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(BerlinClockTest, SkipDayMovesOnAndReportsTheWeekdaySearch)
{
    SetNow("2026-03-02 21:00:00");
    CTimerEntry daily = MakeEntry("2026-03-02 20:00:00", "2026-03-02 21:00:00", kDaily);
    EXPECT_FALSE(daily.SkipDay());
    EXPECT_EQ(daily.m_timeStart.GetTime(), LocalTime("2026-03-03 20:00:00"));

    SetNow("2026-03-06 21:00:00");
    CTimerEntry workdays = MakeEntry("2026-03-06 20:00:00", "2026-03-06 21:00:00", kWorkdays);
    EXPECT_TRUE(workdays.SkipDay());
    EXPECT_EQ(workdays.m_timeStart.GetTime(), LocalTime("2026-03-09 20:00:00"));
}

// Times from a damaged file may lie at the ends of the 32-bit range: moving
// them must neither overflow nor loop.
TEST_F(BerlinClockTest, AdjustLeavesEntriesThatWouldLeaveTheTimeRange)
{
    constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
    constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
    SetNow("2026-03-02 12:00:00");
    struct {
        int32_t start, stop;
        uint8_t days;
    } cases[] = {{kMax - 100, kMax - 50, 0x01}, {0, kMin, kDaily}, {kMax, kMin, kMondayOnly}};
    for (const auto &c : cases) {
        CTimerEntry entry;
        entry.m_timeStart = CTime(c.start);
        entry.m_timeStop = CTime(c.stop);
        entry.m_nDays = c.days;
        EXPECT_FALSE(entry.Adjust());
        EXPECT_EQ(entry.m_timeStart.GetTime(), c.start);
        EXPECT_EQ(entry.m_timeStop.GetTime(), c.stop);
    }
    CTimerEntry last;
    last.m_timeStart = CTime(kMax - 100);
    last.m_timeStop = CTime(kMax - 50);
    last.m_nDays = kDaily;
    EXPECT_FALSE(last.SkipDay());
    EXPECT_EQ(last.m_timeStop.GetTime(), kMax - 50);
}

TEST_F(BerlinClockTest, EntriesGetFreshIdsAndCopiesKeepThem)
{
    const CTimerEntry first;
    const CTimerEntry second;
    EXPECT_EQ(second.m_nId, first.m_nId + 1);
    EXPECT_EQ(first.m_bActive, 1);
    EXPECT_EQ(first.m_nChannel, 0);
    const CTimerEntry copy = second;
    EXPECT_EQ(copy.m_nId, second.m_nId);
}

struct FindCase {
    const char *name;
    int32_t lead;
    // Start and stop as offsets from now, active flag; in list order.
    std::vector<std::tuple<int32_t, int32_t, uint8_t>> entries;
    int expectActive;
    int expectNext;
};

class FindTest : public BerlinClockTest, public ::testing::WithParamInterface<FindCase> {};

TEST_P(FindTest, PicksTheEntryByTimesFlagAndListOrder)
{
    const FindCase &c = GetParam();
    constexpr int32_t kNow = 1'780'000'000;
    CTime::SetTestNow(kNow);
    CTimerList list;
    for (const auto &[start, stop, active] : c.entries) {
        CTimerEntry entry;
        entry.m_timeStart = CTime(kNow + start);
        entry.m_timeStop = CTime(kNow + stop);
        entry.m_bActive = active;
        list.AddCopy(entry);
    }
    EXPECT_EQ(list.FindActive(c.lead), c.expectActive);
    EXPECT_EQ(list.FindNext(), c.expectNext);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FindTest,
    ::testing::Values(FindCase{"Empty", 10, {}, -1, -1}, FindCase{"StartsAtTheLead", 10, {{10, 100, 1}}, 0, 0},
                      FindCase{"StartsAfterTheLead", 10, {{11, 100, 1}}, -1, 0},
                      FindCase{"StopReached", 10, {{-100, 0, 1}}, -1, -1},
                      FindCase{"LastSecondBeforeStop", 10, {{-100, 1, 1}}, 0, 0},
                      FindCase{"InactiveNeverFound", 10, {{-100, 100, 0}, {50, 100, 0}}, -1, -1},
                      FindCase{"TwoRunningFirstWins", 10, {{-50, 100, 1}, {-100, 100, 1}}, 0, 0},
                      FindCase{"SameStartFirstWins", 0, {{500, 900, 0}, {300, 900, 1}, {300, 600, 1}}, -1, 1},
                      FindCase{"NearestStartAnywhere", 0, {{900, 1000, 1}, {300, 400, 1}, {600, 700, 1}}, -1, 1},
                      FindCase{"RunningBeatsUpcoming", 0, {{5, 100, 1}, {-5, 100, 1}}, 1, 1},
                      FindCase{"StopNotAfterStartSkipped", 0, {{100, 100, 1}, {200, 150, 1}, {300, 400, 1}}, -1, 2},
                      FindCase{"ZeroLengthInItsLead", 10, {{5, 5, 1}}, 0, -1}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(BerlinClockTest, AdjustAllMovesEveryEntryInactiveOnesToo)
{
    SetNow("2026-03-01 12:00:00");
    CTimerList list;
    EXPECT_FALSE(list.AdjustAll());
    list.AddCopy(MakeEntry("2026-03-04 20:00:00", "2026-03-04 21:00:00", kMondayOnly, 0));
    list.AddCopy(MakeEntry("2026-03-04 08:00:00", "2026-03-04 09:00:00", kMondayOnly, 1));
    list.AddCopy(MakeEntry("2026-03-04 10:00:00", "2026-03-04 11:00:00", 0, 1));
    EXPECT_TRUE(list.AdjustAll());
    EXPECT_EQ(list.GetAt(0)->m_timeStart.GetTime(), LocalTime("2026-03-09 20:00:00"));
    EXPECT_EQ(list.GetAt(1)->m_timeStart.GetTime(), LocalTime("2026-03-09 08:00:00"));
    EXPECT_EQ(list.GetAt(2)->m_timeStart.GetTime(), LocalTime("2026-03-04 10:00:00"));
    EXPECT_FALSE(list.AdjustAll());
}

TEST(CTimerListTest, RemovingKeepsOrderAndOwnership)
{
    CTimerList list;
    CTimerEntry a, b, c;
    list.AddCopy(a);
    list.AddCopy(b);
    EXPECT_EQ(list.AddCopy(c), 2);
    EXPECT_EQ(list.AddCopy(b), 3); // a second copy with b's id
    EXPECT_EQ(list.GetAt(-1), nullptr);
    EXPECT_EQ(list.GetAt(4), nullptr);
    EXPECT_FALSE(list.RemoveAt(4));
    EXPECT_FALSE(list.RemoveAt(-1));

    const int32_t unknownId = c.m_nId + 1000;
    EXPECT_FALSE(list.RemoveById(unknownId));
    EXPECT_EQ(list.GetCount(), 4);

    const CTimerEntry *firstB = list.GetAt(1);
    EXPECT_TRUE(list.RemoveById(b.m_nId)); // the last one with the id goes
    ASSERT_EQ(list.GetCount(), 3);
    EXPECT_EQ(list.GetAt(1), firstB);
    EXPECT_EQ(list.IndexOf(firstB), 1);

    EXPECT_TRUE(list.RemoveAt(0));
    EXPECT_EQ(list.GetAt(0)->m_nId, b.m_nId);
    EXPECT_EQ(list.GetAt(1)->m_nId, c.m_nId);
    list.RemoveAll();
    EXPECT_EQ(list.GetCount(), 0);
    EXPECT_EQ(list.IndexOf(firstB), -1);
}

} // namespace
} // namespace quelmar
