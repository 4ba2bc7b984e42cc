// The written forms of a timer's times and days, as the command line and
// the remote control take and show them: "HH:MM[:SS]", "YYYY-MM-DD
// HH:MM[:SS]", "daily"/"once"/"mo,we,fr", durations as SECONDS or H:MM:SS.
// Pure functions; any thread.
#pragma once

#include "platform/LocalTime.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quelmar {

// Longest recording duration one may ask for, seconds (366 days): keeps a
// stop time far inside 32-bit calendar seconds.
inline constexpr uint32_t kMaxDurationSeconds = 366u * kSecondsPerDay;

// A local date and a time of day, as written; whether that moment exists
// on the clock (daylight saving) is for the caller to ask.
struct TimerStart {
    LocalDate date;
    int32_t timeOfDay = 0; // seconds since midnight
};

// "HH:MM" or "HH:MM:SS" (hours 0..23): seconds since midnight.
std::optional<int32_t> ParseTimeOfDay(std::string_view text);

// "YYYY-MM-DD HH:MM[:SS]" (or a T between date and time), a date that
// exists as written (no 31 April rolled into May).
std::optional<TimerStart> ParseTimerStart(std::string_view text);

// "daily", "once" or weekday names separated by commas ("mo,we,fr",
// case and blanks around a name ignored): a timer's days mask.
std::optional<uint8_t> ParseDays(std::string_view text);

// The days mask written back: "daily", "once" or the names Monday first.
std::string DaysText(uint8_t days);

// SECONDS or H:MM:SS (minutes and seconds below 60), at most `maximum`.
std::optional<uint32_t> ParseDuration(std::string_view text, uint32_t maximum);

} // namespace quelmar
