// Figures of a running process from /proc/PID/status, for the benchmarks
// that run the recorder program as a separate process.
#pragma once

#include <sys/types.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace quelmar::bench {

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
