// The recorder without a window: the main window's logic (CRecorderDlg)
// driven by the command line, shown by HeadlessView, on a QCoreApplication.
#pragma once

#include "app/CommandLine.h"
#include "controller/CRecorderApp.h"

namespace quelmar {

// Brings the receiver up, makes the one recording `options` ask for (none
// without --record), and ends through the main window's close path once
// that recording has been torn down; SIGINT, SIGTERM and SIGHUP close the
// same way (a running recording is stopped first). `app` holds the loaded
// settings with the run's overrides; the caller writes them afterwards.
// Returns the exit status (kExitOk, kExitFailed). Needs a QCoreApplication
// whose event loop is not running yet; runs it. User-interface thread.
int RunHeadless(CRecorderApp &app, const CommandLineOptions &options);

} // namespace quelmar
