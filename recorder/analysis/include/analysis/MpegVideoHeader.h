// MpegVideoHeader.h: finding where an MPEG video elementary stream can be
// decoded from. Standard library only; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace quelmar {

// Bytes of a sequence header looked at: start code, picture size, aspect
// and rate, bit rate, marker bit, buffer size and the constrained flag.
inline constexpr std::size_t kSequenceHeaderCheckBytes = 12;

// The offset in `data` of the first sequence header a decoder can start
// from: its start code, a picture size other than zero, the marker bit set
// and the constrained-parameters flag clear (as MPEG-2 streams have it),
// with all kSequenceHeaderCheckBytes of it inside `length`. std::nullopt
// when there is none. `data` stays owned by the caller.
std::optional<std::size_t> FindSequenceHeader(const std::uint8_t *data, std::size_t length);

} // namespace quelmar
