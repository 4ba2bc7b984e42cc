// ReceiverLibrary: the recorder's run-time binding of the receiver access
// library libquelmarscsi.so (never linked).
#pragma once

#include "platform/DynamicLibrary.h"
#include "platform/ReceiverLock.h"
#include "quelmar_modules.h"
#include "quelmarscsi_client.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace quelmar {

// The found receiver and the library's entry table.
struct ReceiverEntries {
    DvbDevice device{};
    // One entry per export, in the order of QUELMAR_SCSI_EXPORTS, which is
    // also the order the binding resolves them.
#define QUELMAR_SCSI_ENTRY(name) decltype(&::name) name = nullptr;
    QUELMAR_SCSI_EXPORTS(QUELMAR_SCSI_ENTRY)
#undef QUELMAR_SCSI_ENTRY

    // device.status as the unsigned status word.
    uint32_t Status() const { return static_cast<uint32_t>(device.status); }
    // True when receiver commands may be issued (status 2 or 3).
    bool ReceiverPresent() const { return device.status == DVB_STATUS_FOUND || device.status == DVB_STATUS_FOUND_OLD; }
};

// A copy of the binding for a thread that may outlive it (a recording, a
// polling thread that had to be given up): the entries together with a
// reference of the library's module of its own, so that the code stays
// mapped while the copy exists, even after bring-up unloaded and deleted the
// binding. Copies share the reference; the last one gone releases it.
struct ReceiverSnapshot : ReceiverEntries {
    std::shared_ptr<const DynamicLibrary> module; // null for a binding without module (tests)
};

// Which receiver a binding takes, and whether it claims it for this process.
struct ReceiverChoice {
    // The receiver at this address (asked with INQUIRY alone, so that no
    // other receiver on the bus is touched); without it the first one the
    // library's search finds (with `layer` set: found as that search would,
    // by INQUIRY alone, so that a receiver another process drives is not
    // changed).
    std::optional<ReceiverAddress> address;
    // Take the receiver's ReceiverLock (in `lockFolder`) before the binding
    // reports it found; refused, the binding reports no receiver.
    bool lock = false;
    std::string lockFolder;
    std::string instance; // noted in the lock for the message of the one refused
    // The ASPI layer module the library binds (aspiLayerAsked), for the
    // probes; "" leaves the search to the library.
    std::string layer;
};

class ReceiverLibrary : public ReceiverEntries {
public:
    // Binding status words (device.status after construction); besides
    // these: the ASPI status word of dvbInit, or 1, 2, 3 from discovery.
    static constexpr uint32_t kLibraryMissing = 0x04000000; // could not be loaded
    static constexpr uint32_t kEntryMissing = 0x03000000;   // an export is missing; unloaded
    static constexpr uint32_t kVersionTooOld = 0x02000000;  // interface below 23; stays loaded
    // Lowest interface version the recorder works with.
    static constexpr uint32_t kMinInterfaceVersion = 23;
    static constexpr const char *kDefaultModuleName = modules::kReceiverLibrary;

    // Performs the whole binding: load, version gate, the other 24 exports,
    // dvbInit, dvbFindFirstQuelmar. Fails only through device.status.
    // moduleName: file name (system search order, the program's directory
    // first) or path. User-interface thread, no recording running.
    // `choice` picks the receiver (default: the first found, nothing locked).
    explicit ReceiverLibrary(const std::string &moduleName = kDefaultModuleName, const ReceiverChoice &choice = {});
    // Loads nothing: status kLibraryMissing and every entry null. Tests fill
    // the entries and the device by hand.
    struct Unbound {};
    explicit ReceiverLibrary(Unbound);
    ~ReceiverLibrary() { Unload(); }
    ReceiverLibrary(const ReceiverLibrary &) = delete;
    ReceiverLibrary &operator=(const ReceiverLibrary &) = delete;

    // Releases the binding's reference of the library if it holds one; the
    // entries become null. The library is unmapped once no snapshot holds
    // it any more, so that binding it again loads it (and its ASPI layer)
    // anew.
    void Unload();
    // -1 when no library can be called (kEntryMissing, kLibraryMissing),
    // else quelmarDLLVersion().
    int64_t Version() const;
    // The entries and a reference of the module, for a thread. Any thread,
    // while the binding exists.
    ReceiverSnapshot Snapshot() const;

    DynamicLibrary module;
    // Why the chosen receiver is not used although the ASPI layer works and
    // a receiver may be there (another process holds it, the layer cannot
    // be asked at the address); "" otherwise.
    std::string refusal;

private:
    void ClearEntries();
    // The receiver `choice` names, found and claimed; the not-found record
    // with `refusal` set otherwise. After a successful dvbInit.
    DvbDevice Choose(const ReceiverChoice &choice);

    std::unique_ptr<ReceiverLock> lock_; // held as long as the binding exists
};

} // namespace quelmar
