#include "sg_io.h"

#include <cerrno>
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "aspi_sg.h"

namespace quelmar::sg {
namespace {

// Host byte codes of the Linux SCSI midlayer (kernel ABI, not in the
// userspace headers).
constexpr uint16_t kDidOk = 0x00;
constexpr uint16_t kDidNoConnect = 0x01;
constexpr uint16_t kDidBusBusy = 0x02;
constexpr uint16_t kDidTimeOut = 0x03;
constexpr uint16_t kDidBadTarget = 0x04;
constexpr uint16_t kDidAbort = 0x05;
constexpr uint16_t kDidParity = 0x06;
constexpr uint16_t kDidReset = 0x08;

// Driver byte codes; the high nibble carries a retry suggestion.
constexpr uint16_t kDriverByteMask = 0x0F;
constexpr uint16_t kDriverOk = 0x00;
constexpr uint16_t kDriverTimeout = 0x06;
constexpr uint16_t kDriverSense = 0x08; // sense data valid: not a failure by itself

constexpr uint8_t kScsiStatusMask = 0xFE; // bit 0 is reserved
constexpr uint8_t kScsiConditionMet = 0x04;

uint8_t adapterStatusForHost(uint16_t hostStatus)
{
    switch (hostStatus) {
    case kDidNoConnect:
    case kDidBadTarget: return ASPI_HASTAT_SEL_TO;
    case kDidBusBusy: return ASPI_HASTAT_TIMEOUT;
    case kDidTimeOut:
    case kDidAbort: return ASPI_HASTAT_COMMAND_TIMEOUT; // the midlayer aborts timed-out commands
    case kDidParity: return ASPI_HASTAT_PARITY_ERROR;
    case kDidReset: return ASPI_HASTAT_BUS_RESET;
    default: return ASPI_HASTAT_PHASE_ERR;
    }
}

} // namespace

AspiOutcome mapSgIoResult(const SgIoResult &result)
{
    if (result.errorNumber != 0) {
        const bool vanished =
            result.errorNumber == ENOENT || result.errorNumber == ENODEV || result.errorNumber == ENXIO;
        return {static_cast<uint8_t>(vanished ? SS_NO_DEVICE : SS_ERR), ASPI_HASTAT_OK, ASPI_TARGET_GOOD};
    }
    const uint8_t target = result.targetStatus & kScsiStatusMask;
    if (result.hostStatus != kDidOk)
        return {SS_ERR, adapterStatusForHost(result.hostStatus), target};
    const uint16_t driver = result.driverStatus & kDriverByteMask;
    if (driver != kDriverOk && driver != kDriverSense) {
        const uint8_t ha = driver == kDriverTimeout ? ASPI_HASTAT_COMMAND_TIMEOUT : ASPI_HASTAT_PHASE_ERR;
        return {SS_ERR, ha, target};
    }
    if (target != ASPI_TARGET_GOOD && target != kScsiConditionMet)
        return {SS_ERR, ASPI_HASTAT_OK, target};
    return {SS_COMP, ASPI_HASTAT_OK, target};
}

uint32_t transferredBytes(uint32_t dataLength, int32_t residual)
{
    if (residual <= 0)
        return dataLength;
    if (static_cast<uint32_t>(residual) >= dataLength)
        return 0;
    return dataLength - static_cast<uint32_t>(residual);
}

SgIoResult runSgIo(const SgIoRequest &request)
{
    SgIoResult result;
    // O_NONBLOCK only keeps open() from waiting for another process's
    // exclusive hold; SG_IO itself always blocks until the command ends.
    const int fd = ::open(request.devicePath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        result.errorNumber = errno;
        return result;
    }
    sg_scsi_id id{};
    if (::ioctl(fd, SG_GET_SCSI_ID, &id) < 0) {
        result.errorNumber = errno;
        ::close(fd);
        return result;
    }
    const ScsiAddress actual{static_cast<unsigned>(id.host_no), static_cast<unsigned>(id.channel),
                             static_cast<unsigned>(id.scsi_id), static_cast<unsigned>(id.lun)};
    if (actual != request.address) {
        result.errorNumber = ENODEV;
        ::close(fd);
        return result;
    }
    sg_io_hdr_t header{};
    header.interface_id = 'S';
    switch (request.direction) {
    case Direction::None: header.dxfer_direction = SG_DXFER_NONE; break;
    case Direction::In: header.dxfer_direction = SG_DXFER_FROM_DEV; break;
    case Direction::Out: header.dxfer_direction = SG_DXFER_TO_DEV; break;
    }
    header.cmd_len = request.cdbLength;
    header.cmdp = const_cast<unsigned char *>(request.cdb);
    header.mx_sb_len = request.senseCapacity;
    header.sbp = request.sense;
    header.dxfer_len = request.dataLength;
    header.dxferp = request.data;
    header.timeout = request.timeoutMs;
    // No retry on EINTR: the command may already have reached the target.
    if (::ioctl(fd, SG_IO, &header) < 0) {
        result.errorNumber = errno;
    } else {
        result.targetStatus = header.status;
        result.hostStatus = header.host_status;
        result.driverStatus = header.driver_status;
        result.senseWritten = header.sb_len_wr;
        result.residual = header.resid;
    }
    ::close(fd);
    return result;
}

} // namespace quelmar::sg
