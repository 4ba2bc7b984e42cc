// The recorder program as a separate process, for the benchmarks that run
// it: its environment, argument vectors and /proc/PID/status figures.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char **environ;

namespace quelmar::bench {

// This process's environment for a program run whose settings and timer
// store live below `dir` (XDG_CONFIG_HOME = dir/config, XDG_DATA_HOME =
// dir/data), whose receiver locks are its own (XDG_RUNTIME_DIR =
// dir/runtime, made here) and whose simulated receiver starts from its configuration
// (QUELMAR_VIRTUAL_STATE_DIR=off); every other XDG_ and QUELMAR_ variable is
// left out.
inline std::vector<std::string> programEnvironment(const std::filesystem::path &dir)
{
    std::filesystem::create_directories(dir / "runtime");
    std::vector<std::string> env{"XDG_CONFIG_HOME=" + (dir / "config").string(),
                                 "XDG_DATA_HOME=" + (dir / "data").string(),
                                 "XDG_RUNTIME_DIR=" + (dir / "runtime").string(), "QUELMAR_VIRTUAL_STATE_DIR=off"};
    for (char **e = environ; *e; ++e)
        if (std::string(*e).rfind("XDG_", 0) != 0 && std::string(*e).rfind("QUELMAR_", 0) != 0)
            env.push_back(*e);
    return env;
}

// Writes the settings of a program run below `dir` (see programEnvironment)
// as the settings file of `instance` ("" for the unnamed one): the
// "[Settings]" group with `lines`.
inline void storeSettings(const std::filesystem::path &dir, const std::string &lines, const std::string &instance = "")
{
    const std::filesystem::path folder = dir / "config" / "Pellix Soft";
    std::filesystem::create_directories(folder);
    const std::string name = instance.empty() ? "QuelmarRecorder.conf" : "QuelmarRecorder-" + instance + ".conf";
    std::ofstream(folder / name) << "[Settings]\n" << lines;
}

// `strings` as the null-terminated vector posix_spawn takes; it points into
// `strings`, which must outlive it.
inline std::vector<char *> cStrings(std::vector<std::string> &strings)
{
    std::vector<char *> pointers;
    for (auto &s : strings)
        pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

// The kB figure of `field` ("VmRSS", "VmHWM", ...) of process `pid`; 0 when
// it cannot be read. Any thread.
inline long processStatusKb(pid_t pid, const std::string &field)
{
    const std::string prefix = field + ":";
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(prefix, 0) == 0)
            return std::atol(line.c_str() + prefix.size());
    return 0;
}

} // namespace quelmar::bench
