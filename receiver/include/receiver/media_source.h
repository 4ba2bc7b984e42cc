// media_source.h: where a channel's streams come from. A source produces the
// access units of one channel in real time: every unit whose time has come
// since the source started. Generated sources encode a test card and a tone
// with libavcodec as time passes; file sources demultiplex a media file with
// libavformat and replay it in a loop with timestamps that keep increasing.
#pragma once

#include "receiver/config.h"
#include "receiver/stream_buffers.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
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
// missing, file unreadable or not a regular file, no MPEG-2 video / MP2 /
// AC-3 carrying data in the file). A file source reads the configured path
// as a plain file, never as a URL. May block while a file is read (a slow
// file system); see SourceOpening.
std::unique_ptr<StreamSource> openSource(const ChannelConfig &channel, int64_t basePts, std::string *error);

// How a receiver opens its sources: openSource, or a test's stand-in.
using SourceOpener = std::function<std::unique_ptr<StreamSource>(const ChannelConfig &, int64_t, std::string *)>;

// One source being opened on a thread of its own ("rx-open"), so that a file
// on a slow or hung file system cannot hold the caller (the bus's one media
// thread, which feeds every simulated receiver).
class SourceOpening {
public:
    // Starts the thread, which calls opener(channel, basePts, &error).
    SourceOpening(SourceOpener opener, ChannelConfig channel, int64_t basePts);
    // Joins a thread that has finished; one that has not is abandoned.
    ~SourceOpening();
    SourceOpening(const SourceOpening &) = delete;
    SourceOpening &operator=(const SourceOpening &) = delete;

    // True once the opener has returned. Any thread.
    bool finished() const;
    // Blocks until finished() or `limit` has passed; returns finished().
    bool waitFinished(std::chrono::milliseconds limit) const;
    // The opened source, or nullptr with the reason in *error. Only after
    // finished(); ownership passes to the caller, once.
    std::unique_ptr<StreamSource> take(std::string *error);
    // Gives up on an open that does not end: the thread is detached with the
    // state it shares (it owns what it touches), and the module holding this
    // code stays loaded for good so that the thread never runs in unmapped
    // code. What it opens after this is dropped on its own thread.
    void abandon();

private:
    struct State;
    std::shared_ptr<State> state_;
    std::thread thread_;
};

} // namespace quelmar::receiver
