// Times of day in the computer's own time zone, for the time pickers.
#pragma once

#include "platform/CTime.h"

#include <cstdint>

namespace quelmar {

inline constexpr int32_t kSecondsPerHour = 3600;
inline constexpr int32_t kSecondsPerMinute = 60;

// Seconds since local midnight of `time`: hours * 3600 + minutes * 60 +
// seconds (0..86399, a leap second counted as 59). Any thread (follows the
// time zone of the last tzset()).
int32_t LocalTimeOfDay(CTime time);

// The time on the local date of `day` at `timeOfDay` seconds past midnight
// (the system decides daylight saving). Clamped to the 32-bit range.
CTime LocalDateAt(CTime day, int32_t timeOfDay);

// `time` + `seconds`, clamped to the 32-bit range.
CTime AddSeconds(CTime time, int64_t seconds);

} // namespace quelmar
