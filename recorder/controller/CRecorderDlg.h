// CRecorderDlg: the main window of the recorder as a presentation model.
//
// It owns the receiver session, the multiplexer binding and the recording
// service, and makes every decision of the window; the ControlBoard keeps
// the state of every control and menu item, and a MainView shows that state
// and reports the user's input as the handler calls below. Timer mode, the
// timer list and the supervision pass's clock belong to the TimerScheduler,
// which tunes through the receiver session; the window turns its events
// into control states and log lines.
// Everything here runs on the user-interface thread; the engine's updates
// arrive through the EngineBridge and UiDispatcher.
//
// Closing: Power Off and Escape (OnCancel) act only while no recording is
// started, running or being torn down, exactly when the Power Off button is
// usable; at other times they are ignored. A close (OnClose) is always
// honoured: during a recording it stops it, and the window ends once the
// recording has been torn down (also when the close arrives after Stop,
// while the recording thread is still finishing).
#pragma once

#include "controller/CRecorderApp.h"
#include "controller/ControlBoard.h"
#include "controller/MainView.h"
#include "controller/OptionsMenu.h"
#include "controller/ReceiverSession.h"
#include "controller/RecorderDlgSetup.h"
#include "controller/RecordingControls.h"
#include "controller/RecordingPanel.h"
#include "controller/UiDispatcher.h"
#include "engine/RecordingContext.h"
#include "platform/CTime.h"
#include "platform/SafeFiles.h"
#include "quelmarscsi.h"
#include "services/RecordingService.h"
#include "services/TimerScheduler.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quelmar {

class EngineBridge;
class RecordingControls;
class RemuxerBinding;
struct EngineUpdates;

class CRecorderDlg : private ReceiverListener, private TimerSchedulerListener {
public:
    // What the window works with.
    using Setup = RecorderDlgSetup;

    // Builds the window's state (every control in its initial state) and
    // binds the multiplexer. `app`, `view` and `dispatcher` must outlive the
    // window. Nothing is shown and no receiver is touched before
    // OnInitDialog().
    CRecorderDlg(CRecorderApp &app, MainView &view, UiDispatcher &dispatcher, Setup setup = {});
    // Must not run while a recording is busy (RecordingBusy()); if it does,
    // the recording is stopped and waited for first. Unloads the bindings.
    ~CRecorderDlg();
    CRecorderDlg(const CRecorderDlg &) = delete;
    CRecorderDlg &operator=(const CRecorderDlg &) = delete;

    // ---- start-up ----------------------------------------------------------
    // Menu check marks and controls from the settings, then BringUpReceiver().
    void OnInitDialog();
    // (Re)establishes contact with the receiver and logs what it found; see
    // ReceiverSession::BringUp. Only while no recording is busy.
    void BringUpReceiver();

    // ---- recording controls --------------------------------------------------
    // Record: resumes a paused recording, extends a running one by 30
    // minutes, or checks the output names and starts a recording.
    void OnRecord();
    // Before a manual start: the output names of the coming recording, each
    // through the existence test, and its existing later parts in one
    // question (questions and messages through the view). True to go on.
    bool CheckOutputFiles();
    // Pause / Resume; while idle starts a recording that begins paused.
    void OnPause();
    void OnStop();
    void OnSplitNow();
    void OnSplitOnSizeClicked(bool checked) { m_pPanel->OnSplitOnSizeClicked(checked); }
    // Field 1008 lost the focus with `text`: an unsigned 32-bit number of
    // megabytes, at least 5; other text is refused with a message.
    void OnSplitSizeKillFocus(const std::string &text) { m_pPanel->OnSplitSizeKillFocus(text); }
    void OnSplitOnTimeClicked(bool checked) { m_pPanel->OnSplitOnTimeClicked(checked); }
    // Picker 1043 changed to `timeOfDay` (seconds since midnight).
    void OnSplitIntervalChanged(int timeOfDay) { m_pPanel->OnSplitIntervalChanged(timeOfDay); }
    // Field 1020 lost the focus with `text`: a signed 16-bit number of
    // milliseconds, kept within -1000..1000; other text is refused.
    void OnVideoDelayKillFocus(const std::string &text) { m_pPanel->OnVideoDelayKillFocus(text); }
    // Selection change in AudioChoice, VideoChoice or MuxChoice.
    void OnStreamChoiceChanged(ControlId list, int index) { m_pPanel->OnStreamChoiceChanged(list, index); }
    // Selection change in the channel list: tunes channel index + 1.
    void OnChannelSelected(int index);
    void OnStopAtClicked(bool checked) { m_pPanel->OnStopAtClicked(checked); }
    // Picker 1046 changed to `timeOfDay` (seconds since midnight).
    void OnStopTimeChanged(int timeOfDay) { m_pPanel->OnStopTimeChanged(timeOfDay); }
    void OnShutdownBoxClicked(bool checked) { m_pPanel->OnShutdownBoxClicked(checked); }
    // "...": the save dialog chooses a new file base.
    void OnBrowse() { m_pPanel->OnBrowse(); }

    // ---- closing -------------------------------------------------------------
    // Power Off button and Escape (command 2).
    void OnCancel();
    // The close box, the system menu's Close, a termination signal.
    void OnClose();

    // ---- menu ----------------------------------------------------------------
    // Routes any menu item (also SystemClose) to its handler.
    void OnMenuCommand(MenuItemId item);
    // ScsiAuto, ScsiBusy or ScsiCheckCondition.
    void OnScsiMode(MenuItemId item) { m_pOptions->OnScsiMode(item); }
    void OnRemoteToggle() { m_pOptions->OnRemoteToggle(); }
    // PriorityRealTime, PriorityHigh, PriorityNormal or PriorityIdle.
    void OnPriority(MenuItemId item) { m_pOptions->OnPriority(item); }
    void OnPanicMode() { m_pOptions->OnPanicMode(); }
    void OnLogInfos() { m_pOptions->OnLogInfos(); }
    void OnSpeedTest();
    void OnRescanBus();
    void OnTimerEnable();
    // Runs the Timer dialog through the view and the scheduler; after Ok the
    // list takes the dialog's entries and is saved.
    void OnTimerEdit();

    // ---- window timers -------------------------------------------------------
    // kTimerSupervision: the supervision pass (which the scheduler's tick
    // source runs); kTimerHelperWait: the rescan helper's end.
    void OnTimer(int id);

    // ---- timer mode ----------------------------------------------------------
    // Switches between timer mode and manual mode; nothing while the
    // recorder is not ready.
    void SetTimerMode(bool on);
    // Moves repeating timers on (saving the list when one moved) and logs the
    // next timer recording.
    void ShowNextTimer();
    // The timer table.
    const CTimerList &Timers() const { return m_pScheduler->Timers(); }
    // The last change of the timer list was not saved to the store (no
    // lock, a failed write; the log says why): the list holds it, the file
    // does not.
    bool TimerSaveFailed() const { return m_pScheduler->TimerSaveFailed(); }
    // The timer entry armed or being recorded; null when none.
    const CTimerEntry *CurrentTimer() const { return m_pScheduler->CurrentTimer(); }
    // Supervision passes left before an armed timer's recording starts.
    int32_t StartCountdown() const { return m_pScheduler->StartCountdown(); }

    // ---- for front ends without a window ---------------------------------------
    // During a recording: checks the stop-at box and sets the stop time to
    // now + `seconds`. False (nothing changed) when no recording runs.
    bool SetStopAfter(uint32_t seconds) { return m_pPanel->SetStopAfter(seconds); }
    // The selected index of `output`'s save list (an OutputChoice value), -1
    // when none is selected.
    int OutputChoiceIndex(StreamOutput output) const { return m_pPanel->OutputChoiceIndex(output); }
    // Selects `index` in `output`'s save list as the user would. False (and
    // nothing changed) when the list is disabled or does not offer it (the
    // elementary choices need a usable multiplexer).
    bool ChooseOutput(StreamOutput output, int index) { return m_pPanel->ChooseOutput(output, index); }
    // The running or last recording's figures (byte counts, time stamps,
    // time, part). Any thread.
    RecordingFigures Figures() const;
    // Timer mode is on.
    bool TimerModeOn() const;
    // How the last recording ended; None before the first one.
    RecordingOutcome LastOutcome() const { return m_lastOutcome; }
    // A receiver was found and no recording is started, running or ending.
    bool ReceiverReady() const;
    // A recording runs (its recording flag is set).
    bool RecordingActive() const;
    // A recording was started and has not been torn down completely yet.
    bool RecordingBusy() const;
    // The window has ended (EndDialog was called).
    bool DialogEnded() const { return m_bEnded; }
    // Applies the engine's pending updates and log lines now.
    void FlushEngineUpdates();

    // ---- the model -----------------------------------------------------------
    const ControlState &Control(ControlId id) const { return m_pBoard->Control(id); }
    const MenuItemState &MenuItem(MenuItemId id) const { return m_pBoard->MenuItem(id); }
    bool TopMenuEnabled(TopMenu menu) const { return m_pBoard->TopMenuEnabled(menu); }
    const std::vector<std::string> &LogLines() const { return m_pBoard->LogLines(); }
    // The receiver session the window drives.
    const ReceiverSession &Receiver() const { return *m_pSession; }
    CTime StopTime() const { return m_pPanel->StopTime(); }
    bool ShutdownPending() const { return m_pScheduler->ShutdownPending(); }
    bool ClosePending() const { return m_bClosePending; }
    uint32_t SplitSizeMb() const;
    int16_t VideoDelayMs() const { return m_pPanel->VideoDelayMs(); }
    const RecordingContext &Context() const;
    // The recording service the window drives.
    RecordingService &Recording() { return *m_pRecording; }
    const CRecorderApp &App() const { return *m_pApp; }

private:
    // The engine's updates on the board, then whether the recording ended.
    void ApplyEngineUpdates(EngineUpdates &&updates);

    // Record's start case; false when it did not start.
    bool StartRecording();
    // The window's work before any start: controls, the receiver's remote and
    // SCSI mode, the log emptied, the file field when `base` replaced the
    // taken `chosenBase`, the outcome.
    void PrepareStart(const std::string &chosenBase, const std::string &base, bool timerMode);
    void StartSupervision();
    void KillSupervision();
    // Switches the receiver off and ends the window (OnCancel's work).
    void PowerOff();
    // Notices a recording that has been torn down: forgets the thread,
    // records the outcome and runs what waited for it.
    void CheckRecordingEnd();
    // What the receiver session reports.
    void ReceiverLog(const std::string &line) override;
    void ReceiverFound() override;
    void ChannelListLoaded(const std::vector<std::string> &names, int tunedIndex) override;
    void ReceiverLost() override;
    void TunedChannelRead(int index) override;
    void TunedChannelShown(int index) override;
    // The name of the channel selected in the channel list; empty when none.
    std::string SelectedChannelName() const;
    void ShowClock();
    void OnHelperTick();
    // Stops the recording for the supervision (receiver silent, channel
    // changed), as Stop does, but without deactivating a repeating timer.
    void StopUnplanned();

    // ---- the scheduler's listener ----------------------------------------------------
    void TimerLog(const std::string &line) override;
    void TimerArmed(const std::string &fileBase) override;
    void TimerRecordingStopping() override;
    void TimerRecordingStarting(const std::string &chosenBase, const std::string &base) override;
    void TimerRecordingRefused() override;
    void ShowLogNow() override;
    void CloseForShutdown() override;
    RecordingRequest RecordingSettings() const override;
    std::string RecordingsFolder() const override;
    bool SuperviseBeforeTimers() override;
    void SuperviseManualMode() override;
    void SuperviseAfterTimers() override;

    CRecorderApp *m_pApp;
    MainView *m_pView;
    UiDispatcher *m_pDispatcher;
    Setup m_stSetup;

    std::unique_ptr<RecordingService> m_pRecording;
    std::unique_ptr<ReceiverSession> m_pSession;
    bool m_bHelperTimer = false;
    std::unique_ptr<RemuxerBinding> m_pRemuxer;
    std::unique_ptr<TimerScheduler> m_pScheduler; // timer mode, the supervision's clock, shut-downs
    bool m_bClosePending = false;

    std::shared_ptr<EngineBridge> m_pBridge;
    std::unique_ptr<ControlBoard> m_pBoard;                  // every control and menu item, the log
    std::unique_ptr<RecordingPanel> m_pPanel;                // the recording fields, save lists and stop-at
    std::unique_ptr<OptionsMenu> m_pOptions;                 // the check-mark menus
    std::unique_ptr<RecordingControls> m_pRecordingControls; // the recording's events as control states
    RecordingOutcome m_lastOutcome = RecordingOutcome::None;
    RecordingOutcome m_currentOutcome = RecordingOutcome::Normal; // of the recording in progress
    bool m_bBringUpPending = false;                               // the receiver was lost during a recording
    bool m_bEnded = false;
};

} // namespace quelmar
