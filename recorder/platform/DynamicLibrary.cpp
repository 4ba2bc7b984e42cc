#include "platform/DynamicLibrary.h"

#include <dlfcn.h>

namespace quelmar {

bool DynamicLibrary::Load(const std::string &nameOrPath)
{
    Unload();
    // Modules stay mapped after Unload(): a worker thread that had to be given
    // up may still run inside one, and the static state their own
    // dependencies set up at load time stays reachable.
    handle_ = dlopen(nameOrPath.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!handle_) {
        const char *why = dlerror();
        error_ = why ? why : nameOrPath + ": cannot be loaded";
        return false;
    }
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

} // namespace quelmar
