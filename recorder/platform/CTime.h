// CTime: calendar time as signed 32-bit seconds since 1970 UTC.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quelmar {

class CTime {
public:
    CTime() = default;
    explicit CTime(int32_t seconds) : m_nTime(seconds) {}

    // The current time, or the time a test set with SetTestNow().
    static CTime GetCurrentTime();
    // Makes GetCurrentTime() return `now` (std::nullopt: the real clock
    // again). For tests; thread-safe.
    static void SetTestNow(std::optional<int32_t> now);

    int32_t GetTime() const { return m_nTime; }
    // strftime formatting in local time and the user's locale. An empty
    // result for a format that produces nothing.
    std::string Format(const char *format) const;

private:
    int32_t m_nTime = 0;
};

} // namespace quelmar
