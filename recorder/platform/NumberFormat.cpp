#include "platform/NumberFormat.h"

#include "platform/LocalTime.h"

#include <charconv>
#include <cstdio>

namespace quelmar {

std::string FormatFixed(double value, int decimals)
{
    // std::to_chars never looks at the locale. Room for the largest double
    // (309 digits), a sign, the point and the decimals the texts use.
    char text[400];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    if (error != std::errc())
        return "?";
    return std::string(text, end);
}

std::string FormatElapsed(int64_t seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / kSecondsPerHour),
                  static_cast<long long>(seconds / kSecondsPerMinute % kSecondsPerMinute),
                  static_cast<long long>(seconds % kSecondsPerMinute));
    return text;
}

} // namespace quelmar
