// DynamicLibrary: a shared module loaded at run time.
#pragma once

#include <memory>
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
    // Releases this object's reference of the module, if it holds one; safe
    // to call repeatedly. The module is unmapped when no reference is left,
    // so that the next Load() loads it anew.
    void Unload();
    bool Loaded() const { return handle_ != nullptr; }
    const std::string &Error() const { return error_; }

    // A reference of its own to the loaded module (a dlopen of the same
    // file): the module stays mapped, whatever becomes of this object, until
    // the last copy of the returned pointer is gone. For a thread that may
    // still run inside the module. Null when nothing is loaded. Any thread.
    std::shared_ptr<const DynamicLibrary> AddReference() const;

private:
    void *handle_ = nullptr;
    std::string path_; // of the file loaded, as the loader found it
    std::string error_;
};

} // namespace quelmar
