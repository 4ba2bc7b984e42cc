// Benchmark: what the remote control costs the recording program. The
// headless program (QuelmarRecorder --headless --virtual-receiver --listen)
// records the simulated receiver's AC-3 channel, started over the API, in
// runs one after the other in the same session (quiet and clients twice,
// alternating, then latency):
//   quiet   - nobody connected during the recording;
//   clients - the page open (its start-up requests, then its event stream)
//             and 10 more clients on /api/v1/events;
//   latency - one client asking for /api/v1/status back to back.
// The program's own CPU time (/proc/PID/stat) is sampled over the same
// window of each recording; the difference quiet -> clients is the remote
// control's cost in percent of one core (goal: under 1 %). The latency run
// reports the status answer time's median and 99th percentile (goal: p99
// under 10 ms). The simulated receiver's encoding runs inside the program
// in every run, so only the difference means anything.
//
// Usage: remote_bench [seconds]   (default 30 per run)
#include "program_process.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace quelmar;
namespace fs = std::filesystem;
using namespace std::chrono;

namespace {

constexpr int kDefaultSeconds = 30;
constexpr int kMinSeconds = 5;
// Runs alternate (quiet, clients) so that a drifting machine load falls on both.
constexpr int kPairs = 2;
constexpr int kEventClients = 10;
// The recording runs this much longer than the measured window, which
// starts once the recording is under way.
constexpr int kSettleSeconds = 3;
constexpr int kTailSeconds = 3;
constexpr int kStartLimitSeconds = 30;
constexpr int kPollStepMs = 50;
constexpr int kSocketTimeoutSeconds = 10;
constexpr double kCpuGoalPercent = 1.0;
constexpr double kLatencyGoalMs = 10.0;
constexpr double kPercent = 100.0;
constexpr double kP99 = 0.99;
constexpr double kMedian = 0.5;
constexpr double kUsPerMs = 1000.0;

const std::string kProgram = std::string(QUELMAR_BIN_DIR) + "/QuelmarRecorder";

// User + system CPU seconds of process `pid`; -1 when unreadable.
double cpuSeconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // Fields 3.. after the name: state is 3, utime 14, stime 15.
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 14)
            utime = std::stoull(field);
        if (index == 15)
            stime = std::stoull(field);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

int connectTo(uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval timeout{kSocketTimeoutSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string request(const std::string &method, const std::string &path, const std::string &token,
                    const std::string &body = "")
{
    std::string text =
        method + " /api/v1/" + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " + token + "\r\n";
    if (method != "GET")
        text += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    return text + "Connection: close\r\n\r\n" + body;
}

// One request on a fresh connection; the whole answer ("" on failure).
std::string exchange(uint16_t port, const std::string &raw)
{
    const int fd = connectTo(port);
    if (fd < 0)
        return "";
    std::string answer;
    if (write(fd, raw.data(), raw.size()) == ssize_t(raw.size())) {
        char buffer[8192];
        for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
            answer.append(buffer, size_t(n));
    }
    close(fd);
    return answer;
}

class Recorder {
public:
    explicit Recorder(const fs::path &dir) : dir_(dir)
    {
        fs::create_directories(dir / "out");
        bench::storeSettings(dir, "Priority=32\nSave%20Audio=2\nSave%20Video=1\nSave%20Mux=1\n");
        std::vector<std::string> args{kProgram,      "--headless",       "--virtual-receiver",  "--listen",
                                      "127.0.0.1:0", "--recordings-dir", (dir / "out").string()};
        std::vector<std::string> env = bench::programEnvironment(dir);
        auto argv = bench::cStrings(args);
        auto envp = bench::cStrings(env);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string log = (dir / "program.log").string();
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (posix_spawn(&pid_, kProgram.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Recorder()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }

    // Waits for the address note and reads the token; false after the limit.
    bool ready()
    {
        const fs::path state = dir_ / "data" / "QuelmarRecorder";
        const auto deadline = steady_clock::now() + seconds(kStartLimitSeconds);
        while (steady_clock::now() < deadline) {
            std::ifstream note(state / "remote.address");
            std::string host;
            if (note >> host >> port_) {
                std::ifstream(state / "remote.token") >> token_;
                return !token_.empty();
            }
            poll(nullptr, 0, kPollStepMs);
        }
        return false;
    }
    // Starts a recording of `seconds`; waits until bytes arrive.
    bool record(int seconds)
    {
        const std::string answer =
            exchange(port_, request("POST", "recording", token_,
                                    R"({"channel": 2, "file": "bench", "overwrite": true, "duration": )" +
                                        std::to_string(seconds) + "}"));
        if (answer.rfind("HTTP/1.1 200", 0) != 0) {
            std::fprintf(stderr, "recording refused: %s\n", answer.c_str());
            return false;
        }
        const auto deadline = steady_clock::now() + std::chrono::seconds(kStartLimitSeconds);
        while (steady_clock::now() < deadline) {
            if (exchange(port_, request("GET", "status", token_)).find("\"state\":\"recording\"") != std::string::npos)
                return true;
            poll(nullptr, 0, kPollStepMs);
        }
        return false;
    }
    pid_t pid() const { return pid_; }
    uint16_t port() const { return port_; }
    const std::string &token() const { return token_; }

private:
    fs::path dir_;
    pid_t pid_ = -1;
    uint16_t port_ = 0;
    std::string token_;
};

// CPU percent of one core the program spends over `seconds` of its recording.
double measureCpu(const Recorder &recorder, int seconds)
{
    const double before = cpuSeconds(recorder.pid());
    const auto start = steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double wall = duration<double>(steady_clock::now() - start).count();
    return (cpuSeconds(recorder.pid()) - before) / wall * kPercent;
}

// A client that keeps /api/v1/events open and reads what comes until `stop`.
void eventClient(uint16_t port, const std::string &token, const std::atomic<bool> &stop, std::atomic<long> &bytes)
{
    const int fd = connectTo(port);
    if (fd < 0)
        return;
    const std::string raw = "GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " + token +
                            "\r\nAccept: text/event-stream\r\n\r\n";
    if (write(fd, raw.data(), raw.size()) == ssize_t(raw.size())) {
        char buffer[4096];
        while (!stop) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, kPollStepMs) <= 0)
                continue;
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0)
                break;
            bytes += n;
        }
    }
    close(fd);
}

double percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(fraction * double(values.size())))];
}

// The program's CPU share over `seconds` of a recording, with the page and
// the event clients connected when `clients` is set; `eventBytes` receives
// what they read. std::nullopt when the program did not record.
std::optional<double> cpuRun(const fs::path &dir, int seconds, bool clients, long &eventBytes)
{
    Recorder recorder(dir);
    if (!recorder.ready())
        return std::nullopt;
    std::atomic<bool> stop{false};
    std::atomic<long> bytes{0};
    std::vector<std::thread> readers;
    if (clients) {
        // The page: its start-up requests, then its event stream; and 10 more.
        for (const char *path : {"status", "channels", "timers", "recordings", "log"})
            exchange(recorder.port(), request("GET", path, recorder.token()));
        for (int i = 0; i < kEventClients + 1; ++i)
            readers.emplace_back(eventClient, recorder.port(), recorder.token(), std::cref(stop), std::ref(bytes));
    }
    std::optional<double> share;
    if (recorder.record(kSettleSeconds + seconds + kTailSeconds)) {
        std::this_thread::sleep_for(std::chrono::seconds(kSettleSeconds));
        share = measureCpu(recorder, seconds);
    }
    stop = true;
    for (std::thread &reader : readers)
        reader.join();
    eventBytes = bytes;
    return share;
}

// Status answer times (ms) over `seconds` of a recording, one client asking
// back to back; empty when the program did not record or answer.
std::vector<double> latencyRun(const fs::path &dir, int seconds)
{
    Recorder recorder(dir);
    std::vector<double> latencies;
    if (!recorder.ready() || !recorder.record(kSettleSeconds + seconds + kTailSeconds))
        return latencies;
    std::this_thread::sleep_for(std::chrono::seconds(kSettleSeconds));
    const std::string raw = request("GET", "status", recorder.token());
    const auto end = steady_clock::now() + std::chrono::seconds(seconds);
    while (steady_clock::now() < end) {
        const auto start = steady_clock::now();
        if (exchange(recorder.port(), raw).rfind("HTTP/1.1 200", 0) != 0) {
            std::fprintf(stderr, "a status request failed\n");
            return {};
        }
        latencies.push_back(duration<double, std::micro>(steady_clock::now() - start).count() / kUsPerMs);
    }
    return latencies;
}

} // namespace

int main(int argc, char **argv)
{
    const int seconds = argc > 1 ? std::max(kMinSeconds, std::atoi(argv[1])) : kDefaultSeconds;
    const fs::path dir = fs::temp_directory_path() / ("remote_bench." + std::to_string(getpid()));
    std::printf("remote control benchmark: %d s measured per run, AC-3 channel, raw video + es audio + DVD mux, "
                "%d pairs of runs (quiet, then page + %d clients on events)\n",
                seconds, kPairs, kEventClients);
    double costs = 0;
    for (int pair = 1; pair <= kPairs; ++pair) {
        long unused = 0, eventBytes = 0;
        const std::optional<double> quiet = cpuRun(dir / ("quiet" + std::to_string(pair)), seconds, false, unused);
        const std::optional<double> loaded =
            cpuRun(dir / ("clients" + std::to_string(pair)), seconds, true, eventBytes);
        if (!quiet || !loaded) {
            std::fprintf(stderr, "the program did not record (see %s)\n", dir.c_str());
            return 1;
        }
        costs += *loaded - *quiet;
        std::printf("pair %d: program CPU quiet %5.2f %%, with clients %5.2f %% of a core: %+5.2f %% (ratio %.3f; "
                    "%ld event bytes read)\n",
                    pair, *quiet, *loaded, *loaded - *quiet, *quiet > 0 ? *loaded / *quiet : 0.0, eventBytes);
    }
    std::printf("remote control's cost, mean of the pairs: %+5.2f %% of a core (goal < %.1f %%)\n", costs / kPairs,
                kCpuGoalPercent);
    const std::vector<double> latencies = latencyRun(dir / "latency", seconds);
    if (latencies.empty())
        return 1;
    fs::remove_all(dir);
    std::printf("status latency while recording (%zu requests): median %.2f ms, p99 %.2f ms (goal < %.0f ms)\n",
                latencies.size(), percentile(latencies, kMedian), percentile(latencies, kP99), kLatencyGoalMs);
    return 0;
}
