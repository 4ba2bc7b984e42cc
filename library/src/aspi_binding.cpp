#include "aspi_binding.h"

#include "quelmar_modules.h"
#include "quelmarscsi.h"
#include "trace.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace quelmar::scsi {
namespace {

constexpr const char *kDefaultLayer = modules::kAspiLayer;
constexpr const char *kLayerVariable = modules::kAspiLayerVariable;
constexpr const char *kOsFamilyVariable = "QUELMAR_OS_FAMILY";
constexpr uint32_t kSupportStatusShift = 8; // bits 8..15 of the support word
constexpr uint32_t kByteMask = 0xFF;

AspiBinding loadedBinding;

// Directory of this library, from the address of one of its own functions.
std::string libraryDirectory()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&libraryDirectory), &info) == 0 || !info.dli_fname)
        return {};
    std::string path = info.dli_fname;
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool fileExists(const std::string &path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// A path is used as it stands; a plain file name is looked for beside the
// library first, then on the normal library search path.
void *loadLayer()
{
    const char *configured = std::getenv(kLayerVariable);
    const std::string name = (configured && *configured) ? configured : kDefaultLayer;
    if (name.find('/') == std::string::npos) {
        const std::string dir = libraryDirectory();
        if (!dir.empty() && fileExists(dir + "/" + name))
            return dlopen((dir + "/" + name).c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    return dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void unloadLayer(AspiBinding &b)
{
    if (b.module)
        dlclose(b.module);
    b = AspiBinding{};
}

__attribute__((constructor)) void bindAspiLayer()
{
    AspiBinding &b = loadedBinding;
    b = AspiBinding{};
    b.module = loadLayer();
    if (!b.module) {
        b.status = DVB_ASPI_NOT_LOADED;
        return;
    }
    b.getSupportInfo = reinterpret_cast<GetASPI32SupportInfoFn>(dlsym(b.module, "GetASPI32SupportInfo"));
    b.sendCommand = reinterpret_cast<SendASPI32CommandFn>(dlsym(b.module, "SendASPI32Command"));
    if (!b.getSupportInfo || !b.sendCommand) {
        unloadLayer(b);
        b.status = DVB_ASPI_ENTRY_MISSING;
        return;
    }
    const uint32_t support = b.getSupportInfo();
    if (((support >> kSupportStatusShift) & kByteMask) == SS_COMP) {
        b.adapterCount = static_cast<uint8_t>(support & kByteMask);
        b.status = DVB_ASPI_OK;
    } else {
        // The layer stays loaded, but no adapter is reachable.
        b.adapterCount = 0;
        b.status = DVB_ASPI_SUPPORT_FAIL;
    }
}

__attribute__((destructor)) void releaseAspiLayer() { unloadLayer(loadedBinding); }

} // namespace

const AspiBinding &aspiBinding() { return loadedBinding; }

std::optional<int> platformId()
{
    const char *family = std::getenv(kOsFamilyVariable);
    if (!family || std::strcmp(family, "nt") == 0)
        return kPlatformNt;
    if (std::strcmp(family, "9x") == 0)
        return kPlatformOther;
    return std::nullopt;
}

} // namespace quelmar::scsi

using namespace quelmar::scsi;

extern "C" uint32_t quelmarDLLVersion(void)
{
    trace("quelmarDLLVersion() = %u\n", QUELMAR_DLL_VERSION);
    return QUELMAR_DLL_VERSION;
}

extern "C" uint32_t dvbInit(void)
{
    trace("dvbInit() = %x\n", aspiBinding().status);
    return aspiBinding().status;
}
