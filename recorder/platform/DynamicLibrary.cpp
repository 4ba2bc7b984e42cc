#include "platform/DynamicLibrary.h"

#include <dlfcn.h>
#include <link.h>

namespace quelmar {

bool DynamicLibrary::Load(const std::string &nameOrPath)
{
    Unload();
    handle_ = dlopen(nameOrPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char *why = dlerror();
        error_ = why ? why : nameOrPath + ": cannot be loaded";
        return false;
    }
    // The file the search found, so that a reference opens exactly it.
    const link_map *map = nullptr;
    path_ =
        dlinfo(handle_, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name && *map->l_name ? map->l_name : nameOrPath;
    error_.clear();
    return true;
}

void *DynamicLibrary::Symbol(const char *name) const { return handle_ ? dlsym(handle_, name) : nullptr; }

void DynamicLibrary::Unload()
{
    if (handle_)
        dlclose(handle_);
    handle_ = nullptr;
}

std::shared_ptr<const DynamicLibrary> DynamicLibrary::AddReference() const
{
    if (!handle_)
        return nullptr;
    auto reference = std::make_shared<DynamicLibrary>();
    // RTLD_NOLOAD: only ever the module already mapped, never a new copy.
    reference->handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    if (!reference->handle_)
        return nullptr;
    reference->path_ = path_;
    return reference;
}

} // namespace quelmar
