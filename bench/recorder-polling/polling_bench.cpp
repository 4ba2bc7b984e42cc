// Benchmark: the polling schedule over a real-time recording (raw video and
// audio) from the simulated receiver, while a busy thread keeps another core
// loaded. Reports the lateness of the poll cycles against their 25 ms slots
// (p50, p99, maximum) and the number of "poll delayed" reports, next to the
// same figures for a bare sleep loop on the same schedule in the same run.
//
// Usage: recorder_polling_bench [seconds] [directory]
#include "binding/ReceiverLibrary.h"
#include "engine/PollingThread.h"
#include "engine/RecordingThread.h"
#include "engine/testing/RecordingEventsDouble.h"
#include "platform/Clock.h"
#include "platform/WorkerThread.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

using namespace quelmar;
namespace fs = std::filesystem;

namespace {

constexpr int kDefaultSeconds = 60;
constexpr int kMsPerSecond = 1000;
constexpr double kP50 = 0.50;
constexpr double kP99 = 0.99;

struct Figures {
    int64_t p50 = 0, p99 = 0, max = 0;
    size_t cycles = 0;
};

Figures summarise(std::vector<int64_t> lateness)
{
    Figures f;
    if (lateness.empty())
        return f;
    std::sort(lateness.begin(), lateness.end());
    f.cycles = lateness.size();
    f.p50 = lateness[size_t(kP50 * double(lateness.size() - 1))];
    f.p99 = lateness[size_t(kP99 * double(lateness.size() - 1))];
    f.max = lateness.back();
    return f;
}

// The bare schedule: the same arithmetic and sleeps, no receiver reads.
std::vector<int64_t> sleepLoop(int seconds)
{
    std::vector<int64_t> lateness;
    PollSchedule schedule;
    Clock &clock = SystemClock::Instance();
    schedule.Start(clock.Millis());
    const int cycles = seconds * kMsPerSecond / kPollPeriodMs;
    for (int i = 0; i < cycles; ++i) {
        schedule.Lateness(clock.Millis());
        lateness.push_back(schedule.LastLateness());
        if (const auto sleep = schedule.NextSleep(clock.Millis()))
            clock.SleepMs(*sleep);
    }
    return lateness;
}

void print(const char *name, const Figures &f)
{
    std::printf("%-28s cycles %6zu  p50 %3lld ms  p99 %3lld ms  max %4lld ms\n", name, f.cycles, (long long)f.p50,
                (long long)f.p99, (long long)f.max);
}

} // namespace

int main(int argc, char **argv)
{
    const int seconds = argc > 1 ? std::atoi(argv[1]) : kDefaultSeconds;
    const fs::path dir =
        argc > 2 ? fs::path(argv[2]) : fs::temp_directory_path() / ("quelmar-poll-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string layer = std::string(QUELMAR_BIN_DIR) + "/libaspi-virtual.so";
    setenv("QUELMAR_ASPI_LAYER", layer.c_str(), 0);

    ReceiverLibrary receiver(std::string(QUELMAR_BIN_DIR) + "/libquelmarscsi.so");
    if (!receiver.ReceiverPresent()) {
        std::fprintf(stderr, "no simulated receiver (binding status %#x)\n", receiver.Status());
        return 1;
    }

    // Whether the polling thread's priority request can be granted here.
    WorkerThread probe(
        "probe", [] { return 0u; }, ThreadPriority::TimeCritical);
    probe.Resume();
    probe.Join();
    const bool realtime = probe.GotRealtimePriority();

    // Keep another core busy for the whole run.
    std::atomic<bool> busy{true};
    WorkerThread burner(
        "burner",
        [&] {
            volatile uint64_t spin = 0;
            while (busy.load(std::memory_order_relaxed))
                spin = spin + 1;
            return 0u;
        },
        ThreadPriority::Normal);
    burner.Resume();

    const Figures bare = summarise(sleepLoop(std::min(seconds, 10)));

    RecordingEventsDouble events;
    CapturingLogSink log;
    std::atomic<uint32_t> splitSize{1 << 20};
    auto lateness = std::make_shared<std::vector<int64_t>>();
    RecordingContext ctx;
    ctx.receiver = &receiver;
    ctx.events = &events;
    ctx.splitSize = &splitSize;
    ctx.outputs.video = OutputChoice::Raw;
    ctx.outputs.audio = OutputChoice::Raw;
    ctx.pollLateness = lateness;
    ctx.baseName.Set((dir / "poll").string());
    auto thread = BeginRecording(ctx);
    for (int s = 0; s < seconds && ctx.recording.Get(); ++s)
        SleepMs(kMsPerSecond);
    RequestStop(ctx);
    thread.Join();
    busy = false;
    burner.Join();

    size_t reports = 0;
    for (const auto &text : log.Texts())
        reports += text.rfind("poll delayed", 0) == 0;
    uint64_t recorded = 0;
    for (const auto &entry : fs::directory_iterator(dir))
        recorded += entry.is_regular_file() ? entry.file_size() : 0;
    fs::remove_all(dir);

    std::printf("real-time recording of %d s, raw video and audio, one core kept busy\n", seconds);
    std::printf("time-critical (SCHED_FIFO) priority granted: %s\n", realtime ? "yes" : "no, normal priority");
    print("bare sleep loop (10 s):", bare);
    print("polling thread:", summarise(*lateness));
    std::printf("\"poll delayed\" reports: %zu (goal: none; p99 goal under 5 ms)\n", reports);
    std::printf("bytes recorded: %.1f MB\n", double(recorded) / 1e6);
    return 0;
}
