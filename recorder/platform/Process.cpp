#include "platform/Process.h"

#include <dirent.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <limits>

extern char **environ;

namespace quelmar {

namespace {

constexpr int kNiceIdle = 19;
constexpr int kNiceNormal = 0;
constexpr int kNiceHigh = -10;
constexpr int kNiceRealTime = -20;
constexpr uint32_t kSignalExitBase = 128; // exit code of a child ended by a signal: 128 + signal
constexpr char kTaskFolder[] = "/proc/self/task";
constexpr char kSelfExe[] = "/proc/self/exe";

} // namespace

int NiceValueOf(PriorityClass priority)
{
    switch (priority) {
    case PriorityClass::Idle: return kNiceIdle;
    case PriorityClass::Normal: return kNiceNormal;
    case PriorityClass::High: return kNiceHigh;
    case PriorityClass::RealTime: return kNiceRealTime;
    }
    return kNiceNormal;
}

void SetProcessPriority(PriorityClass priority)
{
    // Linux keeps the nice value per thread: every thread of the process is
    // given it, as a priority class covers the whole process.
    const int nice = NiceValueOf(priority);
    DIR *tasks = opendir(kTaskFolder);
    if (!tasks) {
        setpriority(PRIO_PROCESS, 0, nice);
        return;
    }
    while (const dirent *entry = readdir(tasks)) {
        char *end = nullptr;
        const long tid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || tid <= 0 || tid > std::numeric_limits<id_t>::max())
            continue;
        setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice); // failures ignored
    }
    closedir(tasks);
}

void IgnoreFileSizeSignal() { std::signal(SIGXFSZ, SIG_IGN); }

std::string ProgramDirectory()
{
    std::string path(PATH_MAX, '\0');
    const ssize_t n = readlink(kSelfExe, path.data(), path.size());
    if (n <= 0 || static_cast<size_t>(n) >= path.size())
        return {};
    path.resize(static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return {};
    return path.substr(0, slash == 0 ? 1 : slash);
}

std::optional<ChildProcess> ChildProcess::Spawn(const std::string &path, int *error)
{
    pid_t pid = -1;
    std::string argv0 = path;
    char *argv[] = {argv0.data(), nullptr};
    const int result = posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ);
    if (result != 0) {
        if (error)
            *error = result;
        return std::nullopt;
    }
    return ChildProcess(pid);
}

ChildProcess::ChildProcess(ChildProcess &&other) noexcept : pid_(other.pid_), exitCode_(other.exitCode_)
{
    other.pid_ = -1;
}

ChildProcess &ChildProcess::operator=(ChildProcess &&other) noexcept
{
    if (this != &other) {
        pid_ = other.pid_;
        exitCode_ = other.exitCode_;
        other.pid_ = -1;
    }
    return *this;
}

ChildProcess::~ChildProcess()
{
    if (pid_ > 0 && exitCode_ == kStillActive)
        ExitCode(); // reaps a child that has just ended; a running one is left alone
}

uint32_t ChildProcess::ExitCode()
{
    if (pid_ <= 0 || exitCode_ != kStillActive)
        return exitCode_;
    int status = 0;
    pid_t done;
    do {
        done = waitpid(pid_, &status, WNOHANG);
    } while (done < 0 && errno == EINTR);
    if (done == 0)
        return kStillActive;
    if (done < 0) // reaped elsewhere or no longer ours: it has ended
        exitCode_ = std::numeric_limits<uint8_t>::max();
    else if (WIFEXITED(status))
        exitCode_ = static_cast<uint32_t>(WEXITSTATUS(status));
    else
        exitCode_ = kSignalExitBase + static_cast<uint32_t>(WTERMSIG(status));
    return exitCode_;
}

} // namespace quelmar
