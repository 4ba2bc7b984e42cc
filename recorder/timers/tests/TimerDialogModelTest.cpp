// The Timer dialog's rules on its working copies, without widgets.
#include "timers/TimerDialogModel.h"

#include "TimerTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace quelmar {
namespace {

using testing::BerlinClockTest;
using testing::LocalTime;
using testing::MakeEntry;
using Texts = std::array<std::string, TimerDialogModel::kColumnCount>;

constexpr int32_t kHour = 3600;
constexpr int kMonday = 1;
constexpr int kWednesday = 3;
constexpr char kFolder[] = "/srv/rec"; // relative file names go here

class TimerDialogModelTest : public BerlinClockTest {
protected:
    void SetUp() override
    {
        BerlinClockTest::SetUp();
        SetNow("2026-03-02 12:00:00"); // a Monday
    }
    TimerDialogModel Open(int initialChannel = 0)
    {
        TimerDialogModel model(list_, {"Eins", "Zwei", "Drei"}, initialChannel);
        model.SetRecordingsFolder(kFolder);
        return model;
    }
    // The fields of an entry on `date` from `start` to `stop` (hours).
    static void Enter(TimerDialogModel &model, LocalDate date, int32_t start, int32_t stop, const char *file = "news")
    {
        model.fields.channel = 1;
        model.fields.date = date;
        model.fields.startTimeOfDay = start;
        model.fields.stopTimeOfDay = stop;
        model.fields.fileName = file;
    }
    std::vector<int32_t> Ids() const
    {
        std::vector<int32_t> ids;
        for (int i = 0; i < list_.GetCount(); ++i)
            ids.push_back(list_.GetAt(i)->m_nId);
        return ids;
    }

    CTimerList list_;
};

TEST_F(TimerDialogModelTest, OpensWithCopiesAndTheFieldsAtNow)
{
    list_.AddCopy(MakeEntry("2026-03-03 20:00:00", "2026-03-03 21:15:00", 0, 0));
    list_.GetAt(0)->m_nChannel = 3;
    list_.GetAt(0)->m_bShutdown = 1;
    const TimerDialogModel model = Open(2);
    ASSERT_EQ(model.Rows().size(), 1u);
    EXPECT_EQ(model.Rows()[0].entry.m_nId, list_.GetAt(0)->m_nId);
    EXPECT_FALSE(model.Rows()[0].checked);
    EXPECT_EQ(model.RowTexts(0), (Texts{"Drei", "03.03.2026", "20:00:00", "21:15:00", "", "yes"}));
    EXPECT_EQ(model.Selection(), -1);
    EXPECT_EQ(model.fields.channel, 2);
    EXPECT_EQ(model.fields.date, (LocalDate{2026, 3, 2}));
    EXPECT_EQ(model.fields.startTimeOfDay, 12 * kHour);
    EXPECT_EQ(model.fields.stopTimeOfDay, 12 * kHour);
}

TEST_F(TimerDialogModelTest, AddAcrossMidnightEndsOnTheNextDay)
{
    TimerDialogModel model = Open();
    Enter(model, {2026, 3, 10}, 23 * kHour + 1800, 1800);
    ASSERT_EQ(model.OnAdd(), TimerDialogModel::EditResult::Done);
    ASSERT_EQ(model.Rows().size(), 1u);
    const CTimerEntry &entry = model.Rows()[0].entry;
    EXPECT_EQ(entry.m_timeStart.GetTime(), LocalTime("2026-03-10 23:30:00"));
    EXPECT_EQ(entry.m_timeStop.GetTime(), LocalTime("2026-03-11 00:30:00"));
    EXPECT_EQ(entry.m_nChannel, 2);
    EXPECT_EQ(entry.m_bActive, 1);
    EXPECT_TRUE(model.Rows()[0].checked);
    EXPECT_EQ(model.Selection(), 0);
    EXPECT_EQ(model.RowTexts(0), (Texts{"Zwei", "10.03.2026", "23:30:00", "00:30:00", "/srv/rec/news", "no"}));
    EXPECT_EQ(list_.GetCount(), 0) << "the list changes only on Ok";
}

TEST_F(TimerDialogModelTest, AddMovesToTheFirstDayOfTheWeekdaysAndTheDateFollows)
{
    TimerDialogModel model = Open();
    Enter(model, {2026, 3, 4}, 20 * kHour, 21 * kHour); // a Wednesday
    model.fields.weekdays[kMonday] = true;
    model.fields.shutdown = true;
    ASSERT_EQ(model.OnAdd(), TimerDialogModel::EditResult::Done);
    const CTimerEntry &entry = model.Rows()[0].entry;
    EXPECT_EQ(entry.m_nDays, 0x20);
    EXPECT_EQ(entry.m_bShutdown, 1);
    EXPECT_EQ(entry.m_timeStart.GetTime(), LocalTime("2026-03-09 20:00:00"));
    EXPECT_EQ(model.fields.date, (LocalDate{2026, 3, 9}));

    // A click loads the copy back, weekdays included.
    model.fields = {};
    model.Select(0);
    model.OnClickList();
    EXPECT_EQ(model.fields.channel, 1);
    EXPECT_EQ(model.fields.date, (LocalDate{2026, 3, 9}));
    EXPECT_EQ(model.fields.stopTimeOfDay, 21 * kHour);
    EXPECT_TRUE(model.fields.shutdown);
    EXPECT_EQ(model.fields.fileName, "/srv/rec/news");
    for (int w = 0; w < TimerDialogModel::kDaysPerWeek; ++w)
        EXPECT_EQ(model.fields.weekdays[static_cast<size_t>(w)], w == kMonday) << w;
}

TEST_F(TimerDialogModelTest, SundayIsBitSixAndSaturdayBitZero)
{
    std::array<bool, TimerDialogModel::kDaysPerWeek> days{};
    days[0] = true;
    EXPECT_EQ(DaysMaskOf(days), 0x40);
    days = {};
    days[6] = true;
    EXPECT_EQ(DaysMaskOf(days), 0x01);
    days.fill(true);
    EXPECT_EQ(DaysMaskOf(days), 0x7F);
}

TEST_F(TimerDialogModelTest, UpdateKeepsTheIdAndChecksTheRowAgain)
{
    list_.AddCopy(MakeEntry("2026-03-03 20:00:00", "2026-03-03 21:00:00"));
    TimerDialogModel model = Open();
    model.Select(0);
    model.SetChecked(0, false);
    Enter(model, {2026, 3, 4}, 6 * kHour, 7 * kHour, "morning");
    model.fields.weekdays[kWednesday] = true;
    ASSERT_EQ(model.OnUpdate(), TimerDialogModel::EditResult::Done);
    EXPECT_TRUE(model.Rows()[0].checked);
    model.OnOK();
    ASSERT_EQ(list_.GetCount(), 1);
    const CTimerEntry &entry = *list_.GetAt(0);
    EXPECT_EQ(entry.m_bActive, 1);
    EXPECT_EQ(entry.m_strFileName, "/srv/rec/morning");
    EXPECT_EQ(entry.m_nDays, 0x08);
    EXPECT_EQ(entry.m_timeStart.GetTime(), LocalTime("2026-03-04 06:00:00"));
}

TEST_F(TimerDialogModelTest, NothingWithoutASelectionOrAChannel)
{
    list_.AddCopy(MakeEntry("2026-03-03 20:00:00", "2026-03-03 21:00:00"));
    TimerDialogModel model = Open();
    EXPECT_EQ(model.OnUpdate(), TimerDialogModel::EditResult::NothingSelected);
    EXPECT_FALSE(model.OnDelete());

    TimerDialogModel noChannels(list_, {}, 0);
    EXPECT_EQ(noChannels.fields.channel, -1);
    noChannels.Select(0);
    const CTimerEntry before = noChannels.Rows()[0].entry;
    EXPECT_EQ(noChannels.OnAdd(), TimerDialogModel::EditResult::NoChannel);
    EXPECT_EQ(noChannels.OnUpdate(), TimerDialogModel::EditResult::NoChannel);
    EXPECT_EQ(noChannels.Rows().size(), 1u);
    EXPECT_EQ(noChannels.Rows()[0].entry.m_timeStart.GetTime(), before.m_timeStart.GetTime());
}

TEST_F(TimerDialogModelTest, FileNameTheStoreCannotHoldIsRefusedWhereItIsEntered)
{
    TimerDialogModel model = Open();
    Enter(model, {2026, 3, 4}, 20 * kHour, 21 * kHour, "/srv/rec/Nachrichten \xE2\x9C\x93");
    std::string refusal;
    EXPECT_EQ(model.OnAdd(&refusal), TimerDialogModel::EditResult::FileNameRefused);
    EXPECT_TRUE(model.Rows().empty());
    EXPECT_NE(refusal.find("\"\xE2\x9C\x93\""), std::string::npos) << refusal;
    model.fields.fileName = "/srv/rec/\xC3\x9C"
                            "berblick \xE2\x82\xAC"; // Ü and € are Windows-1252
    EXPECT_EQ(model.OnAdd(&refusal), TimerDialogModel::EditResult::Done);
}

// What Add refuses with a message: names that would not record where they
// say, times that cannot be stored as entered, a one-off entry that is over.
struct AddCase {
    const char *name;
    LocalDate date;
    const char *start; // "HH:MM:SS"
    const char *stop;
    uint8_t days;
    const char *file;
    TimerDialogModel::EditResult result;
    const char *text; // Done: the stored stop and file as "YYYY-MM-DD HH:MM:SS file"; else part of the refusal
};

void PrintTo(const AddCase &c, std::ostream *os) { *os << c.name; }

int32_t Clock(const char *text)
{
    int h = 0, m = 0, s = 0;
    EXPECT_EQ(std::sscanf(text, "%d:%d:%d", &h, &m, &s), 3) << text;
    return h * kHour + m * 60 + s;
}

class TimerDialogAddTest : public TimerDialogModelTest, public ::testing::WithParamInterface<AddCase> {};

TEST_P(TimerDialogAddTest, StoresTheEntryAsEnteredOrRefusesIt)
{
    const AddCase &c = GetParam();
    TimerDialogModel model = Open();
    Enter(model, c.date, Clock(c.start), Clock(c.stop), c.file);
    for (int w = 0; w < TimerDialogModel::kDaysPerWeek; ++w)
        model.fields.weekdays[static_cast<size_t>(w)] = c.days & (1 << (6 - w));
    std::string refusal;
    ASSERT_EQ(model.OnAdd(&refusal), c.result) << refusal;
    if (c.result != TimerDialogModel::EditResult::Done) {
        EXPECT_NE(refusal.find(c.text), std::string::npos) << refusal;
        EXPECT_TRUE(model.Rows().empty());
        return;
    }
    const CTimerEntry &entry = model.Rows().at(0).entry;
    EXPECT_EQ(entry.m_timeStop.Format("%Y-%m-%d %H:%M:%S ") + entry.m_strFileName, c.text);
}

using Edit = TimerDialogModel::EditResult;

INSTANTIATE_TEST_SUITE_P(
    Table, TimerDialogAddTest,
    ::testing::Values(
        AddCase{"EmptyName", {2026, 3, 4}, "20:00:00", "21:00:00", 0, "", Edit::FileNameRefused, "is empty"},
        AddCase{
            "Folder", {2026, 3, 4}, "20:00:00", "21:00:00", 0, "/srv/rec/", Edit::FileNameRefused, "names a folder"},
        AddCase{"DotDot", {2026, 3, 4}, "20:00:00", "21:00:00", 0, "news/..", Edit::FileNameRefused, "names a folder"},
        AddCase{"StartTheClockSkips",
                {2026, 3, 29},
                "02:30:00",
                "04:00:00",
                0,
                "x",
                Edit::TimeRefused,
                "The start 29.03.2026 02:30:00 does not exist"},
        AddCase{"StopTheClockSkips",
                {2026, 3, 29},
                "01:00:00",
                "02:30:00",
                0,
                "x",
                Edit::TimeRefused,
                "The stop 29.03.2026 02:30:00 does not exist"},
        AddCase{"StartAfter2038",
                {2038, 1, 19},
                "05:00:00",
                "06:00:00",
                0,
                "x",
                Edit::TimeRefused,
                "The start 19.01.2038 05:00:00 cannot be stored"},
        AddCase{"StopAfter2038",
                {2038, 1, 19},
                "04:00:00",
                "04:30:00",
                0,
                "x",
                Edit::TimeRefused,
                "The stop 19.01.2038 04:30:00 cannot be stored"},
        AddCase{"Before1902",
                {1901, 12, 1},
                "20:00:00",
                "21:00:00",
                0x7F,
                "x",
                Edit::TimeRefused,
                "The start 01.12.1901 20:00:00 cannot be stored"},
        AddCase{"StopEqualsStart", {2026, 3, 4}, "20:00:00", "20:00:00", 0, "x", Edit::TimeRefused, "equals the start"},
        AddCase{"OneOffOver",
                {2026, 3, 1},
                "20:00:00",
                "21:00:00",
                0,
                "x",
                Edit::TimeRefused,
                "its stop, 01.03.2026 21:00:00, has passed"},
        // Accepted: a running one-off entry records the rest; a repeating
        // one moves on; a relative name goes to the recordings folder.
        AddCase{"OneOffRunning", {2026, 3, 2}, "11:00:00", "13:00:00", 0, "/x", Edit::Done, "2026-03-02 13:00:00 /x"},
        AddCase{"DailyInThePast",
                {2026, 3, 1},
                "20:00:00",
                "21:00:00",
                0x7F,
                "news",
                Edit::Done,
                "2026-03-02 21:00:00 /srv/rec/news"},
        // Across the night daylight saving ends: the stop at 04:00 on the
        // clock, seven hours after the start.
        AddCase{"AcrossTheAutumnChange",
                {2026, 10, 24},
                "22:00:00",
                "04:00:00",
                0,
                "/x",
                Edit::Done,
                "2026-10-25 04:00:00 /x"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(TimerDialogModelTest, RelativeNameWithoutARecordingsFolderIsRefused)
{
    TimerDialogModel model(list_, {"Eins"}, 0);
    Enter(model, {2026, 3, 4}, 20 * kHour, 21 * kHour, "news");
    model.fields.channel = 0;
    std::string refusal;
    EXPECT_EQ(model.OnAdd(&refusal), TimerDialogModel::EditResult::FileNameRefused);
    EXPECT_NE(refusal.find("\"news\" is not a full path"), std::string::npos) << refusal;
}

TEST_F(TimerDialogModelTest, DeleteSelectsTheRowAtItsPlaceOrTheNewLast)
{
    for (const char *file : {"a", "b", "c"}) {
        list_.AddCopy(MakeEntry("2026-03-03 20:00:00", "2026-03-03 21:00:00"));
        list_.GetAt(list_.GetCount() - 1)->m_strFileName = file;
    }
    TimerDialogModel model = Open();
    model.Select(1);
    ASSERT_TRUE(model.OnDelete());
    EXPECT_EQ(model.Selection(), 1);
    EXPECT_EQ(model.Rows()[1].entry.m_strFileName, "c");
    ASSERT_TRUE(model.OnDelete());
    EXPECT_EQ(model.Selection(), 0) << "the last row went: the new last is selected";
    ASSERT_TRUE(model.OnDelete());
    EXPECT_EQ(model.Selection(), -1);
    EXPECT_TRUE(model.Rows().empty());
}

TEST_F(TimerDialogModelTest, OkMatchesRowsByIdKeepsTheOrderAndAppendsNewRows)
{
    for (const char *file : {"a", "b", "c"}) {
        list_.AddCopy(MakeEntry("2026-03-03 20:00:00", "2026-03-03 21:00:00"));
        list_.GetAt(list_.GetCount() - 1)->m_strFileName = file;
    }
    const std::vector<int32_t> before = Ids();
    CTimerEntry *const survivor = list_.GetAt(2);
    TimerDialogModel model = Open();
    Enter(model, {2026, 3, 5}, 20 * kHour, 21 * kHour, "new1");
    model.OnAdd();
    model.fields.fileName = "new2";
    model.OnAdd();
    model.SetChecked(4, false);
    model.Select(1); // "b"
    model.OnDelete();
    model.SetChecked(1, false); // "c"

    // Cancel: nothing reaches the list.
    EXPECT_EQ(Ids(), before);
    EXPECT_EQ(list_.GetAt(2)->m_bActive, 1);

    model.OnOK();
    ASSERT_EQ(list_.GetCount(), 4);
    std::vector<std::string> files;
    for (int i = 0; i < list_.GetCount(); ++i)
        files.push_back(list_.GetAt(i)->m_strFileName);
    EXPECT_EQ(files, (std::vector<std::string>{"a", "c", "/srv/rec/new1", "/srv/rec/new2"}));
    EXPECT_EQ(Ids()[0], before[0]);
    EXPECT_EQ(Ids()[1], before[2]);
    EXPECT_EQ(list_.GetAt(1), survivor) << "entries are changed in place";
    EXPECT_EQ(list_.GetAt(1)->m_bActive, 0);
    EXPECT_EQ(list_.GetAt(2)->m_bActive, 1);
    EXPECT_EQ(list_.GetAt(3)->m_bActive, 0);
    EXPECT_TRUE(model.Rows().empty());
}

TEST_F(TimerDialogModelTest, OkKeepsTheRowOfAnEntryRemovedWhileTheDialogWasOpen)
{
    list_.AddCopy(MakeEntry("2026-03-02 11:00:00", "2026-03-02 12:00:00"));
    list_.AddCopy(MakeEntry("2026-03-03 20:00:00", "2026-03-03 21:00:00"));
    list_.GetAt(0)->m_strFileName = "/srv/rec/morning";
    TimerDialogModel model = Open();
    list_.RemoveById(list_.GetAt(0)->m_nId); // its recording ended meanwhile
    model.Select(0);
    model.OnClickList();
    model.fields.date = {2026, 3, 9};
    ASSERT_EQ(model.OnUpdate(), TimerDialogModel::EditResult::Done); // the user's change to it is not lost
    model.OnOK();
    ASSERT_EQ(list_.GetCount(), 2);
    EXPECT_EQ(list_.GetAt(0)->m_timeStart.GetTime(), LocalTime("2026-03-03 20:00:00"));
    EXPECT_EQ(list_.GetAt(1)->m_timeStart.GetTime(), LocalTime("2026-03-09 11:00:00"));
    EXPECT_EQ(list_.GetAt(1)->m_bActive, 1);
}

} // namespace
} // namespace quelmar
