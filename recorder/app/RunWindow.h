// The seam between the program's main and the window: runs the recorder
// with its main window until the window ends.
#pragma once

#include "app/ProgramModules.h"

#include <optional>
#include <string>

namespace quelmar {

class CRecorderApp;

struct WindowOptions {
    // When set: once the window has started (bring-up done), save a picture
    // of it as PNG to this path and end the window without switching the
    // receiver off.
    std::string screenshotPath;
    // The receiver to drive and the instance, which also names the window
    // ("Quelmar Recorder - NAME").
    ReceiverRequest receiver;
    // --listen [ADDR:]PORT: the remote control; "" none (the default).
    std::string listen;
    // --recordings-dir: the remote control's recordings folder; none: the
    // folder of the stored file name.
    std::optional<std::string> recordingsDir;
};

// The program with a window: creates the QApplication (from the program's
// arguments), the user-interface dispatcher and the main window for `app`,
// takes SIGINT, SIGTERM and SIGHUP (TerminationSignals) as a close of the
// window, and runs until the window ends. Returns the exit status: 0, or 1
// when the screenshot could not be saved. Without a display it ends the
// program with status 1 and a line on standard error saying so. The caller
// loads the settings before and writes them afterwards. Main thread.
int RunWindow(int &argc, char **argv, CRecorderApp &app, const WindowOptions &options = {});

} // namespace quelmar
