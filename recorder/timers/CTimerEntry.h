// One recording timer: record channel m_nChannel from m_timeStart to
// m_timeStop into m_strFileName, optionally on chosen weekdays, optionally
// shutting the computer down afterwards.
#pragma once

#include "platform/CTime.h"
#include "platform/LocalTime.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace quelmar {

// A repeating entry moves by kSecondsPerDay, always; daylight-saving changes
// are not corrected, so a moved entry keeps its distance in seconds.
// Bits 0-6 of m_nDays; bit 7 is ignored.
constexpr uint8_t kAllDaysMask = 0x7F;

// Source of m_nId: incremented before use, so the first entry gets 1.
extern std::atomic<int32_t> g_nTimerIdCounter;

class CTimerEntry {
public:
    // Channel 0, texts empty, no shut-down, active, one-off, a fresh m_nId.
    // The times are 0 until the creator sets them.
    CTimerEntry();
    // Copies every field, m_nId included: that is how working copies are
    // matched back to their entries.
    CTimerEntry(const CTimerEntry &) = default;
    CTimerEntry &operator=(const CTimerEntry &) = default;
    virtual ~CTimerEntry() = default;

    // Moves a repeating entry (any of bits 0-6 of m_nDays set) whose stop
    // has passed by whole days until its stop lies ahead (at most a day),
    // then day by day until its start's local weekday is one of its days.
    // Returns true only when the weekday search moved it. A one-off entry is
    // never moved. An entry whose times would leave the 32-bit range stays
    // where it is. Reads CTime::GetCurrentTime(). Not thread-safe.
    bool Adjust();
    // Adds one day to both times, then returns Adjust(). After a repeating
    // entry's recording has ended.
    bool SkipDay();
    // True when bits 0-6 of m_nDays are not all clear.
    bool IsRepeating() const { return (m_nDays & kAllDaysMask) != 0; }
    // True when the local weekday w (0 = Sunday) is one of the entry's days:
    // bit (6 - w) of m_nDays.
    bool RepeatsOn(int weekday) const;

    uint16_t m_nChannel = 0;    // 1-based position in the receiver's channel table
    std::string m_strReserved1; // carried by the store file, otherwise unused
    std::string m_strReserved2; // carried by the store file, otherwise unused
    CTime m_timeStart;
    CTime m_timeStop;
    std::string m_strFileName; // UTF-8; must fit Windows-1252 to be saved
    uint8_t m_bShutdown = 0;   // 1: shut the computer down after the recording
    uint8_t m_bActive = 1;     // 0: takes no part in scheduling
    uint8_t m_nDays = 0;       // bit 6 Sunday, bit 5 Monday ... bit 0 Saturday
    int32_t m_nId;             // identity within one run; not stored

private:
    // Adds `seconds` to both times when both stay in range; false otherwise.
    bool Shift(int64_t seconds);
};

} // namespace quelmar
