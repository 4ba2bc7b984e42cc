// Benchmark: unattended timer recordings over a long run. QuelmarRecorder
// --headless --timers runs as a separate process on the simulated receiver
// (its own XDG_CONFIG_HOME and XDG_DATA_HOME) with a repeating schedule, by
// default a 60-s recording every 2 minutes for 10 minutes, DVD multiplex
// only. The schedule is entered beforehand with QuelmarRecorder --add-timer,
// one one-off entry per recording.
//
// Measured: the start and stop error of each recording (the arrival of its
// log line against the planned moment), the program's resident memory every
// 10 s (VmRSS of /proc/PID/status) and after each recording, the data the
// simulated receiver dropped (reported by libaspi-virtual.so at the end with
// QUELMAR_VIRTUAL_DROP_REPORT=1) and the program's "poll delayed" reports.
// Baseline of the memory goal, from the same run: the resident memory after
// the first recording.
//
// Usage: timer_soak_bench [seconds]   (default 600, at least 150; a shorter
// run scales the schedule down: 5 recordings, each half a period long)
#include "program_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono;

namespace {

constexpr int kDefaultSeconds = 600;
// Each stop lies at least 15 s before the next start, so the next entry is
// armed (10 s ahead) only after the previous recording has been torn down.
constexpr int kMinimumSeconds = 150;
constexpr int kRecordings = 5;
constexpr int kChannel = 2; // of the built-in receiver: AC-3
// From the end of the set-up to the first planned start: bring-up and the
// ten seconds in which a timer is armed ahead of its start.
constexpr int kFirstStartLeadSeconds = 25;
constexpr int kSampleEverySeconds = 10;
// After a recording's "recording stopped": its teardown and the report of
// the next timer are done.
constexpr int kSettleAfterStopSeconds = 3;
// A run that goes on this long past its last planned stop has hung.
constexpr int kHangSeconds = 60;
constexpr int kReadBufferBytes = 4096;
// Goals.
constexpr double kStartGoalSeconds = 1.0;
constexpr long kGrowthGoalKb = 1024;
constexpr double kKbPerMb = 1024.0;
constexpr size_t kStoreHeaderBytes = 12; // timer.db without entries
constexpr char kDropReportPrefix[] = "libaspi-virtual.so: receiver ";

const std::string kProgram = std::string(QUELMAR_BIN_DIR) + "/QuelmarRecorder";

std::string localTime(time_t when, const char *format)
{
    std::tm fields{};
    localtime_r(&when, &fields);
    char text[64];
    return std::string(text, std::strftime(text, sizeof text, format, &fields));
}

double wallNow() { return duration<double>(system_clock::now().time_since_epoch()).count(); }

// Starts the program with the bench's environment; its standard output and
// error go to the returned pipes' read ends (or to /dev/null when `out` is
// null). -1 when it cannot be started.
pid_t spawnProgram(const std::vector<std::string> &arguments, const fs::path &dir, bool dropReport, int *out, int *err)
{
    std::vector<std::string> env = quelmar::bench::programEnvironment(dir);
    if (dropReport)
        env.push_back("QUELMAR_VIRTUAL_DROP_REPORT=1");
    std::vector<std::string> args{kProgram, "--headless", "--virtual-receiver"};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv = quelmar::bench::cStrings(args), envp = quelmar::bench::cStrings(env);

    int outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (out && err) {
        if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
            return -1;
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = -1;
    if (posix_spawn(&pid, kProgram.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (out && err) {
        close(outPipe[1]);
        close(errPipe[1]);
        *out = outPipe[0];
        *err = errPipe[0];
    }
    return pid;
}

int exitStatus(pid_t pid)
{
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// VmRSS of a running process, kB; 0 when it cannot be read.
long residentKb(pid_t pid) { return quelmar::bench::processStatusKb(pid, "VmRSS"); }

struct Plan {
    int periodSeconds = 0;
    int lengthSeconds = 0;
    std::vector<time_t> starts;
};

struct Recording {
    std::optional<double> started, stopped; // arrival of the log lines, wall seconds
    std::string startStamp;                 // the log line's own "hh:mm:ss"
    long residentAfterKb = 0;
};

struct Sample {
    int second = 0;
    long residentKb = 0;
    bool recording = false;
};

struct Drops {
    bool reported = false;
    unsigned long long videoBytes = 0, audioBytes = 0, timestampRecords = 0;
};

Drops parseDrops(const std::string &err)
{
    Drops drops;
    size_t pos = 0;
    while ((pos = err.find(kDropReportPrefix, pos)) != std::string::npos) {
        const size_t at = err.find(" dropped ", pos);
        unsigned long long video = 0, audio = 0, records = 0;
        if (at != std::string::npos &&
            std::sscanf(err.c_str() + at, " dropped %llu video bytes, %llu audio bytes, %llu timestamp records", &video,
                        &audio, &records) == 3) {
            drops.reported = true;
            drops.videoBytes += video;
            drops.audioBytes += audio;
            drops.timestampRecords += records;
        }
        pos += sizeof kDropReportPrefix - 1;
    }
    return drops;
}

// Enters the schedule with one --add-timer run per recording. False with a
// message when one fails or the set-up took so long that the first start
// is too near.
bool addTimers(const Plan &plan, const fs::path &dir)
{
    for (size_t i = 0; i < plan.starts.size(); ++i) {
        const time_t start = plan.starts[i];
        const pid_t pid = spawnProgram({"--add-timer", "--channel", std::to_string(kChannel), "--start",
                                        localTime(start, "%Y-%m-%d %H:%M:%S"), "--stop",
                                        localTime(start + plan.lengthSeconds, "%H:%M:%S"), "--file",
                                        (dir / "out" / ("soak-" + std::to_string(i + 1))).string()},
                                       dir, false, nullptr, nullptr);
        const int status = pid > 0 ? exitStatus(pid) : -1;
        if (status != 0) {
            std::fprintf(stderr, "--add-timer for recording %zu failed: exit %d\n", i + 1, status);
            return false;
        }
    }
    return true;
}

class SoakRun {
public:
    SoakRun(const Plan &plan, const fs::path &dir) : plan_(plan), recordings_(plan.starts.size())
    {
        launched_ = wallNow();
        pid_ = spawnProgram({"--timers", "--no-shutdown"}, dir, true, &out_, &err_);
    }

    // Follows the run until every recording has stopped and settled (or
    // the run ended or hung), then ends it with SIGTERM. Returns the exit
    // status.
    int follow()
    {
        if (pid_ <= 0)
            return -1;
        const double giveUp = double(plan_.starts.back() + plan_.lengthSeconds + kHangSeconds);
        double nextSample = launched_ + kSampleEverySeconds;
        constexpr double kNever = HUGE_VAL;
        double settleAt = kNever;
        size_t settling = 0;
        bool outOpen = true, errOpen = true;
        while (outOpen || errOpen) {
            const double now = wallNow();
            if (now >= nextSample) {
                samples_.push_back(Sample{int(std::lround(nextSample - launched_)), residentKb(pid_), recording_});
                nextSample += kSampleEverySeconds;
            }
            if (now >= settleAt) {
                recordings_[settling].residentAfterKb = residentKb(pid_);
                settleAt = kNever;
                if (settling + 1 == recordings_.size())
                    terminate();
            }
            if (now > giveUp && !terminated_) {
                std::fprintf(stderr, "the run hung: killed\n");
                kill(pid_, SIGKILL);
                terminated_ = true;
            }
            const double wake = std::min(nextSample, settleAt);
            const int timeoutMs = std::max(0, int((wake - wallNow()) * 1000) + 1);
            pollfd fds[2] = {{outOpen ? out_ : -1, POLLIN, 0}, {errOpen ? err_ : -1, POLLIN, 0}};
            if (poll(fds, 2, timeoutMs) <= 0)
                continue;
            if (fds[0].revents)
                outOpen = readInto(out_, outBuffer_) && outOpen;
            if (fds[1].revents)
                errOpen = readInto(err_, stderr_) && errOpen;
            for (size_t end; (end = outBuffer_.find('\n')) != std::string::npos;) {
                const std::string line = outBuffer_.substr(0, end);
                outBuffer_.erase(0, end + 1);
                if (onLine(line, wallNow())) {
                    settling = stopped_ - 1;
                    settleAt = wallNow() + kSettleAfterStopSeconds;
                }
            }
        }
        close(out_);
        close(err_);
        return exitStatus(pid_);
    }

    const std::vector<Recording> &recordings() const { return recordings_; }
    const std::vector<Sample> &samples() const { return samples_; }
    const std::string &err() const { return stderr_; }
    const std::vector<std::string> &pollDelays() const { return pollDelays_; }

private:
    // Notes what a log line says; true when a recording has just stopped.
    bool onLine(const std::string &line, double arrival)
    {
        constexpr size_t kStampChars = 8; // "hh:mm:ss: " ahead of every line
        if (line.find("poll delayed") != std::string::npos)
            pollDelays_.push_back(line);
        if (line.find("recording started") != std::string::npos && started_ < recordings_.size()) {
            recordings_[started_].started = arrival;
            recordings_[started_].startStamp = line.substr(0, kStampChars);
            ++started_;
            recording_ = true;
        } else if (line.find("recording will be stopped by timer") != std::string::npos && started_ > 0 &&
                   !recordings_[started_ - 1].stopped) {
            recordings_[started_ - 1].stopped = arrival;
        } else if (line.find(": recording stopped") != std::string::npos && stopped_ < started_) {
            ++stopped_;
            recording_ = false;
            return true;
        }
        return false;
    }
    static bool readInto(int fd, std::string &into)
    {
        char buffer[kReadBufferBytes];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        into.append(buffer, size_t(n));
        return true;
    }
    void terminate()
    {
        if (!terminated_)
            kill(pid_, SIGTERM);
        terminated_ = true;
    }

    const Plan &plan_;
    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
    double launched_ = 0;
    std::string outBuffer_, stderr_;
    std::vector<Recording> recordings_;
    std::vector<Sample> samples_;
    size_t started_ = 0, stopped_ = 0;
    std::vector<std::string> pollDelays_;
    bool recording_ = false, terminated_ = false;
};

void printGoal(bool met, const std::string &text) { std::printf("%s %s\n", met ? "PASS" : "MISS", text.c_str()); }

} // namespace

int main(int argc, char **argv)
{
    const int seconds = argc > 1 ? std::max(std::atoi(argv[1]), kMinimumSeconds) : kDefaultSeconds;
    Plan plan;
    plan.periodSeconds = seconds / kRecordings;
    plan.lengthSeconds = plan.periodSeconds / 2;

    const fs::path dir = fs::temp_directory_path() / ("quelmar-timer-soak-" + std::to_string(getpid()));
    fs::create_directories(dir / "out");
    // Normal priority; the DVD multiplex only ("don't save" video and audio).
    quelmar::bench::storeSettings(dir, "Priority=32\nSave%20Audio=0\nSave%20Video=0\nSave%20Mux=1\n");

    // Whole seconds, as timers hold them.
    const time_t first = std::time(nullptr) + kFirstStartLeadSeconds + kRecordings;
    for (int i = 0; i < kRecordings; ++i)
        plan.starts.push_back(first + time_t(i) * plan.periodSeconds);
    // The program must be up before the first entry is armed.
    constexpr int kArmAheadSeconds = 10;
    constexpr int kBringUpSeconds = 5;
    if (!addTimers(plan, dir) || std::time(nullptr) > first - kArmAheadSeconds - kBringUpSeconds) {
        std::fprintf(stderr, "setting up the schedule failed or took too long\n");
        fs::remove_all(dir);
        return 1;
    }
    std::printf("timer soak: %d recordings of %d s every %d s on channel %d (DVD multiplex), first at %s\n",
                kRecordings, plan.lengthSeconds, plan.periodSeconds, kChannel, localTime(first, "%H:%M:%S").c_str());
    std::fflush(stdout);

    SoakRun run(plan, dir);
    const int status = run.follow();
    std::error_code ignored;
    const uintmax_t storeBytes = fs::file_size(dir / "data" / "QuelmarRecorder" / "timer.db", ignored);
    uintmax_t writtenBytes = 0;
    for (const auto &entry : fs::directory_iterator(dir / "out"))
        writtenBytes += entry.file_size();
    fs::remove_all(dir);

    std::printf("\nrecording  planned   logged    start error  stop error  RSS after\n");
    double worstStart = 0;
    bool allStarted = true;
    for (size_t i = 0; i < run.recordings().size(); ++i) {
        const Recording &r = run.recordings()[i];
        const time_t start = plan.starts[i];
        const auto error = [](const std::optional<double> &at, time_t planned) {
            char text[32];
            if (!at)
                return std::string("missing");
            std::snprintf(text, sizeof text, "%+.3f s", *at - double(planned));
            return std::string(text);
        };
        if (r.started) {
            if (std::fabs(*r.started - double(start)) > std::fabs(worstStart))
                worstStart = *r.started - double(start);
        } else {
            allStarted = false;
        }
        std::printf("%9zu  %s  %-8s  %11s  %10s  %6.1f MB\n", i + 1, localTime(start, "%H:%M:%S").c_str(),
                    r.startStamp.c_str(), error(r.started, start).c_str(),
                    error(r.stopped, start + plan.lengthSeconds).c_str(), double(r.residentAfterKb) / kKbPerMb);
    }

    std::printf("\nresident memory (VmRSS) every %d s:\n", kSampleEverySeconds);
    for (const Sample &s : run.samples())
        std::printf("  %4d s  %6.1f MB  %s\n", s.second, double(s.residentKb) / kKbPerMb,
                    s.recording ? "recording" : "idle");

    const Drops drops = parseDrops(run.err());
    const long baselineKb = run.recordings().front().residentAfterKb;
    const long lastKb = run.recordings().back().residentAfterKb;
    const long growthKb = lastKb - baselineKb;
    std::printf("\nRSS after recording 1 (baseline) %.1f MB, after recording %d %.1f MB: growth %+ld kB\n",
                double(baselineKb) / kKbPerMb, kRecordings, double(lastKb) / kKbPerMb, growthKb);
    if (drops.reported)
        std::printf("simulated receiver dropped: %llu video bytes, %llu audio bytes, %llu timestamp records\n",
                    drops.videoBytes, drops.audioBytes, drops.timestampRecords);
    else
        std::printf("simulated receiver: no drop report on standard error\n");
    std::printf("\"poll delayed\" reports: %zu; written %.1f MB; timer.db at the end %ju bytes; exit status %d\n",
                run.pollDelays().size(), double(writtenBytes) / 1e6, storeBytes, status);
    for (const std::string &line : run.pollDelays())
        std::printf("  %s\n", line.c_str());
    if (const std::string &err = run.err(); !err.empty())
        std::printf("standard error of the program:\n%s", err.c_str());

    char worst[64];
    std::snprintf(worst, sizeof worst, "(worst %+.3f s)", worstStart);
    const bool startsMet = allStarted && std::fabs(worstStart) <= kStartGoalSeconds;
    // A late poll warns of possible loss; what was lost is the receiver's count.
    const bool dropsMet = drops.reported && drops.videoBytes + drops.audioBytes + drops.timestampRecords == 0;
    const bool memoryMet = allStarted && baselineKb > 0 && lastKb > 0 && growthKb < kGrowthGoalKb;
    std::printf("\n");
    printGoal(startsMet, "every recording starts within 1 s of its planned moment " + std::string(worst));
    printGoal(dropsMet, "no chunk dropped");
    printGoal(memoryMet, "resident memory after the first recording grows by less than 1 MB (" +
                             std::to_string(growthKb) + " kB)");
    printGoal(status == 0 && storeBytes == kStoreHeaderBytes,
              "the run ended cleanly with every one-off entry gone from timer.db");
    return startsMet && dropsMet && memoryMet ? 0 : 1;
}
