#include "transport.h"

#include "aspi_binding.h"
#include "trace.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

namespace quelmar::scsi {
namespace {

constexpr uint8_t kLun = 0;

} // namespace

CompletionEvent::CompletionEvent() : fd_(eventfd(0, EFD_CLOEXEC)) {}

CompletionEvent::~CompletionEvent()
{
    if (fd_ >= 0)
        close(fd_);
}

void *CompletionEvent::asPostProc() const { return reinterpret_cast<void *>(static_cast<intptr_t>(fd_)); }

bool CompletionEvent::wait(int timeoutMs) const
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{fd_, POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>(std::max<long long>(left, 0)));
        if (r > 0) {
            // Consuming the count also orders the layer's writes before ours.
            uint64_t count = 0;
            return read(fd_, &count, sizeof count) == sizeof count;
        }
        if ((r < 0 && errno != EINTR) || left <= 0)
            return false;
    }
}

void abortRequest(SRB_ExecSCSICmd &srb)
{
    SRB_Abort abort{};
    abort.SRB_Cmd = SC_ABORT_SRB;
    abort.SRB_HaId = srb.SRB_HaId;
    abort.SRB_ToAbort = &srb;
    aspiBinding().sendCommand(&abort);
}

CommandBlock buildBlock(uint8_t operation, bool legacy, uint8_t mode, uint32_t offset, uint32_t length)
{
    CommandBlock block{};
    block[0] = operation;
    block[1] = legacy ? mode : 0;
    block[2] = legacy ? 0 : mode;
    putBe24(&block[3], offset & kMaxField24);
    putBe24(&block[6], length & kMaxField24);
    block[9] = 0;
    return block;
}

bool executeRequest(uint8_t flags, uint8_t hostAdapter, uint8_t target, uint8_t *buffer, uint32_t dataLength,
                    const uint8_t *block, size_t blockLength)
{
    const AspiBinding &binding = aspiBinding();
    if (!binding.sendCommand || blockLength > ASPI_CDB_BYTES)
        return false;

    SRB_ExecSCSICmd srb{};
    CompletionEvent event;
    if (!event.valid())
        return false;

    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_HaId = hostAdapter;
    srb.SRB_Flags = flags;
    srb.SRB_Target = target;
    srb.SRB_Lun = kLun;
    srb.SRB_BufLen = dataLength;
    srb.SRB_BufPointer = buffer;
    srb.SRB_SenseLen = kSenseLength;
    srb.SRB_CDBLen = static_cast<uint8_t>(blockLength);
    srb.SRB_PostProc = event.asPostProc();
    std::memcpy(srb.CDBByte, block, blockLength);

    binding.sendCommand(&srb);
    // The event, not the status byte, tells that the layer is done with the
    // request: a completion from the layer's thread stores the status before
    // it signals. Without the event within the wait the request is aborted,
    // so nothing writes into this stack frame or the event afterwards.
    if (!event.wait(kCompletionWaitMs))
        abortRequest(srb);
    return aspi::loadStatus(srb.SRB_Status) == SS_COMP;
}

bool executeOn(const DvbDevice &device, uint8_t flags, uint8_t *buffer, uint32_t dataLength, const CommandBlock &block)
{
    return executeRequest(flags, device.hostAdapter, device.targetId, buffer, dataLength, block.data(), block.size());
}

bool readBuffer(const DvbDevice &device, uint8_t *buffer, uint8_t mode, uint32_t offset, uint32_t length)
{
    return executeOn(device, kFlagsRead, buffer, length,
                     buildBlock(kOpReadBuffer, legacyLayout(device), mode, offset, length));
}

namespace {

// Outgoing data is assembled in a command buffer of the calling thread.
bool sendFromCommandBuffer(const DvbDevice &device, uint8_t operation, const uint8_t *data, uint8_t mode,
                           uint32_t offset, uint32_t length, uint32_t dataLength)
{
    if (dataLength > kCommandBufferBytes || (dataLength > 0 && !data))
        return false;
    uint8_t buffer[kCommandBufferBytes];
    if (dataLength > 0)
        std::memcpy(buffer, data, dataLength);
    return executeOn(device, kFlagsWrite, buffer, dataLength,
                     buildBlock(operation, legacyLayout(device), mode, offset, length));
}

} // namespace

bool writeBuffer(const DvbDevice &device, const uint8_t *data, uint8_t mode, uint32_t offset, uint32_t length)
{
    return sendFromCommandBuffer(device, kOpWriteBuffer, data, mode, offset, length, length);
}

bool streamCommandA(const DvbDevice &device, const uint8_t *data, uint8_t mode, uint32_t offset, uint32_t length,
                    uint32_t dataLength)
{
    return sendFromCommandBuffer(device, kOpStreamA, data, mode, offset, length, dataLength);
}

bool streamCommandB(const DvbDevice &device, const uint8_t *data, uint8_t mode, uint32_t offset, uint32_t length,
                    uint32_t dataLength)
{
    return sendFromCommandBuffer(device, kOpStreamB, data, mode, offset, length, dataLength);
}

bool rescanBus(uint8_t adapter)
{
    const AspiBinding &binding = aspiBinding();
    if (!binding.sendCommand)
        return false;
    auto request = std::make_unique<SRB_Header>();
    request->SRB_Cmd = SC_RESCAN_SCSI_BUS;
    request->SRB_HaId = adapter;
    binding.sendCommand(request.get());
    return aspi::loadStatus(request->SRB_Status) == SS_COMP;
}

} // namespace quelmar::scsi

using namespace quelmar::scsi;

extern "C" int32_t dvbRescanAllSCSIBusses(void)
{
    const auto platform = platformId();
    if (!platform)
        trace("Error while retrieving OS-Version!");
    // Without a bound layer nothing can be rescanned: that is no success.
    if (platform == kPlatformNt && aspiBinding().sendCommand) {
        bool all = true;
        for (unsigned adapter = 0; adapter < aspiBinding().adapterCount; ++adapter)
            all = rescanBus(static_cast<uint8_t>(adapter)) && all;
        return truth(all);
    }
    trace("dvbRescanAllSCSIBusses() = false\n");
    return 0;
}
