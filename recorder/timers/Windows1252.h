// Texts of the timer store: UTF-8 in memory, Windows-1252 in the file (the
// code page such files were written in). Every byte decodes, so a file read
// and written again keeps its bytes; the bytes 0x81, 0x8D, 0x8F, 0x90 and
// 0x9D, unassigned in Windows-1252, stand for U+0081 ... U+009D.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quelmar {

// The UTF-8 form of Windows-1252 bytes. Any thread.
std::string Windows1252ToUtf8(std::string_view bytes);

// The Windows-1252 form of a UTF-8 text; std::nullopt when the text is not
// valid UTF-8 or holds a character Windows-1252 cannot hold. Any thread.
std::optional<std::string> Utf8ToWindows1252(std::string_view utf8);

// What FitsWindows1252 names for a text that is no UTF-8 at all.
inline constexpr char kInvalidUtf8[] = "invalid UTF-8";

// True when `utf8` can be stored in the timer file. Otherwise, when
// `offending` is given, it receives the first character that cannot be held
// (as UTF-8), or kInvalidUtf8. For the places where a file name is
// entered, so they can refuse it with a message. Any thread.
bool FitsWindows1252(std::string_view utf8, std::string *offending = nullptr);

} // namespace quelmar
