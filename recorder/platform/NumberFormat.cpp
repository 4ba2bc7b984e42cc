#include "platform/NumberFormat.h"

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

} // namespace quelmar
