// What an INQUIRY answer says of a receiver: its identification (current or
// older) and its firmware revision. Shared by the library's own search and
// the direct probes of its clients, so that both recognise the same
// receivers. Header only; any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quelmar::scsi {

inline constexpr std::string_view kCurrentIdentification = "Quelmar";
inline constexpr std::string_view kOlderIdentification = "TANVERIL ZEPRA SCSI";
inline constexpr uint8_t kInquiryOperation = 0x12;
inline constexpr uint8_t kInquiryBytes = 36;
inline constexpr size_t kIdentificationOffset = 8; // vendor, then product identification
// INQUIRY bytes that carry the revision digits, most significant first
// (byte 33, the point of "2.17", is skipped).
inline constexpr std::array<size_t, 4> kRevisionDigitBytes = {31, 32, 34, 35};

inline char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Case-insensitive comparison over the pattern's own length; a NUL in the
// identification ends it early (as a mismatch, since patterns hold none).
// `inquiry` holds kInquiryBytes.
inline bool identificationMatches(const uint8_t *inquiry, std::string_view pattern)
{
    for (size_t i = 0; i < pattern.size(); ++i) {
        const char c = static_cast<char>(inquiry[kIdentificationOffset + i]);
        if (c == '\0' || asciiLower(c) != asciiLower(pattern[i]))
            return false;
    }
    return true;
}

// The revision digits as BCD ("2.17" is 0x0217); a byte that is no digit
// counts as 0. `inquiry` holds kInquiryBytes.
inline uint16_t revisionDigits(const uint8_t *inquiry)
{
    uint16_t revision = 0;
    for (size_t byte : kRevisionDigitBytes) {
        const uint8_t c = inquiry[byte];
        revision = static_cast<uint16_t>(revision << 4);
        if (c >= '0' && c <= '9')
            revision = static_cast<uint16_t>(revision | (c - '0'));
    }
    return revision;
}

} // namespace quelmar::scsi
