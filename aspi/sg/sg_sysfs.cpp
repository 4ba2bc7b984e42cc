#include "sg_sysfs.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <fstream>
#include <system_error>
#include <unistd.h>

namespace quelmar::sg {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kScanAllRequest = "- - -"; // channel, target, LUN wildcards
constexpr unsigned kMaxTargetId = 255;                // SRB_Target is one byte

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
        const SgTarget target{*address, node.string()};
        auto [slot, inserted] = adapter.targets.try_emplace(address->target, target);
        if (!inserted && address->channel < slot->second.address.channel)
            slot->second = target;
    }
    // Every SCSI host is an adapter, also one with no device yet: a receiver
    // switched on after start-up appears there once the host was rescanned,
    // and adapter numbers must not shift under the library when it does.
    const fs::path hostDir = sysfsRoot / "class" / "scsi_host";
    for (fs::directory_iterator it(hostDir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const auto host = name.rfind("host", 0) == 0 ? parseNumber(std::string_view(name).substr(4)) : std::nullopt;
        if (host)
            byHost[*host].host = *host;
    }
    for (auto &[host, adapter] : byHost) {
        if (result.adapters.size() == kMaxAdapters)
            break;
        adapter.identifier = hostIdentifier(sysfsRoot, host);
        result.adapters.push_back(std::move(adapter));
    }
    return result;
}

int requestHostScan(const fs::path &sysfsRoot, unsigned host)
{
    const fs::path scan = sysfsRoot / "class" / "scsi_host" / ("host" + std::to_string(host)) / "scan";
    const int fd = ::open(scan.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int error = 0;
    const ssize_t written = ::write(fd, kScanAllRequest.data(), kScanAllRequest.size());
    if (written < 0)
        error = errno;
    else if (static_cast<size_t>(written) != kScanAllRequest.size())
        error = EIO;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    return error;
}

} // namespace quelmar::sg
