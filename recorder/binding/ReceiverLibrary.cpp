#include "binding/ReceiverLibrary.h"

namespace quelmar {

namespace {

template <typename Fn>
bool Resolve(const DynamicLibrary &module, const char *name, Fn &entry)
{
    entry = reinterpret_cast<Fn>(module.Symbol(name));
    return entry != nullptr;
}

} // namespace

ReceiverLibrary::ReceiverLibrary(Unbound) { device.status = static_cast<int32_t>(kLibraryMissing); }

ReceiverLibrary::ReceiverLibrary(const std::string &moduleName)
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

#define QUELMAR_BIND(name)                                                                                             \
    if (!Resolve(module, #name, name)) {                                                                               \
        Unload();                                                                                                      \
        device.status = static_cast<int32_t>(kEntryMissing);                                                           \
        return;                                                                                                        \
    }
    QUELMAR_BIND(dvbInit)
    QUELMAR_BIND(dvbRescanAllSCSIBusses)
    QUELMAR_BIND(dvbFindFirstQuelmar)
    QUELMAR_BIND(dvbFindAllQuelmars)
    QUELMAR_BIND(dvbSCSISpeedTest)
    QUELMAR_BIND(dvbGetCurrentChannel)
    QUELMAR_BIND(dvbChannelCount)
    QUELMAR_BIND(dvbGetAllChannels)
    QUELMAR_BIND(dvbPutAllChannels)
    QUELMAR_BIND(dvbSetSCSIMode)
    QUELMAR_BIND(dvbSetChannel)
    QUELMAR_BIND(dvbSendSpecialCommand)
    QUELMAR_BIND(dvbRemote)
    QUELMAR_BIND(dvbVideoGimmick)
    QUELMAR_BIND(dvbSetOSD)
    QUELMAR_BIND(dvbInitStreaming)
    QUELMAR_BIND(dvbInitStreaming2)
    QUELMAR_BIND(dvbReInitStreaming)
    QUELMAR_BIND(dvbDeInitStreaming)
    QUELMAR_BIND(dvbReadMultiPID)
    QUELMAR_BIND(dvbReadSingleStream)
    QUELMAR_BIND(dvbReadMultipleStreams)
    QUELMAR_BIND(dvbReadMemory)
    QUELMAR_BIND(dvbWriteMemory)
#undef QUELMAR_BIND

    const uint32_t aspi = dvbInit();
    if (aspi != DVB_ASPI_OK) {
        device.status = static_cast<int32_t>(aspi);
        return;
    }
    device = dvbFindFirstQuelmar();
}

void ReceiverLibrary::ClearEntries()
{
    quelmarDLLVersion = nullptr;
    dvbRescanAllSCSIBusses = nullptr;
    dvbFindFirstQuelmar = nullptr;
    dvbFindAllQuelmars = nullptr;
    dvbInit = nullptr;
    dvbSCSISpeedTest = nullptr;
    dvbGetCurrentChannel = nullptr;
    dvbChannelCount = nullptr;
    dvbGetAllChannels = nullptr;
    dvbPutAllChannels = nullptr;
    dvbSetSCSIMode = nullptr;
    dvbSetChannel = nullptr;
    dvbSendSpecialCommand = nullptr;
    dvbRemote = nullptr;
    dvbVideoGimmick = nullptr;
    dvbSetOSD = nullptr;
    dvbInitStreaming = nullptr;
    dvbInitStreaming2 = nullptr;
    dvbReInitStreaming = nullptr;
    dvbDeInitStreaming = nullptr;
    dvbReadMultiPID = nullptr;
    dvbReadSingleStream = nullptr;
    dvbReadMultipleStreams = nullptr;
    dvbReadMemory = nullptr;
    dvbWriteMemory = nullptr;
}

void ReceiverLibrary::Unload()
{
    if (module.Loaded()) {
        ClearEntries();
        module.Unload();
    }
}

int64_t ReceiverLibrary::Version() const
{
    if (Status() == kEntryMissing || Status() == kLibraryMissing || !quelmarDLLVersion)
        return -1;
    return quelmarDLLVersion();
}

} // namespace quelmar
