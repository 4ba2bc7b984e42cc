#include "timers/TimerTexts.h"

#include "timers/CTimerEntry.h"

#include <cctype>
#include <regex>

namespace quelmar {

namespace {

constexpr char kDaily[] = "daily";
constexpr char kOnce[] = "once";
constexpr int kHoursPerDay = 24;
constexpr int kMonthsPerYear = 12;
constexpr int kDaysPerWeek = 7;
constexpr int kSaturday = 6; // weekday w is bit (6 - w) of a timer's days
// Weekday names by weekday (0 = Sunday); written Monday first.
constexpr const char *kDayNames[kDaysPerWeek] = {"su", "mo", "tu", "we", "th", "fr", "sa"};

int DaysInMonth(const LocalDate &date)
{
    static constexpr int kDays[kMonthsPerYear] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (date.year % 4 == 0 && date.year % 100 != 0) || date.year % 400 == 0;
    return date.month == 2 && leap ? 29 : kDays[date.month - 1];
}

std::string Trimmed(std::string_view text)
{
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])))
        ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1])))
        --end;
    std::string trimmed(text.substr(begin, end - begin));
    for (char &c : trimmed)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return trimmed;
}

} // namespace

std::optional<int32_t> ParseTimeOfDay(std::string_view text)
{
    static const std::regex kClock("^([0-9]{1,2}):([0-5][0-9])(?::([0-5][0-9]))?$");
    const std::string copy(text);
    std::smatch match;
    if (!std::regex_match(copy, match, kClock) || std::stoi(match[1]) >= kHoursPerDay)
        return std::nullopt;
    return static_cast<int32_t>(std::stoi(match[1]) * kSecondsPerHour + std::stoi(match[2]) * kSecondsPerMinute +
                                (match[3].matched ? std::stoi(match[3]) : 0));
}

std::optional<TimerStart> ParseTimerStart(std::string_view text)
{
    static const std::regex kDateTime("^([0-9]{4})-([0-9]{2})-([0-9]{2})[ T](.+)$");
    const std::string copy(text);
    std::smatch match;
    if (!std::regex_match(copy, match, kDateTime))
        return std::nullopt;
    const LocalDate date{std::stoi(match[1]), std::stoi(match[2]), std::stoi(match[3])};
    const auto timeOfDay = ParseTimeOfDay(match[4].str());
    if (!timeOfDay || date.month < 1 || date.month > kMonthsPerYear || date.day < 1 || date.day > DaysInMonth(date))
        return std::nullopt;
    return TimerStart{date, *timeOfDay};
}

std::optional<uint8_t> ParseDays(std::string_view text)
{
    const std::string whole = Trimmed(text);
    if (whole == kDaily)
        return kAllDaysMask;
    if (whole == kOnce)
        return 0;
    uint8_t days = 0;
    size_t pos = 0;
    for (;;) {
        const size_t comma = whole.find(',', pos);
        const std::string name =
            Trimmed(std::string_view(whole).substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
        int weekday = 0;
        while (weekday < kDaysPerWeek && name != kDayNames[weekday])
            ++weekday;
        if (weekday == kDaysPerWeek)
            return std::nullopt;
        days |= static_cast<uint8_t>(1u << (kSaturday - weekday));
        if (comma == std::string::npos)
            return days;
        pos = comma + 1;
    }
}

std::string DaysText(uint8_t days)
{
    if ((days & kAllDaysMask) == kAllDaysMask)
        return kDaily;
    std::string text;
    for (int i = 1; i <= kDaysPerWeek; ++i) {
        const int weekday = i % kDaysPerWeek; // Monday first, Sunday last
        if (days & (1u << (kSaturday - weekday)))
            text += (text.empty() ? "" : ",") + std::string(kDayNames[weekday]);
    }
    return text.empty() ? kOnce : text;
}

std::optional<uint32_t> ParseDuration(std::string_view text, uint32_t maximum)
{
    static const std::regex kSeconds("^[0-9]{1,10}$");
    static const std::regex kClock("^([0-9]{1,6}):([0-5][0-9]):([0-5][0-9])$");
    const std::string copy(text);
    std::smatch match;
    uint64_t seconds = 0;
    if (std::regex_match(copy, kSeconds))
        seconds = std::stoull(copy);
    else if (std::regex_match(copy, match, kClock))
        seconds =
            std::stoull(match[1]) * kSecondsPerHour + std::stoull(match[2]) * kSecondsPerMinute + std::stoull(match[3]);
    else
        return std::nullopt;
    if (seconds > maximum)
        return std::nullopt;
    return static_cast<uint32_t>(seconds);
}

} // namespace quelmar
