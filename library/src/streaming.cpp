// Stream transfer commands: start and stop streaming, and the reads that
// fetch stream data straight into the caller's buffer.
#include "transport.h"

namespace quelmar::scsi {
namespace {

constexpr uint32_t kParameterBlockBytes = 6;
constexpr uint8_t kModeMultiPid = 0;
constexpr uint8_t kModeSingleStream = 6;
// dvbReadMultipleStreams: mode byte = kModeFirstStream + stream kind.
constexpr uint8_t kModeFirstStream = 0x17;
constexpr int32_t kLastStreamKind = DVB_STREAM_PTS;

// first, low 16 bits of second, third; each most significant byte first.
void parameterBlock(uint8_t (&block)[kParameterBlockBytes], uint16_t first, uint32_t second, uint16_t third)
{
    putBe16(block, first);
    putBe16(block + 2, static_cast<uint16_t>(second));
    putBe16(block + 4, third);
}

} // namespace
} // namespace quelmar::scsi

using namespace quelmar::scsi;

extern "C" int32_t dvbInitStreaming(const DvbDevice *device, uint16_t first, uint32_t second, uint16_t third)
{
    if (!device)
        return 0;
    uint8_t block[kParameterBlockBytes];
    parameterBlock(block, first, second, third);
    return truth(streamCommandA(*device, block, 0, 0, kParameterBlockBytes, kParameterBlockBytes));
}

extern "C" int32_t dvbInitStreaming2(const DvbDevice *device, uint16_t first, uint32_t second, uint16_t third)
{
    if (!device)
        return 0;
    uint8_t block[kParameterBlockBytes];
    parameterBlock(block, first, second, third);
    return truth(streamCommandB(*device, block, 0, 0, kParameterBlockBytes, kParameterBlockBytes));
}

// The restart and stop commands declare a transfer length of 0 while the
// request carries six data bytes; the receiver expects exactly that.
extern "C" int32_t dvbReInitStreaming(const DvbDevice *device)
{
    if (!device)
        return 0;
    const uint8_t data[kParameterBlockBytes] = {kOpStreamB, 0, 0, 0, 0, 0};
    return truth(streamCommandB(*device, data, 0, 0, 0, kParameterBlockBytes));
}

extern "C" int32_t dvbDeInitStreaming(const DvbDevice *device)
{
    if (!device)
        return 0;
    const uint8_t data[kParameterBlockBytes] = {};
    return truth(streamCommandA(*device, data, 0, 0, 0, kParameterBlockBytes));
}

extern "C" int32_t dvbReadMultiPID(const DvbDevice *device, uint8_t *buffer, uint32_t length)
{
    if (!device || (!buffer && length))
        return 0;
    return truth(readBuffer(*device, buffer, kModeMultiPid, 0, length));
}

extern "C" int32_t dvbReadSingleStream(const DvbDevice *device, uint8_t *buffer, uint32_t length)
{
    if (!device || (!buffer && length))
        return 0;
    return truth(readBuffer(*device, buffer, kModeSingleStream, 0, length));
}

extern "C" int32_t dvbReadMultipleStreams(const DvbDevice *device, uint8_t *buffer, uint32_t length, int32_t kind)
{
    if (kind < 0 || kind > kLastStreamKind || !device || (!buffer && length))
        return 0;
    const auto mode = static_cast<uint8_t>(kModeFirstStream + kind);
    return truth(readBuffer(*device, buffer, mode, 0, length));
}
