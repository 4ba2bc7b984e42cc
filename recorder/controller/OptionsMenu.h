// OptionsMenu: the main window's check-mark menus on the ControlBoard: the
// SCSI mode, the remote control lock, the process priority, panic mode and
// the log infos.
//
// Each choice is shown as a check mark, kept in the settings (CRecorderApp)
// and, where it concerns the receiver, passed to the ReceiverSession.
// Everything here runs on the user-interface thread.
#pragma once

#include "controller/CRecorderApp.h"
#include "controller/ControlBoard.h"
#include "controller/ReceiverSession.h"
#include "services/RecordingService.h"

namespace quelmar {

class OptionsMenu {
public:
    // Every argument must outlive the menu.
    OptionsMenu(ControlBoard &board, ReceiverSession &session, CRecorderApp &app, const RecordingService &recording);
    OptionsMenu(const OptionsMenu &) = delete;
    OptionsMenu &operator=(const OptionsMenu &) = delete;

    // The check marks as the settings say; an unknown SCSI mode in the
    // settings becomes automatic.
    void ShowSettings();
    // ScsiAuto, ScsiBusy or ScsiCheckCondition (other items are ignored).
    void OnScsiMode(MenuItemId item);
    // Toggles the lock; during a recording the receiver follows at once.
    void OnRemoteToggle();
    // PriorityRealTime, PriorityHigh, PriorityNormal or PriorityIdle (other
    // items are ignored).
    void OnPriority(MenuItemId item);
    void OnPanicMode();
    void OnLogInfos();
    // Before a recording starts: the receiver's remote locked when the menu
    // says so, then its SCSI mode from the settings.
    void ApplyToReceiver();

private:
    // Toggles `item`'s check mark; returns the new state.
    bool Toggle(MenuItemId item);

    ControlBoard *m_pBoard;
    ReceiverSession *m_pSession;
    CRecorderApp *m_pApp;
    const RecordingService *m_pRecording;
};

} // namespace quelmar
