// RemuxerBinding: the run-time binding of the multiplexer module
// libremuxer.so (or the module that QUELMAR_REMUXER names).
#pragma once

#include "platform/DynamicLibrary.h"
#include "remuxer.h"

#include <cstdint>
#include <memory>
#include <string>

namespace quelmar {

// Binding status words.
enum class RemuxerStatus : uint32_t {
    RemuxerReady = 0x100000,      // all entry points bound
    RemuxerTooOld = 0x200000,     // version query failed or below 1.25; stays loaded
    RemuxerIncomplete = 0x300000, // an entry point is missing; unloaded
    RemuxerMissing = 0x400000,    // the module could not be loaded
};

// The module's entry table and the binding status.
struct RemuxerEntries {
    RemuxDllGetVersionFn DllGetVersion = nullptr;
#define REMUX_MEMBER(name, type) type name = nullptr;
    REMUX_ENTRY_POINTS(REMUX_MEMBER)
#undef REMUX_MEMBER
    RemuxerStatus status = RemuxerStatus::RemuxerMissing;

    bool Ready() const { return status == RemuxerStatus::RemuxerReady; }
};

// A copy of the binding for the recording thread, with a reference of the
// module of its own (see ReceiverSnapshot).
struct RemuxerSnapshot : RemuxerEntries {
    std::shared_ptr<const DynamicLibrary> module; // null for a binding without module (tests)
};

class RemuxerBinding : public RemuxerEntries {
public:
    static constexpr uint32_t kMinMajorVersion = 1;
    static constexpr uint32_t kMinMinorVersion = 25;
    static constexpr char kDefaultModuleName[] = "libremuxer.so";
    static constexpr char kModuleVariable[] = "QUELMAR_REMUXER";

    // The module name: QUELMAR_REMUXER when set and not empty, else
    // libremuxer.so.
    static std::string DefaultModule();

    // Loads and binds the module `moduleName` (a file name or path); the
    // result is status. `name` is what messages call the module: the name
    // that was asked for (libremuxer.so, or what QUELMAR_REMUXER names),
    // which a path in the program's directory does not change.
    // User-interface thread, when the main window object is built.
    explicit RemuxerBinding(const std::string &moduleName = DefaultModule(), std::string name = kDefaultModuleName);
    // Loads nothing: status RemuxerMissing and every entry null. Tests fill
    // the entries and the status by hand.
    struct Unbound {};
    explicit RemuxerBinding(Unbound) {}
    ~RemuxerBinding() { Unload(); }
    RemuxerBinding(const RemuxerBinding &) = delete;
    RemuxerBinding &operator=(const RemuxerBinding &) = delete;

    // Releases the binding's reference of the module if it holds one; the
    // entries become null (the status stays).
    void Unload();
    // The module's version as the bring-up report shows it after "Version ":
    // major, minor with two digits and the build number ("2.00, Build #7").
    // Empty when the module cannot be asked or its version query fails.
    std::string VersionText() const;
    // The module's name for messages (see the constructor).
    const std::string &Name() const { return name_; }
    // The entries and a reference of the module, for the recording thread.
    // Any thread, while the binding exists.
    RemuxerSnapshot Snapshot() const;

    DynamicLibrary module;

private:
    void ClearEntries();

    std::string name_ = kDefaultModuleName;
};

} // namespace quelmar
