// fake_tree.h: a throw-away sysfs and /dev tree for the SCSI generic layer's
// tests, plus small eventfd helpers.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <unistd.h>

namespace quelmar::sg::testing {

class FakeTree {
public:
    FakeTree()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "sgtree.XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            std::abort();
        root_ = pattern;
        std::filesystem::create_directories(sys() / "class" / "scsi_generic");
        std::filesystem::create_directories(dev());
    }
    ~FakeTree() { std::filesystem::remove_all(root_); }
    FakeTree(const FakeTree &) = delete;
    FakeTree &operator=(const FakeTree &) = delete;

    std::filesystem::path sys() const { return root_ / "sys"; }
    std::filesystem::path dev() const { return root_ / "dev"; }

    // sgName's device link points at a directory named address ("H:C:T:L"),
    // as in the kernel's tree; node creates dev()/sgName.
    // vendor and model, when given, are the device's sysfs attributes.
    void addSg(const std::string &sgName, const std::string &address, bool node = true, const std::string &vendor = "",
               const std::string &model = "")
    {
        const auto deviceDir = sys() / "devices" / sgName / address;
        std::filesystem::create_directories(deviceDir);
        if (!vendor.empty())
            std::ofstream(deviceDir / "vendor") << vendor << "\n";
        if (!model.empty())
            std::ofstream(deviceDir / "model") << model << "\n";
        const auto entry = sys() / "class" / "scsi_generic" / sgName;
        std::filesystem::create_directories(entry);
        std::filesystem::create_directory_symlink(deviceDir, entry / "device");
        if (node)
            std::ofstream(dev() / sgName);
    }
    // class/scsi_host/hostN with proc_name (unless empty) and a scan file.
    void addHost(unsigned host, const std::string &procName)
    {
        const auto dir = hostDir(host);
        std::filesystem::create_directories(dir);
        if (!procName.empty())
            std::ofstream(dir / "proc_name") << procName << "\n";
        std::ofstream(dir / "scan");
    }
    // class/scsi_host/hostN as the kernel makes it: a relative link into
    // the devices tree, where the scan file is.
    void addLinkedHost(unsigned host)
    {
        const std::string name = "host" + std::to_string(host);
        const auto real = sys() / "devices" / "platform" / name / "scsi_host" / name;
        std::filesystem::create_directories(real);
        std::ofstream(real / "scan");
        std::filesystem::create_directories(sys() / "class" / "scsi_host");
        std::filesystem::create_directory_symlink("../../devices/platform/" + name + "/scsi_host/" + name,
                                                  hostDir(host));
    }
    std::filesystem::path root() const { return root_; }
    std::filesystem::path hostDir(unsigned host) const
    {
        return sys() / "class" / "scsi_host" / ("host" + std::to_string(host));
    }
    std::string scanWritten(unsigned host) const
    {
        std::ifstream in(hostDir(host) / "scan");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    std::filesystem::path root_;
};

// Non-blocking eventfd.
inline int makeEventFd() { return ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }

// The counter's value, reset to 0; 0 when nothing was written.
inline uint64_t drainEvent(int fd)
{
    uint64_t value = 0;
    if (::read(fd, &value, sizeof value) != sizeof value)
        return 0;
    return value;
}

// Blocks until the event is written (a liveness bound only, not a speed
// check) and returns the counter.
inline uint64_t waitEvent(int fd)
{
    constexpr int kLivenessBoundMs = 30000;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, kLivenessBoundMs) != 1)
        return 0;
    return drainEvent(fd);
}

} // namespace quelmar::sg::testing
