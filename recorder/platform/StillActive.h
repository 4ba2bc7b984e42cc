// The exit code a worker thread or a child process reports while it has
// not ended, the same for both as the system's own code for it is.
#pragma once

#include <cstdint>

namespace quelmar {

inline constexpr uint32_t kStillActive = 259;

} // namespace quelmar
