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

} // namespace quelmar
