// DynamicLibrary: a shared module loaded at run time.
#pragma once

#include <string>

namespace quelmar {

class DynamicLibrary {
public:
    DynamicLibrary() = default;
    ~DynamicLibrary() { Unload(); }
    DynamicLibrary(const DynamicLibrary &) = delete;
    DynamicLibrary &operator=(const DynamicLibrary &) = delete;

    // Loads the module by file name (system search order) or path. Returns
    // false and keeps the loader's reason in Error() on failure.
    bool Load(const std::string &nameOrPath);
    // Address of an exported symbol, or nullptr when missing (or not loaded).
    void *Symbol(const char *name) const;
    // Releases the module if loaded; safe to call repeatedly. Its symbols
    // are no longer handed out, but the code stays mapped until the process
    // ends (a thread given up may still be inside it).
    void Unload();
    bool Loaded() const { return handle_ != nullptr; }
    const std::string &Error() const { return error_; }

private:
    void *handle_ = nullptr;
    std::string error_;
};

} // namespace quelmar
