// quelmarscsi_client.h: loads libquelmarscsi.so at run time, as its clients
// do, and resolves the 25 exports by name. Header-only; used by the command
// line client, tests and benchmarks. (The recorder has its own binding with
// its own status words.)
#ifndef QUELMAR_SCSI_CLIENT_H
#define QUELMAR_SCSI_CLIENT_H

#include "quelmarscsi.h"

#include <dlfcn.h>

#include <string>

// Every export, in the order the recorder binds them.
// clang-format off
#define QUELMAR_SCSI_EXPORTS(X) \
    X(quelmarDLLVersion)        \
    X(dvbInit)                  \
    X(dvbRescanAllSCSIBusses)   \
    X(dvbFindFirstQuelmar)      \
    X(dvbFindAllQuelmars)       \
    X(dvbSCSISpeedTest)         \
    X(dvbGetCurrentChannel)     \
    X(dvbChannelCount)          \
    X(dvbGetAllChannels)        \
    X(dvbPutAllChannels)        \
    X(dvbSetSCSIMode)           \
    X(dvbSetChannel)            \
    X(dvbSendSpecialCommand)    \
    X(dvbRemote)                \
    X(dvbVideoGimmick)          \
    X(dvbSetOSD)                \
    X(dvbInitStreaming)         \
    X(dvbInitStreaming2)        \
    X(dvbReInitStreaming)       \
    X(dvbDeInitStreaming)       \
    X(dvbReadMultiPID)          \
    X(dvbReadSingleStream)      \
    X(dvbReadMultipleStreams)   \
    X(dvbReadMemory)            \
    X(dvbWriteMemory)
// clang-format on

class QuelmarScsiClient {
public:
#define QUELMAR_SCSI_MEMBER(name) decltype(&::name) name = nullptr;
    QUELMAR_SCSI_EXPORTS(QUELMAR_SCSI_MEMBER)
#undef QUELMAR_SCSI_MEMBER

    QuelmarScsiClient() = default;
    QuelmarScsiClient(const QuelmarScsiClient &) = delete;
    QuelmarScsiClient &operator=(const QuelmarScsiClient &) = delete;
    ~QuelmarScsiClient() { unload(); }

    // Loads the library from `path` and resolves every export. Returns false
    // with a readable reason in *error when the file cannot be loaded or an
    // export is missing (nothing stays loaded then).
    bool load(const std::string &path, std::string *error)
    {
        unload();
        handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle_) {
            if (error)
                *error = dlerror();
            return false;
        }
#define QUELMAR_SCSI_RESOLVE(name)                                                                                     \
    name = reinterpret_cast<decltype(&::name)>(dlsym(handle_, #name));                                                 \
    if (!name) {                                                                                                       \
        if (error)                                                                                                     \
            *error = std::string(path) + ": export " #name " is missing";                                              \
        unload();                                                                                                      \
        return false;                                                                                                  \
    }
        QUELMAR_SCSI_EXPORTS(QUELMAR_SCSI_RESOLVE)
#undef QUELMAR_SCSI_RESOLVE
        return true;
    }

    // Unloads the library (and with it the ASPI layer); all entries become null.
    void unload()
    {
#define QUELMAR_SCSI_CLEAR(name) name = nullptr;
        QUELMAR_SCSI_EXPORTS(QUELMAR_SCSI_CLEAR)
#undef QUELMAR_SCSI_CLEAR
        if (handle_)
            dlclose(handle_);
        handle_ = nullptr;
    }

    bool loaded() const { return handle_ != nullptr; }
    void *handle() const { return handle_; }

private:
    void *handle_ = nullptr;
};

#endif // QUELMAR_SCSI_CLIENT_H
