#include "analysis/MpegVideoHeader.h"

namespace quelmar {
namespace {

constexpr std::uint8_t kSequenceHeaderCode = 0xB3;
constexpr std::uint8_t kMarkerBitMask = 0x20;             // header byte 10
constexpr std::uint8_t kConstrainedParametersMask = 0x04; // header byte 11
constexpr unsigned kHighNibbleShift = 4;
constexpr unsigned kLowNibbleMask = 0x0F;
constexpr unsigned kByteShift = 8;

} // namespace

std::optional<std::size_t> FindSequenceHeader(const std::uint8_t *data, std::size_t length)
{
    for (std::size_t i = 0; i + kSequenceHeaderCheckBytes <= length; ++i) {
        const std::uint8_t *h = data + i;
        if (h[0] != 0 || h[1] != 0 || h[2] != 1 || h[3] != kSequenceHeaderCode)
            continue;
        const unsigned width = (unsigned{h[4]} << kHighNibbleShift) | (h[5] >> kHighNibbleShift);
        const unsigned height = ((h[5] & kLowNibbleMask) << kByteShift) | h[6];
        if (width == 0 || height == 0 || !(h[10] & kMarkerBitMask) || (h[11] & kConstrainedParametersMask))
            continue;
        return i;
    }
    return std::nullopt;
}

} // namespace quelmar
