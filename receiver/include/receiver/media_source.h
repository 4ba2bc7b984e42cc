// media_source.h: where a channel's streams come from. A source produces the
// access units of one channel in real time: every unit whose time has come
// since the source started. Generated sources encode a test card and a tone
// with libavcodec as time passes; file sources demultiplex a media file with
// libavformat and replay it in a loop with timestamps that keep increasing.
#pragma once

#include "receiver/config.h"
#include "receiver/stream_buffers.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace quelmar::receiver {

constexpr int64_t kPtsClockHz = 90000;
constexpr int kFramesPerSecond = 25;
constexpr int kGopPictures = 12;
constexpr int64_t kVideoBitRate = 4'000'000; // bit/s
constexpr int kAudioSampleRate = 48000;
constexpr int64_t kMp2BitRate = 192'000;
constexpr int64_t kAc3BitRate = 384'000;

class StreamSource {
public:
    virtual ~StreamSource() = default;
    // Appends every unit due `elapsed` after the source's start, in delivery
    // order. Called from one thread at a time (the receiver's media thread).
    virtual void produce(std::chrono::microseconds elapsed, std::vector<EsUnit> *out) = 0;
    // Why the source stopped delivering for good, or empty while it delivers.
    virtual std::string problem() const { return {}; }
};

// Opens the source of `channel`. Timestamps start at `basePts` (90 kHz).
// Returns nullptr and sets *error when it cannot deliver anything (encoder
// missing, file unreadable, no MPEG-2 video / MP2 / AC-3 in the file).
std::unique_ptr<StreamSource> openSource(const ChannelConfig &channel, int64_t basePts, std::string *error);

} // namespace quelmar::receiver
