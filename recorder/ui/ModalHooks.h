// Message boxes and the save dialog of the window, with hooks that let tests
// answer them instead of a user (no timers, no window manager).
#pragma once

#include <QMessageBox>

#include <functional>

namespace quelmar {

class CMyFileDialog;
class CTimerDlg;

// Answers a fully configured message box instead of the user: returns the
// button "pressed". The box is not shown.
using MessageBoxHook = std::function<QMessageBox::StandardButton(QMessageBox &box)>;
// Works a save dialog that has been shown, as a user would (types a name,
// accepts, cancels). A dialog the hook leaves open is cancelled.
using SaveDialogHook = std::function<void(CMyFileDialog &dialog)>;
// Works the Timer dialog that has been shown, as a user would. A dialog the
// hook leaves open is cancelled.
using TimerDialogHook = std::function<void(CTimerDlg &dialog)>;

// Installs a hook for the whole process; an empty function removes it.
// User-interface thread.
void SetMessageBoxHook(MessageBoxHook hook);
void SetSaveDialogHook(SaveDialogHook hook);
void SetTimerDialogHook(TimerDialogHook hook);

// Runs `box` modally (or through the hook) and returns the button pressed.
QMessageBox::StandardButton ExecMessageBox(QMessageBox &box);
// Runs `dialog` modally (or through the hook); returns QDialog's result.
int ExecSaveDialog(CMyFileDialog &dialog);
// Runs `dialog` modally (or through the hook); returns QDialog's result.
int ExecTimerDialog(CTimerDlg &dialog);

} // namespace quelmar
