// channel_record.h: the 64-byte channel record as the receiver keeps it in its
// memory (16-bit fields most significant byte first, names in the receiver's
// character codes), and where the table lives.
#pragma once

#include "receiver/config.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace quelmar::receiver {

constexpr uint32_t kChannelTableAddress = 0x0D0000;
constexpr size_t kChannelRecordBytes = 64;
// Offsets inside a record.
constexpr size_t kRecordFrequencyOffset = 4;  // MHz, 16 bits
constexpr size_t kRecordSymbolRateOffset = 6; // kSymbols/s, 16 bits
constexpr size_t kRecordVideoPidOffset = 16;
constexpr size_t kRecordAudioPidOffset = 18;
constexpr size_t kRecordPcrPidOffset = 20;
constexpr size_t kRecordServiceIdOffset = 22;
constexpr size_t kRecordNameOffset = 32;
constexpr size_t kRecordTagOffset = 56;

using ChannelRecord = std::array<uint8_t, kChannelRecordBytes>;

// The record of a configured channel in receiver form.
ChannelRecord encodeChannelRecord(const ChannelConfig &channel, unsigned index);

inline uint16_t readBe16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline void writeBe16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

} // namespace quelmar::receiver
