// The limits of a recording's settings, as the window, the command line and
// the remote control enforce them and the engine relies on them.
#pragma once

#include "platform/LocalTime.h"

#include <cstdint>

namespace quelmar {

// Smallest split size, megabytes; smaller values are raised.
inline constexpr uint32_t kMinSplitSizeMb = 5;
// Split interval, seconds: 5 s up to 23:59:59 (a time picker's range).
inline constexpr uint32_t kMinSplitTimeSeconds = 5;
inline constexpr uint32_t kMaxSplitTimeSeconds = kLastSecondOfDay;
// Delay of the video against the audio in the multiplexer, ms (either way).
inline constexpr int16_t kMaxVideoDelayMs = 1000;
inline constexpr int16_t kMinVideoDelayMs = -kMaxVideoDelayMs;

} // namespace quelmar
