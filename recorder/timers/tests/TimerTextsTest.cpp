#include "timers/TimerTexts.h"
#include "timers/TimerDialogModel.h"

#include <gtest/gtest.h>

namespace quelmar {
namespace {

struct DaysCase {
    const char *text;
    std::optional<uint8_t> days;
};

class DaysTexts : public testing::TestWithParam<DaysCase> {};

TEST_P(DaysTexts, AreReadAsWrittenOrRefused)
{
    EXPECT_EQ(ParseDays(GetParam().text), GetParam().days) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Table, DaysTexts,
                         testing::Values(DaysCase{"daily", 0x7F}, DaysCase{"once", 0}, DaysCase{"mo,we,fr", 0x2A},
                                         DaysCase{" Mo , FR ", 0x22}, DaysCase{"su", 0x40}, DaysCase{"sa", 0x01},
                                         DaysCase{"", std::nullopt}, DaysCase{"mo,", std::nullopt},
                                         DaysCase{"monday", std::nullopt}, DaysCase{"mo;fr", std::nullopt}));

TEST(DaysText, WritesWhatParseDaysReadsBack)
{
    for (int days = 0; days <= 0x7F; ++days)
        EXPECT_EQ(ParseDays(DaysText(static_cast<uint8_t>(days))), days) << DaysText(static_cast<uint8_t>(days));
    EXPECT_EQ(DaysText(0xFF), "daily");
    EXPECT_EQ(DaysText(0x80), "once");
    EXPECT_EQ(DaysMaskOf(WeekdaysOf(0x2A)), 0x2A);
}

struct StartCase {
    const char *text;
    bool valid;
    int32_t timeOfDay;
};

class StartTexts : public testing::TestWithParam<StartCase> {};

TEST_P(StartTexts, TakeOnlyDatesAndTimesThatExistAsWritten)
{
    const auto start = ParseTimerStart(GetParam().text);
    ASSERT_EQ(start.has_value(), GetParam().valid) << GetParam().text;
    if (start) {
        EXPECT_EQ(start->timeOfDay, GetParam().timeOfDay);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, StartTexts,
    testing::Values(StartCase{"2026-12-24 20:15", true, 72900}, StartCase{"2026-12-24T20:15:30", true, 72930},
                    StartCase{"2028-02-29 00:00", true, 0}, StartCase{"2026-02-29 00:00", false, 0},
                    StartCase{"2026-04-31 12:00", false, 0}, StartCase{"2026-13-01 12:00", false, 0},
                    StartCase{"2026-12-24 24:00", false, 0}, StartCase{"2026-12-24 12:60", false, 0},
                    StartCase{"2026-12-24", false, 0}, StartCase{"26-12-24 12:00", false, 0}));

TEST(Durations, AreSecondsOrAClockUpToTheLimit)
{
    EXPECT_EQ(ParseDuration("90", 100), 90u);
    EXPECT_EQ(ParseDuration("1:30:00", kMaxDurationSeconds), 5400u);
    EXPECT_EQ(ParseDuration("101", 100), std::nullopt);
    EXPECT_EQ(ParseDuration("0:60:00", kMaxDurationSeconds), std::nullopt);
    EXPECT_EQ(ParseDuration("99999999999", kMaxDurationSeconds), std::nullopt);
    EXPECT_EQ(ParseDuration("-5", kMaxDurationSeconds), std::nullopt);
    EXPECT_EQ(ParseDuration("", kMaxDurationSeconds), std::nullopt);
}

} // namespace
} // namespace quelmar
