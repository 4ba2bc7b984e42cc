// Decodes collected elementary streams with libavcodec, as an independent
// check of what the simulated receiver delivers.
#pragma once

#include "receiver/stream_buffers.h"

#include <cstdint>
#include <string>
#include <vector>

namespace quelmar::receiver::test {

enum class EsKind {
    Mpeg2Video,
    Mp2,
    Ac3
};

struct DecodeReport {
    int frames = 0;      // pictures or audio frames decoded
    int errors = 0;      // decoder errors and error messages
    int64_t samples = 0; // audio samples per channel
    int width = 0, height = 0, sampleRate = 0, channels = 0;
    std::string firstError;
};

// Splits `es` with the codec's parser and decodes all of it.
DecodeReport decodeElementary(EsKind kind, const std::vector<uint8_t> &es);

// Offsets of every 00 00 01 `code` start code in `es`.
std::vector<size_t> startCodes(const std::vector<uint8_t> &es, uint8_t code);

// A timestamp record as the receiver delivers it.
struct Stamp {
    Stream stream = Stream::Video;
    bool hasDts = false;
    uint32_t offset = 0; // bytes of the stream delivered before the unit
    int64_t pts = 0, dts = 0;
};
Stamp parseStamp(const uint8_t *record);

// One access unit: a picture or an audio frame, with its timestamps (90 kHz,
// kNoTimestamp when absent).
struct Unit {
    std::vector<uint8_t> data;
    int64_t pts = kNoTimestamp;
    int64_t pos = -1; // byte position in the file, when the demuxer knows it
};

// The units of a media file as ffmpeg's stream copy extracts them: the
// packets of the first program's first MPEG-2 video (video) or first MP2 or
// AC-3 audio, read with libavformat. Empty when the file cannot be read.
std::vector<Unit> extractUnits(const std::string &path, bool video);

// The units of one delivered stream: each from its record's offset (less
// `base`, the bytes delivered before `data` began) to the next record's. The
// last unit, which may still be incomplete, is left out; video units lose
// the zero stuffing behind them.
std::vector<Unit> deliveredUnits(const std::vector<uint8_t> &data, uint32_t base, const std::vector<Stamp> &stamps,
                                 Stream stream);

// What a file replayed in a loop must deliver: its extracted units, of which
// the first `wholeVideo` / `wholeAudio` are whole and the rest cut off.
struct ReplayReference {
    std::vector<Unit> video, audio;
    size_t wholeVideo = 0, wholeAudio = 0;
};

// The reference of a capture in tests/data: a capture ends mid-unit, so its
// last picture and its last audio frame are cut off.
ReplayReference captureReference(const std::string &file);

// Checks delivered units against the reference, with gtest expectations:
// every pass over the file delivers the whole pictures from the first
// sequence header on, byte-identical (a loop point that opens an open GOP
// sets its broken_link), and a contiguous run of whole audio frames; the
// cut-off units never; each pass's timestamps are the file's moved by one
// offset for both streams, and the next pass begins where the pictures of
// the one before ended (audio without overlap). Returns the loop points
// crossed.
int expectFaithfulReplay(const ReplayReference &ref, const std::vector<Unit> &video, const std::vector<Unit> &audio);

} // namespace quelmar::receiver::test
