// RecordingPanel: the main window's recording fields on the ControlBoard:
// the split size, split interval and video delay fields and their checks,
// the three save lists and the rules that follow from them, the stop-at box
// with its time and the shut-down box, the file name's "...".
//
// It turns the fields into the recording's settings (Request) and keeps
// the settings (CRecorderApp) and the recording service up to date as the
// user changes them. Everything here runs on the user-interface thread.
#pragma once

#include "controller/CRecorderApp.h"
#include "controller/ControlBoard.h"
#include "controller/MainView.h"
#include "engine/OutputFiles.h"
#include "platform/CTime.h"
#include "services/RecordingService.h"

#include <cstdint>
#include <string>

namespace quelmar {

// The three save lists.
enum class StreamOutput {
    Video,
    Audio,
    Mux,
};

class RecordingPanel {
public:
    // Takes the split size and the video delay from `app`'s settings (the
    // delay kept within its limits). Every argument must outlive the panel.
    RecordingPanel(ControlBoard &board, MainView &view, CRecorderApp &app, RecordingService &recording);
    RecordingPanel(const RecordingPanel &) = delete;
    RecordingPanel &operator=(const RecordingPanel &) = delete;

    // The split boxes, the split interval, the file name and both number
    // fields as the settings say.
    void ShowSettings();

    // ---- the save lists ------------------------------------------------------
    // Audio and video as raw, no multiplexed output (the lists before a
    // receiver is found).
    void ResetStreamChoices();
    // The three lists as the settings say.
    void ShowSavedStreamChoices();
    // Without the multiplexer only "don't save" and "as raw" remain in the
    // audio and video lists.
    void DropElementaryChoices();
    // Selection change in AudioChoice, VideoChoice or MuxChoice (other
    // lists are ignored): the stream rule, then the settings.
    void OnStreamChoiceChanged(ControlId list, int index);
    // The video delay field usable exactly when a chosen output uses it.
    void VideoDelayRule();
    // VideoDelayRule, and the split interval (box 1012, picker 1043)
    // usable exactly when an output goes through the multiplexer.
    void ApplyStreamRule();
    // The chosen outputs.
    OutputChoices SelectedOutputs() const;
    // The selected index of `output`'s list (an OutputChoice value), -1
    // when none.
    int OutputChoiceIndex(StreamOutput output) const;
    // Selects `index` in `output`'s list as the user would. False (nothing
    // changed) when the list is disabled or does not offer it.
    bool ChooseOutput(StreamOutput output, int index);

    // ---- the number fields and split boxes ---------------------------------------
    void OnSplitOnSizeClicked(bool checked);
    // Field 1008 lost the focus with `text`: an unsigned 32-bit number of
    // megabytes, at least kMinSplitSizeMb; other text is refused with a
    // message.
    void OnSplitSizeKillFocus(const std::string &text);
    void OnSplitOnTimeClicked(bool checked);
    // Picker 1043 changed to `timeOfDay` (seconds since midnight).
    void OnSplitIntervalChanged(int timeOfDay);
    // Field 1020 lost the focus with `text`: a signed 16-bit number of
    // milliseconds, kept within the video delay's limits; other text is
    // refused with a message.
    void OnVideoDelayKillFocus(const std::string &text);
    int16_t VideoDelayMs() const { return videoDelayMs_; }

    // ---- stop-at -------------------------------------------------------------
    void OnStopAtClicked(bool checked);
    // Picker 1046 changed to `timeOfDay` (seconds since midnight): the next
    // such time from now.
    void OnStopTimeChanged(int timeOfDay);
    void OnShutdownBoxClicked(bool checked);
    // Before a start: both boxes unchecked; for a manual start (`offer`)
    // the stop time is now and the boxes are shown, stop-at usable.
    void ResetStopAt(bool offer);
    // Record during a recording: stop-at checked, the stop time 30 minutes
    // later.
    void ExtendStop();
    // During a recording: stop-at checked, the stop time now + `seconds`.
    // False (nothing changed) when no recording runs.
    bool SetStopAfter(uint32_t seconds);
    // Stop-at is checked and its time has come.
    bool StopTimeReached() const;
    CTime StopTime() const { return timeStop_; }

    // "...": the save dialog chooses a new file base, which a running
    // recording takes for its next split file.
    void OnBrowse();

    // Panic mode between recordings: the file field (and the settings' file)
    // becomes `channelName` (the tuned channel's; may be empty) and the time
    // now.
    void PanicModeRename(const std::string &channelName);

    // A recording as the fields and the menu describe it now.
    RecordingRequest Request() const;

private:
    // Reads both number fields, as the dialog's data exchange does; the
    // first that holds no number is refused with a message (false).
    bool ExchangeFields();
    void WriteFieldsBack();
    void ShowStopTime();

    ControlBoard &board_;
    MainView &view_;
    CRecorderApp &app_;
    RecordingService &recording_;
    int16_t videoDelayMs_ = 0;
    CTime timeStop_;
};

} // namespace quelmar
