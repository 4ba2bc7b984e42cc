// Editing the timer store without a window: --list-timers, --add-timer,
// --remove-timer, --enable-timer and --disable-timer. The same list code and
// the same rules as the Timer dialog (TimerDialogModel); a recorder running
// in timer mode picks the changed file up on its next supervision pass.
//
// The receiver is only read (its channel table, for the channel names and
// to check --channel): no mode is set and nothing is switched off, so a
// recorder running at the same time is left undisturbed.
#pragma once

#include "app/CommandLine.h"
#include "timers/CTimerEntry.h"

#include <cstdio>
#include <string>
#include <vector>

namespace quelmar {

// Runs `options.timerCommand` on the store at DefaultTimerStorePath():
// listings on standard output, problems on standard error. Returns
// kExitOk, or kExitFailed when the store cannot be read or written, the
// index names no entry, or --add-timer finds no receiver or no such
// channel. A store that could not be read completely is never written.
// Main thread; the settings are neither read nor written.
int RunTimerCommand(const CommandLineOptions &options);

// One line of --list-timers for the entry at `index` (0-based): the
// number (1-based), "on" or "off", channel number and name (empty when
// `channelNames` lacks it), start and stop as "YYYY-MM-DD HH:MM:SS" in local
// time, the days (DaysText), "yes" or "no" for the shut-down, and the file,
// separated by tabs.
std::string TimerListLine(int index, const CTimerEntry &entry, const std::vector<std::string> &channelNames);

} // namespace quelmar
