// rescan.h: what halvane does. It asks the kernel to rescan every SCSI host
// (class/scsi_host/hostN/scan below the sysfs root, "- - -": every channel,
// target and LUN), then waits at least kSettleTime on a monotonic clock so
// that the devices found have their nodes, and ends. A failure is reported
// and counted but stops nothing: every host is asked and the wait is kept.
#pragma once

#include <chrono>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace quelmar::halvane {

constexpr std::chrono::seconds kSettleTime{2};
constexpr char kVersionText[] = "halvane (QuelmarSCSI) " QUELMAR_HALVANE_VERSION "\n";
// Environment variable naming the folder that stands for /sys (tests).
constexpr char kSysfsRootVariable[] = "QUELMAR_HALVANE_SYSFS_ROOT";
constexpr char kDefaultSysfsRoot[] = "/sys";

// A clock that never jumps or wraps, and a way to wait on it.
class MonotonicClock {
public:
    virtual ~MonotonicClock() = default;
    virtual std::chrono::nanoseconds now() = 0;
    // Waits about `duration`; may return early (a signal), never matters:
    // the caller measures with now().
    virtual void sleepFor(std::chrono::nanoseconds duration) = 0;
};

// CLOCK_MONOTONIC.
class SteadyClock final : public MonotonicClock {
public:
    std::chrono::nanoseconds now() override;
    void sleepFor(std::chrono::nanoseconds duration) override;
};

// The sysfs root: the variable's value when it is set and not empty, else
// /sys.
std::filesystem::path sysfsRootFromEnvironment();

// Rescans every host below `sysfsRoot`, then waits kSettleTime on `clock`.
// Each failure is one line on `errors` ("halvane: " and what failed).
// Returns the exit status: 0 when every host was rescanned, 1 when a rescan
// failed or there is no SCSI host.
int rescanAllHosts(const std::filesystem::path &sysfsRoot, MonotonicClock &clock, std::ostream &errors);

// Exit status of a command line halvane does not take.
constexpr int kBadCommandLine = 2;

// The program: without arguments (as the recorder starts it)
// rescanAllHosts. --help and --version are answered on `out` (status 0),
// anything else is refused with one line on `errors` (status
// kBadCommandLine); neither touches the bus. `arguments` excludes the
// program name.
int runHalvane(const std::vector<std::string> &arguments, const std::filesystem::path &sysfsRoot, MonotonicClock &clock,
               std::ostream &out, std::ostream &errors);

} // namespace quelmar::halvane
