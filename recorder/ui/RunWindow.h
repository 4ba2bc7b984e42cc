// The seam between the program's main and the window: runs the recorder
// with its main window until the window ends.
#pragma once

#include "controller/CRecorderDlg.h"

#include <string>

namespace quelmar {

class CRecorderApp;
class UiDispatcher;

struct WindowOptions {
    // When set: once the window has started (bring-up done), save a picture
    // of it as PNG to this path and end the window without switching the
    // receiver off.
    std::string screenshotPath;
};

// Creates the main window and its controller for `app`, shows the window,
// runs the start-up (CRecorderDlg::OnInitDialog) and the window's event loop
// until the window ends. Returns 0, or 1 when the screenshot could not be
// saved. A QApplication must exist; `dispatcher` must run its tasks on this
// thread. The caller writes the settings afterwards (ExitInstance).
int RunWindow(CRecorderApp &app, UiDispatcher &dispatcher, const WindowOptions &options = {},
              CRecorderDlg::Setup setup = {});

} // namespace quelmar
