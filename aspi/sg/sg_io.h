// sg_io.h: one SCSI command through the SCSI generic driver's SG_IO ioctl,
// and the translation of its outcome into ASPI request statuses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace quelmar::sg {

enum class Direction {
    None,
    In,
    Out
};

// "H:C:T:L" as the kernel names a SCSI device.
struct ScsiAddress {
    unsigned host = 0, channel = 0, target = 0, lun = 0;
    bool operator==(const ScsiAddress &) const = default;
};

// One command as handed to the driver. The pointers stay valid for the whole
// call; data and sense belong to the layer, never to the ASPI caller.
struct SgIoRequest {
    std::string devicePath; // e.g. "/dev/sg3"
    ScsiAddress address;    // the device the node must still be
    const uint8_t *cdb = nullptr;
    uint8_t cdbLength = 0; // 6..16
    Direction direction = Direction::None;
    uint8_t *data = nullptr;
    uint32_t dataLength = 0; // 0 exactly when direction is none
    uint8_t *sense = nullptr;
    uint8_t senseCapacity = 0; // bytes the driver may write to sense
    uint32_t timeoutMs = 0;
};

// What came back. errorNumber is the errno of open() or ioctl() (0 when the
// driver ran the command); the other fields are those of sg_io_hdr.
struct SgIoResult {
    int errorNumber = 0;
    uint8_t targetStatus = 0;  // SCSI status byte
    uint16_t hostStatus = 0;   // Linux DID_* code
    uint16_t driverStatus = 0; // Linux DRIVER_* code, suggestion in the high nibble
    uint8_t senseWritten = 0;  // sense bytes the driver wrote
    int32_t residual = 0;      // bytes requested but not transferred
};

// The call that runs a command; tests inject their own. Called on a worker
// thread, possibly on several at once; may block up to the request's timeout.
using SgIoFunction = std::function<SgIoResult(const SgIoRequest &)>;

// Opens the device node, checks that it is still the device at
// request.address (sg names are reused when devices come and go: a vendor
// command must never reach some other device; a mismatch is ENODEV), issues
// SG_IO and closes the node again.
SgIoResult runSgIo(const SgIoRequest &request);

// ASPI view of an SG_IO outcome.
struct AspiOutcome {
    uint8_t status;            // SS_COMP, SS_ERR or SS_NO_DEVICE
    uint8_t hostAdapterStatus; // ASPI_HASTAT_*
    uint8_t targetStatus;      // SCSI status byte for SRB_TargStat
};

// Pure translation: errno first (a vanished node is SS_NO_DEVICE, anything
// else SS_ERR), then adapter and driver failures (SS_ERR with an adapter
// status), then the target status (anything but GOOD or CONDITION MET is
// SS_ERR). Sense data alone is not a failure.
AspiOutcome mapSgIoResult(const SgIoResult &result);

// Bytes of a data-in transfer that actually arrived: dataLength less the
// residual, clamped to 0..dataLength.
uint32_t transferredBytes(uint32_t dataLength, int32_t residual);

} // namespace quelmar::sg
