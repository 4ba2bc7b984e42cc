// Calendar fields of a CTime in the computer's own time zone.
#pragma once

#include "platform/CTime.h"

#include <cstdint>

namespace quelmar {

inline constexpr int32_t kSecondsPerHour = 3600;
inline constexpr int32_t kSecondsPerMinute = 60;
inline constexpr int32_t kSecondsPerDay = 86400;
// The last second of a day as a time of day (23:59:59).
inline constexpr int32_t kLastSecondOfDay = kSecondsPerDay - 1;

// The local weekday of `time`: 0 = Sunday, 1 = Monday ... 6 = Saturday.
// Follows the time zone of the last tzset() (TZ). Any thread.
int LocalWeekday(CTime time);

// Seconds since local midnight of `time`: hours * 3600 + minutes * 60 +
// seconds (0..86399, a leap second counted as 59), as a time picker shows
// it. Any thread.
int32_t LocalTimeOfDay(CTime time);

// The time on the local date of `day` at `timeOfDay` seconds past midnight
// (the system decides daylight saving). Clamped to the 32-bit range. Any
// thread.
CTime LocalDateAt(CTime day, int32_t timeOfDay);

// `time` + `seconds`, clamped to the 32-bit range.
CTime AddSeconds(CTime time, int64_t seconds);

// A calendar date of the computer's own time zone, as a date picker holds it.
struct LocalDate {
    int year = 1970;
    int month = 1; // 1 = January
    int day = 1;   // 1..31
    bool operator==(const LocalDate &) const = default;
};

// The local date of `time`. Any thread.
LocalDate LocalDateOf(CTime time);

// `timeOfDay` seconds past midnight of the local `date` (the system decides
// daylight saving; a day or month out of range rolls over as mktime does).
// Clamped to the 32-bit range. Any thread.
CTime LocalTimeAt(const LocalDate &date, int32_t timeOfDay);

// Whether a local date and time of day exists as given.
enum class LocalTimeFit {
    Exact,      // it does
    Skipped,    // the clock jumps over it on that date (daylight saving begins)
    OutOfRange, // it lies outside the 32-bit seconds of CTime (before 1901-12-13 or after 2038-01-19 UTC)
};

// `timeOfDay` seconds past midnight of the local `date`, with no rolling
// over or clamping: `time` is set only when the result is Exact. Of a time
// that occurs twice (daylight saving ends) the system picks one. Any thread.
LocalTimeFit ExactLocalTimeAt(const LocalDate &date, int32_t timeOfDay, CTime &time);

// The local date after `date`. Any thread.
LocalDate NextLocalDate(const LocalDate &date);

} // namespace quelmar
