/*
 * quelmarscsi.h: the receiver access library libquelmarscsi.so.
 *
 * 25 exported functions with C linkage carry the receiver's SCSI command set.
 * The library binds the ASPI layer (libwnaspi32.so beside it, or the file that
 * QUELMAR_ASPI_LAYER names) when it is loaded and releases it when unloaded.
 * It keeps no per-receiver state and takes no locks: every command takes a
 * device record that the caller owns, builds its request on the calling
 * thread's stack and blocks until the request completed, failed or its
 * 1000 ms completion wait ran out. Commands may be issued from several
 * threads at once.
 *
 * Calling order: check quelmarDLLVersion() (23), dvbInit() == DVB_ASPI_OK,
 * then dvbFindFirstQuelmar() or dvbFindAllQuelmars(), then issue commands
 * with a record whose status is DVB_STATUS_FOUND or DVB_STATUS_FOUND_OLD.
 *
 * Truth results are int32_t values that are exactly 1 (the request completed
 * without error) or 0 (anything else). Buffers belong to the caller and must
 * hold at least the stated length; records returned by value are copies.
 */
#ifndef QUELMAR_SCSI_H
#define QUELMAR_SCSI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Interface version returned by quelmarDLLVersion(). */
#define QUELMAR_DLL_VERSION 23u

/* ASPI status words returned by dvbInit(). */
#define DVB_ASPI_OK 0x10000000u            /* layer bound, support call succeeded */
#define DVB_ASPI_SUPPORT_FAIL 0x20000000u  /* support call reported another status */
#define DVB_ASPI_ENTRY_MISSING 0x30000000u /* an entry point is missing; layer unloaded */
#define DVB_ASPI_NOT_LOADED 0x40000000u    /* layer could not be loaded */

/* DvbDevice.status */
#define DVB_STATUS_NONE 1      /* no receiver found */
#define DVB_STATUS_FOUND 2     /* found by the current identification */
#define DVB_STATUS_FOUND_OLD 3 /* found by the older identification */

#define DVB_MAX_DEVICES 32
#define DVB_CHANNEL_NAME_SIZE 24
/* Video PID of a radio channel (no video). */
#define DVB_NO_VIDEO_PID 8191

/* Stream kinds of dvbReadMultipleStreams(). */
#define DVB_STREAM_AUDIO 0
#define DVB_STREAM_VIDEO 1
#define DVB_STREAM_PTS 2

/* dvbSetSCSIMode() modes. */
#define DVB_SCSI_MODE_AUTOMATIC 0
#define DVB_SCSI_MODE_CHECK_CONDITION 1
#define DVB_SCSI_MODE_BUSY 2

/* The receiver's address record. The library only reads targetId,
 * hostAdapter and firmwareRevision of a record it is given. */
typedef struct DvbDevice {
    int32_t status;            /* DVB_STATUS_* */
    uint8_t targetId;          /* SCSI target 0..7, 0xFF when none found */
    uint8_t hostAdapter;       /* ASPI host adapter, 0xFF when none found */
    uint16_t firmwareRevision; /* four decimal digits in four nibbles: 0x0217 = 2.17 */
    int32_t reserved;          /* always 0 */
} DvbDevice;

typedef struct DvbDeviceList {
    uint8_t count; /* receivers found; entries from count on have status 1 */
    DvbDevice devices[DVB_MAX_DEVICES];
} DvbDeviceList;

/* One channel record, 64 bytes, in host form: 16-bit fields in host byte
 * order, name in host character codes, trimmed. The numeric fields are the
 * receiver's; word16 is the video PID (DVB_NO_VIDEO_PID for radio). A channel
 * is identified by tag and name together. */
typedef struct DvbChannel {
    uint8_t head[4];
    uint16_t word4, word6, word8, word10;
    uint8_t bytes12[4];
    uint16_t word16, word18, word20, word22, word24;
    uint8_t bytes26[2];
    uint16_t word28, word30;
    char name[DVB_CHANNEL_NAME_SIZE]; /* NUL-terminated unless 24 characters long */
    uint8_t tag;
    uint8_t bytes57[5];
    uint16_t word62;
} DvbChannel;

/* Answer of dvbGetCurrentChannel(); answer == 0 means the receiver did not
 * answer (the whole record is then zero). */
typedef struct DvbCurrentChannel {
    uint16_t answer;
    uint8_t spare[2];
    DvbChannel channel;
} DvbCurrentChannel;

#ifdef __cplusplus
static_assert(sizeof(DvbDevice) == 12, "DvbDevice layout");
static_assert(offsetof(DvbDevice, targetId) == 4 && offsetof(DvbDevice, hostAdapter) == 5 &&
                  offsetof(DvbDevice, firmwareRevision) == 6 && offsetof(DvbDevice, reserved) == 8,
              "DvbDevice layout");
static_assert(sizeof(DvbDeviceList) == 388 && offsetof(DvbDeviceList, devices) == 4, "DvbDeviceList layout");
static_assert(sizeof(DvbChannel) == 64, "DvbChannel layout");
static_assert(offsetof(DvbChannel, word4) == 4 && offsetof(DvbChannel, bytes12) == 12 &&
                  offsetof(DvbChannel, word16) == 16 && offsetof(DvbChannel, word24) == 24 &&
                  offsetof(DvbChannel, bytes26) == 26 && offsetof(DvbChannel, word28) == 28 &&
                  offsetof(DvbChannel, name) == 32 && offsetof(DvbChannel, tag) == 56 &&
                  offsetof(DvbChannel, bytes57) == 57 && offsetof(DvbChannel, word62) == 62,
              "DvbChannel layout");
static_assert(sizeof(DvbCurrentChannel) == 68 && offsetof(DvbCurrentChannel, channel) == 4, "DvbCurrentChannel layout");
#endif

/* Always QUELMAR_DLL_VERSION (23), with or without an ASPI layer. */
uint32_t quelmarDLLVersion(void);
/* The ASPI status word of the binding made at load time (DVB_ASPI_*). */
uint32_t dvbInit(void);
/* On an NT-family system rescans every host adapter; 1 when all rescans
 * succeeded. 0 on another system, when the version query fails or when no
 * ASPI layer is bound. */
int32_t dvbRescanAllSCSIBusses(void);
/* First receiver by the current identification, else by the older one
 * (status 3); sets its SCSI mode to automatic. Status 1 when none. */
DvbDevice dvbFindFirstQuelmar(void);
/* Every receiver with the current identification, in scan order (adapter,
 * then target), at most DVB_MAX_DEVICES; sets each one's mode to automatic. */
DvbDeviceList dvbFindAllQuelmars(void);
/* Sends totalBytes to the receiver in writes of at most 64 KiB; returns the
 * elapsed milliseconds, 0 when a write failed. useEvent != 0 waits for each
 * completion on an event, else polls the request status every 10 ms. */
int32_t dvbSCSISpeedTest(const DvbDevice *device, uint32_t totalBytes, int32_t useEvent);
/* The tuned channel; all zero when the receiver did not answer. */
DvbCurrentChannel dvbGetCurrentChannel(const DvbDevice *device);
/* Number of channels in the receiver's table, 0 on failure. */
uint16_t dvbChannelCount(const DvbDevice *device);
/* Reads min(count, capacity) records into channels, in host form. */
int32_t dvbGetAllChannels(const DvbDevice *device, DvbChannel *channels, uint16_t capacity);
/* Writes count records to the receiver's table; channels is not changed. */
int32_t dvbPutAllChannels(const DvbDevice *device, const DvbChannel *channels, uint16_t count);
/* mode: DVB_SCSI_MODE_AUTOMATIC, _CHECK_CONDITION, any other value busy. */
int32_t dvbSetSCSIMode(const DvbDevice *device, int32_t mode);
/* Tunes channel number `channel` (1 = first record of the table). */
int32_t dvbSetChannel(const DvbDevice *device, uint16_t channel);
/* Special command `code` with `length` data bytes. Messages longer than 255
 * bytes after padding are refused (0, nothing sent). */
int32_t dvbSendSpecialCommand(const DvbDevice *device, const uint8_t *data, uint16_t length, uint8_t code);
/* on 1 locks the remote control, 0 unlocks it; any other value returns 0. */
int32_t dvbRemote(const DvbDevice *device, int32_t on);
/* Picture setting kind 0..3; any other kind returns 0. */
int32_t dvbVideoGimmick(const DvbDevice *device, uint32_t kind);
/* On-screen text; text may be empty. Too long a text returns 0. */
int32_t dvbSetOSD(const DvbDevice *device, uint32_t first, uint32_t second, uint16_t third, uint16_t fourth,
                  const char *text);
/* Start streaming with the 6-byte parameter block (first, low 16 bits of
 * second, third). The recorder passes 0, 0x10000, 10. */
int32_t dvbInitStreaming(const DvbDevice *device, uint16_t first, uint32_t second, uint16_t third);
int32_t dvbInitStreaming2(const DvbDevice *device, uint16_t first, uint32_t second, uint16_t third);
int32_t dvbReInitStreaming(const DvbDevice *device);
/* Stop streaming. */
int32_t dvbDeInitStreaming(const DvbDevice *device);
int32_t dvbReadMultiPID(const DvbDevice *device, uint8_t *buffer, uint32_t length);
int32_t dvbReadSingleStream(const DvbDevice *device, uint8_t *buffer, uint32_t length);
/* Reads one chunk of stream kind (DVB_STREAM_*) into buffer; a kind outside
 * 0..2 returns 0 at once. On 0 the buffer content is undefined. */
int32_t dvbReadMultipleStreams(const DvbDevice *device, uint8_t *buffer, uint32_t length, int32_t kind);
/* Receiver memory; addresses and lengths travel as 24-bit values. */
int32_t dvbReadMemory(const DvbDevice *device, uint32_t address, uint8_t *buffer, uint32_t length);
/* At most 131072 bytes; more returns 0 and sends nothing. */
int32_t dvbWriteMemory(const DvbDevice *device, uint32_t address, const uint8_t *data, uint32_t length);

#ifdef __cplusplus
}
#endif

#endif /* QUELMAR_SCSI_H */
