#include "binding/RemuxerBinding.h"

#include <cstdlib>

namespace quelmar {

namespace {

constexpr uint32_t kVersionRecordBytes = sizeof(DLLVERSIONINFO);

template <typename Fn>
bool Resolve(const DynamicLibrary &module, const char *name, Fn &entry)
{
    entry = reinterpret_cast<Fn>(module.symbol(name));
    return entry != nullptr;
}

} // namespace

std::string RemuxerBinding::DefaultModule()
{
    const char *chosen = std::getenv(kModuleVariable);
    return chosen && *chosen ? chosen : kDefaultModuleName;
}

RemuxerBinding::RemuxerBinding(const std::string &moduleName)
{
    status = RemuxerMissing;
    if (!module.load(moduleName))
        return;
    if (!Resolve(module, "DllGetVersion", DllGetVersion)) {
        unload();
        status = RemuxerIncomplete;
        return;
    }
    status = RemuxerTooOld;
    DLLVERSIONINFO info{};
    info.cbSize = kVersionRecordBytes;
    if (DllGetVersion(&info) != 0)
        return;
    if (info.dwMajorVersion < kMinMajorVersion ||
        (info.dwMajorVersion == kMinMajorVersion && info.dwMinorVersion < kMinMinorVersion))
        return;

#define QUELMAR_BIND(name, type)                                                                                       \
    if (!Resolve(module, #name, name)) {                                                                               \
        unload();                                                                                                      \
        status = RemuxerIncomplete;                                                                                    \
        return;                                                                                                        \
    }
    REMUX_ENTRY_POINTS(QUELMAR_BIND)
#undef QUELMAR_BIND
    status = RemuxerReady;
}

void RemuxerBinding::clearEntries()
{
    DllGetVersion = nullptr;
#define QUELMAR_CLEAR(name, type) name = nullptr;
    REMUX_ENTRY_POINTS(QUELMAR_CLEAR)
#undef QUELMAR_CLEAR
}

void RemuxerBinding::unload()
{
    if (module.loaded()) {
        clearEntries();
        module.unload();
    }
}

std::string RemuxerBinding::versionText() const
{
    if (!DllGetVersion)
        return {};
    DLLVERSIONINFO info{};
    info.cbSize = kVersionRecordBytes;
    if (DllGetVersion(&info) != 0)
        return {};
    return std::to_string(info.dwMajorVersion) + "." + std::to_string(info.dwMinorVersion);
}

} // namespace quelmar
