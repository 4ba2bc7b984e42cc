// The main window over the window model: shows it, runs the start-up and
// the window's event loop until the window ends.
#pragma once

#include "controller/CRecorderDlg.h"

#include <functional>
#include <string>

namespace quelmar {

class CRecorderApp;
class UiDispatcher;

struct MainWindowOptions {
    // When set: once the window has started (bring-up done), save a picture
    // of it as PNG to this path and end the window without switching the
    // receiver off.
    std::string screenshotPath;
    // The instance, which names the window ("Quelmar Recorder - NAME");
    // "" for the default instance.
    std::string instance;
};

// The main window and its controller over an existing QApplication: shows
// the window, runs the start-up (CRecorderDlg::OnInitDialog) and the window's
// event loop until the window ends. `dispatcher` must run its tasks on this
// thread; `onStarted` (optional) runs once the start-up is done. `viewOf`
// (optional) gives the view the controller talks to in place of the window
// (one that passes everything on to it); it must outlive the call. A
// QtTickSource clocks the supervision unless `setup` names a tick source.
// Returns 0, or 1 when the screenshot could not be saved.
int RunMainWindow(CRecorderApp &app, UiDispatcher &dispatcher, const MainWindowOptions &options = {},
                  CRecorderDlg::Setup setup = {}, const std::function<void(CRecorderDlg &)> &onStarted = {},
                  const std::function<MainView &(MainView &window)> &viewOf = {});

} // namespace quelmar
