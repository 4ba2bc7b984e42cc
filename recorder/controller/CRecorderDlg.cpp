#include "controller/CRecorderDlg.h"

#include "binding/ReceiverLibrary.h"
#include "binding/RemuxerBinding.h"
#include "controller/EngineBridge.h"
#include "controller/ModeControls.h"
#include "controller/OutputFileChecks.h"
#include "controller/RecordingControls.h"
#include "engine/EventLog.h"
#include "engine/PollingThread.h"
#include "engine/RecordingThread.h"
#include "platform/SystemPower.h"
#include "timers/TimerDialogModel.h"
#include "timers/TimerFileName.h"

#include <optional>
#include <utility>

namespace quelmar {

namespace {

constexpr char kClockFormat[] = "%H:%M:%S";
constexpr char kDateFormat[] = "%A, %d. %B %Y";

} // namespace

// ================================================================================
// Construction and the model
// ================================================================================

CRecorderDlg::CRecorderDlg(CRecorderApp &app, MainView &view, UiDispatcher &dispatcher, Setup setup)
    : m_pApp(&app), m_pView(&view), m_pDispatcher(&dispatcher),
      m_stSetup(WithDefaults(std::move(setup), app.m_strProgramDir))
{
    m_pSession = std::make_unique<ReceiverSession>(static_cast<ReceiverListener &>(*this), m_stSetup.makeReceiver,
                                                   m_stSetup.rescanHelperPath);

    m_pRemuxer = m_stSetup.makeRemuxer();
    m_pRecording = std::make_unique<RecordingService>();
    m_pBridge = EngineBridge::Create(*m_pDispatcher, [this](EngineUpdates &&u) { ApplyEngineUpdates(std::move(u)); });
    m_pBoard = std::make_unique<ControlBoard>(*m_pView, *m_pBridge);
    m_pPanel = std::make_unique<RecordingPanel>(*m_pBoard, *m_pView, *m_pApp, *m_pRecording);
    m_pOptions = std::make_unique<OptionsMenu>(*m_pBoard, *m_pSession, *m_pApp, *m_pRecording);
    m_pRecordingControls = std::make_unique<RecordingControls>(m_pBridge->View(), m_pRecording->Context());
    m_pRecording->SetEvents(m_pRecordingControls.get());
    m_pRecording->SetMultiplexer(m_pRemuxer.get());
    TimerSchedulerParts parts;
    parts.recording = m_pRecording.get();
    parts.receiver = m_pSession.get();
    parts.listener = this;
    parts.ticks = m_stSetup.supervisionTicks;
    parts.storePath = m_stSetup.timerStorePath;
    parts.power = m_stSetup.power;
    parts.wakeAlarm = m_stSetup.wakeAlarm;
    m_pScheduler = std::make_unique<TimerScheduler>(std::move(parts));
    m_pRecordingControls->timerMode = m_pScheduler->TimerModeReader();
    // The end of a timer recording asks for the next-timer report on the
    // recording thread; the timer list belongs to this thread.
    m_pRecordingControls->stoppedInTimerMode = [bridge = std::weak_ptr<EngineBridge>(m_pBridge), this] {
        if (const auto alive = bridge.lock())
            alive->PostToWindow([this] { m_pScheduler->ShowNextTimer(); });
    };
    // An entry handed over at a timer recording's stop starts as soon as the
    // teardown has ended, not on the next pass.
    m_pRecording->SetEndNotice([bridge = std::weak_ptr<EngineBridge>(m_pBridge), this] {
        if (const auto alive = bridge.lock())
            alive->PostToWindow([this] {
                if (m_pScheduler->HandOverPending() && !m_bEnded)
                    CheckRecordingEnd();
            });
    });
}

CRecorderDlg::~CRecorderDlg()
{
    // The engine uses the service, the listener and the bridge until it
    // sets ready.
    m_pRecording->StopAndWait();
    m_pScheduler.reset();
    m_pBridge->Detach();
    m_pRecording->SetReceiver(nullptr);
    m_pRecording->SetMultiplexer(nullptr);
    m_pSession.reset();
    m_pRemuxer.reset();
}

void CRecorderDlg::FlushEngineUpdates() { m_pBridge->Flush(); }

void CRecorderDlg::ApplyEngineUpdates(EngineUpdates &&updates)
{
    m_pBoard->ApplyEngineUpdates(std::move(updates));
    CheckRecordingEnd();
}

bool CRecorderDlg::ReceiverReady() const { return m_pRecording->Ready(); }

bool CRecorderDlg::RecordingActive() const { return m_pRecording->Active(); }

bool CRecorderDlg::RecordingBusy() const { return m_pRecording->Busy(); }

uint32_t CRecorderDlg::SplitSizeMb() const { return m_pRecording->SplitSize(); }

const RecordingContext &CRecorderDlg::Context() const { return m_pRecording->Context(); }

// ================================================================================
// Start-up and bring-up
// ================================================================================

void CRecorderDlg::OnInitDialog()
{
    // The view learns the whole initial state first.
    m_pBoard->ShowAll();

    // Menu check marks from the settings.
    m_pOptions->ShowSettings();

    // Controls from the settings.
    m_pPanel->ShowSettings();

    BringUpReceiver();
}

void CRecorderDlg::BringUpReceiver()
{
    if (RecordingBusy()) {
        // A recording is ending: its stop routine still returns the controls
        // to Ready and sets ready. Bring-up follows the teardown, so that what
        // it finds is what the window shows afterwards.
        m_bBringUpPending = true;
        return;
    }
    // 1-2: a clean start: no supervision; the session binds anew.
    KillSupervision();
    m_pRecording->SetReceiver(nullptr);

    // 3-6: the No receiver column.
    m_pPanel->ResetStreamChoices();
    ShowNoReceiver(*m_pBoard);
    m_pRecording->Reset();

    // 7-9: what the binding found; a found receiver's channel list.
    const bool found = m_pSession->BringUp(m_pApp->m_nScsiMode);
    m_pRecording->SetReceiver(m_pSession->Binding());
    if (found) {
        StartSupervision();
        m_pScheduler->LoadStore();
        m_pRecording->SetReady(true);
        ShowReceiverFound(*m_pBoard);
        ShowClock();
    }

    // 11: the multiplexer.
    if (ReportMultiplexer(*m_pRemuxer, [](const std::string &line) { LogEvent(line); })) {
        m_pRecording->SetMultiplexerAvailable(true);
        if (found) {
            m_pPanel->ShowSavedStreamChoices();
            ShowMultiplexerUsable(*m_pBoard);
        }
    } else {
        m_pPanel->DropElementaryChoices();
    }
    // The Ready column: the video delay field, box 1012 and picker 1043
    // follow the stream rule from the start.
    if (found)
        m_pPanel->ApplyStreamRule();

    // 12
    SetTimerMode(m_pRecording->Ready() && m_pApp->m_bTimerEnabled != 0);
}

void CRecorderDlg::ReceiverLog(const std::string &line) { LogEvent(line); }

void CRecorderDlg::ReceiverFound()
{
    // The line shows at once, before the slow channel table is read.
    FlushEngineUpdates();
    m_pView->UpdateWindow();
}

void CRecorderDlg::ChannelListLoaded(const std::vector<std::string> &names, int tunedIndex)
{
    m_pBoard->SetItems(ControlId::ChannelList, names);
    m_pBoard->SetSelection(ControlId::ChannelList, tunedIndex);
}

void CRecorderDlg::StartSupervision() { m_pScheduler->StartSupervision(); }

void CRecorderDlg::KillSupervision() { m_pScheduler->StopSupervision(); }

void CRecorderDlg::ShowClock()
{
    const CTime now = CTime::GetCurrentTime();
    m_pBoard->SetText(ControlId::Clock, now.Format(kClockFormat));
    m_pBoard->SetText(ControlId::Date, now.Format(kDateFormat));
}

// ================================================================================
// Recording controls
// ================================================================================

void CRecorderDlg::OnRecord()
{
    // As in the window, a disabled button does nothing (timer mode starts
    // its recordings itself).
    if (!m_pBoard->Control(ControlId::Record).enabled)
        return;
    if (m_pRecording->Active()) {
        if (m_pRecording->Paused()) {
            OnPause(); // resumes
            if (m_pScheduler->TimerModeOn())
                m_pBoard->SetEnabled(ControlId::Record, false);
            return;
        }
        m_pPanel->ExtendStop(); // half an hour more
        return;
    }
    StartRecording();
}

bool CRecorderDlg::StartRecording()
{
    // Only a ready recorder starts: a receiver is up and no recording is
    // being started, run or torn down.
    if (!ReceiverReady())
        return false;
    if (m_pScheduler->TimerModeOn())
        return m_pScheduler->StartRecording();
    RecordingRequest request = m_pPanel->Request();
    request.origin = RecordingOrigin::User;
    const std::string base = request.baseName;
    if (EmptyBaseName(base)) {
        m_pView->ShowMessage(kEmptyFileName, kFileSaveAsCaption, MessageIcon::Warning);
        m_lastOutcome = RecordingOutcome::FilesRefused;
        return false;
    }
    OutputCheck check = CheckOutputNames(*m_pView, base, request.outputs);
    if (!check.go) {
        m_lastOutcome = RecordingOutcome::FilesRefused;
        return false;
    }
    request.overwriteAgreed = std::move(check.agreed);
    PrepareStart(base, base, false);
    return m_pRecording->Start(std::move(request));
}

void CRecorderDlg::PrepareStart(const std::string &chosenBase, const std::string &base, bool timerMode)
{
    ShowRecordingStarting(*m_pBoard);
    m_pOptions->ApplyToReceiver();
    m_pBoard->ClearLog();
    if (base != chosenBase) {
        LogEvent("file name \"" + chosenBase + "\" is in use: recording into \"" + base + "\" instead");
        m_pBoard->SetText(ControlId::FileName, base);
    }
    m_pPanel->ResetStopAt(!timerMode);
    m_currentOutcome = RecordingOutcome::Normal;
    m_lastOutcome = RecordingOutcome::None;
}

RecordingFigures CRecorderDlg::Figures() const { return m_pRecordingControls->Figures(); }

bool CRecorderDlg::TimerModeOn() const { return m_pScheduler->TimerModeOn(); }

bool CRecorderDlg::CheckOutputFiles()
{
    return CheckOutputNames(*m_pView, m_pBoard->Control(ControlId::FileName).text, m_pPanel->SelectedOutputs()).go;
}

void CRecorderDlg::OnPause()
{
    if (!m_pBoard->Control(ControlId::Pause).enabled)
        return;
    if (!m_pRecording->Active()) {
        if (!ReceiverReady())
            return;
        // A start from Pause begins paused. When the start does not happen
        // the button and the flag go back, so that the next start is not
        // silently paused.
        m_pRecording->SetPaused(true);
        m_pBoard->SetText(ControlId::Pause, kCaptionResume);
        if (!StartRecording()) {
            m_pRecording->SetPaused(false);
            m_pBoard->SetText(ControlId::Pause, kCaptionPause);
        }
        return;
    }
    const bool timerMode = m_pScheduler->TimerModeOn();
    if (!m_pRecording->Paused()) {
        m_pRecording->SetPaused(true);
        m_pBoard->SetText(ControlId::Pause, kCaptionResume);
        if (timerMode)
            m_pBoard->SetEnabled(ControlId::Record, true);
    } else {
        m_pRecording->SetPaused(false);
        m_pBoard->SetText(ControlId::Pause, kCaptionPause);
        if (timerMode)
            m_pBoard->SetEnabled(ControlId::Record, false);
    }
}

void CRecorderDlg::OnStop()
{
    if (!m_pRecording->Active())
        return;
    // A timer recording stopped by hand: its entry takes no further part.
    m_pScheduler->StopCurrentTimer();
    ShowRecordingStopping(*m_pBoard);
    m_pRecording->Stop();
    m_pScheduler->SetShutdownPending(false);
}

void CRecorderDlg::OnSplitNow()
{
    if (!m_pRecording->Active())
        return;
    m_pBoard->SetEnabled(ControlId::SplitNow, false);
    m_pRecording->Split();
}

void CRecorderDlg::OnChannelSelected(int index)
{
    if (index < 0 || index >= static_cast<int>(m_pSession->Channels().size()))
        return;
    m_pBoard->SetSelection(ControlId::ChannelList, index);
    // The next supervision pass comes a full second after the switch.
    if (m_pScheduler->Supervising())
        StartSupervision();
    m_pSession->SetChannel(static_cast<uint16_t>(index + 1));
}

// ================================================================================
// Closing
// ================================================================================

void CRecorderDlg::OnCancel()
{
    // Escape is the keyboard's Power Off: while a recording is started,
    // runs or is torn down the button is disabled, and so is the key.
    if (m_bEnded || RecordingBusy())
        return;
    PowerOff();
}

void CRecorderDlg::PowerOff()
{
    if (m_bEnded)
        return;
    m_pSession->SwitchOff();
    KillSupervision();
    if (m_bHelperTimer) {
        m_pView->KillWindowTimer(kTimerHelperWait);
        m_bHelperTimer = false;
    }
    m_bEnded = true;
    FlushEngineUpdates();
    m_pView->EndDialog();
}

void CRecorderDlg::OnClose()
{
    if (m_bEnded)
        return;
    if (RecordingBusy()) {
        // Also after Stop, while the recording thread is still finishing:
        // the window ends once the teardown is complete. Quitting the
        // program (a system going down) gives up no repeating timer.
        StopUnplanned();
        m_bClosePending = true;
        return;
    }
    PowerOff();
}

void CRecorderDlg::CheckRecordingEnd()
{
    // Taken first, so that the flush below does not come back here.
    const std::optional<uint32_t> result = m_pRecording->TakeEnd();
    if (!result)
        return;
    RecordingOutcome outcome = m_currentOutcome;
    if (outcome == RecordingOutcome::Normal && *result == kRecordingFailed)
        outcome = RecordingOutcome::Failed;
    m_pBridge->Flush(); // the stop routine's last updates
    m_lastOutcome = outcome;

    // Still current: the recording ended before its stop by itself (a file
    // error, a full disk). Armed again it would record into the same files.
    // An entry handed over at the stop is the next one's.
    m_pScheduler->RecordingTornDown();
    if (m_bBringUpPending) {
        m_bBringUpPending = false;
        BringUpReceiver();
    }
    m_pView->RecordingFinished(outcome);
    if (m_bClosePending && !m_bEnded)
        PowerOff();
    if (!m_bEnded)
        m_pScheduler->FinishHandOver();
}

// ================================================================================
// Menu commands
// ================================================================================

void CRecorderDlg::OnMenuCommand(MenuItemId item)
{
    switch (item) {
    case MenuItemId::ScsiBusy:
    case MenuItemId::ScsiCheckCondition:
    case MenuItemId::ScsiAuto: OnScsiMode(item); break;
    case MenuItemId::RemoteDisable: OnRemoteToggle(); break;
    case MenuItemId::PriorityRealTime:
    case MenuItemId::PriorityNormal:
    case MenuItemId::PriorityIdle:
    case MenuItemId::PriorityHigh: OnPriority(item); break;
    case MenuItemId::TimerEdit: OnTimerEdit(); break;
    case MenuItemId::TimerEnable: OnTimerEnable(); break;
    case MenuItemId::SpeedTest: OnSpeedTest(); break;
    case MenuItemId::PanicMode: OnPanicMode(); break;
    case MenuItemId::RescanBus: OnRescanBus(); break;
    case MenuItemId::LogInfos: OnLogInfos(); break;
    case MenuItemId::SystemClose: OnClose(); break;
    }
}

void CRecorderDlg::OnSpeedTest()
{
    m_pView->ShowMessage(m_pSession->SpeedTest(), kSpeedTestCaption, MessageIcon::None);
}

void CRecorderDlg::OnRescanBus()
{
    if (RecordingBusy() || m_pSession->HelperRunning())
        return;
    m_pView->SetWaitCursor(true);
    switch (m_pSession->StartRescan()) {
    case ReceiverSession::Rescan::Done:
        BringUpReceiver();
        m_pView->SetWaitCursor(false);
        break;
    case ReceiverSession::Rescan::HelperFailed: m_pView->SetWaitCursor(false); break;
    case ReceiverSession::Rescan::HelperStarted:
        KillSupervision();
        m_bHelperTimer = m_pView->StartWindowTimer(kTimerHelperWait, kHelperWaitPeriodMs);
        break;
    }
}

void CRecorderDlg::OnHelperTick()
{
    if (!m_pSession->HelperEnded())
        return;
    m_pView->KillWindowTimer(kTimerHelperWait);
    m_bHelperTimer = false;
    BringUpReceiver();
    m_pView->SetWaitCursor(false);
}

// ================================================================================
// Timer mode
// ================================================================================

void CRecorderDlg::OnTimerEnable()
{
    if (m_pBoard->MenuItem(MenuItemId::TimerEnable).checked) {
        SetTimerMode(false); // no change while the recorder is not ready
        LogEvent("timer disabled");
    } else {
        SetTimerMode(true);
    }
}

void CRecorderDlg::OnTimerEdit()
{
    if (m_bEnded)
        return;
    m_pScheduler->EditTimers(m_pBoard->Control(ControlId::ChannelList).items,
                             m_pBoard->Selection(ControlId::ChannelList), [this](TimerDialogModel &model) {
                                 const bool ok = m_pView->RunTimerDialog(model, [this](const std::string &path) {
                                     return AcceptTimerFileName(*m_pView, path);
                                 });
                                 return ok && !m_bEnded;
                             });
}

void CRecorderDlg::SetTimerMode(bool on)
{
    if (!ReceiverReady())
        return;
    m_pBoard->SetMenuChecked(MenuItemId::TimerEnable, on);
    if (on) {
        ShowTimerModeOn(*m_pBoard);
        m_pScheduler->SetTimerMode(true);
    } else {
        m_pScheduler->SetTimerMode(false);
        ShowTimerModeOff(*m_pBoard, m_pRecording->MultiplexerAvailable());
        if (m_pRecording->MultiplexerAvailable())
            m_pPanel->VideoDelayRule();
    }
    m_pApp->m_bTimerEnabled = on ? 1 : 0;
}

void CRecorderDlg::ShowNextTimer() { m_pScheduler->ShowNextTimer(); }

// ================================================================================
// Supervision
// ================================================================================

void CRecorderDlg::OnTimer(int id)
{
    if (m_bEnded)
        return;
    if (id == kTimerHelperWait) {
        OnHelperTick();
        return;
    }
    if (id == kTimerSupervision)
        m_pScheduler->SupervisionPass();
}

bool CRecorderDlg::SuperviseBeforeTimers()
{
    if (m_bEnded)
        return false;
    CheckRecordingEnd();
    if (m_bEnded)
        return false;
    // Step 1: receiver watchdog and channel follow-up.
    if (!m_bBringUpPending)
        m_pSession->Watch();
    // Step 2: clock.
    ShowClock();
    return true; // step 3: timer mode, or the panic-mode names and the shut-down
}

void CRecorderDlg::SuperviseManualMode()
{
    // Also while a recording is torn down: its files are named already.
    if (!m_pRecording->Active() && m_pApp->m_bPanicMode != 0)
        m_pPanel->PanicModeRename(SelectedChannelName());
}

void CRecorderDlg::SuperviseAfterTimers()
{
    // After step 4 (the shut-down).
    if (!m_bEnded && !RecordingBusy() && m_bClosePending)
        PowerOff();
    if (m_bEnded)
        return;
    if (m_pRecording->Active() && m_pPanel->StopTimeReached()) {
        OnStop();
        m_pScheduler->SetShutdownPending(m_pBoard->Checked(ControlId::ShutdownBox));
    }
}

void CRecorderDlg::ReceiverLost()
{
    if (m_pRecording->Active()) {
        m_currentOutcome = RecordingOutcome::ReceiverLost;
        StopUnplanned();
    }
    BringUpReceiver(); // after the teardown when a recording is busy
}

void CRecorderDlg::TunedChannelRead(int index)
{
    if (m_pView->ChannelListDroppedDown() || m_pBoard->Selection(ControlId::ChannelList) == index)
        return;
    m_pBoard->SetSelection(ControlId::ChannelList, index);
    if (m_pRecording->Active()) {
        LogEvent("channel changed during recording!");
        m_currentOutcome = RecordingOutcome::ChannelChanged;
        StopUnplanned();
    }
}

std::string CRecorderDlg::SelectedChannelName() const
{
    // The list's index 0 is channel 1; no selection (-1) names no channel.
    const int index = m_pBoard->Selection(ControlId::ChannelList);
    return index < 0 ? std::string() : m_pSession->NameOfChannel(static_cast<uint16_t>(index + 1));
}

void CRecorderDlg::TunedChannelShown(int index) { m_pBoard->SetSelection(ControlId::ChannelList, index); }

void CRecorderDlg::StopUnplanned()
{
    m_pScheduler->GiveUpCurrentTimer();
    OnStop();
}

// ================================================================================
// What the scheduler tells the window
// ================================================================================

void CRecorderDlg::TimerLog(const std::string &line) { LogEvent(line); }

void CRecorderDlg::TimerArmed(const std::string &fileBase) { m_pBoard->SetText(ControlId::FileName, fileBase); }

void CRecorderDlg::TimerRecordingStopping()
{
    m_pBoard->SetEnabled(ControlId::Stop, false);
    m_pBoard->SetEnabled(ControlId::Pause, false);
}

void CRecorderDlg::TimerRecordingStarting(const std::string &chosenBase, const std::string &base)
{
    PrepareStart(chosenBase, base, true);
}

void CRecorderDlg::TimerRecordingRefused() { m_lastOutcome = RecordingOutcome::FilesRefused; }

void CRecorderDlg::ShowLogNow()
{
    FlushEngineUpdates();
    m_pView->UpdateWindow();
}

void CRecorderDlg::CloseForShutdown() { OnCancel(); }

RecordingRequest CRecorderDlg::RecordingSettings() const { return m_pPanel->Request(); }

std::string CRecorderDlg::RecordingsFolder() const { return quelmar::RecordingsFolder(m_pApp->m_strFile); }

} // namespace quelmar
