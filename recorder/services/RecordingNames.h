// The names a recording writes under its file base as the recorder checks
// them before a start: what exists already and the next free base.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quelmar {

// A start refused for a base that names no file.
inline constexpr char kEmptyFileName[] = "The file name is empty! Choose a file name (without extension) first.";

// Existing later parts (number 1 and up) of `base` with one of
// `extensions`, by part number and then in the order of `extensions`;
// anything at such a name counts, a link or a folder too. Empty when the
// folder cannot be read. Any thread.
std::vector<std::string> ExistingLaterParts(const std::string &base, const std::vector<std::string> &extensions);

// Something exists at base + ".log" or at a part of `base` (any number, any
// output extension): a recording into `base` would overwrite it. Any thread.
bool BaseNameTaken(const std::string &base);

// `base` when it is not taken, else the first of base + "-2", base + "-3",
// ... that is not; std::nullopt when all of them up to "-999" are. Any thread.
std::optional<std::string> FreeBaseName(const std::string &base);

// The base names no file: it is empty or ends with a slash (a recording
// would write " (0).mpg" and ".log"). Any thread.
bool EmptyBaseName(const std::string &base);

} // namespace quelmar
