// The recorder without a window: the main window's logic (CRecorderDlg)
// driven by the command line, shown by HeadlessView, on a QCoreApplication.
#pragma once

#include "app/CommandLine.h"
#include "controller/CRecorderApp.h"

namespace quelmar {

// Brings the receiver up, makes the one recording `options` ask for (none
// without --record), and ends through the main window's close path once
// that recording has been torn down. In timer mode (--timers or the stored
// "Enable Timer", never with --record) it runs until a signal, a timer's
// shut-down or the loss of the receiver (status kExitFailed) ends it; so it
// does with --listen (the remote control) without --record.
// SIGINT, SIGTERM and SIGHUP close the way the window's close does (a
// running recording is stopped first). Shut-downs go to logind, with the
// clock's wake alarm set for the next timer, unless --no-shutdown. `app`
// holds the loaded settings with the run's overrides; the caller writes
// them afterwards. Returns the exit status (kExitOk, kExitFailed). Needs a
// QCoreApplication whose event loop is not running yet; runs it.
// User-interface thread.
int RunHeadless(CRecorderApp &app, const CommandLineOptions &options);

} // namespace quelmar
