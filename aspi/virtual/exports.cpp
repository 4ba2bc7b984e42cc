// The exported entry points of libaspi-virtual.so: the two ASPI functions and
// the control interface of aspi_virtual.h. One VirtualBus per process, made
// on first use from QUELMAR_VIRTUAL_RECEIVER (or the built-in default) and
// replaced by aspiVirtualReload(). With QUELMAR_VIRTUAL_DROP_REPORT=1 each
// bus reports on standard error what its receivers dropped when it goes, so
// a program run as a separate process can be checked for lost data. The
// receivers keep their state between programs (state_store.h).
#include "aspi_virtual.h"
#include "virtual_bus.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <shared_mutex>
#include <string>

namespace quelmar::aspi_virtual {
namespace {

std::shared_mutex busLock; // readers: requests; writer: (re)loading
std::unique_ptr<VirtualBus> currentBus;
std::string lastError;

constexpr char kDropReportVariable[] = "QUELMAR_VIRTUAL_DROP_REPORT";
constexpr char kReportPrefix[] = "libaspi-virtual.so: ";

// Called with busLock held exclusively (or at the module's end).
void reportDrops()
{
    const char *wanted = std::getenv(kDropReportVariable);
    if (!currentBus || !wanted || std::string(wanted) != "1")
        return;
    const std::string report = currentBus->dropReport();
    for (size_t pos = 0; pos < report.size();) {
        const size_t end = report.find('\n', pos);
        std::fprintf(stderr, "%s%s\n", kReportPrefix, report.substr(pos, end - pos).c_str());
        pos = end + 1;
    }
    std::fflush(stderr);
}

// Destroyed before currentBus (defined after it), when the module is
// unloaded or the process ends.
struct ReportAtEnd {
    ReportAtEnd() = default;
    ReportAtEnd(const ReportAtEnd &) = delete;
    ReportAtEnd &operator=(const ReportAtEnd &) = delete;
    ~ReportAtEnd() { reportDrops(); }
} reportAtEnd;

// Builds the bus from `path` (nullptr: the environment, else the default).
// Called with busLock held exclusively.
bool buildBus(const char *path)
{
    reportDrops();
    currentBus.reset();
    lastError.clear();
    const char *env = std::getenv("QUELMAR_VIRTUAL_RECEIVER");
    const char *file = path ? path : (env && *env ? env : nullptr);
    if (!file) {
        currentBus = std::make_unique<VirtualBus>(receiver::defaultConfig(),
                                                  StateStore::open(stateKey({}, {}), StateEnvironment::current()));
        return true;
    }
    std::string error, content;
    auto config = receiver::loadConfigFile(file, &error, &content);
    if (!config) {
        lastError = "simulated receiver configuration " + error;
        std::fprintf(stderr, "%s\n", lastError.c_str());
        currentBus = std::make_unique<VirtualBus>();
        return false;
    }
    char canonical[PATH_MAX];
    const std::string key = stateKey(realpath(file, canonical) ? canonical : file, content);
    currentBus = std::make_unique<VirtualBus>(*config, StateStore::open(key, StateEnvironment::current()));
    return true;
}

template <typename F>
auto withBus(F f)
{
    {
        std::shared_lock lock(busLock);
        if (currentBus)
            return f(*currentBus);
    }
    {
        std::unique_lock lock(busLock);
        if (!currentBus)
            buildBus(nullptr);
    }
    std::shared_lock lock(busLock);
    return f(*currentBus);
}

} // namespace
} // namespace quelmar::aspi_virtual

using namespace quelmar::aspi_virtual;

extern "C" {

__attribute__((visibility("default"))) uint32_t GetASPI32SupportInfo(void)
{
    return withBus([](VirtualBus &b) { return b.supportInfo(); });
}

__attribute__((visibility("default"))) uint32_t SendASPI32Command(void *srb)
{
    return withBus([srb](VirtualBus &b) { return b.send(srb); });
}

__attribute__((visibility("default"))) int32_t aspiVirtualReload(const char *path)
{
    std::unique_lock lock(busLock);
    return buildBus(path) ? 1 : 0;
}

__attribute__((visibility("default"))) const char *aspiVirtualLastError(void)
{
    std::shared_lock lock(busLock);
    return lastError.c_str();
}

__attribute__((visibility("default"))) int32_t aspiVirtualSetPlugged(uint8_t adapter, uint8_t target, int32_t plugged)
{
    return withBus([&](VirtualBus &b) { return b.setPlugged(adapter, target, plugged != 0) ? 1 : 0; });
}

__attribute__((visibility("default"))) void aspiVirtualHang(uint32_t milliseconds)
{
    withBus([&](VirtualBus &b) {
        b.hang(std::chrono::milliseconds(milliseconds));
        return 0;
    });
}

__attribute__((visibility("default"))) void aspiVirtualRefuseCommand(uint32_t n)
{
    withBus([&](VirtualBus &b) {
        b.refuseCommand(n);
        return 0;
    });
}

__attribute__((visibility("default"))) int32_t aspiVirtualStallStream(uint8_t adapter, uint8_t target, int32_t kind,
                                                                      int32_t stalled)
{
    return withBus([&](VirtualBus &b) { return b.stall(adapter, target, kind, stalled != 0) ? 1 : 0; });
}

__attribute__((visibility("default"))) int32_t aspiVirtualGetState(uint8_t adapter, uint8_t target,
                                                                   AspiVirtualState *state)
{
    return withBus([&](VirtualBus &b) { return b.state(adapter, target, state) ? 1 : 0; });
}

} // extern "C"
