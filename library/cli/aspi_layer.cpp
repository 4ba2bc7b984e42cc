#include "aspi_layer.h"

#include "aspi.h"

#include <dlfcn.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace quelmar::scsi_cli {
namespace {

constexpr const char *kLayerVariable = "QUELMAR_ASPI_LAYER";
constexpr const char *kDefaultLayer = "libwnaspi32.so";
constexpr std::string_view kVirtualLayer = "libaspi-virtual.so";
constexpr std::string_view kOlderIdentification = "TANVERIL ZEPRA SCSI";

constexpr uint8_t kInquiryOperation = 0x12;
constexpr uint8_t kInquiryBytes = 36;
constexpr uint8_t kSenseBytes = 14;
constexpr size_t kIdentificationOffset = 8; // vendor, then product identification
constexpr std::array<size_t, 4> kRevisionDigitBytes = {31, 32, 34, 35};
constexpr uint8_t kTargetsPerAdapter = 8;
constexpr uint32_t kSupportStatusShift = 8;
constexpr uint32_t kByteMask = 0xFF;
constexpr int kCompletionWaitMs = 1000; // as long as the library waits

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool identificationMatches(const uint8_t *inquiry, std::string_view pattern)
{
    for (size_t i = 0; i < pattern.size(); ++i) {
        const char c = static_cast<char>(inquiry[kIdentificationOffset + i]);
        if (c == '\0' || asciiLower(c) != asciiLower(pattern[i]))
            return false;
    }
    return true;
}

uint16_t revisionDigits(const uint8_t *inquiry)
{
    uint16_t revision = 0;
    for (size_t byte : kRevisionDigitBytes) {
        const uint8_t c = inquiry[byte];
        revision = static_cast<uint16_t>(revision << 4);
        if (c >= '0' && c <= '9')
            revision = static_cast<uint16_t>(revision | (c - '0'));
    }
    return revision;
}

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

std::optional<std::vector<DvbDevice>> findOlderReceivers(const std::string &layer)
{
    // The module the library bound, not a second copy of it.
    void *module = dlopen(layer.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    if (!module)
        return std::nullopt;
    const auto support = reinterpret_cast<GetASPI32SupportInfoFn>(dlsym(module, "GetASPI32SupportInfo"));
    const auto send = reinterpret_cast<SendASPI32CommandFn>(dlsym(module, "SendASPI32Command"));
    std::optional<std::vector<DvbDevice>> found;
    const uint32_t info = support && send ? support() : 0;
    if (((info >> kSupportStatusShift) & kByteMask) == SS_COMP) {
        found.emplace();
        const unsigned adapters = info & kByteMask;
        for (unsigned adapter = 0; adapter < adapters; ++adapter) {
            for (uint8_t target = 0; target < kTargetsPerAdapter; ++target) {
                uint8_t data[kInquiryBytes] = {};
                if (!inquiry(send, static_cast<uint8_t>(adapter), target, data) ||
                    !identificationMatches(data, kOlderIdentification))
                    continue;
                DvbDevice device{};
                device.status = DVB_STATUS_FOUND_OLD;
                device.hostAdapter = static_cast<uint8_t>(adapter);
                device.targetId = target;
                device.firmwareRevision = revisionDigits(data);
                found->push_back(device);
            }
        }
    }
    dlclose(module);
    return found;
}

} // namespace quelmar::scsi_cli
