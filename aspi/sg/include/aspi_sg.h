/*
 * aspi_sg.h: what libwnaspi32.so (the ASPI layer over the Linux SCSI generic
 * driver) offers beyond the common request interface in aspi.h.
 *
 * Host adapters are the SCSI hosts (class/scsi_host/hostN, and the hosts of
 * /dev/sgN devices), numbered from 0 in ascending host number, also those
 * with no device yet: a receiver switched on later appears there after a
 * rescan without shifting the numbers. Targets are the SCSI ids of a host's
 * sg devices (the lowest channel wins when a host has several); LUN 0 only.
 * The layer
 * enumerates when it is first called and again after every
 * SC_RESCAN_SCSI_BUS.
 *
 * Environment (read once, when the layer is first called):
 *   QUELMAR_SG_SYSFS_ROOT  directory standing in for /sys (default "/sys");
 *                          the layer reads class/scsi_generic/sgN/device,
 *                          class/scsi_host/hostN and its proc_name and writes
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
enum {
    ASPI_SG_MAX_TRANSFER_BYTES = 1 << 24
};

#ifdef __cplusplus
}
#endif

#endif /* QUELMAR_ASPI_SG_H */
