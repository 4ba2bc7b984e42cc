#include "platform/CTime.h"

#include <atomic>
#include <ctime>

namespace quelmar {

namespace {

constexpr size_t kFormatBufferBytes = 512;

std::atomic<bool> g_testNowSet{false};
std::atomic<int32_t> g_testNow{0};

} // namespace

CTime CTime::GetCurrentTime()
{
    if (g_testNowSet.load(std::memory_order_acquire))
        return CTime(g_testNow.load(std::memory_order_relaxed));
    return CTime(static_cast<int32_t>(std::time(nullptr)));
}

void CTime::SetTestNow(std::optional<int32_t> now)
{
    if (now) {
        g_testNow.store(*now, std::memory_order_relaxed);
        g_testNowSet.store(true, std::memory_order_release);
    } else {
        g_testNowSet.store(false, std::memory_order_release);
    }
}

std::string CTime::Format(const char *format) const
{
    const std::time_t t = m_nTime;
    std::tm local{};
    localtime_r(&t, &local);
    char buffer[kFormatBufferBytes];
    const size_t n = std::strftime(buffer, sizeof buffer, format, &local);
    return std::string(buffer, n);
}

} // namespace quelmar
