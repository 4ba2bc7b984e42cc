// Test input for the multiplexer: real MPEG-2 video and MP2/AC-3 audio,
// encoded with libavcodec or demultiplexed from a capture with libavformat,
// cut into the receiver's chunks and timestamp records the way the
// recorder's polling thread reads them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quelmar::remux::test {

enum class AudioKind {
    None,
    Mp2,
    Ac3
};

struct FeedOptions {
    double seconds = 4.0;
    bool video = true;
    AudioKind audio = AudioKind::Mp2;
    int audioSampleRate = 48000;   // Hz
    int64_t audioBitRate = 0;      // bit/s; 0: 192 kbit/s MP2, 384 kbit/s AC-3
    uint64_t audioChannelMask = 0; // loudspeakers as libavutil's AV_CH_* mask; 0: stereo
    int width = 352, height = 288;
    int fps = 25;                   // frames per second of the video
    int64_t videoBitRate = 1200000; // bit/s
    bool closedGop = true;          // else B pictures at a GOP's start refer to the previous GOP
    int64_t firstPts = 900000;      // 90 kHz, PTS of the first picture and the first audio frame
    bool audioZeroFill = true;      // audio reads return whole frames plus zeros (else a continuous stream)
    bool stampsBeforeData = true;   // a unit's stamp is readable in the cycle that delivers it
    bool withStamps = true;
    // Chunks read while the time (s from the start) lies in [pauseFrom, pauseTo) carry the paused flag.
    double pauseFrom = -1, pauseTo = -1;
    // The receiver starts delivering this far into the streams (s): the
    // first pictures in decode order and the audio before it are not sent.
    double skipSeconds = 0;
    // Units reach the receiver in bursts this long (s; 0 = as they are due),
    // as from an encoder that runs late now and then.
    double burstSeconds = 0;
    // Timestamp jump added to every unit from this time on (s); 0 = none.
    double jumpAt = -1;
    int64_t jumpTicks = 0;
};

// One access unit or audio frame with its times (90 kHz).
struct MediaUnit {
    std::vector<uint8_t> data;
    int64_t pts = 0, dts = 0;
};

struct MediaUnits {
    std::vector<MediaUnit> video, audio; // decode order
    int64_t firstPts = 0;                // 90 kHz: the receiver starts delivering at this time
    double audioFrameSeconds = 0;
};

// Where a delivered unit went: the chunks that carry its first and last byte.
struct DeliveredUnit {
    MediaUnit unit;
    size_t firstChunk = 0, lastChunk = 0;
    bool paused = false; // one of its chunks carried the paused flag
};

struct Chunk {
    int kind; // REMUX_STREAM_*
    std::vector<uint8_t> data;
    bool paused;
};

struct Feed {
    std::vector<Chunk> chunks;       // in the order the polling thread reads them
    uint64_t videoStuffingBytes = 0; // zero bytes added after the access units
    int videoFrames = 0, audioFrames = 0;
    double frameSeconds = 0.04; // video frame period
    double audioFrameSeconds = 0;
    std::vector<uint8_t> videoEs; // the encoder's output, unstuffed
    std::vector<uint8_t> audioEs;
    std::vector<DeliveredUnit> video, audio; // every unit delivered, in order
};

// Encodes the streams options describe; throws std::runtime_error when
// libavcodec fails.
MediaUnits encodeUnits(const FeedOptions &options);

// The first MPEG-2 video and the first MP2 or AC-3 audio stream of a media
// file, as whole units: a unit cut off by the end of the file is left out.
// Throws std::runtime_error when the file cannot be read.
MediaUnits loadCapture(const std::string &path);

// Delivers the units as the receiver does: every 25 ms two timestamp
// records, a video read of 32768 bytes (whole pictures and zero stuffing; a
// picture larger than a read is cut) and an audio read of 8192 bytes.
// Uses the delivery options of options (stamps, pause, skip, jump).
Feed packFeed(MediaUnits units, const FeedOptions &options);

// Encodes and packs.
Feed makeFeed(const FeedOptions &options);

// Writes a MPEG-TS of the same elementary streams (for the baseline of the
// benchmark) to path; returns false on failure.
bool writeTransportStream(const FeedOptions &options, const std::string &path);

} // namespace quelmar::remux::test
