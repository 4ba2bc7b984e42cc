// transport.h: the request executor and the command-block builders every
// receiver command rests on. All of them build their request on the calling
// thread's stack, block until it completed, failed or timed out, and keep no
// state, so any thread may call them at any time.
#pragma once

#include "aspi.h"
#include "quelmarscsi.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace quelmar::scsi {

// Request flags: data in / data out, each with event notification.
constexpr uint8_t kFlagsRead = 0x48;
constexpr uint8_t kFlagsWrite = 0x50;
constexpr uint8_t kSenseLength = 14;
constexpr size_t kBlockLength = 10; // every command but INQUIRY
constexpr size_t kInquiryBlockLength = 6;
constexpr int kCompletionWaitMs = 1000;
// Size of the buffer a command assembles outgoing data in; also the largest
// memory write.
constexpr size_t kCommandBufferBytes = 131072;
constexpr uint32_t kMaxField24 = 0xFFFFFF;
// The last revision with the mode byte in byte 1 of the command block.
constexpr uint16_t kLastLegacyRevision = 0x0214;

// Operation codes of the receiver's vendor commands.
constexpr uint8_t kOpWriteBuffer = 0x3B;
constexpr uint8_t kOpReadBuffer = 0x3C;
constexpr uint8_t kOpStreamA = 0x3D;
constexpr uint8_t kOpStreamB = 0x3E;
// Mode bytes of direct memory access (the SCSI mode word is written with
// the same command).
constexpr uint8_t kModeMemoryRead = 0;
constexpr uint8_t kModeMemoryWrite = 5;

using CommandBlock = std::array<uint8_t, kBlockLength>;

// One completion event per request: an eventfd that the layer signals once.
class CompletionEvent {
public:
    CompletionEvent();
    ~CompletionEvent();
    CompletionEvent(const CompletionEvent &) = delete;
    CompletionEvent &operator=(const CompletionEvent &) = delete;

    bool valid() const { return fd_ >= 0; }
    // The value for SRB_PostProc.
    void *asPostProc() const;
    // Waits until the event is signalled or timeoutMs passed; returns whether
    // it was signalled. EINTR does not shorten the wait.
    bool wait(int timeoutMs) const;

private:
    int fd_;
};

// Asks the layer to give up a request that has not signalled its event.
// Once this returns the layer no longer touches the request, its buffer or
// its event. Needs a bound send entry.
void abortRequest(SRB_ExecSCSICmd &srb);

// True for a receiver that expects the mode byte in byte 1.
inline bool legacyLayout(const DvbDevice &device) { return device.firmwareRevision <= kLastLegacyRevision; }

// The generic 10-byte block: operation, mode byte placed by revision,
// offset and transfer length as 24 bits most significant byte first (higher
// bits are dropped), byte 9 zero.
CommandBlock buildBlock(uint8_t operation, bool legacy, uint8_t mode, uint32_t offset, uint32_t length);

// Sends one execute request and waits for its completion event (at most
// kCompletionWaitMs; a request that has not signalled by then is aborted
// through the layer before this returns, so the layer never writes into
// `buffer` afterwards). Returns
// true exactly when the request completed without error. False without
// sending anything when no ASPI send entry is bound or no event can be made.
bool executeRequest(uint8_t flags, uint8_t hostAdapter, uint8_t target, uint8_t *buffer, uint32_t dataLength,
                    const uint8_t *block, size_t blockLength);

// Executes a block against the device's address.
bool executeOn(const DvbDevice &device, uint8_t flags, uint8_t *buffer, uint32_t dataLength, const CommandBlock &block);

// The four builders. readBuffer reads `length` bytes into `buffer`;
// writeBuffer copies `length` bytes of `data` into the command buffer and
// sends them (false when length exceeds kCommandBufferBytes); the stream
// commands send `dataLength` bytes while the block declares `length`.
bool readBuffer(const DvbDevice &device, uint8_t *buffer, uint8_t mode, uint32_t offset, uint32_t length);
bool writeBuffer(const DvbDevice &device, const uint8_t *data, uint8_t mode, uint32_t offset, uint32_t length);
bool streamCommandA(const DvbDevice &device, const uint8_t *data, uint8_t mode, uint32_t offset, uint32_t length,
                    uint32_t dataLength);
bool streamCommandB(const DvbDevice &device, const uint8_t *data, uint8_t mode, uint32_t offset, uint32_t length,
                    uint32_t dataLength);

// Rescans one host adapter; true when the layer reports completion.
bool rescanBus(uint8_t adapter);

// Exports return exactly 0 or 1.
inline int32_t truth(bool value) { return value ? 1 : 0; }

// Big-endian helpers for the receiver's byte order.
inline void putBe16(uint8_t *out, uint32_t value)
{
    out[0] = static_cast<uint8_t>(value >> 8);
    out[1] = static_cast<uint8_t>(value);
}
inline void putBe24(uint8_t *out, uint32_t value)
{
    out[0] = static_cast<uint8_t>(value >> 16);
    out[1] = static_cast<uint8_t>(value >> 8);
    out[2] = static_cast<uint8_t>(value);
}
inline void putBe32(uint8_t *out, uint32_t value)
{
    out[0] = static_cast<uint8_t>(value >> 24);
    putBe24(out + 1, value);
}
inline uint16_t getBe16(const uint8_t *in) { return static_cast<uint16_t>((in[0] << 8) | in[1]); }

} // namespace quelmar::scsi
