#include "binding/ReceiverLibrary.h"

#include "aspi_layer.h"

namespace quelmar {

namespace {

// Address fields of the not-found record, as the library fills them.
constexpr uint8_t kNoAddress = 0xFF;

template <typename Fn>
bool Resolve(const DynamicLibrary &module, const char *name, Fn &entry)
{
    entry = reinterpret_cast<Fn>(module.Symbol(name));
    return entry != nullptr;
}

} // namespace

ReceiverLibrary::ReceiverLibrary(Unbound) { device.status = static_cast<int32_t>(kLibraryMissing); }

ReceiverLibrary::ReceiverLibrary(const std::string &moduleName, const ReceiverChoice &choice)
{
    device.status = static_cast<int32_t>(kLibraryMissing);
    if (!module.Load(moduleName))
        return;
    if (!Resolve(module, "quelmarDLLVersion", quelmarDLLVersion)) {
        Unload();
        device.status = static_cast<int32_t>(kEntryMissing);
        return;
    }
    device.status = static_cast<int32_t>(kVersionTooOld);
    if (quelmarDLLVersion() < kMinInterfaceVersion)
        return;

    // The other 24 in the list's order (quelmarDLLVersion is bound and so
    // skipped); nothing is resolved after the first one missing.
    bool allBound = true;
    auto bind = [&](const char *name, auto &entry) {
        if (allBound && !entry)
            allBound = Resolve(module, name, entry);
    };
#define QUELMAR_BIND(name) bind(#name, name);
    QUELMAR_SCSI_EXPORTS(QUELMAR_BIND)
#undef QUELMAR_BIND
    if (!allBound) {
        Unload();
        device.status = static_cast<int32_t>(kEntryMissing);
        return;
    }

    const uint32_t aspi = dvbInit();
    if (aspi != DVB_ASPI_OK) {
        device.status = static_cast<int32_t>(aspi);
        return;
    }
    device = Choose(choice);
}

DvbDevice ReceiverLibrary::Choose(const ReceiverChoice &choice)
{
    DvbDevice none{};
    none.status = DVB_STATUS_NONE;
    none.hostAdapter = kNoAddress;
    none.targetId = kNoAddress;
    const auto claim = [&](const ReceiverAddress &address) {
        if (!choice.lock)
            return true;
        lock_ = ReceiverLock::Take(address, choice.instance,
                                   choice.lockFolder.empty() ? ReceiverLockFolder() : choice.lockFolder, refusal);
        return lock_ != nullptr;
    };
    if (!choice.address) {
        // Found without the library's search where the layer can be asked:
        // the search sets the SCSI mode of the receiver it finds, which may
        // be one another program drives (before a claim is refused, or for
        // a timer command that only reads the channel table).
        std::optional<DvbDevice> probed;
        if (!choice.layer.empty())
            probed = scsi_cli::findFirstReceiver(choice.layer);
        const DvbDevice first = probed ? *probed : dvbFindFirstQuelmar();
        if (first.status != DVB_STATUS_FOUND && first.status != DVB_STATUS_FOUND_OLD)
            return first;
        return claim({first.hostAdapter, first.targetId}) ? first : none;
    }
    // Claimed before it is asked: a receiver another process drives gets no
    // request from this one.
    const ReceiverAddress &address = *choice.address;
    if (!claim(address))
        return none;
    const auto found = scsi_cli::probeReceiverAt(choice.layer, static_cast<uint8_t>(address.hostAdapter),
                                                 static_cast<uint8_t>(address.targetId));
    if (!found) {
        refusal = "the ASPI layer " + choice.layer + " cannot be asked for the receiver at " + AddressText(address);
        lock_.reset();
        return none;
    }
    if (found->status != DVB_STATUS_FOUND && found->status != DVB_STATUS_FOUND_OLD) {
        lock_.reset();
        return none; // the caller says so by the address
    }
    return *found;
}

void ReceiverLibrary::ClearEntries()
{
#define QUELMAR_CLEAR(name) name = nullptr;
    QUELMAR_SCSI_EXPORTS(QUELMAR_CLEAR)
#undef QUELMAR_CLEAR
}

void ReceiverLibrary::Unload()
{
    lock_.reset();
    if (module.Loaded()) {
        ClearEntries();
        module.Unload();
    }
}

ReceiverSnapshot ReceiverLibrary::Snapshot() const
{
    ReceiverSnapshot snapshot;
    static_cast<ReceiverEntries &>(snapshot) = *this;
    snapshot.module = module.AddReference();
    return snapshot;
}

int64_t ReceiverLibrary::Version() const
{
    if (Status() == kEntryMissing || Status() == kLibraryMissing || !quelmarDLLVersion)
        return -1;
    return quelmarDLLVersion();
}

} // namespace quelmar
