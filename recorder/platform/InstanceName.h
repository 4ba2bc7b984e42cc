// Instance names (--instance NAME): several recorders on one machine, one
// per receiver, each with files of its own. The name becomes part of file
// and folder names, so it is held to a safe file-name part.
#pragma once

#include <string>

namespace quelmar {

// Longest instance name, characters.
inline constexpr size_t kMaxInstanceNameLength = 64;

// Why `name` cannot be an instance name (letters, digits, '-', '_', '.',
// not starting with '.', 1 to kMaxInstanceNameLength characters), or ""
// when it can. Any thread.
std::string InstanceNameProblem(const std::string &name);

// What an instance adds to the names of its files: "" without an instance
// (the program's files as they have always been), else "-NAME". `name` must
// pass InstanceNameProblem(). Any thread.
std::string InstanceSuffix(const std::string &name);

} // namespace quelmar
