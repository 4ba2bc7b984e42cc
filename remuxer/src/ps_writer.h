// One DVD-compatible MPEG-2 program stream, written through libavformat's
// "dvd" muxer into a caller's writer callback. Single-threaded.
#pragma once

#include "es_headers.h"

#include <cstdint>
#include <string>

struct AVFormatContext;
struct AVIOContext;
struct AVPacket;

namespace quelmar::remux {

using Writer = int32_t (*)(const uint8_t *data, uint32_t length);

class PsWriter {
public:
    PsWriter();
    ~PsWriter();
    PsWriter(const PsWriter &) = delete;
    PsWriter &operator=(const PsWriter &) = delete;

    // Starts a new program stream with a video stream (video != null) and/or
    // an audio stream (audio != null); the pack and system headers reach the
    // writer with the first packets. Returns false (see error()) when
    // libavformat refuses; nothing is open then.
    bool open(const SequenceParams *video, const AudioFrameInfo *audio);
    bool isOpen() const { return ctx_ != nullptr; }
    bool hasVideo() const { return videoIndex_ >= 0; }
    bool hasAudio() const { return audioIndex_ >= 0; }
    AudioCodec audioCodec() const { return audioCodec_; }

    // The writer that receives bytes from now on (may change between calls).
    void setWriter(Writer writer) { writer_ = writer; }
    // A writer call has returned false; nothing has been written since.
    bool writerFailed() const { return writerFailed_; }

    // Queues one access unit or audio frame (times in 90 kHz ticks).
    // Returns false on failure. Packets are not marked as key frames: no
    // navigation packs are wanted (see mendPacks).
    bool write(bool video, const uint8_t *data, size_t length, int64_t pts, int64_t dts);
    // Passes everything buffered in the I/O layer to the writer.
    bool flushIo();
    // Writes out everything the muxer holds and the end code, then frees the
    // stream. Returns false when writing failed (the stream is freed anyway).
    bool close();
    // Frees the stream without writing anything more.
    void abandon();

    const std::string &error() const { return error_; }

private:
    static int writePacket(void *opaque, uint8_t *buf, int size);
    // Two things in the dvd muxer's packs that readers take wrongly are
    // mended in place (sizes and pack layout stay as they are):
    // - The muxer always writes empty navigation packs (private stream 2),
    //   which readers report as a stream of unknown codec: they become
    //   padding packets.
    // - An AC-3 frame that starts in the last bytes of a packet, too few to
    //   hold its header, is given the time stamp of the next packet by
    //   libavformat's reader (which then gives two frames one time): that
    //   next packet's stamp becomes header stuffing, and the reader counts
    //   the frames on from the one before.
    // Called with whole packs.
    void mendPacks(uint8_t *buf, size_t size);
    // One AC-3 packet of private stream 1 (PES header at pes, `length`
    // bytes in all): see mendPacks.
    void mendAc3Packet(uint8_t *pes, size_t length);
    bool fail(const char *what, int code);

    AVFormatContext *ctx_ = nullptr;
    AVIOContext *io_ = nullptr;
    AVPacket *packet_ = nullptr;
    int videoIndex_ = -1;
    int audioIndex_ = -1;
    AudioCodec audioCodec_ = AudioCodec::None;
    Writer writer_ = nullptr;
    bool writerFailed_ = false;
    bool dropNextAc3Stamp_ = false; // an AC-3 frame's header runs into the next audio packet
    std::string error_;
};

} // namespace quelmar::remux
