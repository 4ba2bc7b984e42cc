/*
 * aspi.h: the request interface between the receiver access library and an
 * ASPI layer module (libwnaspi32.so over the SCSI generic driver,
 * libaspi-virtual.so with the simulated receiver, or a test layer).
 *
 * The layout is the ASPI for Win32 request layout, packed, little-endian,
 * with native (8-byte) pointers.
 *
 * Rules every layer keeps:
 *  - SendASPI32Command() sets SRB_Status to SS_PENDING when it accepts an
 *    execute request, and stores the final status last, with release
 *    ordering; callers read it with acquire ordering (quelmar::aspi::loadStatus()).
 *    Without SRB_EVENT_NOTIFY the caller may reuse or release the request as
 *    soon as it sees the final status, so a layer reads everything it still
 *    needs (flags, event descriptor) before it stores the status.
 *  - With SRB_EVENT_NOTIFY the layer writes the 8-byte value 1 to the eventfd
 *    in SRB_PostProc after the final status is stored, exactly once for every
 *    execute request, whatever its outcome, also when it completes or is
 *    refused before SendASPI32Command() returns. That write is the layer's
 *    last access to the request: the caller may close the eventfd and release
 *    the request and its buffer once the event is signalled. Without the flag
 *    no event is touched.
 *  - A request may complete before SendASPI32Command() returns or later from
 *    the layer's own thread (status SS_PENDING at return).
 *  - Target refusals: SRB_Status = SS_ERR, SRB_TargStat = ASPI_TARGET_BUSY or
 *    ASPI_TARGET_CHECK_CONDITION (with sense data).
 *  - Once SendASPI32Command() has returned for an SC_ABORT_SRB that names a
 *    request, the layer never touches that request, its data buffer or its
 *    eventfd again: a completion in progress finishes before the abort
 *    returns (completion and abort exclude each other), a pending request's
 *    status becomes SS_ABORTED, and an abort of a request the layer no longer
 *    holds is harmless.
 *  - Layers are thread-safe: requests arrive from several threads at once.
 */
#ifndef QUELMAR_ASPI_H
#define QUELMAR_ASPI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    SC_HA_INQUIRY = 0,
    SC_EXEC_SCSI_CMD = 2,
    SC_ABORT_SRB = 3,
    SC_RESCAN_SCSI_BUS = 7
};
enum {
    SS_PENDING = 0,
    SS_COMP = 1,
    SS_ABORTED = 2,
    SS_ERR = 4,
    SS_INVALID_CMD = 0x80,
    SS_INVALID_HA = 0x81,
    SS_NO_DEVICE = 0x82
};
enum {
    SRB_DIR_IN = 0x08,
    SRB_DIR_OUT = 0x10,
    SRB_EVENT_NOTIFY = 0x40
};
/* SCSI target status bytes carried in SRB_TargStat. */
enum {
    ASPI_TARGET_GOOD = 0x00,
    ASPI_TARGET_CHECK_CONDITION = 0x02,
    ASPI_TARGET_BUSY = 0x08
};
enum {
    ASPI_SENSE_AREA_BYTES = 16,
    ASPI_CDB_BYTES = 16
};
/* Adapter status codes carried in SRB_HaStat. */
enum {
    ASPI_HASTAT_OK = 0x00,
    ASPI_HASTAT_TIMEOUT = 0x09,         /* timed out before it was processed */
    ASPI_HASTAT_COMMAND_TIMEOUT = 0x0B, /* timed out while being processed */
    ASPI_HASTAT_BUS_RESET = 0x0E,
    ASPI_HASTAT_PARITY_ERROR = 0x0F,
    ASPI_HASTAT_SEL_TO = 0x11,   /* selection timeout: no such target */
    ASPI_HASTAT_DO_DU = 0x12,    /* data over-run or under-run */
    ASPI_HASTAT_PHASE_ERR = 0x14 /* any other adapter or driver failure */
};

/* The request types and entry points keep the names of ASPI for Win32. */
/* NOLINTBEGIN(readability-identifier-naming) */
#pragma pack(push, 1)

/* 8 bytes: also the whole SC_RESCAN_SCSI_BUS request. */
typedef struct {
    uint8_t SRB_Cmd, SRB_Status, SRB_HaId, SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
} SRB_Header;

/* SC_HA_INQUIRY. HA_Unique: bytes 0..1 buffer alignment mask (0: none),
 * byte 2 residual byte count support (0: none), byte 3 the number of target
 * ids, bytes 4..7 the largest transfer in bytes, little-endian. */
typedef struct {
    uint8_t SRB_Cmd, SRB_Status, SRB_HaId, SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
    uint8_t HA_Count;
    uint8_t HA_SCSI_ID;
    uint8_t HA_ManagerId[16];
    uint8_t HA_Identifier[16];
    uint8_t HA_Unique[16];
    uint16_t HA_Rsvd1;
} SRB_HAInquiry;

/* SC_EXEC_SCSI_CMD */
typedef struct {
    uint8_t SRB_Cmd, SRB_Status, SRB_HaId, SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
    uint8_t SRB_Target, SRB_Lun;
    uint16_t SRB_Rsvd1;
    uint32_t SRB_BufLen;
    uint8_t *SRB_BufPointer;
    uint8_t SRB_SenseLen, SRB_CDBLen, SRB_HaStat, SRB_TargStat;
    void *SRB_PostProc; /* with SRB_EVENT_NOTIFY: an eventfd descriptor, cast to intptr_t */
    uint8_t SRB_Rsvd2[20];
    uint8_t CDBByte[ASPI_CDB_BYTES];
    uint8_t SenseArea[ASPI_SENSE_AREA_BYTES];
} SRB_ExecSCSICmd;

/* SC_ABORT_SRB */
typedef struct {
    uint8_t SRB_Cmd, SRB_Status, SRB_HaId, SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
    void *SRB_ToAbort;
} SRB_Abort;

#pragma pack(pop)
/* NOLINTEND(readability-identifier-naming) */

#ifdef __cplusplus
static_assert(sizeof(SRB_Header) == 8, "SRB_Header layout");
static_assert(sizeof(SRB_ExecSCSICmd) == 88, "SRB_ExecSCSICmd layout");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Target) == 8, "SRB_ExecSCSICmd layout");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_BufLen) == 12, "SRB_ExecSCSICmd layout");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_BufPointer) == 16, "SRB_ExecSCSICmd layout");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_SenseLen) == 24, "SRB_ExecSCSICmd layout");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_PostProc) == 28, "SRB_ExecSCSICmd layout");
static_assert(offsetof(SRB_ExecSCSICmd, CDBByte) == 56, "SRB_ExecSCSICmd layout");
static_assert(offsetof(SRB_ExecSCSICmd, SenseArea) == 72, "SRB_ExecSCSICmd layout");
static_assert(sizeof(SRB_Abort) == 16, "SRB_Abort layout");
static_assert(sizeof(SRB_HAInquiry) == 60, "SRB_HAInquiry layout");
static_assert(offsetof(SRB_HAInquiry, HA_Count) == 8, "SRB_HAInquiry layout");
static_assert(offsetof(SRB_HAInquiry, HA_ManagerId) == 10, "SRB_HAInquiry layout");
static_assert(offsetof(SRB_HAInquiry, HA_Identifier) == 26, "SRB_HAInquiry layout");
static_assert(offsetof(SRB_HAInquiry, HA_Unique) == 42, "SRB_HAInquiry layout");
#else
_Static_assert(sizeof(SRB_ExecSCSICmd) == 88, "SRB_ExecSCSICmd layout");
_Static_assert(sizeof(SRB_HAInquiry) == 60, "SRB_HAInquiry layout");
#endif

/* Entry points every layer exports (C linkage, these names). */
typedef uint32_t (*GetASPI32SupportInfoFn)(void);
typedef uint32_t (*SendASPI32CommandFn)(void *srb);

/* NOLINTBEGIN(readability-identifier-naming) */
/* GetASPI32SupportInfo(): bits 8..15 status (SS_COMP = working), bits 0..7
 * host adapter count. */
uint32_t GetASPI32SupportInfo(void);
/* SendASPI32Command(): runs one request; returns its status at return time.
 * May be called from any thread. */
uint32_t SendASPI32Command(void *srb);
/* NOLINTEND(readability-identifier-naming) */

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#include <atomic>
namespace quelmar::aspi {
/* The status byte is shared between the caller and the layer's completion
 * thread: the layer publishes it with release ordering, callers read it with
 * acquire ordering. */
inline uint8_t loadStatus(const uint8_t &status)
{
    return std::atomic_ref<uint8_t>(const_cast<uint8_t &>(status)).load(std::memory_order_acquire);
}
inline void storeStatus(uint8_t &status, uint8_t value)
{
    std::atomic_ref<uint8_t>(status).store(value, std::memory_order_release);
}
} // namespace quelmar::aspi
#endif

#endif /* QUELMAR_ASPI_H */
