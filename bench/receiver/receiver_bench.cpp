// receiver_bench [SECONDS [mp2|ac3]]: two figures of the simulated receiver, each next
// to a baseline measured in the same run.
//  1. Round trip of one 32768-byte read through libquelmarscsi.so and
//     libaspi-virtual.so with the transfer-rate limit off, in requests per
//     second, against a plain memcpy of the same 32768 bytes.
//  2. CPU share of one core used while the receiver streams a generated TV
//     channel in real time and a client polls it like the recorder does,
//     against the same polling with streaming stopped (every read refused).
#include "aspi_virtual.h"
#include "quelmarscsi_client.h"

#include <dlfcn.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace quelmar::receiver {
namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kReadBytes = 32768;
constexpr double kMinMeasureSeconds = 1.0;
constexpr int kPollPeriodMs = 25;
constexpr double kDefaultStreamSeconds = 10.0;
constexpr double kCpuGoalPercent = 15.0;

double processCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Runs `op` in batches until at least kMinMeasureSeconds passed; returns
// operations per second.
template <typename Op>
double rate(Op op)
{
    uint64_t n = 0;
    const auto start = Clock::now();
    double elapsed = 0;
    do {
        for (int i = 0; i < 256; ++i)
            op();
        n += 256;
        elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    } while (elapsed < kMinMeasureSeconds);
    return static_cast<double>(n) / elapsed;
}

// Polls like the recorder for `seconds`: two timestamp records, one video
// and one audio chunk every 25 ms. Returns the CPU share of one core in %.
double pollCpuPercent(QuelmarScsiClient &lib, const DvbDevice &dev, double seconds, uint64_t *bytes)
{
    std::vector<uint8_t> buf(kReadBytes);
    const double cpu0 = processCpuSeconds();
    const auto t0 = Clock::now();
    auto next = t0;
    *bytes = 0;
    while (std::chrono::duration<double>(Clock::now() - t0).count() < seconds) {
        for (int i = 0; i < 2; ++i)
            *bytes += 16 * lib.dvbReadMultipleStreams(&dev, buf.data(), 16, DVB_STREAM_PTS);
        *bytes += kReadBytes * lib.dvbReadMultipleStreams(&dev, buf.data(), kReadBytes, DVB_STREAM_VIDEO);
        *bytes += 8192 * lib.dvbReadMultipleStreams(&dev, buf.data(), 8192, DVB_STREAM_AUDIO);
        next += std::chrono::milliseconds(kPollPeriodMs);
        std::this_thread::sleep_until(next);
    }
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    return 100.0 * (processCpuSeconds() - cpu0) / wall;
}

} // namespace
} // namespace quelmar::receiver

int main(int argc, char **argv)
{
    using namespace quelmar::receiver;
    const double streamSeconds = argc > 1 ? std::atof(argv[1]) : kDefaultStreamSeconds;
    const std::string audio = argc > 2 ? argv[2] : "mp2";
    if (streamSeconds <= 0 || (audio != "mp2" && audio != "ac3")) {
        std::fprintf(stderr, "usage: receiver_bench [SECONDS [mp2|ac3]]\n");
        return 2;
    }
    const std::string bin = QUELMAR_BIN_DIR;
    setenv("QUELMAR_ASPI_LAYER", "libaspi-virtual.so", 1);
    const std::string conf = "/tmp/bench-receiver.conf";
    std::ofstream(conf) << "receiver adapter=0 target=0 revision=2.17 rate=off\n"
                           "channel name=\"Bench\" tag=1 video-pid=101 audio="
                        << audio << "\n";
    setenv("QUELMAR_VIRTUAL_RECEIVER", conf.c_str(), 1);

    QuelmarScsiClient lib;
    std::string error;
    if (!lib.load(bin + "/libquelmarscsi.so", &error)) {
        std::fprintf(stderr, "receiver_bench: %s\n", error.c_str());
        return 1;
    }
    DvbDevice dev = lib.dvbFindFirstQuelmar();
    if (dev.status != DVB_STATUS_FOUND) {
        std::fprintf(stderr, "receiver_bench: no simulated receiver found\n");
        return 1;
    }

    // 1. Round trip. The read is served from receiver memory (dvbReadMultiPID,
    // mode 0 at address 0): the stream buffers hold only what real time has
    // produced, far less than a tight loop asks for.
    std::vector<uint8_t> src(kReadBytes, 0x47), dst(kReadBytes);
    const double memcpyRate = rate([&] {
        std::memcpy(dst.data(), src.data(), kReadBytes);
        asm volatile("" : : "r"(dst.data()) : "memory");
    });
    int failures = 0;
    const double readRate = rate([&] { failures += !lib.dvbReadMultiPID(&dev, dst.data(), kReadBytes); });
    std::printf("32768-byte read round trip (library + simulated layer, rate limit off)\n");
    std::printf("  %-34s %12.0f /s\n", "memcpy of 32768 bytes (baseline)", memcpyRate);
    std::printf("  %-34s %12.0f /s  (%d failed)\n", "dvbReadMultiPID(32768)", readRate, failures);
    std::printf("  %-34s %12.1f x\n", "memcpy / round trip", memcpyRate / readRate);

    // 2. CPU share while streaming a generated channel in real time.
    uint64_t idleBytes = 0, streamBytes = 0;
    const double idle = pollCpuPercent(lib, dev, streamSeconds / 2, &idleBytes);
    lib.dvbInitStreaming(&dev, 0, 0x10000, 10);
    const double streaming = pollCpuPercent(lib, dev, streamSeconds, &streamBytes);
    lib.dvbDeInitStreaming(&dev);
    std::printf("CPU share of one core, polling every 25 ms like the recorder\n");
    std::printf("  %-34s %11.2f %%\n", "streaming stopped (baseline)", idle);
    std::printf("  %-34s %11.2f %%  (%.0f kB/s delivered)\n", ("streaming a generated channel, " + audio).c_str(),
                streaming, static_cast<double>(streamBytes) / streamSeconds / 1000.0);
    std::printf("  %-34s %11.2f %%  (goal: under %.0f %%)\n", "difference", streaming - idle, kCpuGoalPercent);
    return 0;
}
