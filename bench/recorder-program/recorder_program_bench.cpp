// Benchmark: what the recorder program costs. The whole headless program
// (QuelmarRecorder --headless --virtual-receiver --record) records the
// simulated receiver's AC-3 channel in real time with raw video, elementary
// audio and the DVD multiplex; in the same run, a bare reader streams the
// same channel through the library with the polling thread's reads on the
// same 25 ms schedule. Both run as child processes, measured by their own
// CPU time; the simulated receiver (MPEG-2 and AC-3 encoding in real time)
// runs inside both, so the difference of the two shares is the program's own
// cost. Peak resident memory of the program is sampled at 10 s and at the end.
//
// Usage: recorder_program_bench [seconds]   (default 60)
#include "binding/ReceiverLibrary.h"
#include "engine/PacketQueue.h"
#include "engine/PollingThread.h"
#include "platform/Clock.h"
#include "program_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace quelmar;
namespace fs = std::filesystem;
using namespace std::chrono;

namespace {

constexpr int kDefaultSeconds = 60;
constexpr int kEarlySampleSeconds = 10;
constexpr uint16_t kAc3Channel = 2; // of the built-in receiver
// dvbInitStreaming as the polling thread calls it.
constexpr uint16_t kStreamingFirst = 0;
constexpr uint32_t kStreamingBufferBytes = 65536;
constexpr uint16_t kStreamingThird = 10;
constexpr int kPtsReadsPerCycle = 2;
// Goals: the program's own CPU share (percent of one core) and its memory
// growth between the samples (kB).
constexpr double kCpuGoalPercent = 5.0;
constexpr long kGrowthGoalKb = 2048;
constexpr double kPercent = 100.0;
constexpr double kKbPerMb = 1024.0;

struct Usage {
    double cpuSeconds = 0;  // user + system, start-up and end included
    double wallSeconds = 0; // from start to end
    long maxRssKb = 0;
    int status = -1;
    // Of one core over the streaming time; start-up and teardown count
    // against it, so the program's share is not diluted by its idle ends.
    double share(int streamingSeconds) const { return kPercent * cpuSeconds / streamingSeconds; }
};

double toSeconds(const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; }

Usage reap(pid_t pid, steady_clock::time_point start)
{
    Usage usage;
    rusage r{};
    int status = 0;
    wait4(pid, &status, 0, &r);
    usage.wallSeconds = duration<double>(steady_clock::now() - start).count();
    usage.cpuSeconds = toSeconds(r.ru_utime) + toSeconds(r.ru_stime);
    usage.maxRssKb = r.ru_maxrss;
    usage.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return usage;
}

// The child of the baseline: the library reading the channel on the
// polling thread's schedule, the data thrown away.
int streamAlone(int seconds)
{
    ReceiverLibrary receiver(std::string(QUELMAR_BIN_DIR) + "/libquelmarscsi.so");
    if (!receiver.ReceiverPresent())
        return 1;
    DvbDevice &device = receiver.device;
    receiver.dvbSetChannel(&device, kAc3Channel);
    receiver.dvbInitStreaming(&device, kStreamingFirst, kStreamingBufferBytes, kStreamingThird);
    std::vector<uint8_t> video(kVideoChunkBytes), audio(kAudioChunkBytes), pts(kPtsRecordBytes);
    Clock &clock = SystemClock::Instance();
    PollSchedule schedule;
    schedule.Start(clock.Millis());
    const auto end = steady_clock::now() + std::chrono::seconds(seconds);
    while (steady_clock::now() < end) {
        schedule.Lateness(clock.Millis());
        for (int i = 0; i < kPtsReadsPerCycle; ++i)
            receiver.dvbReadMultipleStreams(&device, pts.data(), kPtsRecordBytes, int32_t(StreamKind::StreamPts));
        receiver.dvbReadMultipleStreams(&device, video.data(), kVideoChunkBytes, int32_t(StreamKind::StreamVideo));
        receiver.dvbReadMultipleStreams(&device, audio.data(), kAudioChunkBytes, int32_t(StreamKind::StreamAudio));
        if (const auto sleep = schedule.NextSleep(clock.Millis()))
            clock.SleepMs(*sleep);
    }
    receiver.dvbDeInitStreaming(&device);
    return 0;
}

Usage runBaseline(int seconds)
{
    const auto start = steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0)
        _exit(streamAlone(seconds));
    return reap(pid, start);
}

// VmHWM of a running process, kB; 0 when it cannot be read.
long peakRssKb(pid_t pid) { return bench::processStatusKb(pid, "VmHWM"); }

struct ProgramRun {
    Usage usage;
    long earlyPeakKb = 0, latePeakKb = 0;
    uint64_t bytesWritten = 0;
    size_t pollDelays = 0;
};

ProgramRun runProgram(int seconds, const fs::path &dir)
{
    ProgramRun run;
    // Normal priority, as the baseline has; stored settings of this run only.
    bench::storeSettings(dir, "Priority=32\n");
    const std::string program = std::string(QUELMAR_BIN_DIR) + "/QuelmarRecorder";
    const std::string log = (dir / "stdout.txt").string();
    std::vector<std::string> args{program,
                                  "--headless",
                                  "--virtual-receiver",
                                  "--record",
                                  "--channel",
                                  std::to_string(kAc3Channel),
                                  "--duration",
                                  std::to_string(seconds),
                                  "--file",
                                  (dir / "rec").string(),
                                  "--video",
                                  "raw",
                                  "--audio",
                                  "es",
                                  "--mux",
                                  "dvd"};
    std::vector<std::string> env = bench::programEnvironment(dir);
    std::vector<char *> argv = bench::cStrings(args), envp = bench::cStrings(env);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);

    const auto start = steady_clock::now();
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return run;
    }
    posix_spawn_file_actions_destroy(&actions);
    std::this_thread::sleep_until(start + std::chrono::seconds(kEarlySampleSeconds));
    run.earlyPeakKb = peakRssKb(pid);
    // The recording stops at the first supervision tick after `seconds`.
    std::this_thread::sleep_until(start + std::chrono::seconds(seconds));
    run.latePeakKb = peakRssKb(pid);
    run.usage = reap(pid, start);

    for (const auto &entry : fs::directory_iterator(dir))
        if (entry.path().filename().string().rfind("rec", 0) == 0)
            run.bytesWritten += entry.file_size();
    std::ifstream lines(log);
    for (std::string line; std::getline(lines, line);)
        run.pollDelays += line.find("poll delayed") != std::string::npos;
    return run;
}

void print(const char *name, const Usage &u, int seconds)
{
    std::printf("%-46s %6.2f s CPU (run of %5.1f s) = %5.2f %% of a core over %d s\n", name, u.cpuSeconds,
                u.wallSeconds, u.share(seconds), seconds);
}

} // namespace

int main(int argc, char **argv)
{
    const int seconds = argc > 1 ? std::max(std::atoi(argv[1]), kEarlySampleSeconds + 1) : kDefaultSeconds;
    const fs::path dir = fs::temp_directory_path() / ("quelmar-program-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    setenv("QUELMAR_ASPI_LAYER", (std::string(QUELMAR_BIN_DIR) + "/libaspi-virtual.so").c_str(), 1);
    unsetenv("QUELMAR_VIRTUAL_RECEIVER");

    const Usage alone = runBaseline(seconds);
    const ProgramRun program = runProgram(seconds, dir);
    fs::remove_all(dir);
    if (alone.status != 0 || program.usage.status != 0) {
        std::fprintf(stderr, "a run failed: receiver alone exit %d, program exit %d\n", alone.status,
                     program.usage.status);
        return 1;
    }

    const double cost = program.usage.share(seconds) - alone.share(seconds);
    const long growthKb = program.latePeakKb - program.earlyPeakKb;
    std::printf("real-time recording of channel %u for %d s: raw video, elementary AC-3, DVD multiplex\n", kAc3Channel,
                seconds);
    print("simulated receiver alone (reads every 25 ms):", alone, seconds);
    print("QuelmarRecorder --headless --record:", program.usage, seconds);
    std::printf("program's own cost: %.2f %% of a core (goal: under %.0f %%)\n", cost, kCpuGoalPercent);
    std::printf("program's peak resident memory: %.1f MB at %d s, %.1f MB at %d s, growth %.2f MB (goal: under "
                "%.0f MB); at exit %.1f MB\n",
                double(program.earlyPeakKb) / kKbPerMb, kEarlySampleSeconds, double(program.latePeakKb) / kKbPerMb,
                seconds, double(growthKb) / kKbPerMb, double(kGrowthGoalKb) / kKbPerMb,
                double(program.usage.maxRssKb) / kKbPerMb);
    std::printf("written: %.1f MB; \"poll delayed\" reports: %zu\n", double(program.bytesWritten) / 1e6,
                program.pollDelays);
    return cost < kCpuGoalPercent && growthKb < kGrowthGoalKb ? 0 : 1;
}
