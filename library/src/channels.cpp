// Channel table commands: count, whole table read and write, tuned channel,
// channel selection. Records travel in the receiver's form (16-bit fields
// most significant byte first, the receiver's name codes) and reach callers
// in host form.
#include "trace.h"
#include "transport.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <new>

namespace quelmar::scsi {
namespace {

constexpr uint8_t kModeCountLegacy = 1;
constexpr uint8_t kModeCountCurrent = 0x11;
constexpr uint32_t kCountAnswerBytes = 4;
constexpr uint8_t kModeCurrentChannel = 0x50;
constexpr uint8_t kModeTableWrite = 4;
constexpr uint8_t kModeSetChannel = 1;
constexpr uint32_t kSetChannelDataBytes = 2;

constexpr uint32_t kTableAddress = 0x0D0000;
constexpr uint32_t kTablePieceBytes = 0x10000; // one command moves at most 64 KiB
constexpr size_t kRecordBytes = sizeof(DvbChannel);

// Offsets of the record's 16-bit fields, whose byte order is converted.
constexpr std::array<size_t, 12> kWordOffsets = {4, 6, 8, 10, 16, 18, 20, 22, 24, 28, 30, 62};
constexpr size_t kNameOffset = offsetof(DvbChannel, name);
constexpr size_t kNameBytes = DVB_CHANNEL_NAME_SIZE;

struct CodePair {
    uint8_t receiver;
    uint8_t host;
};
// Receiver character codes and their host codes; no pair chains into another.
constexpr std::array<CodePair, 4> kNameCodes = {{
    {0x86, 0x5B}, // [
    {0x87, 0x5D}, // ]
    {0x9A, 0xDC}, // U with diaeresis
    {0xF8, 0xB0}, // degree sign
}};

constexpr uint8_t kPrintableFrom = 0x20; // bytes below are control characters
constexpr size_t kLastClearedByTerminator = 22;

enum class Direction {
    ToHost,
    ToReceiver
};

void swapWords(uint8_t *record)
{
    for (size_t offset : kWordOffsets)
        std::swap(record[offset], record[offset + 1]);
}

void translateName(uint8_t *record, Direction direction)
{
    uint8_t *name = record + kNameOffset;
    for (size_t i = 0; i < kNameBytes; ++i) {
        for (const CodePair &pair : kNameCodes) {
            const uint8_t from = direction == Direction::ToHost ? pair.receiver : pair.host;
            const uint8_t to = direction == Direction::ToHost ? pair.host : pair.receiver;
            if (name[i] == from) {
                name[i] = to;
                break;
            }
        }
    }
}

// Receiver order to host order; a 16-bit swap is its own inverse.
void convertWords(uint8_t *record)
{
    if constexpr (std::endian::native == std::endian::little)
        swapWords(record);
}

// Trims a name read from the receiver: leading control bytes go, the first
// control byte after that ends the name, trailing blanks and controls go.
void trimName(uint8_t *record)
{
    uint8_t *name = record + kNameOffset;
    for (size_t shifted = 0; shifted < kNameBytes && name[0] < kPrintableFrom; ++shifted) {
        std::memmove(name, name + 1, kNameBytes - 1);
        name[kNameBytes - 1] = 0;
    }
    for (size_t i = 0; i <= kLastClearedByTerminator; ++i) {
        if (name[i] < kPrintableFrom) {
            std::fill(name + i, name + kLastClearedByTerminator + 1, 0);
            break;
        }
    }
    for (size_t i = kNameBytes - 1; i >= 1 && name[i] <= kPrintableFrom; --i)
        name[i] = 0;
}

void recordToHost(uint8_t *record)
{
    translateName(record, Direction::ToHost);
    convertWords(record);
    trimName(record);
}

// Reads `bytes` of the table into `destination`, one command per 64 KiB
// piece. Every piece is tried; false when any failed.
bool readTable(const DvbDevice &device, uint8_t *destination, uint32_t bytes)
{
    bool ok = true;
    for (uint32_t done = 0; done < bytes;) {
        const uint32_t piece = std::min(bytes - done, kTablePieceBytes);
        // The table read carries no mode byte in either layout.
        const CommandBlock block = buildBlock(kOpReadBuffer, true, 0, kTableAddress + done, piece);
        ok = executeOn(device, kFlagsRead, destination + done, piece, block) && ok;
        done += piece;
    }
    return ok;
}

} // namespace
} // namespace quelmar::scsi

using namespace quelmar::scsi;

extern "C" uint16_t dvbChannelCount(const DvbDevice *device)
{
    if (!device)
        return 0;
    uint8_t answer[kCountAnswerBytes] = {};
    const uint8_t mode = legacyLayout(*device) ? kModeCountLegacy : kModeCountCurrent;
    if (!readBuffer(*device, answer, mode, 0, kCountAnswerBytes))
        return 0;
    const uint16_t count = getBe16(answer + 2);
    trace("dvbChannelCount() = %u\n", count);
    return count;
}

extern "C" int32_t dvbGetAllChannels(const DvbDevice *device, DvbChannel *channels, uint16_t capacity)
{
    trace("dvbGetAllChannels()\n");
    if (!device || !channels)
        return 0;
    const uint16_t count = std::min(dvbChannelCount(device), capacity);
    if (count == 0)
        return 0;
    auto *bytes = reinterpret_cast<uint8_t *>(channels);
    if (!readTable(*device, bytes, static_cast<uint32_t>(count * kRecordBytes)))
        return 0;
    for (uint16_t i = 0; i < count; ++i)
        recordToHost(bytes + i * kRecordBytes);
    return 1;
}

extern "C" int32_t dvbPutAllChannels(const DvbDevice *device, const DvbChannel *channels, uint16_t count)
{
    trace("PutAllChannels\n");
    if (!device || (count > 0 && !channels))
        return 0;
    const size_t total = count * kRecordBytes;
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[total ? total : 1]);
    if (!buffer)
        return 0;
    if (total)
        std::memcpy(buffer.get(), channels, total);
    for (uint16_t i = 0; i < count; ++i) {
        uint8_t *record = buffer.get() + i * kRecordBytes;
        convertWords(record);
        translateName(record, Direction::ToReceiver);
    }
    bool ok = true;
    for (uint32_t done = 0; done < total;) {
        const uint32_t piece = std::min(static_cast<uint32_t>(total) - done, kTablePieceBytes);
        ok = writeBuffer(*device, buffer.get() + done, kModeTableWrite, kTableAddress + done, piece) && ok;
        done += piece;
    }
    return truth(ok);
}

extern "C" DvbCurrentChannel dvbGetCurrentChannel(const DvbDevice *device)
{
    trace("dvbGetCurrentChannel()\n");
    DvbCurrentChannel current{};
    if (!device)
        return current;
    uint8_t answer[sizeof(DvbCurrentChannel)] = {};
    if (!readBuffer(*device, answer, kModeCurrentChannel, 0, sizeof answer))
        return current;
    uint8_t *record = answer + offsetof(DvbCurrentChannel, channel);
    recordToHost(record);
    std::memcpy(&current, answer, sizeof current);
    current.answer = getBe16(answer);
    return current;
}

extern "C" int32_t dvbSetChannel(const DvbDevice *device, uint16_t channel)
{
    if (!device)
        return 0;
    uint8_t data[kSetChannelDataBytes];
    putBe16(data, static_cast<uint16_t>(channel - 1));
    // Channel selection keeps its mode byte in byte 1 for every revision.
    const CommandBlock block = buildBlock(kOpStreamA, true, kModeSetChannel, 0, kSetChannelDataBytes);
    return truth(executeOn(*device, kFlagsWrite, data, kSetChannelDataBytes, block));
}
