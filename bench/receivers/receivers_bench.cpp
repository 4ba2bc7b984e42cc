// Benchmark: several receivers on one machine. 1, 4 and 8 headless recorder
// processes record at once, each from its own simulated receiver (one
// configuration with 8 receivers, each process its own --receiver and
// --instance), for a fixed time; the one-process run of the same program is
// the baseline, measured in the same run. Per process: its own CPU time and
// peak resident memory (getrusage of the child), the bytes it wrote, and
// what its receiver dropped because it was not fetched in time (the
// simulated receiver's drop report). Goals: no drops, and the cost of one
// receiver among many within 20 % of the one alone.
//
// Usage: receivers_bench [seconds]   (default 20)
#include "program_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono;

namespace {

constexpr int kDefaultSeconds = 20;
constexpr int kMinSeconds = 5;
constexpr int kProcessCounts[] = {1, 4, 8};
constexpr int kMaxProcesses = 8; // receivers in the configuration: adapter 0, targets 0..7
constexpr double kCostGoalRatio = 1.2;
constexpr double kPercent = 100.0;
constexpr double kKbPerMb = 1024.0;
constexpr double kBytesPerMb = 1e6;
constexpr double kMicrosPerSecond = 1e6;

struct ProcessRun {
    int status = -1;
    double cpuSeconds = 0; // user + system, start-up and end included
    long maxRssKb = 0;
    uint64_t bytesWritten = 0;
    uint64_t droppedBytes = 0; // video and audio bytes the receiver dropped
    uint64_t droppedRecords = 0;
};

// The averages of one round of `count` processes.
struct Round {
    int count = 0;
    bool failed = false;
    double cpuPercent = 0; // of one core per process, over the recording time
    double rssMb = 0;
    double writtenMb = 0;
    uint64_t droppedBytes = 0; // all processes together
    uint64_t droppedRecords = 0;
};

double toSeconds(const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / kMicrosPerSecond; }

// The bus: kMaxProcesses receivers, each with a generated TV channel.
void writeConfiguration(const fs::path &file)
{
    std::ofstream out(file);
    for (int target = 0; target < kMaxProcesses; ++target)
        out << "receiver adapter=0 target=" << target << "\nchannel name=\"Testbild " << target
            << "\" tag=1 video-pid=" << (100 + target) << " audio=mp2\n";
}

// What receiver 0:`target` dropped, from the simulated receiver's report on
// standard error: "receiver 0:T dropped V video bytes, A audio bytes, R
// timestamp records".
void readDrops(const fs::path &stderrFile, int target, ProcessRun &run)
{
    const std::regex report("receiver 0:" + std::to_string(target) +
                            " dropped ([0-9]+) video bytes, ([0-9]+) audio bytes, ([0-9]+) timestamp records");
    std::ifstream lines(stderrFile);
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (!std::regex_search(line, match, report))
            continue;
        run.droppedBytes += std::stoull(match[1]) + std::stoull(match[2]);
        run.droppedRecords += std::stoull(match[3]);
    }
}

pid_t start(const fs::path &dir, const fs::path &config, int target, int seconds)
{
    const std::string instance = "bench" + std::to_string(target);
    const fs::path own = dir / instance;
    fs::create_directories(own);
    // Normal priority for every instance, as for the one alone.
    quelmar::bench::storeSettings(dir, "Priority=32\n", instance);
    const std::string program = std::string(QUELMAR_BIN_DIR) + "/QuelmarRecorder";
    std::vector<std::string> args{program,
                                  "--headless",
                                  "--virtual-receiver=" + config.string(),
                                  "--receiver",
                                  "0:" + std::to_string(target),
                                  "--instance",
                                  instance,
                                  "--record",
                                  "--duration",
                                  std::to_string(seconds),
                                  "--file",
                                  (own / "rec").string(),
                                  "--video",
                                  "raw",
                                  "--audio",
                                  "raw",
                                  "--mux",
                                  "dvd"};
    std::vector<std::string> env = quelmar::bench::programEnvironment(dir);
    env.push_back("QUELMAR_VIRTUAL_DROP_REPORT=1");
    std::vector<char *> argv = quelmar::bench::cStrings(args), envp = quelmar::bench::cStrings(env);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (own / "stdout.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (own / "stderr.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

ProcessRun finish(pid_t pid, const fs::path &dir, int target)
{
    ProcessRun run;
    if (pid <= 0)
        return run;
    rusage usage{};
    int status = 0;
    wait4(pid, &status, 0, &usage);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.cpuSeconds = toSeconds(usage.ru_utime) + toSeconds(usage.ru_stime);
    run.maxRssKb = usage.ru_maxrss;
    const fs::path own = dir / ("bench" + std::to_string(target));
    for (const auto &entry : fs::directory_iterator(own))
        if (entry.path().filename().string().rfind("rec", 0) == 0)
            run.bytesWritten += entry.file_size();
    readDrops(own / "stderr.txt", target, run);
    return run;
}

Round runRound(int count, int seconds, const fs::path &root, const fs::path &config)
{
    const fs::path dir = root / ("round-" + std::to_string(count));
    std::vector<pid_t> pids;
    for (int target = 0; target < count; ++target)
        pids.push_back(start(dir, config, target, seconds));
    Round round;
    round.count = count;
    for (int target = 0; target < count; ++target) {
        const ProcessRun run = finish(pids[size_t(target)], dir, target);
        if (run.status != 0) {
            std::fprintf(stderr, "process %d of %d ended with status %d (see %s)\n", target + 1, count, run.status,
                         (dir / ("bench" + std::to_string(target))).c_str());
            round.failed = true;
        }
        round.cpuPercent += kPercent * run.cpuSeconds / seconds / count;
        round.rssMb += double(run.maxRssKb) / kKbPerMb / count;
        round.writtenMb += double(run.bytesWritten) / kBytesPerMb / count;
        round.droppedBytes += run.droppedBytes;
        round.droppedRecords += run.droppedRecords;
    }
    if (!round.failed)
        fs::remove_all(dir);
    return round;
}

} // namespace

int main(int argc, char **argv)
{
    const int seconds = argc > 1 ? std::max(std::atoi(argv[1]), kMinSeconds) : kDefaultSeconds;
    const fs::path root = fs::temp_directory_path() / ("quelmar-receivers-bench-" + std::to_string(getpid()));
    fs::create_directories(root);
    const fs::path config = root / "receivers.conf";
    writeConfiguration(config);

    std::printf("%d s of real-time recording per process (raw video, raw audio, DVD multiplex), each process its "
                "own simulated receiver; %ld cores\n",
                seconds, sysconf(_SC_NPROCESSORS_ONLN));
    std::printf("%9s %16s %8s %14s %8s %15s %8s %14s %8s\n", "processes", "CPU/process %", "ratio", "peak RSS MB",
                "ratio", "written MB/proc", "ratio", "dropped bytes", "records");
    std::vector<Round> rounds;
    for (const int count : kProcessCounts)
        rounds.push_back(runRound(count, seconds, root, config));
    const Round &alone = rounds.front();
    bool goals = !alone.failed;
    for (const Round &round : rounds) {
        const auto ratio = [](double value, double base) { return base > 0 ? value / base : 0.0; };
        std::printf("%9d %16.2f %8.2f %14.1f %8.2f %15.2f %8.2f %14llu %8llu%s\n", round.count, round.cpuPercent,
                    ratio(round.cpuPercent, alone.cpuPercent), round.rssMb, ratio(round.rssMb, alone.rssMb),
                    round.writtenMb, ratio(round.writtenMb, alone.writtenMb),
                    static_cast<unsigned long long>(round.droppedBytes),
                    static_cast<unsigned long long>(round.droppedRecords), round.failed ? "  (a process failed)" : "");
        goals = goals && !round.failed && round.droppedBytes == 0 && round.droppedRecords == 0 &&
                ratio(round.cpuPercent, alone.cpuPercent) <= kCostGoalRatio;
    }
    std::printf("goals: no drops, CPU per receiver within %.0f %% of the one alone: %s\n",
                (kCostGoalRatio - 1) * kPercent, goals ? "met" : "missed");
    // A failed process's files stay for a look (its path is printed above).
    if (std::none_of(rounds.begin(), rounds.end(), [](const Round &r) { return r.failed; }))
        fs::remove_all(root);
    return goals ? 0 : 1;
}
