#include "rescan.h"

#include "sg_sysfs.h"

#include <cstdlib>
#include <thread>

namespace quelmar::halvane {

std::chrono::nanoseconds SteadyClock::now() { return std::chrono::steady_clock::now().time_since_epoch(); }

void SteadyClock::sleepFor(std::chrono::nanoseconds duration) { std::this_thread::sleep_for(duration); }

std::filesystem::path sysfsRootFromEnvironment()
{
    const char *root = std::getenv(kSysfsRootVariable);
    return root && *root ? root : kDefaultSysfsRoot;
}

int rescanAllHosts(const std::filesystem::path &sysfsRoot, MonotonicClock &clock, std::ostream &errors)
{
    int status = 0;
    const auto hosts = sg::listScsiHosts(sysfsRoot);
    if (hosts.empty()) {
        errors << "halvane: no SCSI host found in " << (sysfsRoot / "class" / "scsi_host").string() << "\n";
        status = 1;
    }
    for (unsigned host : hosts) {
        if (const int error = sg::requestHostScan(sysfsRoot, host)) {
            errors << "halvane: " << sg::hostScanPath(sysfsRoot, host).string() << ": " << sg::hostScanErrorText(error)
                   << "\n";
            status = 1;
        }
    }
    errors.flush();
    // The devices the kernel found get their nodes meanwhile.
    const auto start = clock.now();
    for (auto waited = std::chrono::nanoseconds(0); waited < kSettleTime; waited = clock.now() - start)
        clock.sleepFor(kSettleTime - waited);
    return status;
}

} // namespace quelmar::halvane

namespace quelmar::halvane {

namespace {

constexpr char kHelpText[] = "Usage: halvane [--help | --version]\n"
                             "Asks the kernel to rescan every SCSI host (\"- - -\" to each\n"
                             "/sys/class/scsi_host/host*/scan), then waits 2 s for the devices to settle.\n"
                             "The recorder starts it without arguments. Exit status 0 when every host was\n"
                             "rescanned, 1 when a rescan failed or there is no SCSI host.\n";

} // namespace

int runHalvane(const std::vector<std::string> &arguments, const std::filesystem::path &sysfsRoot, MonotonicClock &clock,
               std::ostream &out, std::ostream &errors)
{
    if (arguments.empty())
        return rescanAllHosts(sysfsRoot, clock, errors);
    if (arguments.size() == 1 && arguments[0] == "--help") {
        out << kHelpText;
        return 0;
    }
    if (arguments.size() == 1 && arguments[0] == "--version") {
        out << kVersionText;
        return 0;
    }
    errors << "halvane: '" << arguments[0] << "' is not an option it takes (see --help); nothing was rescanned\n";
    return kBadCommandLine;
}

} // namespace quelmar::halvane
