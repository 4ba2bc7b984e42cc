#include "aspi_layer.h"

#include "aspi.h"
#include "inquiry_identity.h"
#include "quelmar_modules.h"

#include <dlfcn.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace quelmar::scsi_cli {
namespace {

using namespace quelmar::scsi;

constexpr const char *kLayerVariable = modules::kAspiLayerVariable;
constexpr const char *kDefaultLayer = modules::kAspiLayer;
constexpr std::string_view kVirtualLayer = modules::kVirtualAspiLayer;
constexpr const char *kVirtualOption = "--virtual-receiver";

constexpr uint8_t kSenseBytes = 14;
constexpr uint8_t kTargetsPerAdapter = 8;
constexpr uint8_t kNoAddress = 0xFF; // address fields of a not-found record
constexpr uint32_t kSupportStatusShift = 8;
constexpr uint32_t kByteMask = 0xFF;
constexpr int kCompletionWaitMs = 1000; // as long as the library waits

// Waits for the eventfd; false when `timeoutMs` passed first.
bool waitEvent(int fd, int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>(std::max<long long>(left, 0)));
        if (r > 0) {
            uint64_t count = 0;
            return read(fd, &count, sizeof count) == sizeof count;
        }
        if ((r < 0 && errno != EINTR) || left <= 0)
            return false;
    }
}

// One INQUIRY of LUN 0 at `adapter`:`target`; true with the 36 bytes in
// `data` when it completed. A request without completion in time is aborted,
// so the layer never writes into `data` afterwards.
bool inquiry(SendASPI32CommandFn send, uint8_t adapter, uint8_t target, uint8_t (&data)[kInquiryBytes])
{
    const int fd = eventfd(0, EFD_CLOEXEC);
    if (fd < 0)
        return false;
    SRB_ExecSCSICmd srb{};
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_HaId = adapter;
    srb.SRB_Flags = SRB_DIR_IN | SRB_EVENT_NOTIFY;
    srb.SRB_Target = target;
    srb.SRB_BufLen = kInquiryBytes;
    srb.SRB_BufPointer = data;
    srb.SRB_SenseLen = kSenseBytes;
    const uint8_t block[] = {kInquiryOperation, 0, 0, 0, kInquiryBytes, 0};
    srb.SRB_CDBLen = sizeof block;
    std::memcpy(srb.CDBByte, block, sizeof block);
    srb.SRB_PostProc = reinterpret_cast<void *>(static_cast<intptr_t>(fd));
    send(&srb);
    if (!waitEvent(fd, kCompletionWaitMs)) {
        SRB_Abort abort{};
        abort.SRB_Cmd = SC_ABORT_SRB;
        abort.SRB_HaId = adapter;
        abort.SRB_ToAbort = &srb;
        send(&abort);
    }
    close(fd);
    return aspi::loadStatus(srb.SRB_Status) == SS_COMP;
}

} // namespace

std::string aspiLayerAsked(const std::string &libraryDirectory)
{
    const char *configured = std::getenv(kLayerVariable);
    const std::string name = (configured && *configured) ? configured : kDefaultLayer;
    if (name.find('/') != std::string::npos || libraryDirectory.empty())
        return name;
    const std::string beside = libraryDirectory + "/" + name;
    struct stat st {};
    return stat(beside.c_str(), &st) == 0 ? beside : name;
}

bool isVirtualLayer(const std::string &layer)
{
    const size_t slash = layer.rfind('/');
    return std::string_view(layer).substr(slash == std::string::npos ? 0 : slash + 1) == kVirtualLayer;
}

namespace {

// The layer module the library bound (not a second copy of it), for direct
// INQUIRY requests; closed again when destroyed.
class BoundLayer {
public:
    explicit BoundLayer(const std::string &layer) : module_(dlopen(layer.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD))
    {
        if (!module_)
            return;
        const auto support = reinterpret_cast<GetASPI32SupportInfoFn>(dlsym(module_, "GetASPI32SupportInfo"));
        send = reinterpret_cast<SendASPI32CommandFn>(dlsym(module_, "SendASPI32Command"));
        const uint32_t info = support && send ? support() : 0;
        if (((info >> kSupportStatusShift) & kByteMask) == SS_COMP)
            adapters = info & kByteMask;
        else
            send = nullptr;
    }
    ~BoundLayer()
    {
        if (module_)
            dlclose(module_);
    }
    BoundLayer(const BoundLayer &) = delete;
    BoundLayer &operator=(const BoundLayer &) = delete;

    bool working() const { return send != nullptr; }
    // The receiver at `adapter`:`target` by the identification it answers
    // with (status 1 when nothing answers, or something else).
    DvbDevice probe(uint8_t adapter, uint8_t target) const
    {
        DvbDevice device{};
        device.status = DVB_STATUS_NONE;
        device.hostAdapter = adapter;
        device.targetId = target;
        uint8_t data[kInquiryBytes] = {};
        if (adapter >= adapters || target >= kTargetsPerAdapter || !inquiry(send, adapter, target, data))
            return device;
        if (identificationMatches(data, kCurrentIdentification))
            device.status = DVB_STATUS_FOUND;
        else if (identificationMatches(data, kOlderIdentification))
            device.status = DVB_STATUS_FOUND_OLD;
        else
            return device;
        device.firmwareRevision = revisionDigits(data);
        return device;
    }

    SendASPI32CommandFn send = nullptr;
    unsigned adapters = 0;

private:
    void *module_;
};

} // namespace

std::optional<std::vector<DvbDevice>> findOlderReceivers(const std::string &layer)
{
    const BoundLayer bound(layer);
    if (!bound.working())
        return std::nullopt;
    std::vector<DvbDevice> found;
    for (unsigned adapter = 0; adapter < bound.adapters; ++adapter) {
        for (uint8_t target = 0; target < kTargetsPerAdapter; ++target) {
            const DvbDevice device = bound.probe(static_cast<uint8_t>(adapter), target);
            if (device.status == DVB_STATUS_FOUND_OLD)
                found.push_back(device);
        }
    }
    return found;
}

std::optional<DvbDevice> findFirstReceiver(const std::string &layer)
{
    const BoundLayer bound(layer);
    if (!bound.working())
        return std::nullopt;
    DvbDevice none{};
    none.status = DVB_STATUS_NONE;
    none.hostAdapter = kNoAddress;
    none.targetId = kNoAddress;
    std::optional<DvbDevice> older;
    for (unsigned adapter = 0; adapter < bound.adapters; ++adapter) {
        for (uint8_t target = 0; target < kTargetsPerAdapter; ++target) {
            const DvbDevice device = bound.probe(static_cast<uint8_t>(adapter), target);
            if (device.status == DVB_STATUS_FOUND)
                return device;
            if (device.status == DVB_STATUS_FOUND_OLD && !older)
                older = device;
        }
    }
    return older.value_or(none);
}

std::string virtualConfigProblem(const std::string &config)
{
    struct stat status {};
    if (stat(config.c_str(), &status) != 0 || access(config.c_str(), R_OK) != 0)
        return std::strerror(errno);
    return S_ISREG(status.st_mode) ? std::string() : "not a regular file";
}

std::optional<DvbDevice> probeReceiverAt(const std::string &layer, uint8_t adapter, uint8_t target)
{
    const BoundLayer bound(layer);
    if (!bound.working())
        return std::nullopt;
    return bound.probe(adapter, target);
}

std::string noReceiverText(uint32_t aspiStatus, const std::string &layer, const std::string &where)
{
    const char *why = "no receiver answered through";
    if (aspiStatus == DVB_ASPI_NOT_LOADED)
        why = "the library could not load";
    else if (aspiStatus == DVB_ASPI_ENTRY_MISSING)
        why = "the ASPI entry points are missing in";
    else if (aspiStatus != DVB_ASPI_OK)
        why = "no SCSI host adapter works in";
    char status[sizeof "0x12345678"];
    std::snprintf(status, sizeof status, "0x%08x", aspiStatus);
    return "no receiver found" + where + ": " + why + " the ASPI layer " + layer + " (status " + status + ")";
}

std::string virtualReceiverHint(const std::string &layer, const std::string &program, const std::string &arguments)
{
    if (isVirtualLayer(layer))
        return "";
    return "to use the simulated receiver instead: " + program + " " + kVirtualOption +
           (arguments.empty() ? "" : " " + arguments);
}

} // namespace quelmar::scsi_cli
