// ModeControls: what the recorder's modes do to the main window's controls,
// in one place beside RecordingControls (which maps a running recording's
// events). Each function sets one column of the window's state tables on the
// board; the window model decides when. User-interface thread.
#pragma once

#include "controller/ControlBoard.h"

namespace quelmar {

// Bring-up begins: the No receiver column (recording controls, the save
// lists, the fields and the receiver menus unusable; only Rescan and the
// SCSI mode menu remain).
void ShowNoReceiver(ControlBoard &board);

// A receiver was found: the Ready column without the multiplexer's controls.
void ShowReceiverFound(ControlBoard &board);

// The multiplexer is usable with a receiver found: the multiplexed list,
// the video delay field and Pause become usable.
void ShowMultiplexerUsable(ControlBoard &board);

// Timer mode on: the supervision starts recordings, so Record, Pause, the
// save lists, "..." and the channel list are unusable.
void ShowTimerModeOn(ControlBoard &board);

// Timer mode off: the manual controls usable again; with the multiplexer
// (`multiplexer`) also Pause and the multiplexed list (the caller applies
// the video delay rule).
void ShowTimerModeOff(ControlBoard &board, bool multiplexer);

// A recording is being started: what must not change under it is unusable.
void ShowRecordingStarting(ControlBoard &board);

// A recording is being stopped (Stop, its stop time, the supervision):
// Stop, Pause and Record unusable until its end returns them.
void ShowRecordingStopping(ControlBoard &board);

} // namespace quelmar
