// The remote control of a running recorder: its backend over the window
// model and the HTTP server, started by --listen in both front ends.
#pragma once

#include "app/RecorderRemoteBackend.h"
#include "remote/RemoteServer.h"

#include <memory>
#include <optional>
#include <string>

namespace quelmar {

// What runs while the remote control is on; destroying it stops it (before
// the window model goes).
struct RemoteControlRun {
    std::unique_ptr<RecorderRemoteBackend> backend;
    std::unique_ptr<remote::RemoteServer> server;
};

// Starts the remote control of `dialog` (whose view is `tap`) on `listen`
// ([ADDR:]PORT, as --listen takes it) with the token of `instance`'s state
// folder. Recordings go to `recordingsDir` (an existing folder), or without
// one to the folder of the stored file name. The start is logged (beyond
// 127.0.0.1 as the user's explicit choice). Returns nullptr with `error`
// set when it cannot listen. User-interface thread, after the bring-up.
std::unique_ptr<RemoteControlRun> StartRemoteControl(CRecorderDlg &dialog, RemoteViewTap &tap, UiDispatcher &dispatcher,
                                                     const std::string &listen,
                                                     const std::optional<std::string> &recordingsDir,
                                                     const std::string &instance, std::string &error);

} // namespace quelmar
