#include "analysis/BitReader.h"

namespace quelmar {

namespace {
constexpr unsigned kBitsPerByte = 8;
}

std::uint16_t ReadBits(const std::uint8_t *data, std::uint16_t &cursor, unsigned n)
{
    if (n > kMaxReadBits)
        throw kFieldUnavailable;
    std::uint32_t result = 0;
    while (n > 0) {
        const unsigned avail = kBitsPerByte - cursor % kBitsPerByte;
        const unsigned take = n < avail ? n : avail;
        const unsigned byte = data[cursor / kBitsPerByte];
        // The `take` bits below the `kBitsPerByte - avail` bits already read.
        const unsigned bits = (byte >> (avail - take)) & ((1u << take) - 1u);
        result = (result << take) | bits;
        cursor = static_cast<std::uint16_t>(cursor + take);
        n -= take;
    }
    return static_cast<std::uint16_t>(result);
}

} // namespace quelmar
