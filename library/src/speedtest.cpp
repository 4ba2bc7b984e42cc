// SCSI speed test: sends a number of bytes in writes of at most 64 KiB and
// measures the time taken.
#include "aspi_binding.h"
#include "trace.h"
#include "transport.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace quelmar::scsi {
namespace {

constexpr uint32_t kChunkBytes = 0x10000;
constexpr uint8_t kFlagsWritePolled = 0x10; // data out, no event
constexpr int kPollSleepMs = 10;

int64_t nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Sends one chunk and waits for it; true when it completed without error.
// A request that has not finished within the completion wait is aborted, in
// polling mode as well, so a silent receiver cannot hold the caller forever.
bool sendChunk(SRB_ExecSCSICmd &srb, bool useEvent)
{
    const AspiBinding &binding = aspiBinding();
    if (useEvent) {
        CompletionEvent event;
        if (!event.valid())
            return false;
        srb.SRB_PostProc = event.asPostProc();
        aspi::storeStatus(srb.SRB_Status, SS_PENDING);
        binding.sendCommand(&srb);
        if (!event.wait(kCompletionWaitMs))
            abortRequest(srb);
    } else {
        srb.SRB_PostProc = nullptr;
        aspi::storeStatus(srb.SRB_Status, SS_PENDING);
        binding.sendCommand(&srb);
        const int64_t deadline = nowMs() + kCompletionWaitMs;
        while (aspi::loadStatus(srb.SRB_Status) == SS_PENDING) {
            if (nowMs() >= deadline) {
                abortRequest(srb);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(kPollSleepMs));
        }
    }
    return aspi::loadStatus(srb.SRB_Status) == SS_COMP;
}

} // namespace
} // namespace quelmar::scsi

using namespace quelmar::scsi;

extern "C" int32_t dvbSCSISpeedTest(const DvbDevice *device, uint32_t totalBytes, int32_t useEvent)
{
    trace("dvbSCSISpeedTest()\n");
    if (!device || !aspiBinding().sendCommand)
        return 0;
    // Only the amount of data matters; the same buffer goes out every time.
    uint8_t buffer[kCommandBufferBytes] = {};
    SRB_ExecSCSICmd srb{};
    const int64_t start = nowMs();
    uint32_t remaining = totalBytes;
    while (remaining > 0) {
        const uint32_t chunk = std::min(remaining, kChunkBytes);
        srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
        srb.SRB_Flags = useEvent ? kFlagsWrite : kFlagsWritePolled;
        srb.SRB_HaId = device->hostAdapter;
        srb.SRB_Target = device->targetId;
        srb.SRB_BufPointer = buffer;
        srb.SRB_BufLen = chunk;
        srb.SRB_SenseLen = kSenseLength;
        srb.SRB_CDBLen = kBlockLength;
        const CommandBlock block = buildBlock(kOpWriteBuffer, true, 0, 0, chunk);
        std::memcpy(srb.CDBByte, block.data(), block.size());
        if (!sendChunk(srb, useEvent != 0))
            break;
        remaining -= chunk;
    }
    const int64_t end = nowMs();
    if (remaining > 0)
        return 0;
    return static_cast<int32_t>(end - start);
}
