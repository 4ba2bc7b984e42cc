#include "sg_layer.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <new>
#include <pthread.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace quelmar::sg {
namespace {

constexpr uint8_t kKnownExecFlags = SRB_DIR_IN | SRB_DIR_OUT | SRB_EVENT_NOTIFY;
constexpr uint8_t kMinCdbBytes = 6;
constexpr uint8_t kHostAdapterScsiId = 7; // the id SCSI host adapters take by custom
constexpr uint8_t kNarrowBusTargets = 8;
constexpr uint8_t kWideBusTargets = 16;
constexpr uint8_t kMaxReportedTargets = 255; // HA_Unique byte 3
constexpr char kManagerId[] = "Quelmar SG ASPI";
constexpr uint64_t kEventIncrement = 1;
constexpr std::string_view kEventFdLinkText = "anon_inode:[eventfd]";
constexpr size_t kFdLinkBytes = 64;             // enough for any anon_inode link text
constexpr char kWorkerThreadName[] = "aspi-sg"; // at most 15 characters
constexpr mode_t kPermissionBits = 07777;
constexpr mode_t kGroupReadWrite = S_IRGRP | S_IWGRP;
constexpr size_t kNameBufferBytes = 16384; // for getpwuid_r and getgrgid_r

std::string userName(uid_t uid)
{
    std::vector<char> buffer(kNameBufferBytes);
    passwd entry{}, *found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return found->pw_name;
    return std::to_string(uid);
}

std::string groupName(gid_t gid)
{
    std::vector<char> buffer(kNameBufferBytes);
    group entry{}, *found = nullptr;
    if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return found->gr_name;
    return std::to_string(gid);
}

// An eventfd descriptor, and not some other open file that 8 bytes would
// corrupt. Without /proc the kind cannot be seen; an open descriptor is
// then taken on trust.
bool isEventFd(int fd)
{
    if (fd < 0 || ::fcntl(fd, F_GETFD) == -1)
        return false;
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    char text[kFdLinkBytes];
    const ssize_t length = ::readlink(link.c_str(), text, sizeof text);
    if (length < 0)
        return true;
    return std::string_view(text, static_cast<size_t>(length)) == kEventFdLinkText;
}

void signalEvent(int fd)
{
    ssize_t written;
    do
        written = ::write(fd, &kEventIncrement, sizeof kEventIncrement);
    while (written < 0 && errno == EINTR);
    // Other failures (counter full) leave nothing to do: the status is final.
}

int eventFdOf(const SRB_ExecSCSICmd &srb) { return static_cast<int>(reinterpret_cast<intptr_t>(srb.SRB_PostProc)); }

template <size_t N>
void copyPadded(uint8_t (&field)[N], std::string_view text)
{
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), std::min(N, text.size()));
}

} // namespace

struct SgLayer::Job {
    SRB_ExecSCSICmd *srb = nullptr; // the caller's; null once completed or aborted
    int eventFd = -1;               // -1: no event notification
    std::array<uint8_t, ASPI_CDB_BYTES> cdb{};
    std::array<uint8_t, ASPI_SENSE_AREA_BYTES> sense{};
    std::vector<uint8_t> data; // the layer's own copy; SG_IO never sees the caller's buffer
    SgIoRequest io;
    std::string description; // of the target's device, for messages
};

void reportOnStandardError(const std::string &text) { std::fprintf(stderr, "libwnaspi32.so: %s\n", text.c_str()); }

std::string describeRefusedNode(const std::string &node, const ScsiAddress &address, const std::string &description,
                                int error)
{
    std::string text = "cannot open " + node + " (SCSI device " + std::to_string(address.host) + ":" +
                       std::to_string(address.channel) + ":" + std::to_string(address.target) + ":" +
                       std::to_string(address.lun) + (description.empty() ? "" : ", " + description) +
                       "): " + std::strerror(error) + ": ";
    // SG_IO needs the node open for reading and writing.
    const bool mayRead = ::faccessat(AT_FDCWD, node.c_str(), R_OK, AT_EACCESS) == 0;
    const bool mayWrite = ::faccessat(AT_FDCWD, node.c_str(), W_OK, AT_EACCESS) == 0;
    if (!mayRead || !mayWrite)
        text += std::string("this process lacks ") +
                (!mayRead && !mayWrite ? "read and write"
                 : !mayRead            ? "read"
                                       : "write") +
                " permission on it";
    else
        text += "refused although its mode allows reading and writing (a security policy?)";
    struct stat st {};
    if (::stat(node.c_str(), &st) == 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & kPermissionBits));
        const std::string group = groupName(st.st_gid);
        text += " (owner " + userName(st.st_uid) + ", group " + group + ", mode " + mode + ")";
        if ((st.st_mode & kGroupReadWrite) == kGroupReadWrite)
            text += "; members of group " + group + " may open it";
    }
    return text;
}

SgLayerConfig configFromEnvironment()
{
    SgLayerConfig config;
    if (const char *root = std::getenv("QUELMAR_SG_SYSFS_ROOT"); root && *root)
        config.sysfsRoot = root;
    if (const char *root = std::getenv("QUELMAR_SG_DEV_ROOT"); root && *root)
        config.devRoot = root;
    return config;
}

SgLayer::SgLayer(SgLayerConfig config)
    : config_(std::move(config)), enumeration_(enumerateSgDevices(config_.sysfsRoot, config_.devRoot))
{}

SgLayer::~SgLayer()
{
    std::vector<std::thread> workers;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (auto &job : queue_)
            if (job->srb)
                completeWithStatusLocked(*job, SS_ABORTED, ASPI_HASTAT_OK);
        queue_.clear();
        workers.swap(workers_);
    }
    workAvailable_.notify_all();
    for (auto &worker : workers)
        worker.join();
}

uint32_t SgLayer::supportInfo() const
{
    std::lock_guard lock(mutex_);
    const uint32_t status = enumeration_.driverPresent ? SS_COMP : SS_ERR;
    return status << 8 | static_cast<uint32_t>(enumeration_.adapters.size());
}

SgEnumeration SgLayer::enumeration() const
{
    std::lock_guard lock(mutex_);
    return enumeration_;
}

uint32_t SgLayer::send(void *srb)
{
    if (!srb)
        return SS_INVALID_CMD;
    auto &header = *static_cast<SRB_Header *>(srb);
    switch (header.SRB_Cmd) {
    case SC_HA_INQUIRY: return hostAdapterInquiry(*static_cast<SRB_HAInquiry *>(srb));
    case SC_EXEC_SCSI_CMD: return execute(*static_cast<SRB_ExecSCSICmd *>(srb));
    case SC_ABORT_SRB: return abort(*static_cast<SRB_Abort *>(srb));
    case SC_RESCAN_SCSI_BUS: return rescan(header);
    default: aspi::storeStatus(header.SRB_Status, SS_INVALID_CMD); return SS_INVALID_CMD;
    }
}

uint8_t SgLayer::hostAdapterInquiry(SRB_HAInquiry &srb)
{
    std::lock_guard lock(mutex_);
    const auto &adapters = enumeration_.adapters;
    std::memset(reinterpret_cast<uint8_t *>(&srb) + offsetof(SRB_HAInquiry, HA_Count), 0,
                sizeof srb - offsetof(SRB_HAInquiry, HA_Count));
    srb.HA_Count = static_cast<uint8_t>(adapters.size());
    if (srb.SRB_HaId >= adapters.size()) {
        aspi::storeStatus(srb.SRB_Status, SS_INVALID_HA);
        return SS_INVALID_HA;
    }
    const SgAdapter &adapter = adapters[srb.SRB_HaId];
    srb.HA_SCSI_ID = kHostAdapterScsiId;
    copyPadded(srb.HA_ManagerId, kManagerId);
    copyPadded(srb.HA_Identifier, adapter.identifier);
    const unsigned highestId = adapter.targets.empty() ? 0 : adapter.targets.rbegin()->first;
    uint8_t targetIds = kNarrowBusTargets;
    if (highestId >= kNarrowBusTargets)
        targetIds = highestId < kWideBusTargets
                        ? kWideBusTargets
                        : static_cast<uint8_t>(std::min<unsigned>(highestId + 1, kMaxReportedTargets));
    srb.HA_Unique[3] = targetIds;
    const uint32_t maxTransfer = ASPI_SG_MAX_TRANSFER_BYTES;
    for (int i = 0; i < 4; ++i)
        srb.HA_Unique[4 + i] = static_cast<uint8_t>(maxTransfer >> (8 * i));
    aspi::storeStatus(srb.SRB_Status, SS_COMP);
    return SS_COMP;
}

uint8_t SgLayer::execute(SRB_ExecSCSICmd &srb)
{
    // Checks that need no shared state come first, so the data copy below
    // happens outside the lock.
    const uint8_t flags = srb.SRB_Flags;
    const bool notify = (flags & SRB_EVENT_NOTIFY) != 0;
    const bool in = (flags & SRB_DIR_IN) != 0, out = (flags & SRB_DIR_OUT) != 0;
    const bool eventUsable = !notify || isEventFd(eventFdOf(srb));
    const uint32_t length = srb.SRB_BufLen;
    const bool malformed = (flags & ~kKnownExecFlags) != 0 || (in && out) || length > ASPI_SG_MAX_TRANSFER_BYTES ||
                           (length > 0 && (!srb.SRB_BufPointer || (!in && !out))) || srb.SRB_CDBLen < kMinCdbBytes ||
                           srb.SRB_CDBLen > ASPI_CDB_BYTES;

    auto job = std::make_shared<Job>();
    bool outOfMemory = false;
    if (eventUsable && !malformed) {
        try {
            job->srb = &srb;
            job->eventFd = notify ? eventFdOf(srb) : -1;
            std::memcpy(job->cdb.data(), srb.CDBByte, srb.SRB_CDBLen);
            job->data.resize(length);
            if (out && length > 0)
                std::memcpy(job->data.data(), srb.SRB_BufPointer, length);
            SgIoRequest &io = job->io;
            io.cdb = job->cdb.data();
            io.cdbLength = srb.SRB_CDBLen;
            io.direction = length == 0 ? Direction::None : in ? Direction::In : Direction::Out;
            io.data = job->data.data();
            io.dataLength = length;
            io.sense = job->sense.data();
            io.senseCapacity = std::min<uint8_t>(srb.SRB_SenseLen, ASPI_SENSE_AREA_BYTES);
            io.timeoutMs = config_.sgIoTimeoutMs;
        } catch (const std::bad_alloc &) {
            outOfMemory = true; // a transfer buffer of up to 16 MiB
        }
    }

    std::lock_guard lock(mutex_);
    // A block that is still pending belongs to its first submission.
    if (pending_.count(&srb))
        return SS_INVALID_CMD;
    // The status store and then the event are the last accesses to the
    // request: the caller may release it as soon as it sees either.
    const int refusalEventFd = notify && eventUsable ? eventFdOf(srb) : -1;
    auto refuse = [&](uint8_t status) {
        srb.SRB_HaStat = ASPI_HASTAT_OK;
        srb.SRB_TargStat = ASPI_TARGET_GOOD;
        aspi::storeStatus(srb.SRB_Status, status);
        if (refusalEventFd >= 0)
            signalEvent(refusalEventFd);
        return status;
    };
    if (!eventUsable || malformed)
        return refuse(SS_INVALID_CMD);
    if (stopping_ || outOfMemory)
        return refuse(SS_ERR);
    const auto &adapters = enumeration_.adapters;
    if (srb.SRB_HaId >= adapters.size())
        return refuse(SS_INVALID_HA);
    const auto &targets = adapters[srb.SRB_HaId].targets;
    const auto target = targets.find(srb.SRB_Target);
    if (target == targets.end() || srb.SRB_Lun != 0)
        return refuse(SS_NO_DEVICE);
    job->io.devicePath = target->second.devicePath;
    job->io.address = target->second.address;
    job->description = target->second.description;

    srb.SRB_HaStat = ASPI_HASTAT_OK;
    srb.SRB_TargStat = ASPI_TARGET_GOOD;
    aspi::storeStatus(srb.SRB_Status, SS_PENDING);
    pending_.emplace(&srb, job);
    queue_.push_back(job);
    startWorkerIfNeededLocked();
    workAvailable_.notify_one();
    // Not read back from the block: once queued, the request may already be
    // complete and released by another of the caller's threads.
    return SS_PENDING;
}

void SgLayer::startWorkerIfNeededLocked()
{
    if (queue_.size() <= idleWorkers_ || workers_.size() >= config_.maxWorkers)
        return;
    // Workers start with every signal blocked: the process's signals belong
    // to its own threads, and one arriving during SG_IO would orphan the
    // command.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    try {
        workers_.emplace_back([this] { workerLoop(); });
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    } catch (const std::system_error &) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        if (!workers_.empty())
            return; // the existing workers will get to the queue
        for (auto &job : queue_)
            if (job->srb)
                completeWithStatusLocked(*job, SS_ERR, ASPI_HASTAT_PHASE_ERR);
        queue_.clear();
    }
}

void SgLayer::workerLoop()
{
    pthread_setname_np(pthread_self(), kWorkerThreadName);
    std::unique_lock lock(mutex_);
    for (;;) {
        ++idleWorkers_;
        workAvailable_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        --idleWorkers_;
        if (queue_.empty())
            return;
        std::shared_ptr<Job> job = std::move(queue_.front());
        queue_.pop_front();
        if (!job->srb)
            continue; // aborted while it waited
        lock.unlock();
        SgIoResult result;
        try {
            result = config_.sgIo(job->io);
        } catch (...) {
            result = SgIoResult{};
            result.errorNumber = EIO;
        }
        if (result.errorNumber == EACCES || result.errorNumber == EPERM)
            reportRefusal(*job, result.errorNumber);
        lock.lock();
        if (job->srb)
            completeLocked(*job, result); // else aborted meanwhile: the result is dropped
    }
}

void SgLayer::completeLocked(Job &job, const SgIoResult &result)
{
    SRB_ExecSCSICmd &srb = *job.srb;
    const AspiOutcome outcome = mapSgIoResult(result);
    // The caller's buffer changes only when the command succeeded.
    if (outcome.status == SS_COMP && job.io.direction == Direction::In)
        std::memcpy(srb.SRB_BufPointer, job.data.data(), transferredBytes(job.io.dataLength, result.residual));
    const uint8_t senseBytes =
        result.errorNumber == 0 ? std::min(result.senseWritten, job.io.senseCapacity) : uint8_t{0};
    std::memcpy(srb.SenseArea, job.sense.data(), senseBytes);
    std::memset(srb.SenseArea + senseBytes, 0, job.io.senseCapacity - senseBytes);
    srb.SRB_TargStat = outcome.targetStatus;
    completeWithStatusLocked(job, outcome.status, outcome.hostAdapterStatus);
}

void SgLayer::completeWithStatusLocked(Job &job, uint8_t status, uint8_t hostAdapterStatus)
{
    SRB_ExecSCSICmd &srb = *job.srb;
    srb.SRB_HaStat = hostAdapterStatus;
    aspi::storeStatus(srb.SRB_Status, status);
    if (job.eventFd >= 0)
        signalEvent(job.eventFd);
    pending_.erase(&srb);
    job.srb = nullptr;
}

void SgLayer::reportRefusal(const Job &job, int error)
{
    {
        std::lock_guard lock(mutex_);
        if (!refusedNodes_.insert(job.io.devicePath).second)
            return;
    }
    config_.report(describeRefusedNode(job.io.devicePath, job.io.address, job.description, error));
}

uint8_t SgLayer::abort(SRB_Abort &srb)
{
    if (!srb.SRB_ToAbort) {
        aspi::storeStatus(srb.SRB_Status, SS_INVALID_CMD);
        return SS_INVALID_CMD;
    }
    std::lock_guard lock(mutex_);
    const auto found = pending_.find(srb.SRB_ToAbort);
    if (found == pending_.end()) {
        aspi::storeStatus(srb.SRB_Status, SS_ERR);
        return SS_ERR;
    }
    // Keep the job alive past the erase in completeWithStatusLocked.
    const std::shared_ptr<Job> job = found->second;
    completeWithStatusLocked(*job, SS_ABORTED, ASPI_HASTAT_OK);
    aspi::storeStatus(srb.SRB_Status, SS_COMP);
    return SS_COMP;
}

uint8_t SgLayer::rescan(SRB_Header &srb)
{
    unsigned host;
    {
        std::lock_guard lock(mutex_);
        if (srb.SRB_HaId >= enumeration_.adapters.size()) {
            aspi::storeStatus(srb.SRB_Status, SS_INVALID_HA);
            return SS_INVALID_HA;
        }
        host = enumeration_.adapters[srb.SRB_HaId].host;
    }
    // The kernel scans during the write; other requests keep running meanwhile.
    const int error = requestHostScan(config_.sysfsRoot, host);
    SgEnumeration fresh = enumerateSgDevices(config_.sysfsRoot, config_.devRoot);
    {
        std::lock_guard lock(mutex_);
        enumeration_ = std::move(fresh);
    }
    const uint8_t status = error == 0 ? SS_COMP : SS_ERR;
    aspi::storeStatus(srb.SRB_Status, status);
    return status;
}

} // namespace quelmar::sg
