#include "app/RemoteControlStart.h"

#include "controller/CRecorderDlg.h"
#include "remote/RemoteControl.h"
#include "timers/TimerFileName.h"
#include "timers/TimerStore.h"

#include <sys/stat.h>

namespace quelmar {

std::unique_ptr<RemoteControlRun> StartRemoteControl(CRecorderDlg &dialog, RemoteViewTap &tap, UiDispatcher &dispatcher,
                                                     const std::string &listen,
                                                     const std::optional<std::string> &recordingsDir,
                                                     const std::string &instance, std::string &error)
{
    std::optional<remote::RemoteOptions> options = remote::ParseListenOption(listen, error);
    if (!options) {
        error = "--listen: " + error;
        return nullptr;
    }
    options->stateFolder = StateFolder(instance);
    std::string folder = recordingsDir ? *recordingsDir : RecordingsFolder(dialog.App().m_strFile);
    struct stat info {};
    if (recordingsDir && (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))) {
        error = "--recordings-dir '" + folder + "' is no folder";
        return nullptr;
    }
    auto run = std::make_unique<RemoteControlRun>();
    run->backend = std::make_unique<RecorderRemoteBackend>(dialog, tap, dispatcher, std::move(folder));
    run->server = remote::StartRemote(*options, *run->backend, error);
    if (!run->server)
        return nullptr;
    return run;
}

} // namespace quelmar
