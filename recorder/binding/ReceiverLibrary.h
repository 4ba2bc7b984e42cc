// ReceiverLibrary: the recorder's run-time binding of the receiver access
// library libquelmarscsi.so (never linked).
#pragma once

#include "platform/DynamicLibrary.h"
#include "quelmarscsi_client.h"

#include <cstdint>
#include <string>

namespace quelmar {

class ReceiverLibrary {
public:
    // Binding status words (device.status after construction); besides
    // these: the ASPI status word of dvbInit, or 1, 2, 3 from discovery.
    static constexpr uint32_t kLibraryMissing = 0x04000000; // could not be loaded
    static constexpr uint32_t kEntryMissing = 0x03000000;   // an export is missing; unloaded
    static constexpr uint32_t kVersionTooOld = 0x02000000;  // interface below 23; stays loaded
    // Lowest interface version the recorder works with.
    static constexpr uint32_t kMinInterfaceVersion = 23;
    static constexpr char kDefaultModuleName[] = "libquelmarscsi.so";

    // Performs the whole binding: load, version gate, the other 24 exports,
    // dvbInit, dvbFindFirstQuelmar. Fails only through device.status.
    // moduleName: file name (system search order, the program's directory
    // first) or path. User-interface thread, no recording running.
    explicit ReceiverLibrary(const std::string &moduleName = kDefaultModuleName);
    // Loads nothing: status kLibraryMissing and every entry null. Tests fill
    // the entries and the device by hand.
    struct Unbound {};
    explicit ReceiverLibrary(Unbound);
    ~ReceiverLibrary() { Unload(); }
    ReceiverLibrary(const ReceiverLibrary &) = delete;
    ReceiverLibrary &operator=(const ReceiverLibrary &) = delete;

    // Frees the library if a handle is held. The entries become unusable.
    void Unload();
    // -1 when no library can be called (kEntryMissing, kLibraryMissing),
    // else quelmarDLLVersion().
    int64_t Version() const;
    // device.status as the unsigned status word.
    uint32_t Status() const { return static_cast<uint32_t>(device.status); }
    // True when receiver commands may be issued (status 2 or 3).
    bool ReceiverPresent() const { return device.status == DVB_STATUS_FOUND || device.status == DVB_STATUS_FOUND_OLD; }

    DvbDevice device{};
    DynamicLibrary module;
    // The entry table: one entry per export, in the order of
    // QUELMAR_SCSI_EXPORTS, which is also the order the binding resolves them.
#define QUELMAR_SCSI_ENTRY(name) decltype(&::name) name = nullptr;
    QUELMAR_SCSI_EXPORTS(QUELMAR_SCSI_ENTRY)
#undef QUELMAR_SCSI_ENTRY

private:
    void ClearEntries();
};

} // namespace quelmar
