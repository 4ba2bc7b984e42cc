// Receiver control: special commands (status texts, remote lock, picture
// settings, on-screen text) and direct memory access.
#include "quelmarscsi_special.h"
#include "transport.h"

#include <cstring>
#include <memory>
#include <new>

namespace quelmar::scsi {
namespace {

constexpr uint8_t kModeSpecial = 0x30;
// The block carries the message length in one byte.
constexpr size_t kMaxMessageBytes = 0xFF;

constexpr uint8_t kCodeRemoteLock = DVB_SPECIAL_REMOTE_LOCK;
constexpr uint8_t kCodeRemoteUnlock = DVB_SPECIAL_REMOTE_UNLOCK;
constexpr uint8_t kCodeOnScreenText = DVB_SPECIAL_ON_SCREEN_TEXT;
constexpr uint8_t kCodeVideo = DVB_SPECIAL_VIDEO_SETTING;

constexpr size_t kVideoKinds = 4;
constexpr uint8_t kVideoData[kVideoKinds][2] = {{0x00, 0x0D}, {0x00, 0x10}, {0x00, 0x16}, {0x01, 0x06}};

constexpr size_t kOsdHeaderBytes = 12; // second, first (32 bits each), third, fourth (16 bits each)
constexpr uint8_t kOsdEmptyText = 0x20;

// Message length after the terminator and the padding to an even length.
size_t messageLength(uint8_t code, const uint8_t *data, size_t length)
{
    size_t total = length + 1;
    const uint8_t last = length ? data[length - 1] : code;
    if (last != 0)
        ++total;
    if (total % 2)
        ++total;
    return total;
}

// Code byte, data, a 0 unless the last byte already is one, a 0 to make the
// length even. Messages that do not fit the length byte are refused.
bool sendSpecial(const DvbDevice &device, uint8_t code, const uint8_t *data, size_t length)
{
    if (length && !data)
        return false;
    const size_t total = messageLength(code, data, length);
    if (total > kMaxMessageBytes)
        return false;
    uint8_t message[kMaxMessageBytes + 1] = {};
    message[0] = code;
    if (length)
        std::memcpy(message + 1, data, length);
    const CommandBlock block =
        buildBlock(kOpWriteBuffer, legacyLayout(device), kModeSpecial, 0, static_cast<uint32_t>(total));
    return executeOn(device, kFlagsWrite, message, static_cast<uint32_t>(total), block);
}

} // namespace
} // namespace quelmar::scsi

using namespace quelmar::scsi;

extern "C" int32_t dvbSendSpecialCommand(const DvbDevice *device, const uint8_t *data, uint16_t length, uint8_t code)
{
    if (!device)
        return 0;
    return truth(sendSpecial(*device, code, data, length));
}

extern "C" int32_t dvbRemote(const DvbDevice *device, int32_t on)
{
    if (!device || (on != 0 && on != 1))
        return 0;
    return truth(sendSpecial(*device, on ? kCodeRemoteLock : kCodeRemoteUnlock, nullptr, 0));
}

extern "C" int32_t dvbVideoGimmick(const DvbDevice *device, uint32_t kind)
{
    if (!device || kind >= kVideoKinds)
        return 0;
    return truth(sendSpecial(*device, kCodeVideo, kVideoData[kind], sizeof kVideoData[kind]));
}

extern "C" int32_t dvbSetOSD(const DvbDevice *device, uint32_t first, uint32_t second, uint16_t third, uint16_t fourth,
                             const char *text)
{
    if (!device)
        return 0;
    const size_t n = text ? std::strlen(text) : 0;
    // Code byte + header + text + terminator already exceed the length byte.
    if (1 + kOsdHeaderBytes + n + 1 > kMaxMessageBytes)
        return 0;
    std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[n + kOsdHeaderBytes + 2]());
    if (!block)
        return 0;
    size_t length = n + kOsdHeaderBytes + 1;
    if (n == 0) {
        // An empty text drops all four values and shows one blank.
        block[kOsdHeaderBytes] = kOsdEmptyText;
        block[kOsdHeaderBytes + 1] = 0;
        length = kOsdHeaderBytes + 2;
    } else {
        putBe32(&block[0], second);
        putBe32(&block[4], first);
        putBe16(&block[8], third);
        putBe16(&block[10], fourth);
        std::memcpy(&block[kOsdHeaderBytes], text, n + 1);
    }
    return truth(sendSpecial(*device, kCodeOnScreenText, block.get(), length));
}

extern "C" int32_t dvbReadMemory(const DvbDevice *device, uint32_t address, uint8_t *buffer, uint32_t length)
{
    if (!device || (!buffer && length))
        return 0;
    return truth(readBuffer(*device, buffer, kModeMemoryRead, address, length));
}

extern "C" int32_t dvbWriteMemory(const DvbDevice *device, uint32_t address, const uint8_t *data, uint32_t length)
{
    if (!device)
        return 0;
    // writeBuffer refuses more than its command buffer holds.
    return truth(writeBuffer(*device, data, kModeMemoryWrite, address, length));
}
