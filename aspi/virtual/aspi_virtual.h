/*
 * aspi_virtual.h: the control interface of libaspi-virtual.so, the ASPI layer
 * that hosts simulated receivers. Besides GetASPI32SupportInfo() and
 * SendASPI32Command() (aspi.h) the module exports only these functions, for
 * tests and demonstrations. Resolve them with dlsym() from the same module
 * the receiver access library loaded (dlopen of the same path returns it).
 *
 * Receivers are addressed by host adapter and SCSI target. All functions are
 * thread-safe and may be called at any time; they never block on a request.
 */
#ifndef QUELMAR_ASPI_VIRTUAL_H
#define QUELMAR_ASPI_VIRTUAL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    ASPI_VIRTUAL_STREAM_AUDIO = 0,
    ASPI_VIRTUAL_STREAM_VIDEO = 1,
    ASPI_VIRTUAL_STREAM_TIMESTAMPS = 2
};

typedef struct AspiVirtualState {
    int32_t plugged; /* 0 while unplugged */
    int32_t powered; /* 0 after the switch-off command */
    int32_t remoteLocked;
    int32_t streaming;
    uint32_t tunedChannel; /* 1 = first record of the table */
    uint32_t channelCount;
    uint32_t scsiModeWord;      /* the word at 0xFFEA, first byte high */
    uint8_t videoSetting[2];    /* data of the last video-setting command */
    char frontPanel[10];        /* NUL-terminated */
    char osd[256];              /* on-screen text, NUL-terminated */
    char sourceProblem[256];    /* why the tuned channel delivers nothing, or "" */
    uint64_t droppedAudioBytes; /* data not fetched in time */
    uint64_t droppedVideoBytes;
    uint64_t droppedTimestampRecords;
} AspiVirtualState;

/* Replaces every simulated receiver with those of the configuration file at
 * `path`; NULL takes QUELMAR_VIRTUAL_RECEIVER, or the built-in default when
 * that is unset. Requests still pending complete with an error first.
 * Returns 1, or 0 with the reason in aspiVirtualLastError() (the previous
 * receivers are then gone and the layer reports a failed support call). */
int32_t aspiVirtualReload(const char *path);
/* The last configuration error, "" when there was none. The text stays valid
 * until the next aspiVirtualReload(). */
const char *aspiVirtualLastError(void);

/* plugged 0 unplugs the receiver: INQUIRY and every command then fail with a
 * selection time-out; 1 plugs it in again. Returns 0 when no receiver sits
 * at that address. */
int32_t aspiVirtualSetPlugged(uint8_t adapter, uint8_t target, int32_t plugged);
/* Holds every completion back for `milliseconds` from now (0 ends a hang). */
void aspiVirtualHang(uint32_t milliseconds);
/* The n-th execute request from now on (1 = the next) is refused with check
 * condition, sense key ABORTED COMMAND, without being carried out; 0 cancels. */
void aspiVirtualRefuseCommand(uint32_t n);
/* stalled 1 stops delivering one stream (ASPI_VIRTUAL_STREAM_*): its reads are
 * refused as if nothing were buffered while the buffer fills up and then
 * drops; 0 resumes. Returns 0 for an unknown address or kind. */
int32_t aspiVirtualStallStream(uint8_t adapter, uint8_t target, int32_t kind, int32_t stalled);
/* Copies the receiver's state into *state. Returns 0 for an unknown address. */
int32_t aspiVirtualGetState(uint8_t adapter, uint8_t target, AspiVirtualState *state);

typedef int32_t (*AspiVirtualReloadFn)(const char *);
typedef const char *(*AspiVirtualLastErrorFn)(void);
typedef int32_t (*AspiVirtualSetPluggedFn)(uint8_t, uint8_t, int32_t);
typedef void (*AspiVirtualHangFn)(uint32_t);
typedef void (*AspiVirtualRefuseCommandFn)(uint32_t);
typedef int32_t (*AspiVirtualStallStreamFn)(uint8_t, uint8_t, int32_t, int32_t);
typedef int32_t (*AspiVirtualGetStateFn)(uint8_t, uint8_t, AspiVirtualState *);

#ifdef __cplusplus
}
#endif

#endif /* QUELMAR_ASPI_VIRTUAL_H */
