// MainView: what a front end of the main window implements (the Qt window,
// the headless front end, test doubles), and the state of every control
// and menu item that the controller keeps for it.
//
// The controller (CRecorderDlg) decides; a view only shows the state it is
// told about and reports the user's input as handler calls. Every member is
// called on the user-interface thread, after the controller's model changed.
#pragma once

#include "controller/RecorderView.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quelmar {

class TimerDialogModel;

// The window's caption.
inline constexpr char kMainWindowCaption[] = "Quelmar Recorder v1.14b by Pellix";

// What CRecorderDlg::OnTimer runs: the supervision pass (clocked by the
// timer scheduler's tick source, not by a window timer) and the window timer
// waiting for the bus rescan helper.
inline constexpr int kTimerSupervision = 1;
inline constexpr int kTimerHelperWait = 2;
inline constexpr int kHelperWaitPeriodMs = 100;

// The state of one control of the main window.
struct ControlState {
    bool enabled = false;
    bool shown = true;
    bool checked = false;           // check boxes
    std::string text;               // caption, field text or static text
    std::vector<std::string> items; // drop lists and list boxes (the information panes)
    int selection = -1;             // drop lists: index of the selected item, -1 none
    int timeOfDay = 0;              // time pickers 1043 and 1046: seconds since midnight
};

// The state of one menu item.
struct MenuItemState {
    bool enabled = true;
    bool checked = false;
};

// The five top-level menus, in menu order.
enum class TopMenu {
    ScsiMode, // "SCSI &Mode"
    Remote,   // "Rem&ote"
    Priority, // "Pr&iority"
    Timer,    // "&Timer"
    Misc,     // "Mis&c"
};

// Icons of a message box.
enum class MessageIcon {
    None,
    Information,
    Warning,
    Error,
};

// How the last recording ended, for the exit status of the headless front end.
enum class RecordingOutcome {
    None,           // no recording has been started (or the start is still running)
    Normal,         // ended by Stop, by the stop time, by a close or by the timer
    Failed,         // the recording thread gave up (files not creatable, disk full, ...)
    ReceiverLost,   // the receiver stopped answering during the recording
    ChannelChanged, // the receiver was tuned away during the recording
    FilesRefused,   // the output names were refused before the start (overwrite declined, file error)
};

class MainView {
public:
    virtual ~MainView() = default;

    // A control's or menu item's state changed; the view shows `state`.
    virtual void ControlChanged(ControlId id, const ControlState &state) = 0;
    virtual void MenuItemChanged(MenuItemId id, const MenuItemState &state) = 0;
    virtual void TopMenuChanged(TopMenu menu, bool enabled) = 0;

    // The event log list: `lines` were appended, in order, at its end; or it
    // was emptied. The view follows new lines only while the end of the list
    // is in view.
    virtual void LogLinesAppended(const std::vector<std::string> &lines) = 0;
    virtual void LogCleared() = 0;

    // A question with the buttons Yes and No and the question icon; true for
    // Yes. Returns when the user answered.
    virtual bool AskYesNo(const std::string &text, const std::string &caption) = 0;
    // A message with an OK button; returns when the user closed it.
    virtual void ShowMessage(const std::string &text, const std::string &caption, MessageIcon icon) = 0;

    // The save dialog (CMyFileDialog) with `initial` as the file name. The
    // dialog calls `accept` with the full path the user confirms: true
    // accepts it, false keeps the dialog open (accept may ask questions
    // through this view). Returns the accepted path, std::nullopt when the
    // user cancelled.
    virtual std::optional<std::string> RunSaveDialog(const std::string &initial,
                                                     const std::function<bool(const std::string &)> &accept) = 0;

    // The wait cursor (true) or the normal arrow (false).
    virtual void SetWaitCursor(bool wait) = 0;

    // Window timer `id` ticks every `periodMs` from now on: the view calls
    // CRecorderDlg::OnTimer(id) on the user-interface thread at every tick.
    // Starting a running timer again restarts its period. Returns whether
    // the timer was granted.
    virtual bool StartWindowTimer(int id, int periodMs) = 0;
    virtual void KillWindowTimer(int id) = 0;

    // True while the user holds the channel list dropped down.
    virtual bool ChannelListDroppedDown() const = 0;

    // The main window ends (Power Off, Escape, a close); the front end leaves
    // its event loop. Called once.
    virtual void EndDialog() = 0;

    // The Timer dialog over `model` (its rows and fields), modal. Returns
    // true when the user ended it with Ok (the caller then applies the
    // model with OnOK()), false for Cancel or a close. The dialog's "..."
    // offers a save dialog whose chosen path goes through `acceptFileName`
    // (true accepts it; it may ask questions through this view). The view
    // changes the model only as the user's input says; it never touches the
    // timer list.
    virtual bool RunTimerDialog(TimerDialogModel &model,
                                const std::function<bool(const std::string &)> &acceptFileName) = 0;

    // Shows what has changed at once, before returning (the log line of a
    // shut-down before the system goes down). Optional.
    virtual void UpdateWindow() {}

    // A recording has been torn down completely (the window is ready
    // again); `outcome` says how it ended. The headless front end ends the
    // program here. Optional.
    virtual void RecordingFinished(RecordingOutcome outcome) { (void)outcome; }
};

} // namespace quelmar
