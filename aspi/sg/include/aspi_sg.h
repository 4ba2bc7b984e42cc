/*
 * aspi_sg.h: what libwnaspi32.so (the ASPI layer over the Linux SCSI generic
 * driver) offers beyond the common request interface in aspi.h.
 *
 * Host adapters are the SCSI hosts that have at least one /dev/sgN device,
 * numbered from 0 in ascending host number; targets are SCSI ids on that host
 * (the lowest channel wins when a host has several); LUN 0 only. The layer
 * enumerates when it is first called and again after every
 * SC_RESCAN_SCSI_BUS.
 *
 * Environment (read once, when the layer is first called):
 *   QUELMAR_SG_SYSFS_ROOT  directory standing in for /sys (default "/sys");
 *                          the layer reads class/scsi_generic/sgN/device and
 *                          class/scsi_host/hostN/proc_name and writes
 *                          class/scsi_host/hostN/scan below it.
 *   QUELMAR_SG_DEV_ROOT    directory standing in for /dev (default "/dev");
 *                          the layer opens sgN below it.
 *
 * Requests (see aspi.h for the rules every layer keeps):
 *   SC_HA_INQUIRY       completes at once; SS_INVALID_HA for an unknown adapter.
 *   SC_EXEC_SCSI_CMD    SS_PENDING at return; runs SG_IO on a worker thread.
 *                       Refused at once: SS_INVALID_CMD (malformed request:
 *                       unknown flag bits, both directions, data without a
 *                       direction, null buffer, command block length outside
 *                       6..16, more than ASPI_SG_MAX_TRANSFER_BYTES, event
 *                       notification without an eventfd, the same request
 *                       block still pending), SS_INVALID_HA, SS_NO_DEVICE.
 *   SC_ABORT_SRB        SS_COMP when the named request was pending (it is
 *                       then SS_ABORTED and never touched again), SS_ERR when
 *                       it was not pending, SS_INVALID_CMD for a null pointer.
 *   SC_RESCAN_SCSI_BUS  writes "- - -" to the adapter's host scan file and
 *                       enumerates again; SS_COMP or SS_ERR.
 *
 * GetASPI32SupportInfo() reports SS_ERR with no adapters when the SCSI
 * generic driver is absent (no class/scsi_generic directory).
 */
#ifndef QUELMAR_ASPI_SG_H
#define QUELMAR_ASPI_SG_H

#include <stdint.h>

#include "aspi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Largest data transfer of one request: the 24-bit transfer length of the
 * receiver's command blocks. */
enum { ASPI_SG_MAX_TRANSFER_BYTES = 1 << 24 };

/* Adapter status codes carried in SRB_HaStat. */
enum {
    ASPI_HASTAT_OK = 0x00,
    ASPI_HASTAT_TIMEOUT = 0x09,          /* timed out before it was processed */
    ASPI_HASTAT_COMMAND_TIMEOUT = 0x0B,  /* timed out while being processed */
    ASPI_HASTAT_BUS_RESET = 0x0E,
    ASPI_HASTAT_PARITY_ERROR = 0x0F,
    ASPI_HASTAT_SEL_TO = 0x11,           /* selection timeout: no such target */
    ASPI_HASTAT_PHASE_ERR = 0x14         /* any other adapter or driver failure */
};

#pragma pack(push, 1)

/* SC_HA_INQUIRY. HA_Unique: bytes 0..1 buffer alignment mask (0: none),
 * byte 2 residual byte count support (0: none), byte 3 the number of target
 * ids, bytes 4..7 the largest transfer in bytes, little-endian. */
typedef struct {
    uint8_t  SRB_Cmd, SRB_Status, SRB_HaId, SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
    uint8_t  HA_Count;
    uint8_t  HA_SCSI_ID;
    uint8_t  HA_ManagerId[16];
    uint8_t  HA_Identifier[16];
    uint8_t  HA_Unique[16];
    uint16_t HA_Rsvd1;
} SRB_HAInquiry;

#pragma pack(pop)

#ifdef __cplusplus
}
static_assert(sizeof(SRB_HAInquiry) == 60, "SRB_HAInquiry layout");
static_assert(offsetof(SRB_HAInquiry, HA_Count) == 8, "SRB_HAInquiry layout");
static_assert(offsetof(SRB_HAInquiry, HA_ManagerId) == 10, "SRB_HAInquiry layout");
static_assert(offsetof(SRB_HAInquiry, HA_Identifier) == 26, "SRB_HAInquiry layout");
static_assert(offsetof(SRB_HAInquiry, HA_Unique) == 42, "SRB_HAInquiry layout");
#else
_Static_assert(sizeof(SRB_HAInquiry) == 60, "SRB_HAInquiry layout");
#endif

#endif /* QUELMAR_ASPI_SG_H */
