// Test harness: drives libremuxer.so through its C entry points the way the
// recorder's recording thread does, collects what the writers receive, and
// checks outputs by demuxing and decoding them with libavformat/libavcodec.
#pragma once

#include "feed.h"
#include "remuxer.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quelmar::remux::test {

// The module's entry points, bound with dlopen/dlsym.
struct Module {
    void *handle = nullptr;
    RemuxDllGetVersionFn DllGetVersion = nullptr;
#define REMUX_MEMBER(name, type) type name = nullptr;
    REMUX_ENTRY_POINTS(REMUX_MEMBER)
#undef REMUX_MEMBER
    // Loads build/bin/libremuxer.so (or $QUELMAR_REMUXER) once per process;
    // throws on failure.
    static Module &get();
};

// One part's outputs.
struct Part {
    std::vector<uint8_t> mpg, m2v, audio;
};

struct RunOptions {
    bool mux = true, videoEs = true, audioEs = true;
    int16_t videoDelayMs = 0;
    bool audioOnly = false;
    std::vector<size_t> splitAfterChunks; // chunk indexes after which the recorder splits
    // Called after each chunk is processed with its index: may return false
    // to make the writers fail from then on.
    std::function<bool(size_t)> writersWork;
    // Called right after InitEx and Perform_Resync, before the first chunk.
    std::function<void(Module &)> afterInit;
    // Without a multiplex writer, end with Flush_Mpg(nullptr) all the same.
    bool flushWithoutMux = false;
};

struct RunResult {
    std::vector<Part> parts;
    std::vector<std::string> log;
    uint32_t recordingTimeMs = 0;
    uint64_t padding = 0;
    int32_t lastWriteResult = 0;
    bool failedAt = false; // a Write_Mpg/Flush_Mpg returned 0
    size_t failedChunk = 0;
    bool splitCleared = true; // every splitPending was cleared by the module
    VideoInfo info{};
    int videoInfoChanges = 0;            // GetVideoInfo reads with both flag bytes set
    std::vector<uint8_t> lastAudio;      // first 8 bytes of GetLastAudioPES at the end
    std::vector<std::string> avMessages; // libav warnings and errors while the module ran
};

// Feeds all chunks in order: SetPaused, Supply_Data, split test, Write_Mpg
// (repeated while it returns 1), and Flush_Mpg at the end when the
// multiplex is wanted.
RunResult run(const Feed &feed, const RunOptions &options);

struct StreamCheck {
    std::string codec;
    int packets = 0;
    int frames = 0; // decoded
    int decodeErrors = 0;
    double firstPts = 0, lastPts = 0, duration = 0; // s
    bool firstFrameIsI = false;                     // first decoded video frame is an I-frame
    double minFrameGap = 1e9; // s: smallest step between the times of decoded video frames in display order
    int dtsNotRising = 0;     // packets whose decoding time does not rise above the previous one's (as read)
    double minDtsStep = 1e9;  // s: smallest rise of the decoding time from one packet to the next
};

struct FileCheck {
    bool opened = false;
    std::string format;
    int warnings = 0; // libav messages at warning level and above while reading
    std::vector<std::string> messages;
    bool hasVideo = false, hasAudio = false;
    StreamCheck video, audio;
};

// Demuxes and decodes every frame of data held in memory. format: a
// libavformat short name ("mpeg", "mpegvideo", "mp3", "ac3") or empty to probe.
FileCheck checkOutput(const std::vector<uint8_t> &data, const std::string &format = "");

// The audio packets of a program stream as libavformat's reader hands them
// to a player: one frame each, with the time it gives the frame (90 kHz;
// its packet's time stamp, or counted on from the frame before).
struct ReadPacket {
    std::vector<uint8_t> data;
    int64_t pts = 0;
};
std::vector<ReadPacket> readAudioPackets(const std::vector<uint8_t> &mpg);

// One MP2 or AC-3 frame decoded on its own: its channels (0 when it does
// not decode) and its loudest sample (1 = full scale).
struct FrameSound {
    int channels = 0;
    double peak = 0;
};
FrameSound decodeFrame(const std::vector<uint8_t> &frame, bool ac3);

// Runs a command, returns its exit status; its standard error goes to errText.
int runCommand(const std::string &command, std::string *out, std::string *errText);

} // namespace quelmar::remux::test
