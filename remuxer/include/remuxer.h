/*
 * remuxer.h: the multiplexer module libremuxer.so.
 *
 * Turns the receiver's stream chunks (video 32768 bytes of whole access units
 * plus zero stuffing, audio 8192 bytes of MPEG audio or AC-3, timestamp
 * records of 16 bytes) into a DVD-compatible MPEG-2 program stream and clean
 * elementary streams, written through writer callbacks of the caller.
 *
 * The module keeps one global multiplexer state; there is no handle. Every
 * entry point must be called from one thread at a time (the recorder's
 * recording thread); writers and the log callback are called back on that
 * thread, from inside the entry point that was called. The pointers returned
 * by GetLastAudioPES and GetVideoInfo belong to the module (see each for how
 * long they stay valid).
 *
 * Calling order for one recording: InitEx, Perform_Resync, then per chunk
 * SetPaused, Supply_Data, Write_Mpg (again while it returns
 * REMUX_WRITE_PENDING), and Flush_Mpg before a split of the program stream
 * and at the end, while the output files are still open.
 *
 * Parts, splits and pauses. Each output (program stream, video and audio
 * elementary stream) is written in parts: the first begins at InitEx, a new
 * one where Write_Mpg carries out a split or follows a Flush_Mpg.
 * - A video part (the .m2v, and the video of the program stream) begins
 *   with a GOP start: an I picture with a GOP header, the sequence header
 *   in front of it (repeated there when the stream has none). It holds the
 *   pictures placed on the output timeline from there on, in decode order.
 * - An audio part holds the frames placed on the timeline from the one
 *   whose middle lies at or after the first picture the video part shows;
 *   after a split it goes on from the old part (below). Without video
 *   (audio-only recording, or no video seen yet) a new part begins with the
 *   first frame the old part does not hold.
 * - A split loses nothing and writes nothing twice but pictures. The old
 *   part of each output holds every unit up to its end (Write_Mpg writes
 *   the streams in step; Flush_Mpg writes all it holds, video that arrived
 *   ahead of the audio included). The new part's video begins at the newest
 *   GOP start G at or before the first picture the old part lacks such that
 *   . the old part's audio reaches G: it holds every frame that begins
 *     before G's first picture is shown (audio that has stalled, or not
 *     come at all, for more than 2 s of video sets no such bound: frames
 *     of it that come later and belong before G are left out), and
 *   . where G's GOP is open, the B pictures in front of its I picture,
 *     which the new part leaves out (see below), are all in the old part.
 *   The pictures from G to the end of the old part are in both parts, and
 *   no other unit: the new part's audio goes on with the first frame the
 *   old part does not hold, which begins no sooner than G's first picture
 *   is shown (often a little later, as the receiver delivers audio later
 *   than video). So every picture and audio frame of the old or the new
 *   program stream part is also in the old or the new elementary stream
 *   part, and the other way round (silent frames aside, see below). Only
 *   when the log holds no such G (a GOP longer than 32 MiB is not kept for
 *   repeating) does a new part wait for the next GOP start, losing what
 *   comes before it.
 * - Gaps in the audio timeline (frames left out, audio the receiver did
 *   not deliver for a while, the junction after a pause) are filled in the
 *   program stream with silent frames of the stream's own format, as many
 *   as fit the gap to within half a frame: players time a frame that does
 *   not start a PES packet by the frame before it, so without them the
 *   frames after a gap would play early. The elementary streams never get
 *   such frames.
 * - Left out of every output, and nothing else:
 *   . Before the recording's start, the first sequence header with an I
 *     picture and a GOP header: earlier pictures, and audio before the
 *     first picture it shows (audio only: bytes before the first frame
 *     that checks out).
 *   . The leading B pictures of an open GOP (decoded after its I picture,
 *     shown before it; they refer to the GOP before) where that GOP starts
 *     the recording, a part, or the output after a pause, a resync, a
 *     timestamp discontinuity of more than a second or damaged video, and
 *     where its GOP header says broken_link. A closed GOP keeps them.
 *   . A pause (SetPaused non-zero): what is supplied while paused. As it
 *     begins, the stream that runs ahead is cut back to where the other
 *     ends, as far as not yet written: pictures shown after the last audio
 *     frame (with those decoded after them), audio frames that end after
 *     the last picture. After it, output resumes at the next sequence
 *     header with an I picture and a GOP header: pictures before it, and
 *     audio before the first picture it shows, are left out. The output
 *     timeline runs on without a gap, but for a few frames where that GOP
 *     is open: its leading B pictures are left out, and its I picture is
 *     decoded no sooner than a frame period after the last picture before.
 *   . Damage: an audio frame that does not check out (AC-3: its CRCs; MPEG
 *     audio: the header of the next frame of the stream where the frame
 *     says it ends) is never written, and framing resumes at the next frame
 *     that does; after lost or damaged video data the pictures up to the
 *     next GOP start (a gap made only of missing B pictures is no damage).
 */
#ifndef QUELMAR_REMUXER_H
#define QUELMAR_REMUXER_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Stream kinds of Supply_Data (the receiver's stream selectors). */
#define REMUX_STREAM_AUDIO 0
#define REMUX_STREAM_VIDEO 1
#define REMUX_STREAM_PTS 2

/* Chunk sizes the receiver delivers, in bytes. */
#define REMUX_VIDEO_CHUNK_BYTES 32768u
#define REMUX_AUDIO_CHUNK_BYTES 8192u
#define REMUX_PTS_RECORD_BYTES 16u

/* Write_Mpg results; Flush_Mpg returns REMUX_WRITE_FAILED or REMUX_WRITE_DONE. */
#define REMUX_WRITE_FAILED 0  /* a writer returned false; nothing after it was written */
#define REMUX_WRITE_PENDING 1 /* more output is ready: call again */
#define REMUX_WRITE_DONE 2    /* everything complete has been written */

/* Version the module reports. Callers accept 1.25 and above. */
#define REMUX_VERSION_MAJOR 2u
#define REMUX_VERSION_MINOR 0u

/* Video delay range accepted by InitEx, in milliseconds. */
#define REMUX_VIDEO_DELAY_MIN_MS (-1000)
#define REMUX_VIDEO_DELAY_MAX_MS 1000

/* The shell's version record: every field unsigned 32-bit. */
typedef struct DLLVERSIONINFO {
    uint32_t cbSize; /* set by the caller: 20 */
    uint32_t dwMajorVersion;
    uint32_t dwMinorVersion;
    uint32_t dwBuildNumber;
    uint32_t dwPlatformID; /* 2 */
} DLLVERSIONINFO;

/* Writer callback: writes length bytes; returns non-zero on success, 0 on
 * failure. The data is only valid during the call. */
typedef int32_t (*RemuxWriter)(const uint8_t *data, uint32_t length);
/* Log callback: one plain sentence without line end. */
typedef void (*RemuxLog)(const char *text);

/* Parameters of the video sequence, from the sequence header and sequence
 * extension. Read-only for the caller.
 * Byte 1 says whether the record changed: it is set when a sequence header
 * arrives whose parameters (every field below) differ from those in the
 * record the caller last read through GetVideoInfo, or when none was read
 * yet, and it is cleared by that read. A caller that refreshes its display
 * when both flag bytes are non-zero does so once per change, not per chunk. */
typedef struct VideoInfo {
    uint8_t sequenceKnown;   /* 0: non-zero once a sequence header was parsed */
    uint8_t sequenceChanged; /* 1: non-zero when the parameters changed since the last read */
    uint8_t reserved0[6];
    double frameRate;       /* 8: Hz, from frame_rate_code and the extension's n/d */
    uint32_t bitRate;       /* 16: units of 400 bit/s (bit_rate_value with extension bits) */
    uint32_t vbvBufferSize; /* 20: units of 16 kbit (vbv_buffer_size_value with extension bits) */
    uint8_t reserved1[5];
    uint8_t chromaFormat; /* 29: 1 4:2:0, 2 4:2:2, 3 4:4:4, 4 no information */
    uint8_t aspectRatio;  /* 30: aspect_ratio_information */
    uint8_t reserved2;
    uint16_t width;        /* 32: horizontal size in pixels */
    uint16_t height;       /* 34: vertical size in pixels */
    uint8_t pictureFormat; /* 36: 0 interlaced, 1 progressive, 2 no information */
    uint8_t reserved3[3];
} VideoInfo;

#ifdef __cplusplus
#define REMUX_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define REMUX_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif
REMUX_STATIC_ASSERT(sizeof(DLLVERSIONINFO) == 20, "DLLVERSIONINFO is 20 bytes");
REMUX_STATIC_ASSERT(offsetof(VideoInfo, sequenceKnown) == 0, "VideoInfo flag 0");
REMUX_STATIC_ASSERT(offsetof(VideoInfo, sequenceChanged) == 1, "VideoInfo flag 1");
REMUX_STATIC_ASSERT(offsetof(VideoInfo, frameRate) == 8, "VideoInfo frame rate");
REMUX_STATIC_ASSERT(offsetof(VideoInfo, bitRate) == 16, "VideoInfo bit rate");
REMUX_STATIC_ASSERT(offsetof(VideoInfo, chromaFormat) == 29, "VideoInfo chroma format");
REMUX_STATIC_ASSERT(offsetof(VideoInfo, aspectRatio) == 30, "VideoInfo aspect ratio");
REMUX_STATIC_ASSERT(offsetof(VideoInfo, width) == 32, "VideoInfo width");
REMUX_STATIC_ASSERT(offsetof(VideoInfo, height) == 34, "VideoInfo height");
REMUX_STATIC_ASSERT(offsetof(VideoInfo, pictureFormat) == 36, "VideoInfo picture format");
REMUX_STATIC_ASSERT(sizeof(VideoInfo) == 40, "VideoInfo is 40 bytes");

/* Fills *info (cbSize must be at least 20) with version 2.0, a build number and
 * platform 2. Returns 0 on success, non-zero for a null or too small record. */
int32_t DllGetVersion(DLLVERSIONINFO *info);

/* Same as InitEx(log, 0, 0, 0). */
void Init(RemuxLog log);

/* Resets the module for a new recording: drops everything held, clears all
 * counters. log may be null (no log lines). videoDelayMs (clamped to
 * -1000..1000) moves video later (positive) or earlier (negative) against
 * audio in the program stream. audioOnly non-zero: no video is expected and
 * output begins at the first complete audio frame. */
void InitEx(RemuxLog log, int32_t reserved, int16_t videoDelayMs, int32_t audioOnly);

/* Drops the unparsed input and waits for a new clean start (a sequence header
 * with an I-frame GOP, or the first complete audio frame in audio-only mode)
 * before producing output again. Output already written stays valid. */
void Perform_Resync(void);

/* Takes one chunk of stream kind REMUX_STREAM_*; copies what it needs.
 * Unknown kinds and null data are ignored. Data supplied while paused is
 * dropped from every output. */
void Supply_Data(const uint8_t *data, uint32_t length, int32_t streamKind);

/* Writes what is complete: program stream through mux, video elementary
 * stream through video, audio elementary stream through audio; a null writer
 * means that output is not wanted. Video and audio are written in step (each
 * up to the time both have reached; a stream that stalls holds the other up
 * for at most 2 s).
 * When *splitPending is non-zero the caller has opened new elementary stream
 * files: they begin new parts (see "Parts, splits and pauses" above), and so
 * does the program stream when it was ended by Flush_Mpg or not begun yet;
 * *splitPending is cleared in this call. After Flush_Mpg every output begins
 * a new part, whether *splitPending is set or not.
 * Returns REMUX_WRITE_PENDING after about 1 MiB while more output is ready,
 * REMUX_WRITE_DONE when all is written, REMUX_WRITE_FAILED as soon as a writer
 * fails (and from then on, until InitEx). */
int32_t Write_Mpg(RemuxWriter mux, RemuxWriter video, RemuxWriter audio, uint8_t *splitPending);

/* Ends the current part of every output, writing what it still holds: to
 * the program stream through mux (the muxer's buffers and the end code
 * included), and to the elementary streams through the video and audio
 * writers given to the last Write_Mpg, so their files must still be open
 * (the recorder flushes before it closes or switches them). Units still
 * waiting for their timestamp records, and the audio frame that waits for
 * the next one to check it, are written with the times they get without
 * them; they wait on afterwards, and a new part has them with their real
 * times. mux may be null: then only the elementary streams get their tails,
 * which is how a recording without a program stream ends. The next
 * Write_Mpg begins new parts, at the GOP start "Parts, splits and pauses"
 * names for what this call wrote: of it, only the pictures from there on
 * are written again. Returns REMUX_WRITE_DONE, or REMUX_WRITE_FAILED when
 * a writer failed. */
int32_t Flush_Mpg(RemuxWriter mux);

/* Non-zero: data supplied from now on is dropped, and the output timeline
 * closes the gap when data flows again. */
void SetPaused(int32_t paused);

/* Milliseconds of output timeline written so far (paused stretches excluded). */
uint32_t GetRecordingTime(void);

/* The newest complete audio frame, whole (an AC-3 frame can be CRC-checked
 * from it), sync word first, or null when no frame has been seen since
 * InitEx. Valid until the next call of Supply_Data, InitEx or Init. */
const uint8_t *GetLastAudioPES(void);

/* The VideoInfo record (never null), with byte 1 as it stood; reading it
 * clears byte 1 (see VideoInfo). The record stays valid until the next call
 * of GetVideoInfo, InitEx or Init. */
const void *GetVideoInfo(void);

/* Zero stuffing bytes removed from the video stream since InitEx. */
uint64_t GetVideoPaddingCount(void);

/* Entry point types, for binding the module at run time. */
typedef int32_t (*RemuxDllGetVersionFn)(DLLVERSIONINFO *info);
typedef void (*RemuxInitFn)(RemuxLog log);
typedef void (*RemuxInitExFn)(RemuxLog log, int32_t reserved, int16_t videoDelayMs, int32_t audioOnly);
typedef void (*RemuxPerformResyncFn)(void);
typedef void (*RemuxSupplyDataFn)(const uint8_t *data, uint32_t length, int32_t streamKind);
typedef int32_t (*RemuxWriteMpgFn)(RemuxWriter mux, RemuxWriter video, RemuxWriter audio, uint8_t *splitPending);
typedef int32_t (*RemuxFlushMpgFn)(RemuxWriter mux);
typedef void (*RemuxSetPausedFn)(int32_t paused);
typedef uint32_t (*RemuxGetRecordingTimeFn)(void);
typedef const uint8_t *(*RemuxGetLastAudioPESFn)(void);
typedef const void *(*RemuxGetVideoInfoFn)(void);
typedef uint64_t (*RemuxGetVideoPaddingCountFn)(void);

/* The entry points after DllGetVersion, in the order a client binds them,
 * as X(name, function pointer type). */
/* clang-format off */
#define REMUX_ENTRY_POINTS(X)                            \
    X(Init, RemuxInitFn)                                 \
    X(InitEx, RemuxInitExFn)                             \
    X(Perform_Resync, RemuxPerformResyncFn)              \
    X(Supply_Data, RemuxSupplyDataFn)                    \
    X(Write_Mpg, RemuxWriteMpgFn)                        \
    X(Flush_Mpg, RemuxFlushMpgFn)                        \
    X(SetPaused, RemuxSetPausedFn)                       \
    X(GetRecordingTime, RemuxGetRecordingTimeFn)         \
    X(GetLastAudioPES, RemuxGetLastAudioPESFn)           \
    X(GetVideoInfo, RemuxGetVideoInfoFn)                 \
    X(GetVideoPaddingCount, RemuxGetVideoPaddingCountFn)
/* clang-format on */

#ifdef __cplusplus
}
#endif

#endif /* QUELMAR_REMUXER_H */
