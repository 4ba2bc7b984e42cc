#include "timers/CTimerEntry.h"

#include "platform/LocalTime.h"

#include <limits>

namespace quelmar {

std::atomic<int32_t> g_nTimerIdCounter{0};

namespace {

constexpr int kSaturdayWeekday = 6;

bool FitsTime(int64_t seconds)
{
    return seconds >= std::numeric_limits<int32_t>::min() && seconds <= std::numeric_limits<int32_t>::max();
}

} // namespace

CTimerEntry::CTimerEntry() : m_nId(g_nTimerIdCounter.fetch_add(1) + 1) {}

bool CTimerEntry::RepeatsOn(int weekday) const { return (m_nDays >> (kSaturdayWeekday - weekday)) & 1; }

bool CTimerEntry::Shift(int64_t seconds)
{
    const int64_t start = int64_t{m_timeStart.GetTime()} + seconds;
    const int64_t stop = int64_t{m_timeStop.GetTime()} + seconds;
    if (!FitsTime(start) || !FitsTime(stop))
        return false;
    m_timeStart = CTime(static_cast<int32_t>(start));
    m_timeStop = CTime(static_cast<int32_t>(stop));
    return true;
}

bool CTimerEntry::Adjust()
{
    if (!IsRepeating())
        return false;
    const int64_t now = CTime::GetCurrentTime().GetTime();
    const int64_t stop = m_timeStop.GetTime();
    if (now > stop && !Shift(((now - stop) / kSecondsPerDay + 1) * kSecondsPerDay))
        return false;
    bool moved = false;
    // At most six steps: one of the seven weekdays is in the mask.
    while (!RepeatsOn(LocalWeekday(m_timeStart))) {
        if (!Shift(kSecondsPerDay))
            break;
        moved = true;
    }
    return moved;
}

bool CTimerEntry::SkipDay()
{
    Shift(kSecondsPerDay);
    return Adjust();
}

} // namespace quelmar
