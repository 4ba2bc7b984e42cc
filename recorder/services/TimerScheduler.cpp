#include "services/TimerScheduler.h"

#include "engine/PollingThread.h"
#include "services/RecordingNames.h"
#include "services/RecordingService.h"
#include "timers/ShutdownSequence.h"
#include "timers/TimerFileName.h"

#include <algorithm>
#include <utility>

namespace quelmar {

namespace {

constexpr char kTimerStartFormat[] = "%A, %B %d, %Y, %X";
constexpr char kTimerStopFormat[] = "%X";
// Suffix of a repeating timer's file name: the date it records on.
constexpr char kTimerDateSuffixFormat[] = ", %d-%m-%Y";
constexpr char kShutdownSkippedTimeFormat[] = "%X";
// A timer armed later than the lead (its start is near or past: a recording
// before it ended late, or the program came up during it) counts down only
// to about a second before its start, and at least this many passes.
constexpr int32_t kShortestCountdownPasses = 1;

} // namespace

TimerScheduler::TimerScheduler(TimerSchedulerParts parts)
    : recording_(*parts.recording), receiver_(*parts.receiver), listener_(*parts.listener), ticks_(parts.ticks),
      power_(parts.power), wakeAlarm_(parts.wakeAlarm)
{
    list_.m_strPath = std::move(parts.storePath);
}

TimerScheduler::~TimerScheduler() { StopSupervision(); }

// ================================================================================
// Supervision
// ================================================================================

bool TimerScheduler::StartSupervision()
{
    supervising_ = ticks_ && ticks_->Start(kSupervisionPeriodMs, [this] { SupervisionPass(); });
    return supervising_;
}

void TimerScheduler::StopSupervision()
{
    if (supervising_ && ticks_)
        ticks_->Stop();
    supervising_ = false;
}

void TimerScheduler::SupervisionPass()
{
    if (!listener_.SuperviseBeforeTimers())
        return;
    if (on_.Get()) {
        TimerModeStep();
    } else {
        listener_.SuperviseManualMode();
        if (recording_.Ready() && shutdownPending_ && RunShutdown(false))
            return;
    }
    if (recording_.Ready() && shutdownPending_ && (current_ == nullptr || !on_.Get()) && RunShutdown(true))
        return;
    listener_.SuperviseAfterTimers();
}

void TimerScheduler::TimerModeStep()
{
    PickUpStoreChanges();
    if (recording_.Active()) {
        if (current_ && CTime::GetCurrentTime().GetTime() < current_->m_timeStop.GetTime())
            return;
        // At the stop, or the entry was deleted. A pending shut-down stays.
        Log("recording will be stopped by timer");
        listener_.TimerRecordingStopping();
        recording_.Stop();
        SaveTimers([this] {
            if (!current_)
                return false;
            if (current_->IsRepeating())
                current_->SkipDay();
            else
                list_.RemoveById(current_->m_nId);
            current_ = nullptr;
            return true;
        });
        // The next programme is armed during the teardown and starts at its
        // end. A shut-down asked for waits for the teardown, as it decides
        // on the next timer itself.
        if (!shutdownPending_)
            if (CTimerEntry *next = list_.GetAt(list_.FindActive(kTimerLeadSeconds)))
                ArmTimer(*next);
        return;
    }
    if (!recording_.Ready())
        return; // a recording is being started or torn down
    if (countdown_ != 0 && current_) {
        // Passes lost while the program could not run (a machine under
        // load) do not make the start late: the count also ends at its
        // second.
        if (--countdown_ == 0 || CTime::GetCurrentTime().GetTime() >= startDueAt_) {
            countdown_ = 0;
            StartRecording(); // not started: the next pass arms again
        }
        return;
    }
    if (CTimerEntry *due = list_.GetAt(list_.FindActive(kTimerLeadSeconds)))
        ArmTimer(*due);
}

void TimerScheduler::ArmTimer(CTimerEntry &entry)
{
    // Nine passes from the usual arming ten seconds ahead. A later arming
    // waits only until about a second before the start, so back-to-back
    // timers and a start during a broadcast lose no more of it than needed;
    // the entry whose start just failed is retried after the full count.
    int32_t countdown = kStartCountdownPasses;
    if (&entry != current_) {
        const int64_t secondsToStart =
            static_cast<int64_t>(entry.m_timeStart.GetTime()) - CTime::GetCurrentTime().GetTime();
        countdown = static_cast<int32_t>(
            std::clamp<int64_t>(secondsToStart - 1, kShortestCountdownPasses, kStartCountdownPasses));
    }
    current_ = &entry;
    SaveTimers([] { return true; });
    if (!current_)
        return; // another program removed it meanwhile
    const CTimerEntry &armed = *current_;
    shutdownPending_ = armed.m_bShutdown != 0;
    std::string fileName =
        ResolveTimerFileName(armed.m_strFileName, listener_.RecordingsFolder()).value_or(armed.m_strFileName);
    // The date goes with any day bit, also one outside the week's seven.
    if (armed.m_nDays != 0)
        fileName += CTime::GetCurrentTime().Format(kTimerDateSuffixFormat);
    timerBase_ = fileName;
    listener_.TimerArmed(fileName);
    // Not while the last recording still reads from the receiver: its end
    // would take in the new channel's first packets.
    if (recording_.Busy())
        handOver_.Begin(armed.m_nId, armed.m_nChannel, armed.m_timeStart.GetTime());
    else if (receiver_.ReceiverPresent())
        receiver_.TuneChannel(armed.m_nChannel);
    Log("channel switched - recording will be started in " + std::to_string(countdown) +
        (countdown == 1 ? " second" : " seconds"));
    countdown_ = countdown;
    startDueAt_ = static_cast<int64_t>(CTime::GetCurrentTime().GetTime()) + countdown;
}

bool TimerScheduler::StartRecording()
{
    if (!recording_.Ready())
        return false;
    RecordingRequest request = listener_.RecordingSettings();
    // A timer records under the name its entry gave when it was armed.
    request.origin = RecordingOrigin::Timer;
    const std::string chosenBase = timerBase_;
    // Nobody is there to answer: an earlier recording under the same name is
    // kept, and this one goes to the next free name.
    const bool noName = EmptyBaseName(chosenBase) || (current_ && EmptyBaseName(current_->m_strFileName));
    const std::optional<std::string> free = noName ? std::nullopt : FreeBaseName(chosenBase);
    if (!free) {
        Log(noName ? std::string(kEmptyFileName)
                   : "no free file name for \"" + chosenBase + "\": timer recording not started");
        listener_.TimerRecordingRefused();
        GiveUpCurrentTimer();
        return false;
    }
    listener_.TimerRecordingStarting(chosenBase, *free);
    request.baseName = *free;
    return recording_.Start(std::move(request));
}

void TimerScheduler::FinishHandOver()
{
    const TimerHandOver::AtTeardownEnd next = handOver_.TeardownEnded(CurrentId(), CTime::GetCurrentTime().GetTime());
    if (!next.switchChannel)
        return;
    if (receiver_.ReceiverPresent()) {
        receiver_.TuneChannel(next.channel);
        // The list follows at once, as a pass would before the start: the
        // supervision takes a difference for a channel changed by hand.
        receiver_.ShowTunedChannel();
    }
    if (!next.startNow || !on_.Get() || !recording_.Ready())
        return; // the passes count down (or arm again)
    countdown_ = 0;
    StartRecording(); // not started: the next pass arms again
}

void TimerScheduler::RecordingTornDown()
{
    // Still current: the recording ended before its stop by itself (a file
    // error, a full disk). Armed again it would record into the same files.
    // An entry handed over at the stop is the next one's.
    if (!handOver_.Pending())
        GiveUpCurrentTimer();
}

void TimerScheduler::GiveUpCurrentTimer()
{
    if (!on_.Get() || !current_)
        return;
    SaveTimers([this] {
        if (!current_)
            return false;
        if (current_->IsRepeating())
            current_->SkipDay();
        else
            current_->m_bActive = 0;
        current_ = nullptr;
        return true;
    });
    shutdownPending_ = false;
}

void TimerScheduler::StopCurrentTimer()
{
    if (!on_.Get() || !current_)
        return;
    SaveTimers([this] {
        if (!current_)
            return false;
        current_->m_bActive = 0;
        current_ = nullptr;
        return true;
    });
}

void TimerScheduler::ForgetRemovedTimer()
{
    // A recording keeps the shut-down its entry asked for: the next pass
    // stops it, and the shut-down follows once it has been torn down. An
    // entry that was only armed has recorded nothing to shut down after.
    if (!recording_.Active()) {
        countdown_ = 0;
        shutdownPending_ = false;
    }
}

// ================================================================================
// Timer mode and the list
// ================================================================================

void TimerScheduler::SetTimerMode(bool on)
{
    on_.Set(on);
    if (on) {
        current_ = nullptr;
        Log("timer enabled");
        receiver_.ShowPanelText(kPanelTimer);
        ShowNextTimer();
        return;
    }
    // An armed timer is given up with the shut-down it asked for: the
    // manual mode would otherwise power the machine off at once.
    if (current_) {
        current_ = nullptr;
        countdown_ = 0;
        shutdownPending_ = false;
    }
    receiver_.ShowPanelText(kPanelReady);
}

void TimerScheduler::ShowNextTimer()
{
    // Adjusted here first: the store is locked only when an entry moved.
    if (list_.AdjustAll()) {
        Log("Timer settings adjustet!");
        SaveTimers([this] {
            list_.AdjustAll();
            return true;
        });
    }
    const int next = list_.FindNext();
    if (next < 0) {
        Log("no active timer settings present");
        return;
    }
    const CTimerEntry &entry = *list_.GetAt(next);
    Log("next timer recording: " + receiver_.NameOfChannel(entry.m_nChannel) + ", " +
        entry.m_timeStart.Format(kTimerStartFormat) + " to " + entry.m_timeStop.Format(kTimerStopFormat));
    if (entry.m_bShutdown)
        Log(power_ ? "system will be shut down after this recording"
                   : "system will not be shut down after this recording: shutting down is switched off for this run");
}

void TimerScheduler::LoadStore()
{
    current_ = nullptr; // the entries are replaced
    TimerStoreError error;
    if ((!list_.Load(error) && !error.fileMissing) || error.damaged)
        Log(error.text);
}

void TimerScheduler::EditTimers(std::vector<std::string> channelNames, int selectedChannel,
                                const std::function<bool(TimerDialogModel &)> &run)
{
    if (dialogOpen_)
        return;
    PickUpStoreChanges();
    TimerDialogModel model(list_, std::move(channelNames), selectedChannel);
    model.SetRecordingsFolder(listener_.RecordingsFolder());
    // The supervision goes on while the dialog is open; it leaves the store
    // file alone until the dialog has ended.
    dialogOpen_ = true;
    const bool ok = run(model);
    dialogOpen_ = false;
    if (!ok)
        return;
    const std::optional<int32_t> currentId = CurrentId();
    SaveTimers([&model] {
        model.OnOK();
        return true;
    });
    if (currentId) {
        // Entries keep their objects; a deleted one is gone.
        current_ = FindById(*currentId);
        if (!current_)
            ForgetRemovedTimer();
    }
    if (on_.Get() && recording_.Ready())
        ShowNextTimer();
}

TimerStoreHooks TimerScheduler::StoreHooks()
{
    TimerStoreHooks hooks;
    hooks.report = [this](const std::string &line) { Log(line); };
    // Entries read again keep their ids when unchanged.
    hooks.reloaded = [this, currentId = CurrentId()] {
        Log("timer settings reloaded");
        current_ = currentId ? FindById(*currentId) : nullptr;
        // Removed: a running recording stops on the next pass and the
        // shut-down it asked for follows; an armed one is not started.
        if (currentId && !current_)
            ForgetRemovedTimer();
    };
    return hooks;
}

void TimerScheduler::SaveTimers(const std::function<bool()> &change)
{
    saveFailed_ = !ChangeTimerStore(list_, change, StoreHooks());
}

void TimerScheduler::PickUpStoreChanges()
{
    if (dialogOpen_ || !PickUpTimerStoreChanges(list_, StoreHooks()))
        return;
    if (on_.Get() && recording_.Ready())
        ShowNextTimer();
}

CTimerEntry *TimerScheduler::FindById(int32_t id) const
{
    for (int i = 0; i < list_.GetCount(); ++i)
        if (list_.GetAt(i)->m_nId == id)
            return list_.GetAt(i);
    return nullptr;
}

std::optional<int32_t> TimerScheduler::CurrentId() const
{
    return current_ ? std::optional<int32_t>(current_->m_nId) : std::nullopt;
}

// ================================================================================
// Shut-down
// ================================================================================

bool TimerScheduler::RunShutdown(bool timerVariant)
{
    // Cleared first: a refused request is not repeated on the next pass.
    shutdownPending_ = false;
    if (!power_) {
        Log("shut-down skipped: shutting down is switched off for this run");
        return false;
    }
    if (timerVariant) {
        // Switched off now, the machine could not be woken in time for it.
        if (const auto next = NextTimerWithinWakeUpLead(list_)) {
            Log("shut-down skipped: next timer recording starts at " + next->Format(kShutdownSkippedTimeFormat));
            return false;
        }
    }
    const LogFunction log = [this](const std::string &line) { Log(line); };
    ShutdownHooks hooks;
    hooks.log = log;
    if (receiver_.ReceiverPresent())
        hooks.switchOffReceiver = [this] { receiver_.SwitchOff(); };
    hooks.showLog = [this] { listener_.ShowLogNow(); };
    if (timerVariant && wakeAlarm_)
        hooks.setWakeUp = [this, log] { SetWakeUpForNextTimer(list_, *wakeAlarm_, log); };
    if (!ShutdownSystem(timerVariant ? ShutdownVariant::Timer : ShutdownVariant::Manual, *power_, hooks))
        return false;
    listener_.CloseForShutdown();
    return true;
}

} // namespace quelmar
