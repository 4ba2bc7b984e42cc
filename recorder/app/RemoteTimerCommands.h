// The timer options of the command line sent to a running recorder's remote
// control: the recorder makes the change on its own timer list and saves it,
// as its Timer dialog would, so that no edit races its supervision. What is
// printed, the messages and the exit statuses are those of the edits on the
// store (TimerCommands).
#pragma once

#include "app/CommandLine.h"
#include "remote/RemoteClient.h"

namespace quelmar {

// Runs `options.timerCommand` through `recorder`. Listings on standard
// output, problems on standard error. Returns kExitOk or kExitFailed.
// Main thread.
int RunTimerCommandThrough(const remote::RemoteClient &recorder, const CommandLineOptions &options);

} // namespace quelmar
