// BitReader.h: most-significant-bit-first reading of bit fields that are not
// byte-aligned (the AC-3 bit stream information). Pure functions; any thread.
#pragma once

#include <cstdint>

namespace quelmar {

// The value thrown (as an int) when a caller asks for a field that this
// reader cannot deliver: more than 16 bits from ReadBits, or a field that the
// frame does not carry (Ac3HeaderReader::Mixlevel and Roomtyp).
inline constexpr int kFieldUnavailable = -1;

// Widest field ReadBits returns, in bits.
inline constexpr unsigned kMaxReadBits = 16;

// Reads the n bits at bit position `cursor` of `data` (bit 7 of byte 0 is
// position 0); the first bit read becomes the most significant bit of the
// result. Advances `cursor` by n. n = 0 returns 0 and leaves the cursor.
// n > 16 throws kFieldUnavailable and leaves the cursor unchanged.
// The caller guarantees that the bits lie inside `data` (no bounds check);
// `data` stays owned by the caller.
std::uint16_t ReadBits(const std::uint8_t *data, std::uint16_t &cursor, unsigned n);

} // namespace quelmar
