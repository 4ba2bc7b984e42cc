// Benchmark: pre-generated receiver chunks through the polling thread, the
// queue and the recording thread into raw files, in MB/s, next to a plain
// loop that writes the same bytes with the same file calls (the limit of the
// file system here). Prints both and their ratio.
//
// Usage: recorder_throughput_bench [cycles] [repetitions] [directory]
#include "binding/ReceiverLibrary.h"
#include "engine/PacketQueue.h"
#include "engine/RecordingEvents.h"
#include "engine/RecordingThread.h"
#include "platform/Clock.h"
#include "platform/File.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

using namespace quelmar;
namespace fs = std::filesystem;

namespace {

// 10000 x 40 KiB = about 410 MB: long enough that starting and stopping the
// threads (a few ms) does not weigh in the figure.
constexpr int kDefaultCycles = 10000;
constexpr int kDefaultRepetitions = 5;
constexpr int kPatternChunks = 16; // distinct chunks cycled through
constexpr double kBytesPerMb = 1e6;
constexpr int kIdleSleepMs = 1;

// A sequence header the raw video output starts at.
const uint8_t kSequenceHeader[12] = {0x00, 0x00, 0x01, 0xB3, 0x2D, 0x02, 0x40, 0x33, 0xFF, 0xFF, 0xE0, 0x18};

// Chunks the receiver holds ready at most, like its bounded buffer: the
// reads are refused while the recording thread lags this far behind.
constexpr uint64_t kMaxChunksAhead = 64;
constexpr uint64_t kResumeChunksAhead = 8;
constexpr useconds_t kThrottleSleepUs = 200;

struct Source {
    std::vector<std::vector<uint8_t>> video, audio;
    std::atomic<int> videoLeft{0}, audioLeft{0};
    std::atomic<bool> done{false};
    std::atomic<uint64_t> videoDelivered{0}; // bytes
    std::atomic<uint64_t> videoWritten{0};   // bytes, as the recording reports them
};
Source gSource;

// A listener that only follows the video byte count.
class CounterEvents : public IgnoredRecordingEvents {
public:
    void OnProgress(const RecordingProgress &progress) override
    {
        if (progress.videoBytes)
            gSource.videoWritten.store(*progress.videoBytes, std::memory_order_release);
    }
};

// The receiver's buffer fills while the recording thread lags: reads are
// refused from kMaxChunksAhead chunks ahead until it is down to
// kResumeChunksAhead, so chunks arrive in bursts as from a full buffer.
bool throttled()
{
    static bool throttled = false; // polling thread only
    const uint64_t ahead =
        (gSource.videoDelivered.load() - gSource.videoWritten.load(std::memory_order_acquire)) / kVideoChunkBytes;
    throttled = throttled ? ahead > kResumeChunksAhead : ahead >= kMaxChunksAhead;
    return throttled;
}

int32_t readChunk(const DvbDevice *, uint8_t *buffer, uint32_t length, int32_t kind)
{
    std::atomic<int> *left = kind == DVB_STREAM_VIDEO   ? &gSource.videoLeft
                             : kind == DVB_STREAM_AUDIO ? &gSource.audioLeft
                                                        : nullptr;
    if (!left)
        return 0; // no timestamp records
    if (kind == DVB_STREAM_VIDEO && throttled()) {
        usleep(kThrottleSleepUs); // as a refused request costs time on the bus
        return 0;                 // nothing buffered: the recording thread is behind
    }
    // Audio keeps pace with video, as on air.
    if (kind == DVB_STREAM_AUDIO && gSource.audioLeft.load() <= gSource.videoLeft.load())
        return 0;
    const int n = left->fetch_sub(1);
    if (n <= 0) {
        left->store(0);
        gSource.done = gSource.videoLeft.load() == 0 && gSource.audioLeft.load() == 0;
        if (gSource.done)
            usleep(kIdleSleepMs * 1000); // nothing more to come: let the stop arrive
        return 0;
    }
    const auto &pattern = kind == DVB_STREAM_VIDEO ? gSource.video : gSource.audio;
    std::memcpy(buffer, pattern[size_t(n) % pattern.size()].data(), length);
    if (kind == DVB_STREAM_VIDEO)
        gSource.videoDelivered += length;
    return 1;
}
int32_t ok(const DvbDevice *) { return 1; }
int32_t initStreaming(const DvbDevice *, uint16_t, uint32_t, uint16_t) { return 1; }
int32_t text(const DvbDevice *, const uint8_t *, uint16_t, uint8_t) { return 1; }
int32_t remote(const DvbDevice *, int32_t) { return 1; }

double secondsSince(std::chrono::steady_clock::time_point from)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

// The engine: returns MB/s of bytes that reached the files.
double engineRun(const fs::path &dir, int cycles)
{
    ReceiverLibrary receiver{ReceiverLibrary::Unbound{}};
    receiver.device.status = DVB_STATUS_FOUND;
    receiver.dvbReadMultipleStreams = readChunk;
    receiver.dvbInitStreaming = initStreaming;
    receiver.dvbDeInitStreaming = ok;
    receiver.dvbSendSpecialCommand = text;
    receiver.dvbRemote = remote;
    CounterEvents events;
    // The schedule never sleeps: chunks come as fast as they are taken.
    auto clock = std::make_shared<ManualClock>();
    std::atomic<uint32_t> splitSize{1 << 20};
    RecordingContext ctx;
    ctx.receiver = &receiver;
    ctx.events = &events;
    ctx.splitSize = &splitSize;
    ctx.pollClock = clock;
    ctx.outputs.video = OutputChoice::Raw;
    ctx.outputs.audio = OutputChoice::Raw;
    ctx.baseName.Set((dir / "engine").string());

    gSource.videoLeft = cycles;
    gSource.audioLeft = cycles;
    gSource.done = false;
    gSource.videoDelivered = 0;
    gSource.videoWritten = 0;
    const auto start = std::chrono::steady_clock::now();
    auto thread = BeginRecording(ctx);
    while (!gSource.done)
        usleep(kIdleSleepMs * 1000);
    RequestStop(ctx);
    thread.Join();
    const double seconds = secondsSince(start);
    const double bytes = double(fs::file_size(dir / "engine (0).raw.m2v") + fs::file_size(dir / "engine (0).raw.mpp"));
    fs::remove(dir / "engine (0).raw.m2v");
    fs::remove(dir / "engine (0).raw.mpp");
    fs::remove(dir / "engine.log");
    return bytes / kBytesPerMb / seconds;
}

// The limit: the same chunks written with the same file class to two files.
double plainRun(const fs::path &dir, int cycles)
{
    const auto start = std::chrono::steady_clock::now();
    File video, audio;
    video.Open((dir / "plain.m2v").string(), File::Mode::CreateWrite);
    audio.Open((dir / "plain.mpp").string(), File::Mode::CreateWrite);
    for (int n = cycles; n > 0; --n) {
        video.Write(gSource.video[size_t(n) % gSource.video.size()].data(), kVideoChunkBytes);
        audio.Write(gSource.audio[size_t(n) % gSource.audio.size()].data(), kAudioChunkBytes);
    }
    video.Close();
    audio.Close();
    const double seconds = secondsSince(start);
    const double bytes = double(fs::file_size(dir / "plain.m2v") + fs::file_size(dir / "plain.mpp"));
    fs::remove(dir / "plain.m2v");
    fs::remove(dir / "plain.mpp");
    return bytes / kBytesPerMb / seconds;
}

} // namespace

int main(int argc, char **argv)
{
    const int cycles = argc > 1 ? std::atoi(argv[1]) : kDefaultCycles;
    const int repetitions = argc > 2 ? std::atoi(argv[2]) : kDefaultRepetitions;
    const fs::path dir =
        argc > 3 ? fs::path(argv[3]) : fs::temp_directory_path() / ("quelmar-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);

    for (int i = 0; i < kPatternChunks; ++i) {
        std::vector<uint8_t> video(kVideoChunkBytes, uint8_t(i + 1));
        std::memcpy(video.data(), kSequenceHeader, sizeof kSequenceHeader);
        gSource.video.push_back(video);
        gSource.audio.emplace_back(kAudioChunkBytes, uint8_t(0x40 + i));
    }

    // Each run starts with no dirty pages of an earlier run in the cache;
    // runs alternate, and the ratio of each adjacent pair is kept, so that
    // load from elsewhere on the machine hits both sides alike.
    std::vector<double> engine, plain, ratios;
    for (int r = 0; r < repetitions; ++r) {
        sync();
        const bool plainFirst = r % 2 == 0;
        double p = 0, e = 0;
        if (plainFirst)
            p = plainRun(dir, cycles);
        sync();
        e = engineRun(dir, cycles);
        if (!plainFirst) {
            sync();
            p = plainRun(dir, cycles);
        }
        plain.push_back(p);
        engine.push_back(e);
        ratios.push_back(e / p);
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    fs::remove_all(dir);
    const double mb = double(cycles) * (kVideoChunkBytes + kAudioChunkBytes) / kBytesPerMb;
    std::printf("bytes per run:            %.1f MB (%d cycles of one video and one audio chunk)\n", mb, cycles);
    std::printf("plain write loop:         %.1f MB/s (median of %d)\n", median(plain), repetitions);
    std::printf("recording engine:         %.1f MB/s (median of %d)\n", median(engine), repetitions);
    std::printf("ratio engine / plain:     %.2f (median of the paired runs; goal: at least 0.80)\n", median(ratios));
    return 0;
}
