// MpegAudioHeader.h: the four-byte MPEG-1 audio frame header and the lines of the
// "Audio info" list that describe it. No shared state; any thread, one
// object per thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quelmar {

// Bytes of an MPEG audio frame header.
inline constexpr unsigned kMpegAudioHeaderBytes = 4;

// Decodes the header on first query. Holds a pointer to the header bytes,
// which stay owned by the caller and must hold at least
// kMpegAudioHeaderBytes bytes for the object's lifetime. The MPEG version bit
// is not decoded: the tables are those of MPEG-1.
class MpegAudioHeader {
public:
    // Mode values of the header.
    enum class Mode : std::uint8_t {
        Stereo = 0,
        JointStereo = 1,
        DualChannel = 2,
        SingleChannel = 3
    };
    // Layer value for the reserved layer bits 00.
    static constexpr unsigned kInvalidLayer = 4;
    // Bit rate indexes without a table entry.
    static constexpr unsigned kFreeFormatIndex = 0;
    static constexpr unsigned kInvalidBitRateIndex = 15;

    explicit MpegAudioHeader(const std::uint8_t *header) : header_(header) {}

    // 1, 2 or 3, or kInvalidLayer.
    unsigned Layer() const;
    // The 4-bit bit rate index and 2-bit sampling frequency index.
    unsigned BitRateIndex() const;
    unsigned SamplingFrequencyIndex() const;
    // Bits per second; 0 for the free format, the invalid index 15 and the
    // invalid layer, which have no table entry.
    unsigned BitRate() const;
    // 44100, 48000 or 32000 Hz; 0 for the reserved index 3.
    unsigned SamplingFrequency() const;
    // Padding slot in bytes (4 for layer 1, else 1) when the padding bit is
    // set, else 0.
    unsigned Padding() const;
    Mode GetMode() const;
    // "Stereo", "Joined Stereo", "Dual Channel" or "Single Channel".
    const char *ModeText() const;
    // True when the protection bit is 0 (a CRC follows the header).
    bool CrcPresent() const;
    // Length of the whole frame in bytes, padding included; 0 unless the
    // header carries the sync word and the MPEG-1 identifier, a valid layer,
    // a tabled bit rate and a valid sampling frequency.
    unsigned FrameSize() const;

private:
    void Decode() const;

    const std::uint8_t *header_;
    mutable bool decoded_ = false;
    mutable std::uint8_t layer_ = 0;
    mutable std::uint8_t bitRateIndex_ = 0;
    mutable std::uint8_t samplingIndex_ = 0;
    mutable std::uint8_t padding_ = 0;
    mutable std::uint8_t mode_ = 0;
    mutable bool crcPresent_ = false;
};

// The header's four bytes as one value, first byte most significant: the
// refresh signature of the MPEG audio lines. `header` holds at least
// kMpegAudioHeaderBytes bytes.
std::uint32_t MpegAudioSignature(const std::uint8_t *header);

// The lines of the "Audio info" list for this header, in display order
// ("Audio Type: MPEG, Layer 2", "Bit Rate: 192 kbps", ...).
std::vector<std::string> MpegAudioInfoLines(const MpegAudioHeader &header);

} // namespace quelmar
