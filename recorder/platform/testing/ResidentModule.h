// Keeping a module loaded for the rest of a test process.
#pragma once

#include <dlfcn.h>

#include <string>

namespace quelmar::testing {

// Loads the module at path (if it is not loaded yet) and keeps it, and what
// it depends on, mapped until the process ends. For test processes that use
// the simulated receiver: it pulls in libavformat and many libraries that do
// not free their global state when they are unloaded, which the leak checker
// would report after every unload. Returns false when it cannot be loaded.
inline bool KeepResident(const std::string &path)
{
    return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE) != nullptr;
}

} // namespace quelmar::testing
