// sg_sysfs.h: finding SCSI generic devices through sysfs and asking the
// kernel to rescan a host. Both roots are parameters so that tests can run
// against a fake tree.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sg_io.h"

namespace quelmar::sg {

// Parses "H:C:T:L" (decimal, nothing else); nullopt when malformed.
std::optional<ScsiAddress> parseScsiAddress(std::string_view text);

struct SgTarget {
    ScsiAddress address;
    std::string devicePath;  // the sgN node below the device root
    std::string description; // the device's INQUIRY vendor and model as sysfs shows them, or ""
};

// One ASPI host adapter. Every SCSI host is one, also a host with no sg
// device yet: a receiver switched on later appears on it after a rescan, and
// the adapter numbers of the others do not shift.
struct SgAdapter {
    unsigned host = 0;                    // kernel host number
    std::string identifier;               // the host driver's proc_name, or "hostN"
    std::map<unsigned, SgTarget> targets; // by SCSI id, LUN 0 only
};

struct SgEnumeration {
    bool driverPresent = false;      // class/scsi_generic exists
    std::vector<SgAdapter> adapters; // ascending host number, index = ASPI adapter id
};

// Most adapters an ASPI caller can count (the support word has 8 bits).
constexpr size_t kMaxAdapters = 255;

// Lists every host of sysfsRoot/class/scsi_host as an adapter and reads
// sysfsRoot/class/scsi_generic/*/device (a link ending in H:C:T:L) for its
// targets: the LUN 0 devices whose node devRoot/sgN exists. Several channels
// of one host: the lowest channel keeps a target id. Never throws;
// unreadable entries are skipped.
SgEnumeration enumerateSgDevices(const std::filesystem::path &sysfsRoot, const std::filesystem::path &devRoot);

// Host numbers of every SCSI host, sysfsRoot/class/scsi_host/hostN, in
// ascending order; empty when there is none or the folder cannot be read.
std::vector<unsigned> listScsiHosts(const std::filesystem::path &sysfsRoot);

// Writes "- - -" to sysfsRoot/class/scsi_host/host<host>/scan: scan every
// channel, target and LUN. The kernel scans before the write returns, so this
// may take seconds. The layer and halvane run as root, and a root given for
// tests may lie in a tree others can write to, so nothing planted there is
// followed: links are followed only while they stay below sysfsRoot (the
// host entries are links into its devices tree), the scan file itself must
// be a regular file and not a link (checked before anything is written; a
// FIFO there never blocks the call), and it is neither created nor
// truncated. Returns 0 or the errno of the failed step; EXDEV for a path
// that leads out of sysfsRoot, ELOOP for a scan file that is a link, EINVAL
// for one that is not a regular file. kernelResolution false skips
// openat2 and checks the resolved path before opening, as is done where the
// kernel lacks openat2 (for tests of that way).
int requestHostScan(const std::filesystem::path &sysfsRoot, unsigned host, bool kernelResolution = true);

// The path requestHostScan writes to, for messages.
std::filesystem::path hostScanPath(const std::filesystem::path &sysfsRoot, unsigned host);

// What a requestHostScan error means, as a phrase.
std::string hostScanErrorText(int error);

} // namespace quelmar::sg
