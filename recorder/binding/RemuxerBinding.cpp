#include "binding/RemuxerBinding.h"

#include <cstdio>
#include <cstdlib>

namespace quelmar {

namespace {

constexpr uint32_t kVersionRecordBytes = sizeof(DLLVERSIONINFO);

template <typename Fn>
bool Resolve(const DynamicLibrary &module, const char *name, Fn &entry)
{
    entry = reinterpret_cast<Fn>(module.Symbol(name));
    return entry != nullptr;
}

} // namespace

std::string RemuxerBinding::DefaultModule()
{
    const char *chosen = std::getenv(kModuleVariable);
    return chosen && *chosen ? chosen : kDefaultModuleName;
}

RemuxerBinding::RemuxerBinding(const std::string &moduleName, std::string name) : name_(std::move(name))
{
    status = RemuxerStatus::RemuxerMissing;
    if (!module.Load(moduleName))
        return;
    if (!Resolve(module, "DllGetVersion", DllGetVersion)) {
        Unload();
        status = RemuxerStatus::RemuxerIncomplete;
        return;
    }
    status = RemuxerStatus::RemuxerTooOld;
    DLLVERSIONINFO info{};
    info.cbSize = kVersionRecordBytes;
    if (DllGetVersion(&info) != 0)
        return;
    if (info.dwMajorVersion < kMinMajorVersion ||
        (info.dwMajorVersion == kMinMajorVersion && info.dwMinorVersion < kMinMinorVersion))
        return;

#define QUELMAR_BIND(name, type)                                                                                       \
    if (!Resolve(module, #name, name)) {                                                                               \
        Unload();                                                                                                      \
        status = RemuxerStatus::RemuxerIncomplete;                                                                     \
        return;                                                                                                        \
    }
    REMUX_ENTRY_POINTS(QUELMAR_BIND)
#undef QUELMAR_BIND
    status = RemuxerStatus::RemuxerReady;
}

void RemuxerBinding::ClearEntries()
{
    DllGetVersion = nullptr;
#define QUELMAR_CLEAR(name, type) name = nullptr;
    REMUX_ENTRY_POINTS(QUELMAR_CLEAR)
#undef QUELMAR_CLEAR
}

void RemuxerBinding::Unload()
{
    if (module.Loaded()) {
        ClearEntries();
        module.Unload();
    }
}

RemuxerSnapshot RemuxerBinding::Snapshot() const
{
    RemuxerSnapshot snapshot;
    static_cast<RemuxerEntries &>(snapshot) = *this;
    snapshot.module = module.AddReference();
    return snapshot;
}

std::string RemuxerBinding::VersionText() const
{
    if (!DllGetVersion)
        return {};
    DLLVERSIONINFO info{};
    info.cbSize = kVersionRecordBytes;
    if (DllGetVersion(&info) != 0)
        return {};
    char text[64];
    std::snprintf(text, sizeof text, "%u.%02u, Build #%u", unsigned{info.dwMajorVersion}, unsigned{info.dwMinorVersion},
                  unsigned{info.dwBuildNumber});
    return text;
}

} // namespace quelmar
