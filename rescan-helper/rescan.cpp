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
