#include "analysis/Ac3HeaderReader.h"

#include "analysis/BitReader.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace quelmar {

namespace {

constexpr unsigned kBitsPerByte = 8;
constexpr unsigned kByteValues = 256;
constexpr unsigned kByteMask = 0xFF;

// ---- synchronisation information -------------------------------------------

constexpr std::size_t kFscodByte = 4; // fscod (2 bits) and frmsizecod (6 bits)
constexpr unsigned kFrmsizecodMask = 0x3F;
constexpr unsigned kFscodShift = 6;
constexpr unsigned kFrmsizecodCount = 38; // valid codes 0 to 37; two per bit rate
constexpr unsigned kCodesPerFscod = 64;
constexpr unsigned kFscodCount = 4;
constexpr unsigned kReservedFscod = 3;
constexpr std::uint8_t kUnavailableCode = 0xFF; // fscod 3: frame size 0

// Nominal bit rates in kbit/s, by frmsizecod >> 1.
constexpr std::array<unsigned, kFrmsizecodCount / 2> kNominalKbps{32,  40,  48,  56,  64,  80,  96,  112, 128, 160,
                                                                  192, 224, 256, 320, 384, 448, 512, 576, 640};

// A frame carries 1536 samples. In 16-bit words: 48 kHz gives 2 words and
// 32 kHz 3 words per kbit/s; 44.1 kHz gives kbps * 96000 / 44100 truncated,
// plus one word for the odd code of each pair (the padded frame).
constexpr unsigned kWordsPerKbps48k = 2;
constexpr unsigned kWordsPerKbps32k = 3;
constexpr unsigned kWordsPerKbps44kNumerator = 96000; // 1536 samples * 1000 / 16 bits
constexpr unsigned kSampleRate44kHz = 44100;
constexpr unsigned kBytesPerWord = 2;

constexpr std::array<std::uint16_t, kFscodCount * kCodesPerFscod> MakeFrameSizeTable()
{
    std::array<std::uint16_t, kFscodCount * kCodesPerFscod> table{};
    for (unsigned code = 0; code < kFrmsizecodCount; ++code) {
        const unsigned kbps = kNominalKbps[code >> 1];
        const unsigned words44k = kbps * kWordsPerKbps44kNumerator / kSampleRate44kHz + (code & 1);
        table[0 * kCodesPerFscod + code] = static_cast<std::uint16_t>(kbps * kWordsPerKbps48k * kBytesPerWord);
        table[1 * kCodesPerFscod + code] = static_cast<std::uint16_t>(words44k * kBytesPerWord);
        table[2 * kCodesPerFscod + code] = static_cast<std::uint16_t>(kbps * kWordsPerKbps32k * kBytesPerWord);
    }
    return table;
}

// Indexed by the whole byte 4 of a frame.
constexpr auto kFrameSizeBytes = MakeFrameSizeTable();
static_assert(kFrameSizeBytes[0x1C] == 1536 && kFrameSizeBytes[0x4F] == 488 &&
              kFrameSizeBytes[0x80 + 37] == kAc3MaxFrameBytes && kFrameSizeBytes[0x26] == 0 &&
              kFrameSizeBytes[0xC0] == 0);

// ---- CRC ---------------------------------------------------------------------

constexpr std::uint16_t kCrcPolynomial = 0x8005; // x^16 + x^15 + x^2 + 1 without the x^16 term
constexpr unsigned kCrcTopBit = 0x8000;
constexpr unsigned kCrcSlices = 8;       // bytes per step of the sliced loop
constexpr std::size_t kFirstCrcByte = 2; // the sync word is not covered

using CrcTables = std::array<std::array<std::uint16_t, kByteValues>, kCrcSlices>;

// tables[k][v] = v * x^(16 + 8k) mod the generator: the contribution of byte
// value v followed by k more bytes.
constexpr CrcTables MakeCrcTables()
{
    CrcTables tables{};
    for (unsigned v = 0; v < kByteValues; ++v) {
        unsigned r = v << kBitsPerByte;
        for (unsigned bit = 0; bit < kBitsPerByte; ++bit)
            r = (r & kCrcTopBit) ? (r << 1) ^ kCrcPolynomial : r << 1;
        tables[0][v] = static_cast<std::uint16_t>(r);
    }
    for (unsigned k = 1; k < kCrcSlices; ++k)
        for (unsigned v = 0; v < kByteValues; ++v) {
            const std::uint16_t prev = tables[k - 1][v];
            tables[k][v] = static_cast<std::uint16_t>((prev << kBitsPerByte) ^ tables[0][prev >> kBitsPerByte]);
        }
    return tables;
}

constexpr CrcTables kCrcTables = MakeCrcTables();

// Result of checking both CRCs of a frame of `size` bytes that lies wholly
// in memory. CRC1 covers bytes 2 to the last byte of the first 5/8 of the
// frame, CRC2 the rest; each range ends with a remainder of 0 when intact.
unsigned CheckFrameCrcs(const std::uint8_t *frame, std::size_t size, bool stopAtFirstFailure)
{
    if (size <= kFirstCrcByte)
        return kAc3CrcOk;
    const std::size_t words = size / kBytesPerWord;
    const std::size_t crc1End = kBytesPerWord * ((words >> 1) + (words >> 3)); // one past the boundary byte
    unsigned result = kAc3CrcOk;
    if (Ac3Crc16(0, frame + kFirstCrcByte, crc1End - kFirstCrcByte) != 0) {
        result |= kAc3Crc1Failed;
        if (stopAtFirstFailure)
            return result;
    }
    if (Ac3Crc16(0, frame + crc1End, size - crc1End) != 0)
        result |= kAc3Crc2Failed;
    return result;
}

// ---- texts -------------------------------------------------------------------

constexpr std::array<const char *, 4> kSamplingFrequencyTexts{"48.0 kHz", "44.1 kHz", "32.0 kHz", "reserved"};
constexpr std::array<const char *, 8> kAudioCodingModeTexts{
    "Ch1, Ch2", "C", "L, R", "L, C, R", "L, R, S", "L, C, R, S", "L, R, SL, SR", "L, C, R, SL, SR"};
constexpr std::array<const char *, 8> kBitStreamModeTexts{"CM", "ME", "VI", "HI", "D", "C", "E", "VO"};
constexpr char kKaraokeText[] = "K";
constexpr unsigned kVoiceOverOrKaraoke = 7;
constexpr std::array<const char *, 4> kCenterMixTexts{"0.707 (-3.0 dB)", "0.596 (-4.5 dB)", "0.500 (-6.0 dB)",
                                                      "reserved"};
constexpr std::array<const char *, 4> kSurroundMixTexts{"0.707 (-3.0 dB)", "0.500 (-6.0 dB)", "0 (0dB)", "reserved"};
constexpr std::array<const char *, 4> kDolbySurroundTexts{"not indicated", "NOT Dolby Surround encoded",
                                                          "Dolby Surround encoded", "reserved"};
constexpr std::array<const char *, 4> kRoomTypeTexts{"not indicated", "large room, X curve monitor",
                                                     "small room, flat monitor", "reserved"};
constexpr std::array<const char *, 4> kTimecodeTexts{"not present", "first half (14 bits) present",
                                                     "second half (14 bits) present", "both halves (28 bits) present"};
constexpr std::array<const char *, 4> kCrcTexts{"CRC-Check: O.K.", "CRC-Check: CRC1 failed, CRC2 O.K.",
                                                "CRC-Check: CRC1 O.K., CRC2 failed", "CRC-Check: failed"};
constexpr char kNoData[] = "no data";

// acmod values that decide which optional fields are present.
constexpr unsigned kAcmodDualMono = 0; // 1+1: a second set of fields
constexpr unsigned kAcmodMono = 1;
constexpr unsigned kAcmodStereo = 2;      // dsurmod present
constexpr unsigned kAcmodSurroundBit = 4; // surmixlev present

bool HasCenterMix(unsigned acmod) { return (acmod & 1) && acmod != kAcmodMono; }
bool HasSurroundMix(unsigned acmod) { return (acmod & kAcmodSurroundBit) != 0; }

// Bit position of the bit stream information (after sync word, crc1, byte 4).
constexpr std::uint16_t kBsiStartBit = 40;

// Widths of the bit stream information fields, in bits.
constexpr unsigned kBsidBits = 5;
constexpr unsigned kBsmodBits = 3;
constexpr unsigned kAcmodBits = 3;
constexpr unsigned kMixOrSurroundModeBits = 2; // cmixlev, surmixlev, dsurmod
constexpr unsigned kFlagBits = 1;
constexpr unsigned kDialnormBits = 5;
constexpr unsigned kComprBits = 8;
constexpr unsigned kLangcodBits = 8;
constexpr unsigned kMixlevelBits = 5;
constexpr unsigned kRoomtypBits = 2;
constexpr unsigned kCopyrightAndOrigBits = 2; // copyrightb, origbs
constexpr unsigned kTimecodBits = 14;

// Signature layout (see Ac3RefreshSignature).
constexpr unsigned kSigFscodShift = 2;
constexpr unsigned kSigFrmsizecodShift = 4;
constexpr unsigned kSigBsmodShift = 10;
constexpr unsigned kSigAcmodShift = 13;
constexpr unsigned kSigLfeonShift = 16;
constexpr unsigned kSigTimecod1eShift = 17;
constexpr unsigned kSigTimecod2eShift = 18;
constexpr unsigned kSigAudprodieShift = 19;
constexpr unsigned kSigMixlevelShift = 20;
constexpr unsigned kSigRoomtypShift = 25;

} // namespace

std::uint16_t Ac3Crc16(std::uint16_t crc, const std::uint8_t *data, std::size_t length)
{
    // Eight bytes per step: the register's two bytes fold into the first two.
    const auto &t = kCrcTables;
    while (length >= kCrcSlices) {
        crc = static_cast<std::uint16_t>(t[7][(crc >> kBitsPerByte) ^ data[0]] ^ t[6][(crc & kByteMask) ^ data[1]] ^
                                         t[5][data[2]] ^ t[4][data[3]] ^ t[3][data[4]] ^ t[2][data[5]] ^ t[1][data[6]] ^
                                         t[0][data[7]]);
        data += kCrcSlices;
        length -= kCrcSlices;
    }
    while (length-- > 0)
        crc = static_cast<std::uint16_t>((crc << kBitsPerByte) ^ t[0][(crc >> kBitsPerByte) ^ *data++]);
    return crc;
}

unsigned Ac3FrameSizeForCode(std::uint8_t fscodFrmsizecod) { return kFrameSizeBytes[fscodFrmsizecod]; }

std::uint8_t Ac3HeaderReader::Byte4() const { return available_ > kFscodByte ? frame_[kFscodByte] : kUnavailableCode; }

unsigned Ac3HeaderReader::FrameSize() const { return Ac3FrameSizeForCode(Byte4()); }
unsigned Ac3HeaderReader::Fscod() const { return Byte4() >> kFscodShift; }
unsigned Ac3HeaderReader::Frmsizecod() const { return Byte4() & kFrmsizecodMask; }

const Ac3HeaderReader::Bsi &Ac3HeaderReader::DecodedBsi() const
{
    if (bsiDecoded_)
        return bsi_;
    bsiDecoded_ = true;
    bsi_ = Bsi{};

    // The bit stream information is far shorter than any frame; the limit
    // only keeps a short buffer from being overrun.
    const std::size_t limitBytes = available_ < kAc3MaxFrameBytes ? available_ : kAc3MaxFrameBytes;
    const unsigned limitBits = static_cast<unsigned>(limitBytes * kBitsPerByte);
    std::uint16_t cursor = kBsiStartBit;
    bool exhausted = false;
    auto read = [&](unsigned n) -> std::uint8_t {
        if (exhausted || cursor + n > limitBits) {
            exhausted = true;
            return 0;
        }
        // No field kept here is wider than 8 bits; wider ones are skipped.
        return static_cast<std::uint8_t>(ReadBits(frame_, cursor, n));
    };
    auto skip = [&](unsigned n) {
        if (exhausted || cursor + n > limitBits)
            exhausted = true;
        else
            cursor = static_cast<std::uint16_t>(cursor + n);
    };

    Bsi &b = bsi_;
    b.bsid = read(kBsidBits);
    b.bsmod = read(kBsmodBits);
    b.acmod = read(kAcmodBits);
    if (HasCenterMix(b.acmod))
        b.cmixlev = read(kMixOrSurroundModeBits);
    if (HasSurroundMix(b.acmod))
        b.surmixlev = read(kMixOrSurroundModeBits);
    if (b.acmod == kAcmodStereo)
        b.dsurmod = read(kMixOrSurroundModeBits);
    b.lfeon = read(kFlagBits);
    b.dialnorm = read(kDialnormBits);
    if (read(kFlagBits)) // compre
        skip(kComprBits);
    if (read(kFlagBits)) // langcode
        skip(kLangcodBits);
    b.audprodie = read(kFlagBits);
    if (b.audprodie) {
        b.mixlevel = read(kMixlevelBits);
        b.roomtyp = read(kRoomtypBits);
    }
    if (b.acmod == kAcmodDualMono) {
        skip(kDialnormBits); // dialnorm2
        if (read(kFlagBits)) // compr2e
            skip(kComprBits);
        if (read(kFlagBits)) // langcod2e
            skip(kLangcodBits);
        b.audprodi2e = read(kFlagBits);
        if (b.audprodi2e) {
            b.mixlevel2 = read(kMixlevelBits);
            b.roomtyp2 = read(kRoomtypBits);
        }
    }
    skip(kCopyrightAndOrigBits);
    b.timecod1e = read(kFlagBits);
    if (b.timecod1e)
        skip(kTimecodBits);
    b.timecod2e = read(kFlagBits);
    return bsi_;
}

unsigned Ac3HeaderReader::Bsid() const { return DecodedBsi().bsid; }
unsigned Ac3HeaderReader::Bsmod() const { return DecodedBsi().bsmod; }
unsigned Ac3HeaderReader::Acmod() const { return DecodedBsi().acmod; }
unsigned Ac3HeaderReader::Cmixlev() const { return DecodedBsi().cmixlev; }
unsigned Ac3HeaderReader::Surmixlev() const { return DecodedBsi().surmixlev; }
unsigned Ac3HeaderReader::Dsurmod() const { return DecodedBsi().dsurmod; }
unsigned Ac3HeaderReader::Lfeon() const { return DecodedBsi().lfeon; }
unsigned Ac3HeaderReader::Dialnorm() const { return DecodedBsi().dialnorm; }
unsigned Ac3HeaderReader::Audprodie() const { return DecodedBsi().audprodie; }
unsigned Ac3HeaderReader::Audprodi2e() const { return DecodedBsi().audprodi2e; }
unsigned Ac3HeaderReader::Roomtyp2() const { return DecodedBsi().roomtyp2; }
unsigned Ac3HeaderReader::Timecod1e() const { return DecodedBsi().timecod1e; }
unsigned Ac3HeaderReader::Timecod2e() const { return DecodedBsi().timecod2e; }

unsigned Ac3HeaderReader::Mixlevel() const
{
    if (!DecodedBsi().audprodie)
        throw kFieldUnavailable;
    return bsi_.mixlevel;
}

unsigned Ac3HeaderReader::Roomtyp() const
{
    if (!DecodedBsi().audprodie)
        throw kFieldUnavailable;
    return bsi_.roomtyp;
}

unsigned Ac3HeaderReader::CrcCheck() const
{
    const unsigned size = FrameSize();
    if (size <= kFirstCrcByte)
        return kAc3CrcOk;
    if (size > available_)
        return kAc3CrcBothFailed;
    return CheckFrameCrcs(frame_, size, false);
}

std::string Ac3HeaderReader::BitRateText() const
{
    const unsigned index = Frmsizecod() >> 1;
    if (index >= kNominalKbps.size())
        return "invalid";
    return std::to_string(kNominalKbps[index]) + " kbps";
}

std::string Ac3HeaderReader::SamplingFrequencyText() const { return kSamplingFrequencyTexts[Fscod()]; }
const char *Ac3HeaderReader::AudioCodingModeText() const { return kAudioCodingModeTexts[Acmod()]; }

const char *Ac3HeaderReader::BitStreamModeText() const
{
    if (Bsmod() == kVoiceOverOrKaraoke && Acmod() > kAcmodMono)
        return kKaraokeText;
    return kBitStreamModeTexts[Bsmod()];
}

const char *Ac3HeaderReader::CenterMixLevelText() const
{
    return HasCenterMix(Acmod()) ? kCenterMixTexts[Cmixlev()] : kNoData;
}

const char *Ac3HeaderReader::SurroundMixLevelText() const
{
    return HasSurroundMix(Acmod()) ? kSurroundMixTexts[Surmixlev()] : kNoData;
}

const char *Ac3HeaderReader::DolbySurroundModeText() const
{
    return Acmod() == kAcmodStereo ? kDolbySurroundTexts[Dsurmod()] : kNoData;
}

const char *Ac3HeaderReader::RoomType1Text() const { return Audprodie() ? kRoomTypeTexts[bsi_.roomtyp] : kNoData; }

const char *Ac3HeaderReader::RoomType2Text() const
{
    return Acmod() == kAcmodDualMono && Audprodi2e() ? kRoomTypeTexts[Roomtyp2()] : kNoData;
}

const char *Ac3HeaderReader::TimecodeText() const { return kTimecodeTexts[(Timecod2e() ? 2 : 0) + Timecod1e()]; }

const char *Ac3HeaderReader::CrcText() const { return kCrcTexts[CrcCheck()]; }

std::uint32_t Ac3RefreshSignature(const Ac3HeaderReader &reader)
{
    std::uint32_t code = reader.CrcCheck() | reader.Fscod() << kSigFscodShift |
                         reader.Frmsizecod() << kSigFrmsizecodShift | reader.Bsmod() << kSigBsmodShift |
                         reader.Acmod() << kSigAcmodShift | reader.Lfeon() << kSigLfeonShift |
                         reader.Timecod1e() << kSigTimecod1eShift | reader.Timecod2e() << kSigTimecod2eShift;
    if (reader.Audprodie())
        code |=
            1u << kSigAudprodieShift | reader.Mixlevel() << kSigMixlevelShift | reader.Roomtyp() << kSigRoomtypShift;
    return code;
}

std::vector<std::string> Ac3InfoLines(const Ac3HeaderReader &reader)
{
    char line[64];
    std::vector<std::string> lines;
    lines.emplace_back("Audio Type: AC3");
    lines.emplace_back("Bit Rate: " + reader.BitRateText());
    lines.emplace_back("Sampling Frequency: " + reader.SamplingFrequencyText());
    lines.emplace_back(std::string("Audio Coding Mode: ") + reader.AudioCodingModeText());
    lines.emplace_back(reader.Lfeon() ? "Low Frequency Effects Channel: On" : "Low Frequency Effects Channel: Off");
    lines.emplace_back(std::string("Bit Stream Mode: ") + reader.BitStreamModeText());
    lines.emplace_back(std::string("Center Mix Level: ") + reader.CenterMixLevelText());
    lines.emplace_back(std::string("Surround Mix Level: ") + reader.SurroundMixLevelText());
    lines.emplace_back(std::string("Dolby SR Mode: ") + reader.DolbySurroundModeText());
    lines.emplace_back(reader.CrcText());
    lines.emplace_back(std::string("Timecode: ") + reader.TimecodeText());
    lines.emplace_back(std::string("Room Type 1: ") + reader.RoomType1Text());
    lines.emplace_back(std::string("Room Type 2: ") + reader.RoomType2Text());
    std::snprintf(line, sizeof line, "Frame Size: %u Bytes", reader.FrameSize());
    lines.emplace_back(line);
    return lines;
}

bool ContainsAc3Frame(const std::uint8_t *data, std::size_t length)
{
    std::size_t k = 0;
    // A candidate is a 0x0B with a byte after it.
    while (length >= 2 && k < length - 1) {
        const void *hit = std::memchr(data + k, kAc3Sync0, length - 1 - k);
        if (!hit)
            return false;
        k = static_cast<std::size_t>(static_cast<const std::uint8_t *>(hit) - data);
        if (data[k + 1] != kAc3Sync1) {
            ++k;
            continue;
        }
        if (length - k < kAc3SyncInfoBytes)
            return false;
        const unsigned size = Ac3FrameSizeForCode(data[k + kFscodByte]);
        if (size == 0) {
            k += kAc3SyncInfoBytes;
            continue;
        }
        if (size <= length - k && CheckFrameCrcs(data + k, size, true) == kAc3CrcOk)
            return true;
        ++k;
    }
    return false;
}

} // namespace quelmar
