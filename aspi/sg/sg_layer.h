// sg_layer.h: the ASPI layer over the Linux SCSI generic driver. One SgLayer
// serves the module's two exports; tests build their own with a fake sysfs
// tree and an injected SG_IO call.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "aspi.h"
#include "aspi_sg.h"
#include "sg_io.h"
#include "sg_sysfs.h"

namespace quelmar::sg {

// How long the driver lets one command run before it aborts it. Well above
// the library's 1000 ms completion wait, so only a hung target reaches it;
// it also bounds how long unloading the layer can take.
constexpr uint32_t kSgIoTimeoutMs = 5000;
// Worker threads run commands; more are started while requests wait and none
// is idle, up to this many (then requests queue).
constexpr size_t kMaxWorkers = 16;

// Writes one line, "libwnaspi32.so: " and the text, to standard error.
void reportOnStandardError(const std::string &text);

struct SgLayerConfig {
    std::filesystem::path sysfsRoot = "/sys";
    std::filesystem::path devRoot = "/dev";
    SgIoFunction sgIo = runSgIo;
    uint32_t sgIoTimeoutMs = kSgIoTimeoutMs;
    size_t maxWorkers = kMaxWorkers;
    // Where the layer says what the ASPI statuses cannot: a device node the
    // process may not open (once per node). Called on a worker thread.
    std::function<void(const std::string &)> report = reportOnStandardError;
};

// Why the process may not open the device node `node` (errno `error`, EACCES
// or EPERM): the node, the SCSI address and description of its device, the
// permission it lacks, and the node's owner, group and mode.
std::string describeRefusedNode(const std::string &node, const ScsiAddress &address, const std::string &description,
                                int error);

// Defaults, with the roots taken from QUELMAR_SG_SYSFS_ROOT and
// QUELMAR_SG_DEV_ROOT when they are set and not empty.
SgLayerConfig configFromEnvironment();

class SgLayer {
public:
    // Enumerates the adapters. Starts no thread until the first request.
    explicit SgLayer(SgLayerConfig config);
    // Completes requests that have not started with SS_ABORTED, waits for
    // the running ones (at most the SG_IO timeout) and joins every worker.
    // No other call may be in progress or follow.
    ~SgLayer();

    SgLayer(const SgLayer &) = delete;
    SgLayer &operator=(const SgLayer &) = delete;

    // GetASPI32SupportInfo(): SS_COMP (SS_ERR without the SCSI generic
    // driver) in bits 8..15, the adapter count in bits 0..7. Any thread.
    uint32_t supportInfo() const;

    // SendASPI32Command(): dispatches on SRB_Cmd and returns the request's
    // status; SS_PENDING for an accepted execute request (which may already
    // have completed). srb stays the caller's; for a pending execute request
    // the layer writes it from a worker thread (status, then the event, last)
    // until it completes or is aborted. Any thread.
    uint32_t send(void *srb);

    // Copy of the current adapter table. Any thread.
    SgEnumeration enumeration() const;

private:
    struct Job;

    uint8_t hostAdapterInquiry(SRB_HAInquiry &srb);
    uint8_t execute(SRB_ExecSCSICmd &srb);
    uint8_t abort(SRB_Abort &srb);
    uint8_t rescan(SRB_Header &srb);

    void workerLoop();
    void startWorkerIfNeededLocked();
    void completeLocked(Job &job, const SgIoResult &result);
    void completeWithStatusLocked(Job &job, uint8_t status, uint8_t hostAdapterStatus);
    void reportRefusal(const Job &job, int error);

    const SgLayerConfig config_;
    mutable std::mutex mutex_; // guards everything below and every pending request block
    std::condition_variable workAvailable_;
    SgEnumeration enumeration_;
    std::unordered_map<const void *, std::shared_ptr<Job>> pending_; // by request block
    std::deque<std::shared_ptr<Job>> queue_;
    std::vector<std::thread> workers_;
    size_t idleWorkers_ = 0;
    bool stopping_ = false;
    std::set<std::string> refusedNodes_; // already reported
};

} // namespace quelmar::sg
