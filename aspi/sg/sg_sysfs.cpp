#include "sg_sysfs.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <system_error>
#include <unistd.h>

namespace quelmar::sg {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kScanAllRequest = "- - -"; // channel, target, LUN wildcards
constexpr unsigned kMaxTargetId = 255;                // SRB_Target is one byte
constexpr std::string_view kHostPrefix = "host";
constexpr size_t kMaxAttributeChars = 64; // vendor and model fields hold 8 and 16

std::optional<unsigned> parseNumber(std::string_view text)
{
    unsigned value = 0;
    if (text.empty())
        return std::nullopt;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// The H:C:T:L name the device link points at; the link may dangle in a fake
// tree, so fall back to the link text itself.
std::optional<ScsiAddress> addressOfSgEntry(const fs::path &entry)
{
    const fs::path link = entry / "device";
    std::error_code ec;
    fs::path target = fs::canonical(link, ec);
    if (ec) {
        target = fs::read_symlink(link, ec);
        if (ec)
            return std::nullopt;
    }
    return parseScsiAddress(target.filename().string());
}

// Opens `relative` below `root` for writing, without blocking (a FIFO planted
// there must not hold the caller up). Links are followed only while they
// stay below root (openat2 with RESOLVE_BENEATH); the last component must
// not be a link. Without openat2 (an older kernel, a filter that
// refuses it) the same rule is checked on the resolved path before the open.
// Returns the descriptor or -errno.
int openBeneath(const fs::path &root, const fs::path &relative, bool kernelResolution)
{
    open_how how{};
    how.flags = O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    long fd = -1;
    if (kernelResolution) {
        const int rootFd = ::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (rootFd < 0)
            return -errno;
        fd = ::syscall(SYS_openat2, rootFd, relative.c_str(), &how, sizeof how);
        const int error = fd < 0 ? errno : 0;
        ::close(rootFd);
        if (fd >= 0 || (error != ENOSYS && error != EPERM))
            return fd >= 0 ? static_cast<int>(fd) : -error;
    }
    std::error_code ec;
    const fs::path realRoot = fs::canonical(root, ec);
    const fs::path realDir = ec ? fs::path() : fs::canonical(root / relative.parent_path(), ec);
    if (ec)
        return -(ec.value() ? ec.value() : ENOENT);
    const auto [rootEnd, dirPos] = std::mismatch(realRoot.begin(), realRoot.end(), realDir.begin(), realDir.end());
    if (rootEnd != realRoot.end())
        return -EXDEV;
    fd = ::open((realDir / relative.filename()).c_str(), static_cast<int>(how.flags));
    return fd >= 0 ? static_cast<int>(fd) : -errno;
}

// The first line of a small sysfs attribute file, printable ASCII only,
// without trailing blanks; "" when it cannot be read.
std::string attributeText(const fs::path &file)
{
    std::ifstream in(file);
    std::string text;
    if (!in || !std::getline(in, text))
        return {};
    if (text.size() > kMaxAttributeChars)
        text.resize(kMaxAttributeChars);
    for (char &c : text)
        if (c < ' ' || c > '~')
            c = '?';
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

std::string hostIdentifier(const fs::path &sysfsRoot, unsigned host)
{
    std::ifstream in(sysfsRoot / "class" / "scsi_host" / ("host" + std::to_string(host)) / "proc_name");
    std::string name;
    if (in)
        std::getline(in, name);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t' || name.back() == '\r'))
        name.pop_back();
    return name.empty() ? "host" + std::to_string(host) : name;
}

} // namespace

std::optional<ScsiAddress> parseScsiAddress(std::string_view text)
{
    unsigned fields[4];
    for (int i = 0; i < 4; ++i) {
        const size_t colon = text.find(':');
        const bool last = i == 3;
        if (last != (colon == std::string_view::npos))
            return std::nullopt;
        const auto number = parseNumber(text.substr(0, colon));
        if (!number)
            return std::nullopt;
        fields[i] = *number;
        text = last ? std::string_view() : text.substr(colon + 1);
    }
    return ScsiAddress{fields[0], fields[1], fields[2], fields[3]};
}

SgEnumeration enumerateSgDevices(const fs::path &sysfsRoot, const fs::path &devRoot)
{
    SgEnumeration result;
    const fs::path classDir = sysfsRoot / "class" / "scsi_generic";
    std::error_code ec;
    if (!fs::is_directory(classDir, ec))
        return result;
    result.driverPresent = true;

    std::map<unsigned, SgAdapter> byHost;
    for (fs::directory_iterator it(classDir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind("sg", 0) != 0 || !parseNumber(std::string_view(name).substr(2)))
            continue;
        const auto address = addressOfSgEntry(it->path());
        if (!address || address->lun != 0 || address->target > kMaxTargetId)
            continue;
        const fs::path node = devRoot / name;
        std::error_code nodeEc;
        if (!fs::exists(node, nodeEc))
            continue;
        SgAdapter &adapter = byHost[address->host];
        adapter.host = address->host;
        const std::string vendor = attributeText(it->path() / "device" / "vendor");
        const std::string model = attributeText(it->path() / "device" / "model");
        const SgTarget target{*address, node.string(),
                              vendor.empty() || model.empty() ? vendor + model : vendor + " " + model};
        auto [slot, inserted] = adapter.targets.try_emplace(address->target, target);
        if (!inserted && address->channel < slot->second.address.channel)
            slot->second = target;
    }
    // Every SCSI host is an adapter, also one with no device yet: a receiver
    // switched on after start-up appears there once the host was rescanned,
    // and adapter numbers must not shift under the library when it does.
    for (unsigned host : listScsiHosts(sysfsRoot))
        byHost[host].host = host;
    for (auto &[host, adapter] : byHost) {
        if (result.adapters.size() == kMaxAdapters)
            break;
        adapter.identifier = hostIdentifier(sysfsRoot, host);
        result.adapters.push_back(std::move(adapter));
    }
    return result;
}

std::vector<unsigned> listScsiHosts(const fs::path &sysfsRoot)
{
    std::vector<unsigned> hosts;
    std::error_code ec;
    for (fs::directory_iterator it(sysfsRoot / "class" / "scsi_host", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(kHostPrefix, 0) != 0)
            continue;
        if (const auto host = parseNumber(std::string_view(name).substr(kHostPrefix.size())))
            hosts.push_back(*host);
    }
    std::sort(hosts.begin(), hosts.end());
    return hosts;
}

fs::path hostScanPath(const fs::path &sysfsRoot, unsigned host)
{
    return sysfsRoot / "class" / "scsi_host" / (std::string(kHostPrefix) + std::to_string(host)) / "scan";
}

int requestHostScan(const fs::path &sysfsRoot, unsigned host, bool kernelResolution)
{
    const int fd = openBeneath(sysfsRoot, hostScanPath(fs::path(), host), kernelResolution);
    // A FIFO without a reader (or a device without a driver) refuses a
    // non-blocking open for writing: it is not a regular file either.
    if (fd == -ENXIO)
        return EINVAL;
    if (fd < 0)
        return -fd;
    int error = 0;
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        error = errno;
    else if (!S_ISREG(st.st_mode))
        error = EINVAL;
    else if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        error = errno;
    if (error == 0) {
        const ssize_t written = ::write(fd, kScanAllRequest.data(), kScanAllRequest.size());
        if (written < 0)
            error = errno;
        else if (static_cast<size_t>(written) != kScanAllRequest.size())
            error = EIO;
    }
    if (::close(fd) != 0 && error == 0)
        error = errno;
    return error;
}

std::string hostScanErrorText(int error)
{
    switch (error) {
    case EXDEV: return "it leads out of the sysfs tree; not followed";
    case ELOOP: return "it is a symbolic link; not followed";
    case EINVAL: return "it is not a regular file";
    default: return std::strerror(error);
    }
}

} // namespace quelmar::sg
