// Command blocks as the receiver access library builds them.
#pragma once

#include <array>
#include <cstdint>

namespace quelmar::receiver::test {

using Cdb = std::array<uint8_t, 10>;

// Generic 10-byte block: mode byte in byte 1 (legacy) or byte 2 (current).
inline Cdb cdb10(uint8_t op, uint8_t mode, bool legacy, uint32_t offset, uint32_t length)
{
    Cdb c{};
    c[0] = op;
    c[legacy ? 1 : 2] = mode;
    c[3] = static_cast<uint8_t>(offset >> 16);
    c[4] = static_cast<uint8_t>(offset >> 8);
    c[5] = static_cast<uint8_t>(offset);
    c[6] = static_cast<uint8_t>(length >> 16);
    c[7] = static_cast<uint8_t>(length >> 8);
    c[8] = static_cast<uint8_t>(length);
    return c;
}

} // namespace quelmar::receiver::test
