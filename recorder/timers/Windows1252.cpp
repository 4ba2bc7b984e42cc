#include "timers/Windows1252.h"

#include <cstdint>

namespace quelmar {

namespace {

constexpr uint8_t kFirstMappedByte = 0x80;
constexpr uint8_t kFirstLatin1Byte = 0xA0;
constexpr char32_t kNoCharacter = 0xFFFFFFFF;

// Code points of the bytes 0x80 to 0x9F; the five unassigned bytes map to the
// C1 control of the same value.
constexpr char32_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char32_t CodePointOf(uint8_t byte)
{
    if (byte >= kFirstMappedByte && byte < kFirstLatin1Byte)
        return kHighControls[byte - kFirstMappedByte];
    return byte;
}

void AppendUtf8(std::string &out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        // Every character of the code page lies in the basic plane.
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Decodes one character at `pos` and moves `pos` past it; kNoCharacter for a
// malformed sequence (overlong, surrogate, beyond U+10FFFF, cut short).
char32_t NextCodePoint(std::string_view text, size_t &pos)
{
    const auto lead = static_cast<uint8_t>(text[pos++]);
    if (lead < 0x80)
        return lead;
    int trailing;
    char32_t c;
    char32_t minimum;
    if ((lead & 0xE0) == 0xC0) {
        trailing = 1, c = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        trailing = 2, c = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        trailing = 3, c = lead & 0x07, minimum = 0x10000;
    } else {
        return kNoCharacter;
    }
    for (int i = 0; i < trailing; ++i) {
        if (pos >= text.size() || (static_cast<uint8_t>(text[pos]) & 0xC0) != 0x80)
            return kNoCharacter;
        c = (c << 6) | (static_cast<uint8_t>(text[pos++]) & 0x3F);
    }
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return kNoCharacter;
    return c;
}

// The byte for a code point, or -1 when the code page has none.
int ByteOf(char32_t c)
{
    if (c < kFirstMappedByte || (c >= kFirstLatin1Byte && c <= 0xFF))
        return static_cast<int>(c);
    for (int i = 0; i < 32; ++i)
        if (kHighControls[i] == c)
            return kFirstMappedByte + i;
    return -1;
}

// Converts `utf8` into `out` (when given); on the first character that cannot
// be held, describes it in `offending` (when given) and returns false.
bool Convert(std::string_view utf8, std::string *out, std::string *offending)
{
    for (size_t pos = 0; pos < utf8.size();) {
        const size_t start = pos;
        const char32_t c = NextCodePoint(utf8, pos);
        const int byte = c == kNoCharacter ? -1 : ByteOf(c);
        if (byte < 0) {
            if (offending)
                *offending =
                    c == kNoCharacter ? std::string(kInvalidUtf8) : std::string(utf8.substr(start, pos - start));
            return false;
        }
        if (out)
            *out += static_cast<char>(byte);
    }
    return true;
}

} // namespace

std::string Windows1252ToUtf8(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (const char b : bytes)
        AppendUtf8(out, CodePointOf(static_cast<uint8_t>(b)));
    return out;
}

std::optional<std::string> Utf8ToWindows1252(std::string_view utf8)
{
    std::string out;
    if (!Convert(utf8, &out, nullptr))
        return std::nullopt;
    return out;
}

bool FitsWindows1252(std::string_view utf8, std::string *offending) { return Convert(utf8, nullptr, offending); }

} // namespace quelmar
