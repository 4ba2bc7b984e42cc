// TimerScheduler: timer mode. It keeps the timer list in step with the
// store file, runs the once-a-second supervision pass on a TickSource of its
// own, arms the entry that is due, counts down to its start, starts and
// stops its recording through the RecordingService (under the file base of
// the entry), hands the receiver from one timer recording to the next, moves
// entries on and saves them, and shuts the system down when a recording
// asked for it (with the clock's wake alarm set for the next timer).
//
// It reaches the receiver through TimerReceiver and tells the window model
// what happened through TimerSchedulerListener; the pass's other steps (the
// end of a recording, the receiver watchdog, the clock, a close, the stop-at
// time) are the listener's, in the order of SupervisionPass(). Everything
// runs on the user-interface thread. Qt-free.
#pragma once

#include "engine/RecordingContext.h"
#include "platform/RtcWakeAlarm.h"
#include "platform/SystemPower.h"
#include "platform/TickSource.h"
#include "services/RecordingRequest.h"
#include "timers/CTimerList.h"
#include "timers/TimerDialogModel.h"
#include "timers/TimerHandOver.h"
#include "timers/TimerStoreSync.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quelmar {

class RecordingService;

// The period of the supervision pass, ms.
inline constexpr int kSupervisionPeriodMs = 1000;

// Front-panel text of timer mode, eight characters.
inline constexpr char kPanelTimer[] = " timer  ";

// A timer is armed this many seconds before its start ...
inline constexpr int32_t kTimerLeadSeconds = 10;
// ... and its recording started after this many supervision passes (about a
// second before the start).
inline constexpr int32_t kStartCountdownPasses = 9;

// What the scheduler needs of the receiver. User-interface thread.
class TimerReceiver {
public:
    virtual ~TimerReceiver() = default;
    // A receiver was found and answers.
    virtual bool ReceiverPresent() const = 0;
    // Tunes channel `number` (1-based, as the entries count). Only while
    // ReceiverPresent().
    virtual void TuneChannel(uint16_t number) = 0;
    // The channel shown as current follows what the receiver is tuned to now.
    virtual void ShowTunedChannel() = 0;
    // The name of channel `number` (1-based) as the channel list shows it;
    // empty when the table has no such channel.
    virtual std::string NameOfChannel(uint16_t number) const = 0;
    // Eight characters on the front panel; nothing without a receiver.
    virtual void ShowPanelText(const char *text8) = 0;
    // The switch-off command of Power Off. Only while ReceiverPresent().
    virtual void SwitchOff() = 0;
};

// What the scheduler tells the window model, and the supervision pass's
// steps that are not the scheduler's. User-interface thread.
class TimerSchedulerListener {
public:
    virtual ~TimerSchedulerListener() = default;

    // ---- events ----------------------------------------------------------------
    // One line for the event log.
    virtual void TimerLog(const std::string &line) = 0;
    // An entry was armed; its recording goes to `fileBase` (the file field
    // shows it).
    virtual void TimerArmed(const std::string &fileBase) = 0;
    // The current timer's recording is being stopped at its stop time.
    virtual void TimerRecordingStopping() = 0;
    // A timer recording starts now into `base`; it differs from `chosenBase`
    // when that name was taken. The window's work before any start.
    virtual void TimerRecordingStarting(const std::string &chosenBase, const std::string &base) = 0;
    // A timer recording was not started: its entry names no file, or no
    // free name was left (logged).
    virtual void TimerRecordingRefused() = 0;
    // Show what was logged at once (before the system goes down).
    virtual void ShowLogNow() = 0;
    // A shut-down was accepted (or the manual one ran): the program closes
    // as Power Off closes it.
    virtual void CloseForShutdown() = 0;

    // ---- what the scheduler asks ------------------------------------------------------
    // The settings of the next recording as the user left them (outputs,
    // splitting, video delay, ...); the scheduler sets the origin and base.
    virtual RecordingRequest RecordingSettings() const = 0;
    // The folder of the recordings, for entries with relative file names.
    virtual std::string RecordingsFolder() const = 0;

    // ---- the supervision pass's other steps ---------------------------------------------
    // Before the timer step: a torn-down recording's end, the receiver
    // watchdog, the clock. False: the pass ends here (the window ended).
    virtual bool SuperviseBeforeTimers() = 0;
    // Instead of the timer step while timer mode is off (panic-mode names).
    virtual void SuperviseManualMode() = 0;
    // After the shut-down step: a pending close, the stop-at time.
    virtual void SuperviseAfterTimers() = 0;
};

// What the scheduler works with.
struct TimerSchedulerParts {
    RecordingService *recording = nullptr;      // required; must outlive the scheduler
    TimerReceiver *receiver = nullptr;          // required; must outlive the scheduler
    TimerSchedulerListener *listener = nullptr; // required; must outlive the scheduler
    // Clocks the supervision pass; null: no passes run. Must outlive the
    // scheduler.
    TickSource *ticks = nullptr;
    std::string storePath; // the timer store
    // Shut-downs; null: every shut-down becomes a log line. Must outlive the
    // scheduler.
    SystemPower *power = nullptr;
    // The wake-up for the next timer; null: none is set. Must outlive the
    // scheduler.
    const RtcWakeAlarm *wakeAlarm = nullptr;
};

class TimerScheduler {
public:
    explicit TimerScheduler(TimerSchedulerParts parts);
    // Stops the ticks.
    ~TimerScheduler();
    TimerScheduler(const TimerScheduler &) = delete;
    TimerScheduler &operator=(const TimerScheduler &) = delete;

    // ---- the supervision ---------------------------------------------------------------
    // Starts the passes (restarting the period when they run); whether the
    // tick source granted them.
    bool StartSupervision();
    void StopSupervision();
    bool Supervising() const { return supervising_; }
    // One pass, in this order: the listener's SuperviseBeforeTimers, the
    // timer step (or the listener's manual step and the manual shut-down),
    // the timer shut-down, the listener's SuperviseAfterTimers.
    void SupervisionPass();

    // ---- timer mode ----------------------------------------------------------------------
    // Switches timer mode on (the next timer is logged) or off (an armed
    // timer is given up with the shut-down it asked for). The caller has
    // checked that the recorder is ready.
    void SetTimerMode(bool on);
    bool TimerModeOn() const { return on_.Get(); }
    // Timer mode's flag for the recording thread, which leaves the controls
    // to the supervision at the end of a timer-mode recording. Any thread.
    FlagReader TimerModeReader() const { return on_.Reader(); }
    // Reads the store again after a bring-up; no entry is current then.
    void LoadStore();
    // Moves repeating timers on (saving the list when one moved) and logs the
    // next timer recording.
    void ShowNextTimer();
    // Starts the armed timer's recording now; false when it did not start
    // (not ready, or no file name: the entry is given up).
    bool StartRecording();
    // The user stopped the current timer's recording: the entry takes no
    // further part. Nothing outside timer mode.
    void StopCurrentTimer();
    // The current timer's recording ended before its stop without the
    // user's Stop (receiver silent, channel changed, the engine gave up): a
    // repeating entry moves on to its next day, a one-off entry is
    // deactivated, so that nothing records into the same files again.
    void GiveUpCurrentTimer();
    // A recording has been torn down: the current entry is given up unless
    // it was handed over at the stop (then it is the next one's).
    void RecordingTornDown();
    // After a teardown: the entry handed over at the stop gets its channel,
    // and its recording when its start has come.
    void FinishHandOver();
    // An entry waits for the end of the teardown.
    bool HandOverPending() const { return handOver_.Pending(); }

    // ---- the Timer dialog --------------------------------------------------------------
    // The store's changes are picked up, then `run` shows the dialog over a
    // model of the list (the passes leave the store alone meanwhile; true:
    // Ok), and the list takes the dialog's entries and is saved. Nothing
    // while a dialog is open already.
    void EditTimers(std::vector<std::string> channelNames, int selectedChannel,
                    const std::function<bool(TimerDialogModel &)> &run);

    // ---- shut-down -------------------------------------------------------------------------
    // A shut-down follows once the recorder is ready (a recording asked for it).
    bool ShutdownPending() const { return shutdownPending_; }
    void SetShutdownPending(bool pending) { shutdownPending_ = pending; }

    // ---- state -------------------------------------------------------------------------------
    const CTimerList &Timers() const { return list_; }
    // The last change of the list was not saved to the store (no lock, a
    // failed write; logged): the list holds it, the file does not.
    bool TimerSaveFailed() const { return saveFailed_; }
    // The entry armed or being recorded; null when none.
    const CTimerEntry *CurrentTimer() const { return current_; }
    // Passes left before an armed timer's recording starts.
    int32_t StartCountdown() const { return countdown_; }

private:
    void TimerModeStep();
    // Arms `entry`: its file name, its shut-down, the channel (after the
    // teardown when a recording is still being torn down) and the countdown.
    void ArmTimer(CTimerEntry &entry);
    // The current entry was removed (Timer dialog, store file): an armed
    // entry's countdown and shut-down go with it, a recording's shut-down
    // stays.
    void ForgetRemovedTimer();
    // True when the program closes now.
    bool RunShutdown(bool timerVariant);
    // One change of the list as a transaction on the store file.
    void SaveTimers(const std::function<bool()> &change);
    // Takes the store file's list when another process changed it; the
    // current entry stays current when the file still holds it.
    void PickUpStoreChanges();
    TimerStoreHooks StoreHooks();
    CTimerEntry *FindById(int32_t id) const;
    std::optional<int32_t> CurrentId() const;
    void Log(const std::string &line) { listener_.TimerLog(line); }

    RecordingService &recording_;
    TimerReceiver &receiver_;
    TimerSchedulerListener &listener_;
    TickSource *ticks_;
    SystemPower *power_;
    const RtcWakeAlarm *wakeAlarm_;

    CTimerList list_;
    CTimerEntry *current_ = nullptr; // points into list_, or null
    int32_t countdown_ = 0;          // passes until an armed timer starts
    int64_t startDueAt_ = 0;         // the second the countdown ends when no pass is lost
    std::string timerBase_;          // the armed entry's file base (its date added)
    TimerHandOver handOver_;         // the entry armed while a timer recording is torn down
    Flag on_;                        // timer mode
    bool supervising_ = false;
    bool dialogOpen_ = false;
    bool shutdownPending_ = false;
    bool saveFailed_ = false; // the last SaveTimers did not save
};

} // namespace quelmar
