// Output file names as the main window checks them before they are
// overwritten, and the file base of panic mode.
#pragma once

#include "controller/MainView.h"
#include "engine/OutputFiles.h"
#include "platform/CTime.h"
#include "services/RecordingNames.h"

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace quelmar {

// Caption of the overwrite question and of a file error message.
inline constexpr char kFileSaveAsCaption[] = "File save as";

// The eight names the save dialog tests for the chosen path, in order.
std::vector<std::string> SaveDialogFileNames(const std::string &path);

// The existence test of one name: a file that is not there passes; one that
// is there passes only when the user agrees to overwrite it; any other
// failure to look at it shows the system's message and refuses. Returns
// true when the name passes. User-interface thread.
bool ExistenceTest(MainView &view, const std::string &name);

// ExistenceTest for each name in order; false at the first refusal.
bool ExistenceTests(MainView &view, const std::vector<std::string> &names);

// The save dialog's check of a chosen path (CMyFileDialog): true accepts it.
inline bool AcceptSaveDialogName(MainView &view, const std::string &path)
{
    return ExistenceTests(view, SaveDialogFileNames(path));
}

// The Timer dialog's check of a path chosen with its "...": refused with a
// message when the timer file cannot hold it (a character outside Windows
// code page 1252), then the save dialog's checks. True accepts it.
// User-interface thread.
bool AcceptTimerFileName(MainView &view, const std::string &path);

// The outcome of the check before a manual start.
struct OutputCheck {
    bool go = false;              // false: the start is abandoned
    std::set<std::string> agreed; // existing files the user agreed to overwrite
};

// The check before a manual start of a recording of `choices` into `base`:
// the names of part 0 and the log file, each through the existence test in
// the window's order; then every existing later part of the base (" (1)",
// " (2)", ... with the extensions of these choices): one that cannot be
// overwritten (not a regular file, locked, a link) refuses with the
// system's text; the others are listed in one question. User-interface
// thread.
OutputCheck CheckOutputNames(MainView &view, const std::string &base, const OutputChoices &choices);

// Panic mode: the folder part of `currentBase` (up to and including its last
// slash; nothing when it has none) followed by the channel name and `now` as
// ", %d-%m-%Y, %H.%M.%S" in local time, where each of \ / : * " ? < > | in
// that part becomes an underscore. Any thread.
std::string PanicModeFileBase(const std::string &currentBase, const std::string &channelName, CTime now);

} // namespace quelmar
