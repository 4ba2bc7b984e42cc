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

// Runs `options.timerCommand`: through the remote control of a recorder
// that listens for the same store (so that an edit never races its
// supervision), else on the store at DefaultTimerStorePath(options.instance):
// listings on standard output, problems on standard error. Returns
// kExitOk, or kExitFailed when the store cannot be read (--list-timers) or
// written, the index names no entry, or --add-timer finds no receiver or
// no such channel or refuses the entry as the Timer dialog's Add would. A
// change is one transaction under the store's lock (ChangeTimerStore); a
// store that did not load whole is kept aside before it is replaced. A
// relative --file goes to the recordings folder (RecordingsFolder() of the
// stored "File" setting). Main thread; the settings are only read.
int RunTimerCommand(const CommandLineOptions &options);

// `text` with TAB, CR, LF, NUL and the backslash written as \t, \r, \n,
// \0 and \\, so that it stays one field of one line.
std::string EscapedField(const std::string &text);

// What one line of --list-timers shows of an entry, wherever it came from
// (the store, or a running recorder's remote control).
struct TimerListRow {
    bool active = true;
    int channel = 0;         // 1-based
    std::string channelName; // "" when unknown
    std::string start;       // "YYYY-MM-DD HH:MM:SS", local time
    std::string stop;
    uint8_t days = 0;
    bool shutdown = false;
    std::string file;
};

// The row of `entry`; the channel name from `channelNames` (empty when
// it lacks the channel).
TimerListRow TimerListRowOf(const CTimerEntry &entry, const std::vector<std::string> &channelNames);

// One line of --list-timers for the row at `index` (0-based): the number
// (1-based), "on" or "off", channel number and name, start and stop, the
// days (DaysText), "yes" or "no" for the shut-down, and the file, separated
// by tabs; the channel name and the file as EscapedField.
std::string TimerListLine(int index, const TimerListRow &row);
std::string TimerListLine(int index, const CTimerEntry &entry, const std::vector<std::string> &channelNames);

} // namespace quelmar
