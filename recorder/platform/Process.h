// The recorder's own process and the child processes it starts: priority
// class, program directory, and a helper program started and watched
// without waiting for it.
#pragma once

#include "platform/StillActive.h"

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace quelmar {

// Priority classes of the process, by the values the "Priority" setting stores.
enum class PriorityClass : uint32_t {
    Normal = 32,
    Idle = 64,
    High = 128,
    RealTime = 256,
};

// The nice value a class stands for: idle 19, normal 0, high -10, real time -20.
int NiceValueOf(PriorityClass priority);

// Gives every thread of the process the nice value of `priority` (threads
// started later inherit it from their creator). A value the process may not
// take (raising the priority without the right to) is silently not applied.
// Any thread.
void SetProcessPriority(PriorityClass priority);

// Lets a write beyond the process's file-size limit (ulimit -f,
// RLIMIT_FSIZE) fail with EFBIG, which the recorder reports like a full
// disk, instead of ending the process with SIGXFSZ. Call once at start-up,
// before any thread starts; the setting is inherited by programs started
// later.
void IgnoreFileSizeSignal();

// The folder of the running program's file (from /proc/self/exe), without a
// trailing slash; empty when the system does not tell. Any thread.
std::string ProgramDirectory();

// A program started without waiting for it. The object owns the child until
// its end has been seen.
class ChildProcess {
public:
    // Starts the program at `path` with no arguments, the process's
    // environment, working directory and open descriptors. std::nullopt with
    // the system's error number in *error when it could not be started
    // (missing, not executable, ...).
    static std::optional<ChildProcess> Spawn(const std::string &path, int *error = nullptr);

    ChildProcess(ChildProcess &&other) noexcept;
    ChildProcess &operator=(ChildProcess &&other) noexcept;
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;
    // A child still running is left to run; it is reaped by the system once
    // this process ends.
    ~ChildProcess();

    // kStillActive while the child runs (never blocks), else its exit status
    // (128 + signal number when a signal ended it). The first call that sees
    // the end reaps the child; later calls repeat the code.
    uint32_t ExitCode();

private:
    explicit ChildProcess(pid_t pid) : pid_(pid) {}
    pid_t pid_ = -1;
    uint32_t exitCode_ = kStillActive;
};

} // namespace quelmar
