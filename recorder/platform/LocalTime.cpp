#include "platform/LocalTime.h"

#include <algorithm>
#include <ctime>
#include <limits>

namespace quelmar {

int LocalWeekday(CTime time)
{
    const std::time_t t = time.GetTime();
    std::tm local{};
    localtime_r(&t, &local);
    return local.tm_wday;
}

namespace {

constexpr int kLastSecondOfMinute = 59;
constexpr int kTmYearBase = 1900; // std::tm counts years from 1900

CTime Clamped(int64_t seconds)
{
    return CTime(static_cast<int32_t>(
        std::clamp<int64_t>(seconds, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max())));
}

} // namespace

int32_t LocalTimeOfDay(CTime time)
{
    const std::time_t t = time.GetTime();
    std::tm local{};
    localtime_r(&t, &local);
    return local.tm_hour * kSecondsPerHour + local.tm_min * kSecondsPerMinute +
           std::min(local.tm_sec, kLastSecondOfMinute);
}

CTime LocalDateAt(CTime day, int32_t timeOfDay) { return LocalTimeAt(LocalDateOf(day), timeOfDay); }

LocalDate LocalDateOf(CTime time)
{
    const std::time_t t = time.GetTime();
    std::tm local{};
    localtime_r(&t, &local);
    return {local.tm_year + kTmYearBase, local.tm_mon + 1, local.tm_mday};
}

CTime LocalTimeAt(const LocalDate &date, int32_t timeOfDay)
{
    std::tm local{};
    local.tm_year = date.year - kTmYearBase;
    local.tm_mon = date.month - 1;
    local.tm_mday = date.day;
    local.tm_hour = timeOfDay / kSecondsPerHour;
    local.tm_min = timeOfDay / kSecondsPerMinute % kSecondsPerMinute;
    local.tm_sec = timeOfDay % kSecondsPerMinute;
    local.tm_isdst = -1;
    return Clamped(static_cast<int64_t>(std::mktime(&local)));
}

CTime AddSeconds(CTime time, int64_t seconds) { return Clamped(int64_t{time.GetTime()} + seconds); }

LocalTimeFit ExactLocalTimeAt(const LocalDate &date, int32_t timeOfDay, CTime &time)
{
    std::tm local{};
    local.tm_year = date.year - kTmYearBase;
    local.tm_mon = date.month - 1;
    local.tm_mday = date.day;
    local.tm_hour = timeOfDay / kSecondsPerHour;
    local.tm_min = timeOfDay / kSecondsPerMinute % kSecondsPerMinute;
    local.tm_sec = timeOfDay % kSecondsPerMinute;
    local.tm_isdst = -1;
    const std::tm asked = local;
    const std::time_t seconds = std::mktime(&local);
    if (seconds < std::numeric_limits<int32_t>::min() || seconds > std::numeric_limits<int32_t>::max())
        return LocalTimeFit::OutOfRange;
    // mktime moves a time the clock skips; read back, it differs.
    std::tm back{};
    localtime_r(&seconds, &back);
    if (back.tm_year != asked.tm_year || back.tm_mon != asked.tm_mon || back.tm_mday != asked.tm_mday ||
        back.tm_hour != asked.tm_hour || back.tm_min != asked.tm_min || back.tm_sec != asked.tm_sec)
        return LocalTimeFit::Skipped;
    time = CTime(static_cast<int32_t>(seconds));
    return LocalTimeFit::Exact;
}

LocalDate NextLocalDate(const LocalDate &date)
{
    // Calendar arithmetic only: timegm rolls day 32 over, in 64 bits and
    // without a time zone.
    std::tm day{};
    day.tm_year = date.year - kTmYearBase;
    day.tm_mon = date.month - 1;
    day.tm_mday = date.day + 1;
    const std::time_t seconds = timegm(&day);
    std::tm next{};
    gmtime_r(&seconds, &next);
    return {next.tm_year + kTmYearBase, next.tm_mon + 1, next.tm_mday};
}

} // namespace quelmar
