// Ac3HeaderReader.h: AC-3 frame headers (synchronisation and bit stream information),
// the frame's two CRCs, recognition of AC-3 in raw audio chunks and the lines
// of the "Audio info" list. No shared state; any thread, one object per
// thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quelmar {

// Sync word at the start of every AC-3 frame.
inline constexpr std::uint8_t kAc3Sync0 = 0x0B;
inline constexpr std::uint8_t kAc3Sync1 = 0x77;
// Bytes up to and including fscod/frmsizecod (sync word, crc1, byte 4).
inline constexpr std::size_t kAc3SyncInfoBytes = 5;
// Largest AC-3 frame: 1920 words at 32 kHz and 640 kbit/s.
inline constexpr std::size_t kAc3MaxFrameBytes = 3840;

// CrcCheck results (bit 0: CRC1 failed, bit 1: CRC2 failed).
inline constexpr unsigned kAc3CrcOk = 0;
inline constexpr unsigned kAc3Crc1Failed = 1;
inline constexpr unsigned kAc3Crc2Failed = 2;
inline constexpr unsigned kAc3CrcBothFailed = 3;

// Frame size in bytes for byte 4 of a frame (fscod in the top two bits,
// frmsizecod in the low six); 0 for frmsizecod 38 to 63 and fscod 3.
unsigned Ac3FrameSizeForCode(std::uint8_t fscodFrmsizecod);

// Decodes one AC-3 frame. Holds a pointer to the frame's first byte (the sync
// word), which stays owned by the caller for the object's lifetime, and the
// number of bytes readable from there. The sync word itself is not checked.
// Every query decodes what it needs on first use. Nothing is ever read beyond
// `available` bytes: fields the bytes do not reach read as 0, and a frame
// that is not wholly available fails its CRC check.
class Ac3HeaderReader {
public:
    Ac3HeaderReader(const std::uint8_t *frame, std::size_t available) : frame_(frame), available_(available) {}

    // Synchronisation information.
    unsigned FrameSize() const; // bytes; 0 for an invalid code
    unsigned Fscod() const;
    unsigned Frmsizecod() const;

    // Bit stream information.
    unsigned Bsid() const;
    unsigned Bsmod() const;
    unsigned Acmod() const;
    unsigned Cmixlev() const;   // 0 when absent (see CenterMixLevelText)
    unsigned Surmixlev() const; // 0 when absent
    unsigned Dsurmod() const;   // 0 when absent
    unsigned Lfeon() const;
    unsigned Dialnorm() const;
    unsigned Audprodie() const;
    // Throw kFieldUnavailable (as an int) when Audprodie() is 0.
    unsigned Mixlevel() const;
    unsigned Roomtyp() const;
    unsigned Audprodi2e() const; // 0 unless acmod is 0
    unsigned Roomtyp2() const;   // 0 when absent
    unsigned Timecod1e() const;
    unsigned Timecod2e() const;

    // Checks both CRCs of the frame: kAc3CrcOk, kAc3Crc1Failed,
    // kAc3Crc2Failed or kAc3CrcBothFailed. A frame of at most 2 bytes (an
    // invalid code) gives kAc3CrcOk; a frame longer than the available bytes
    // gives kAc3CrcBothFailed, since it cannot be verified.
    unsigned CrcCheck() const;

    // Texts of the information list.
    std::string BitRateText() const;           // "384 kbps" or "invalid"
    std::string SamplingFrequencyText() const; // "48.0 kHz", ... or "reserved"
    const char *AudioCodingModeText() const;
    const char *BitStreamModeText() const;
    const char *CenterMixLevelText() const;
    const char *SurroundMixLevelText() const;
    const char *DolbySurroundModeText() const;
    const char *RoomType1Text() const;
    const char *RoomType2Text() const;
    const char *TimecodeText() const;
    const char *CrcText() const; // runs CrcCheck()

private:
    struct Bsi {
        std::uint8_t bsid = 0, bsmod = 0, acmod = 0, cmixlev = 0, surmixlev = 0, dsurmod = 0;
        std::uint8_t lfeon = 0, dialnorm = 0, audprodie = 0, mixlevel = 0, roomtyp = 0;
        std::uint8_t audprodi2e = 0, mixlevel2 = 0, roomtyp2 = 0, timecod1e = 0, timecod2e = 0;
    };

    const Bsi &DecodedBsi() const;
    std::uint8_t Byte4() const;

    const std::uint8_t *frame_;
    std::size_t available_;
    mutable bool bsiDecoded_ = false;
    mutable Bsi bsi_;
};

// The refresh signature of the AC-3 lines: from the most significant end
// timecod2e, timecod1e, lfeon, acmod (3 bits), bsmod (3), frmsizecod (6),
// fscod (2), CRC result (2) in bits 18 to 0; with audprodie set also bit 19,
// mixlevel in bits 20-24 and roomtyp in bits 25-26.
std::uint32_t Ac3RefreshSignature(const Ac3HeaderReader &reader);

// The lines of the "Audio info" list for this frame, in display order
// ("Audio Type: AC3", "Bit Rate: 384 kbps", ...).
std::vector<std::string> Ac3InfoLines(const Ac3HeaderReader &reader);

// True when `data` holds at least one whole AC-3 frame whose two CRCs are
// both correct; false for length 0. Used to tell AC-3 from MPEG audio in raw
// audio chunks. `data` stays owned by the caller.
bool ContainsAc3Frame(const std::uint8_t *data, std::size_t length);

// CRC-16 with the AC-3 generator x^16 + x^15 + x^2 + 1, most significant bit
// first, starting from `crc`. Over a range that ends with its own CRC word the
// result is 0 exactly when the range is intact.
std::uint16_t Ac3Crc16(std::uint16_t crc, const std::uint8_t *data, std::size_t length);

} // namespace quelmar
