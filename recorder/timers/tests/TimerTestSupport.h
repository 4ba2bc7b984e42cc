// Shared by the timer tests: a fixed time zone, a settable clock and entries
// written as local times.
#pragma once

#include "platform/CTime.h"
#include "timers/CTimerEntry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace quelmar::testing {

// Seconds since 1970 of a local time "YYYY-MM-DD HH:MM:SS" in the current
// time zone (daylight saving decided by the zone).
inline int32_t LocalTime(const char *text)
{
    std::tm fields{};
    EXPECT_NE(strptime(text, "%Y-%m-%d %H:%M:%S", &fields), nullptr) << text;
    fields.tm_isdst = -1;
    return static_cast<int32_t>(std::mktime(&fields));
}

inline CTimerEntry MakeEntry(const char *start, const char *stop, uint8_t days = 0, uint8_t active = 1)
{
    CTimerEntry entry;
    entry.m_nChannel = 1;
    entry.m_timeStart = CTime(LocalTime(start));
    entry.m_timeStop = CTime(LocalTime(stop));
    entry.m_nDays = days;
    entry.m_bActive = active;
    return entry;
}

// Every test runs in Europe/Berlin (daylight saving from the last Sunday of
// March to the last Sunday of October) with the clock set by hand.
class BerlinClockTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "Europe/Berlin", 1);
        tzset();
    }
    void TearDown() override { CTime::SetTestNow(std::nullopt); }
    static void SetNow(const char *local) { CTime::SetTestNow(LocalTime(local)); }
};

} // namespace quelmar::testing
