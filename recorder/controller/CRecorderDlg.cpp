#include "controller/CRecorderDlg.h"

#include "binding/ReceiverLibrary.h"
#include "binding/RemuxerBinding.h"
#include "controller/EngineBridge.h"
#include "controller/InitialControls.h"
#include "controller/OutputFileChecks.h"
#include "controller/RecordingControls.h"
#include "engine/EventLog.h"
#include "engine/PollingThread.h"
#include "engine/RecordingThread.h"
#include "platform/LocalTime.h"
#include "platform/SystemPower.h"
#include "quelmar_modules.h"
#include "timers/ShutdownSequence.h"
#include "timers/TimerDialogModel.h"
#include "timers/TimerFileName.h"
#include "timers/TimerStore.h"
#include "timers/Windows1252.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <set>
#include <utility>

namespace quelmar {

namespace {

// ---- texts ---------------------------------------------------------------------
constexpr char kClockFormat[] = "%H:%M:%S";
constexpr char kDateFormat[] = "%A, %d. %B %Y";
constexpr char kTimerStartFormat[] = "%A, %B %d, %Y, %X";
constexpr char kTimerStopFormat[] = "%X";
// Data exchange of the two number fields: the platform's refusal texts.
constexpr char kFieldCaption[] = "QuelmarRecorder";
constexpr char kNeedPositiveInteger[] = "Please enter a positive integer.";
constexpr char kNeedInteger[] = "Please enter an integer.";
// Front-panel texts of timer mode, eight characters each.
constexpr char kPanelTimer[] = " timer  ";
// Suffix of a repeating timer's file name: the date it records on.
constexpr char kTimerDateSuffixFormat[] = ", %d-%m-%Y";
constexpr char kShutdownSkippedTimeFormat[] = "%X";
constexpr char kEmptyFileName[] = "The file name is empty! Choose a file name (without extension) first.";

// ---- window values ---------------------------------------------------------------
constexpr int32_t kExtendSeconds = 1800; // Record during a recording, and a stop-at time already past
constexpr int kChoiceNothing = static_cast<int>(OutputChoice::Nothing);
constexpr int kChoiceRaw = static_cast<int>(OutputChoice::Raw);
constexpr int kChoiceElementary = static_cast<int>(OutputChoice::Elementary);
constexpr int kTopMenuCount = 5;
// A timer is armed this many seconds before its start ...
constexpr int32_t kTimerLeadSeconds = 10;
// ... and its recording started after this many supervision passes (about a
// second before the start).
constexpr int32_t kStartCountdownPasses = 9;
// A timer armed later than that (its start is near or past: a recording
// before it ended late, or the program came up during it) counts down only
// to about a second before its start, and at least this many passes.
constexpr int32_t kShortestCountdownPasses = 1;

// Digits with an optional sign, nothing else (blanks around are allowed).
template <typename T>
std::optional<T> ParseNumber(const std::string &text)
{
    const size_t first = text.find_first_not_of(" \t");
    const size_t last = text.find_last_not_of(" \t");
    if (first == std::string::npos)
        return std::nullopt;
    std::string_view digits(text.data() + first, last - first + 1);
    if (!digits.empty() && digits.front() == '+')
        digits.remove_prefix(1);
    T value{};
    const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (result.ec != std::errc() || result.ptr != digits.data() + digits.size())
        return std::nullopt;
    return value;
}

// A list selection as an output choice; nothing selected saves nothing.
OutputChoice ChoiceOf(int selection)
{
    switch (selection) {
    case kChoiceRaw: return OutputChoice::Raw;
    case kChoiceElementary: return OutputChoice::Elementary;
    default: return OutputChoice::Nothing;
    }
}

} // namespace

// ================================================================================
// Construction and the model
// ================================================================================

CRecorderDlg::CRecorderDlg(CRecorderApp &app, MainView &view, UiDispatcher &dispatcher, Setup setup)
    : m_pApp(&app), m_pView(&view), m_pDispatcher(&dispatcher), m_stSetup(std::move(setup))
{
    if (!m_stSetup.makeReceiver)
        m_stSetup.makeReceiver = [] { return std::make_unique<ReceiverLibrary>(); };
    if (!m_stSetup.makeRemuxer)
        m_stSetup.makeRemuxer = [] {
            return std::make_unique<RemuxerBinding>(RemuxerBinding::DefaultModule(), RemuxerBinding::DefaultModule());
        };
    if (m_stSetup.rescanHelperPath.empty())
        m_stSetup.rescanHelperPath = m_pApp->m_strProgramDir + "/" + modules::kRescanHelper;
    m_pSession = std::make_unique<ReceiverSession>(static_cast<ReceiverListener &>(*this), m_stSetup.makeReceiver,
                                                   m_stSetup.rescanHelperPath);
    m_timerList.m_strPath = m_stSetup.timerStorePath.empty() ? DefaultTimerStorePath() : m_stSetup.timerStorePath;

    m_mapControls = InitialControls();
    m_mapMenu = InitialMenuItems();

    m_pRemuxer = m_stSetup.makeRemuxer();
    m_pRecording = std::make_unique<RecordingService>();
    m_pRecording->SetSplitSize(m_pApp->m_nSplitSize);
    m_nVideoDelay =
        static_cast<int16_t>(std::clamp<int32_t>(m_pApp->m_nVideoDelay, kMinVideoDelayMs, kMaxVideoDelayMs));
    m_pBridge = EngineBridge::Create(*m_pDispatcher, [this](EngineUpdates &&u) { ApplyEngineUpdates(std::move(u)); });
    m_pRecordingControls = std::make_unique<RecordingControls>(m_pBridge->View(), m_pRecording->Context());
    m_pRecording->SetEvents(m_pRecordingControls.get());
    m_pRecording->SetMultiplexer(m_pRemuxer.get());
    // The end of a timer recording asks for the next-timer report on the
    // recording thread; the timer list belongs to this thread.
    m_pRecordingControls->stoppedInTimerMode = [bridge = std::weak_ptr<EngineBridge>(m_pBridge), this] {
        if (const auto alive = bridge.lock())
            alive->PostToWindow([this] { ShowNextTimer(); });
    };
    // An entry handed over at a timer recording's stop starts as soon as the
    // teardown has ended, not on the next pass.
    m_pRecording->SetEndNotice([bridge = std::weak_ptr<EngineBridge>(m_pBridge), this] {
        if (const auto alive = bridge.lock())
            alive->PostToWindow([this] {
                if (m_timerHandOver.Pending() && !m_bEnded)
                    CheckRecordingEnd();
            });
    });
}

CRecorderDlg::~CRecorderDlg()
{
    // The engine uses the service, the listener and the bridge until it
    // sets ready.
    m_pRecording->StopAndWait();
    m_pBridge->Detach();
    m_pRecording->SetReceiver(nullptr);
    m_pRecording->SetMultiplexer(nullptr);
    m_pSession.reset();
    m_pRemuxer.reset();
}

const ControlState &CRecorderDlg::Control(ControlId id) const { return m_mapControls.at(id); }
const MenuItemState &CRecorderDlg::MenuItem(MenuItemId id) const { return m_mapMenu.at(id); }
bool CRecorderDlg::TopMenuEnabled(TopMenu menu) const { return m_topMenus[static_cast<size_t>(menu)]; }
ControlState &CRecorderDlg::MutableControl(ControlId id) { return m_mapControls.at(id); }
void CRecorderDlg::Notify(ControlId id) { m_pView->ControlChanged(id, m_mapControls.at(id)); }

template <typename T>
void CRecorderDlg::Change(ControlId id, T ControlState::*field, T value)
{
    auto &state = MutableControl(id);
    if (state.*field == value)
        return;
    state.*field = std::move(value);
    Notify(id);
}

void CRecorderDlg::SetEnabled(ControlId id, bool enabled)
{
    if (!m_bApplyingEngine)
        m_pBridge->Supersede(id, EngineBridge::Attribute::Enabled);
    Change(id, &ControlState::enabled, enabled);
}

void CRecorderDlg::SetShown(ControlId id, bool shown)
{
    if (!m_bApplyingEngine)
        m_pBridge->Supersede(id, EngineBridge::Attribute::Shown);
    Change(id, &ControlState::shown, shown);
}

void CRecorderDlg::SetChecked(ControlId id, bool checked) { Change(id, &ControlState::checked, checked); }

void CRecorderDlg::SetText(ControlId id, const std::string &text)
{
    if (!m_bApplyingEngine)
        m_pBridge->Supersede(id, EngineBridge::Attribute::Text);
    Change(id, &ControlState::text, text);
}

void CRecorderDlg::SetItems(ControlId id, std::vector<std::string> items)
{
    auto &state = MutableControl(id);
    if (state.items == items)
        return;
    state.items = std::move(items);
    if (state.selection >= static_cast<int>(state.items.size()))
        state.selection = -1;
    Notify(id);
}

void CRecorderDlg::SetSelection(ControlId id, int index)
{
    auto &state = MutableControl(id);
    // An index outside the list selects nothing, as a drop list does.
    if (index < 0 || index >= static_cast<int>(state.items.size()))
        index = -1;
    if (state.selection == index)
        return;
    state.selection = index;
    Notify(id);
}

void CRecorderDlg::SetTimeOfDay(ControlId id, int seconds) { Change(id, &ControlState::timeOfDay, seconds); }

void CRecorderDlg::ChangeMenu(MenuItemId id, bool MenuItemState::*field, bool value)
{
    auto &state = m_mapMenu.at(id);
    if (state.*field == value)
        return;
    state.*field = value;
    m_pView->MenuItemChanged(id, state);
}

void CRecorderDlg::SetMenuEnabled(MenuItemId id, bool enabled)
{
    if (!m_bApplyingEngine)
        m_pBridge->Supersede(id);
    ChangeMenu(id, &MenuItemState::enabled, enabled);
}

void CRecorderDlg::SetMenuChecked(MenuItemId id, bool checked) { ChangeMenu(id, &MenuItemState::checked, checked); }

void CRecorderDlg::SetTopMenu(TopMenu menu, bool enabled)
{
    bool &state = m_topMenus[static_cast<size_t>(menu)];
    if (state == enabled)
        return;
    state = enabled;
    m_pView->TopMenuChanged(menu, enabled);
}

void CRecorderDlg::AppendLogLines(const std::vector<std::string> &lines)
{
    if (lines.empty())
        return;
    m_logLines.insert(m_logLines.end(), lines.begin(), lines.end());
    m_pView->LogLinesAppended(lines);
}

void CRecorderDlg::ClearLog()
{
    // Lines logged before the start that have not reached the list yet
    // belong to what is emptied now.
    m_pBridge->Flush();
    m_logLines.clear();
    m_pView->LogCleared();
}

void CRecorderDlg::FlushEngineUpdates() { m_pBridge->Flush(); }

void CRecorderDlg::ApplyEngineUpdates(EngineUpdates &&updates)
{
    m_bApplyingEngine = true;
    for (const auto &[id, text] : updates.texts)
        SetText(id, text);
    for (const auto &[id, on] : updates.enabled)
        SetEnabled(id, on);
    for (const auto &[id, on] : updates.shown)
        SetShown(id, on);
    for (const auto &[id, on] : updates.menuEnabled)
        SetMenuEnabled(id, on);
    for (auto &[pane, content] : updates.panes) {
        const auto id = static_cast<ControlId>(pane);
        std::vector<std::string> items = content.cleared ? std::vector<std::string>{} : Control(id).items;
        items.insert(items.end(), content.lines.begin(), content.lines.end());
        SetItems(id, std::move(items));
    }
    m_bApplyingEngine = false;
    AppendLogLines(updates.logLines);
    CheckRecordingEnd();
}

bool CRecorderDlg::ReceiverPresent() const { return m_pSession->Present(); }

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
    for (const auto &[id, state] : m_mapControls)
        m_pView->ControlChanged(id, state);
    for (const auto &[id, state] : m_mapMenu)
        m_pView->MenuItemChanged(id, state);
    for (int menu = 0; menu < kTopMenuCount; ++menu)
        m_pView->TopMenuChanged(static_cast<TopMenu>(menu), m_topMenus[static_cast<size_t>(menu)]);

    // Menu check marks from the settings.
    MenuItemId scsiItem = MenuItemId::ScsiAuto;
    if (m_pApp->m_nScsiMode == kScsiModeCheckCondition)
        scsiItem = MenuItemId::ScsiCheckCondition;
    else if (m_pApp->m_nScsiMode == kScsiModeBusy)
        scsiItem = MenuItemId::ScsiBusy;
    else
        m_pApp->m_nScsiMode = kScsiModeAuto;
    SetMenuChecked(scsiItem, true);
    MenuItemId priorityItem = MenuItemId::PriorityRealTime;
    switch (PriorityClassOf(m_pApp->m_nPriorityClass)) {
    case PriorityClass::Normal: priorityItem = MenuItemId::PriorityNormal; break;
    case PriorityClass::Idle: priorityItem = MenuItemId::PriorityIdle; break;
    case PriorityClass::High: priorityItem = MenuItemId::PriorityHigh; break;
    case PriorityClass::RealTime: break;
    }
    SetMenuChecked(priorityItem, true);
    SetMenuChecked(MenuItemId::RemoteDisable, m_pApp->m_bRemoteOff != 0);
    SetMenuChecked(MenuItemId::PanicMode, m_pApp->m_bPanicMode != 0);
    SetMenuChecked(MenuItemId::LogInfos, m_pApp->m_bLogInfos != 0);

    // Controls from the settings.
    SetChecked(ControlId::SplitOnSize, m_pApp->m_bSplitOnSize != 0);
    SetText(ControlId::FileName, m_pApp->m_strFile);
    SetChecked(ControlId::SplitOnTime, m_pApp->m_bSplitOnTime != 0);
    SetTimeOfDay(ControlId::SplitInterval,
                 static_cast<int>(std::min<uint32_t>(m_pApp->m_nSplitTime, kLastSecondOfDay)));
    WriteFieldsBack();

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
    SetSelection(ControlId::AudioChoice, kChoiceRaw);
    SetSelection(ControlId::VideoChoice, kChoiceRaw);
    SetSelection(ControlId::MuxChoice, kChoiceNothing);
    for (ControlId id :
         {ControlId::Record, ControlId::Pause, ControlId::AudioChoice, ControlId::VideoChoice, ControlId::MuxChoice,
          ControlId::SplitSize, ControlId::SplitInterval, ControlId::VideoDelay, ControlId::SplitOnSize,
          ControlId::SplitOnTime, ControlId::FileName, ControlId::Browse, ControlId::ChannelList})
        SetEnabled(id, false);
    for (MenuItemId id :
         {MenuItemId::ScsiAuto, MenuItemId::ScsiBusy, MenuItemId::ScsiCheckCondition, MenuItemId::SpeedTest})
        SetMenuEnabled(id, false);
    SetMenuEnabled(MenuItemId::RescanBus, true);
    SetTopMenu(TopMenu::ScsiMode, true);
    for (TopMenu menu : {TopMenu::Remote, TopMenu::Priority, TopMenu::Timer, TopMenu::Misc})
        SetTopMenu(menu, false);
    m_pRecording->Reset();

    // 7-9: what the binding found; a found receiver's channel list.
    const bool found = m_pSession->BringUp(m_pApp->m_nScsiMode);
    m_pRecording->SetReceiver(m_pSession->Binding());
    if (found) {
        for (ControlId id : {ControlId::Record, ControlId::AudioChoice, ControlId::VideoChoice, ControlId::SplitSize,
                             ControlId::SplitInterval, ControlId::SplitOnSize, ControlId::SplitOnTime,
                             ControlId::FileName, ControlId::Browse, ControlId::ChannelList})
            SetEnabled(id, true);
        for (MenuItemId id :
             {MenuItemId::ScsiAuto, MenuItemId::ScsiBusy, MenuItemId::ScsiCheckCondition, MenuItemId::SpeedTest})
            SetMenuEnabled(id, true);
        SetMenuEnabled(MenuItemId::RescanBus, false);
        StartSupervision();
        LoadTimerStore();
        m_pRecording->SetReady(true);
        for (TopMenu menu : {TopMenu::Remote, TopMenu::Priority, TopMenu::Timer, TopMenu::Misc})
            SetTopMenu(menu, true);
        ShowClock();
    }

    // 11: the multiplexer.
    if (ReportMultiplexer(*m_pRemuxer, [](const std::string &line) { LogEvent(line); })) {
        m_pRecording->SetMultiplexerAvailable(true);
        if (found) {
            SetSelection(ControlId::AudioChoice, m_pApp->m_nSaveAudio);
            SetSelection(ControlId::VideoChoice, m_pApp->m_nSaveVideo);
            SetSelection(ControlId::MuxChoice, m_pApp->m_nSaveMux);
            SetEnabled(ControlId::MuxChoice, true);
            SetEnabled(ControlId::VideoDelay, true);
            SetEnabled(ControlId::Pause, true);
        }
    } else {
        // Without the multiplexer only "don't save" and "as raw" remain.
        for (ControlId id : {ControlId::AudioChoice, ControlId::VideoChoice}) {
            auto items = Control(id).items;
            if (items.size() > static_cast<size_t>(kChoiceElementary))
                items.erase(items.begin() + kChoiceElementary);
            SetItems(id, std::move(items));
        }
    }
    // The Ready column: the video delay field, box 1012 and picker 1043
    // follow the stream rule from the start.
    if (found)
        ApplyStreamRule();

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
    SetItems(ControlId::ChannelList, names);
    SetSelection(ControlId::ChannelList, tunedIndex);
}

void CRecorderDlg::StartSupervision()
{
    m_nSupervisionTimer = m_pView->StartWindowTimer(kTimerSupervision, kSupervisionPeriodMs) ? kTimerSupervision : 0;
}

void CRecorderDlg::KillSupervision()
{
    if (m_nSupervisionTimer != 0)
        m_pView->KillWindowTimer(static_cast<int>(m_nSupervisionTimer));
    m_nSupervisionTimer = 0;
}

void CRecorderDlg::ShowClock()
{
    const CTime now = CTime::GetCurrentTime();
    SetText(ControlId::Clock, now.Format(kClockFormat));
    SetText(ControlId::Date, now.Format(kDateFormat));
}

void CRecorderDlg::LoadTimerStore()
{
    m_pCurrentTimer = nullptr; // the entries are replaced
    TimerStoreError error;
    if ((!m_timerList.Load(error) && !error.fileMissing) || error.damaged)
        LogEvent(error.text);
}

TimerStoreHooks CRecorderDlg::TimerHooks()
{
    TimerStoreHooks hooks;
    hooks.report = [](const std::string &line) { LogEvent(line); };
    // Entries read again keep their ids when unchanged.
    hooks.reloaded = [this,
                      currentId = m_pCurrentTimer ? std::optional<int32_t>(m_pCurrentTimer->m_nId) : std::nullopt] {
        LogEvent("timer settings reloaded");
        m_pCurrentTimer = currentId ? FindTimerById(*currentId) : nullptr;
        // Removed: a running recording stops on the next pass and the
        // shut-down it asked for follows; an armed one is not started.
        if (currentId && !m_pCurrentTimer)
            ForgetRemovedTimer();
    };
    return hooks;
}

void CRecorderDlg::SaveTimers(const std::function<bool()> &change)
{
    m_bTimerSaveFailed = !ChangeTimerStore(m_timerList, change, TimerHooks());
}

CTimerEntry *CRecorderDlg::FindTimerById(int32_t id) const
{
    for (int i = 0; i < m_timerList.GetCount(); ++i)
        if (m_timerList.GetAt(i)->m_nId == id)
            return m_timerList.GetAt(i);
    return nullptr;
}

void CRecorderDlg::PickUpTimerStoreChanges()
{
    if (m_bTimerDialogOpen || !quelmar::PickUpTimerStoreChanges(m_timerList, TimerHooks()))
        return;
    if (m_pRecordingControls->timerMode.Get() && ReceiverReady())
        ShowNextTimer();
}

// ================================================================================
// Recording controls
// ================================================================================

void CRecorderDlg::OnRecord()
{
    // As in the window, a disabled button does nothing (timer mode starts
    // its recordings itself).
    if (!Control(ControlId::Record).enabled)
        return;
    if (m_pRecording->Active()) {
        if (m_pRecording->Paused()) {
            OnPause(); // resumes
            if (m_pRecordingControls->timerMode.Get())
                SetEnabled(ControlId::Record, false);
            return;
        }
        // Extend by half an hour.
        if (!Checked(ControlId::StopAtBox)) {
            SetChecked(ControlId::StopAtBox, true);
            SetEnabled(ControlId::StopTime, true);
            SetEnabled(ControlId::ShutdownBox, false);
        }
        m_timeStop = AddSeconds(m_timeStop, kExtendSeconds);
        ShowStopTime();
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
    const bool timerMode = m_pRecordingControls->timerMode.Get();
    RecordingRequest request = RequestFromControls();
    // A timer records under the name its entry gave when it was armed.
    request.origin = timerMode ? RecordingOrigin::Timer : RecordingOrigin::User;
    request.baseName = timerMode ? m_strTimerBase : Control(ControlId::FileName).text;
    const std::string chosenBase = request.baseName;
    std::string base = chosenBase;
    std::set<std::string> agreed;
    if (!timerMode) {
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
        agreed = std::move(check.agreed);
    } else {
        // Nobody is there to answer: an earlier recording under the same
        // name is kept, and this one goes to the next free name.
        const bool noName = EmptyBaseName(base) || (m_pCurrentTimer && EmptyBaseName(m_pCurrentTimer->m_strFileName));
        const std::optional<std::string> free = noName ? std::nullopt : FreeBaseName(base);
        if (!free) {
            LogEvent(noName ? std::string(kEmptyFileName)
                            : "no free file name for \"" + base + "\": timer recording not started");
            m_lastOutcome = RecordingOutcome::FilesRefused;
            GiveUpCurrentTimer();
            return false;
        }
        base = *free;
    }
    for (ControlId id : {ControlId::Pause, ControlId::AudioChoice, ControlId::VideoChoice, ControlId::MuxChoice,
                         ControlId::VideoDelay, ControlId::ChannelList})
        SetEnabled(id, false);
    SetMenuEnabled(MenuItemId::TimerEnable, false);
    if (MenuItem(MenuItemId::RemoteDisable).checked)
        m_pSession->LockRemote(true);
    m_pSession->SetScsiMode(m_pApp->m_nScsiMode);
    ClearLog();
    if (base != chosenBase) {
        LogEvent("file name \"" + chosenBase + "\" is in use: recording into \"" + base + "\" instead");
        SetText(ControlId::FileName, base);
    }

    request.baseName = base;
    request.overwriteAgreed = std::move(agreed);

    SetChecked(ControlId::StopAtBox, false);
    SetChecked(ControlId::ShutdownBox, false);
    if (!timerMode) {
        m_timeStop = CTime::GetCurrentTime();
        ShowStopTime();
        SetShown(ControlId::StopTime, true);
        SetShown(ControlId::StopAtBox, true);
        SetEnabled(ControlId::StopAtBox, true);
        SetShown(ControlId::ShutdownBox, true);
        SetEnabled(ControlId::ShutdownBox, false);
    }
    m_currentOutcome = RecordingOutcome::Normal;
    m_lastOutcome = RecordingOutcome::None;
    return m_pRecording->Start(std::move(request));
}

RecordingRequest CRecorderDlg::RequestFromControls() const
{
    RecordingRequest request;
    request.baseName = Control(ControlId::FileName).text;
    request.outputs = SelectedOutputs();
    request.splitOnSize = Checked(ControlId::SplitOnSize);
    request.splitSizeMb = m_pRecording->SplitSize();
    request.splitOnTime = Checked(ControlId::SplitOnTime) && Control(ControlId::SplitOnTime).enabled;
    request.splitTimeSeconds = static_cast<uint32_t>(Control(ControlId::SplitInterval).timeOfDay);
    request.videoDelayMs = m_nVideoDelay;
    request.logInfo = MenuItem(MenuItemId::LogInfos).checked;
    request.startPaused = m_pRecording->Paused();
    return request;
}

OutputChoices CRecorderDlg::SelectedOutputs() const
{
    OutputChoices choices;
    choices.video = ChoiceOf(Selection(ControlId::VideoChoice));
    choices.audio = ChoiceOf(Selection(ControlId::AudioChoice));
    choices.mux = ChoiceOf(Selection(ControlId::MuxChoice));
    return choices;
}

ControlId CRecorderDlg::ListOf(StreamOutput output)
{
    switch (output) {
    case StreamOutput::Video: return ControlId::VideoChoice;
    case StreamOutput::Audio: return ControlId::AudioChoice;
    case StreamOutput::Mux: break;
    }
    return ControlId::MuxChoice;
}

int CRecorderDlg::OutputChoiceIndex(StreamOutput output) const { return Selection(ListOf(output)); }

bool CRecorderDlg::ChooseOutput(StreamOutput output, int index)
{
    const ControlId list = ListOf(output);
    const ControlState &state = Control(list);
    if (state.selection == index)
        return true;
    if (!state.enabled || index < 0 || index >= static_cast<int>(state.items.size()))
        return false;
    OnStreamChoiceChanged(list, index);
    return true;
}

RecordingFigures CRecorderDlg::Figures() const { return m_pRecordingControls->Figures(); }

bool CRecorderDlg::TimerModeOn() const { return m_pRecordingControls->timerMode.Get(); }

bool CRecorderDlg::CheckOutputFiles()
{
    return CheckOutputNames(*m_pView, Control(ControlId::FileName).text, SelectedOutputs()).go;
}

void CRecorderDlg::OnPause()
{
    if (!Control(ControlId::Pause).enabled)
        return;
    if (!m_pRecording->Active()) {
        if (!ReceiverReady())
            return;
        // A start from Pause begins paused. When the start does not happen
        // the button and the flag go back, so that the next start is not
        // silently paused.
        m_pRecording->SetPaused(true);
        SetText(ControlId::Pause, kCaptionResume);
        if (!StartRecording()) {
            m_pRecording->SetPaused(false);
            SetText(ControlId::Pause, kCaptionPause);
        }
        return;
    }
    const bool timerMode = m_pRecordingControls->timerMode.Get();
    if (!m_pRecording->Paused()) {
        m_pRecording->SetPaused(true);
        SetText(ControlId::Pause, kCaptionResume);
        if (timerMode)
            SetEnabled(ControlId::Record, true);
    } else {
        m_pRecording->SetPaused(false);
        SetText(ControlId::Pause, kCaptionPause);
        if (timerMode)
            SetEnabled(ControlId::Record, false);
    }
}

void CRecorderDlg::OnStop()
{
    if (!m_pRecording->Active())
        return;
    StopCurrentTimer();
    SetEnabled(ControlId::Stop, false);
    SetEnabled(ControlId::Pause, false);
    SetEnabled(ControlId::Record, false);
    m_pRecording->Stop();
    m_bShutdownPending = false;
}

void CRecorderDlg::StopCurrentTimer()
{
    // A timer recording stopped by hand: its entry takes no further part.
    if (!m_pRecordingControls->timerMode.Get() || !m_pCurrentTimer)
        return;
    SaveTimers([this] {
        if (!m_pCurrentTimer)
            return false;
        m_pCurrentTimer->m_bActive = 0;
        m_pCurrentTimer = nullptr;
        return true;
    });
}

void CRecorderDlg::OnSplitNow()
{
    if (!m_pRecording->Active())
        return;
    SetEnabled(ControlId::SplitNow, false);
    m_pRecording->Split();
}

void CRecorderDlg::OnSplitOnSizeClicked(bool checked)
{
    SetChecked(ControlId::SplitOnSize, checked);
    m_pRecording->SetSplitOnSize(checked);
    m_pApp->m_bSplitOnSize = checked ? 1 : 0;
}

bool CRecorderDlg::ExchangeFields()
{
    // Both number fields are read together, as the dialog's data exchange
    // does; the first that holds no number is refused.
    const auto size = ParseNumber<uint32_t>(Control(ControlId::SplitSize).text);
    if (!size) {
        m_pView->ShowMessage(kNeedPositiveInteger, kFieldCaption, MessageIcon::Warning);
        return false;
    }
    const auto delay = ParseNumber<int16_t>(Control(ControlId::VideoDelay).text);
    if (!delay) {
        m_pView->ShowMessage(kNeedInteger, kFieldCaption, MessageIcon::Warning);
        return false;
    }
    m_pRecording->SetSplitSize(std::max(*size, kMinSplitSizeMb));
    m_nVideoDelay = std::clamp(*delay, kMinVideoDelayMs, kMaxVideoDelayMs);
    return true;
}

void CRecorderDlg::WriteFieldsBack()
{
    SetText(ControlId::SplitSize, std::to_string(m_pRecording->SplitSize()));
    SetText(ControlId::VideoDelay, std::to_string(m_nVideoDelay));
}

void CRecorderDlg::OnSplitSizeKillFocus(const std::string &text)
{
    SetText(ControlId::SplitSize, text);
    if (!ExchangeFields())
        return;
    m_pApp->m_nSplitSize = m_pRecording->SplitSize();
    WriteFieldsBack();
}

void CRecorderDlg::OnVideoDelayKillFocus(const std::string &text)
{
    SetText(ControlId::VideoDelay, text);
    if (!ExchangeFields())
        return;
    m_pApp->m_nVideoDelay = m_nVideoDelay;
    WriteFieldsBack();
}

void CRecorderDlg::OnSplitOnTimeClicked(bool checked)
{
    SetChecked(ControlId::SplitOnTime, checked);
    m_pRecording->SetSplitOnTime(checked);
    if (!checked)
        SetText(ControlId::TimeSinceSplit, kSplitClockIdle);
    m_pApp->m_bSplitOnTime = checked ? 1 : 0;
}

void CRecorderDlg::OnSplitIntervalChanged(int timeOfDay)
{
    const auto seconds =
        static_cast<uint32_t>(std::clamp<int>(timeOfDay, static_cast<int>(kMinSplitTimeSeconds), kLastSecondOfDay));
    SetTimeOfDay(ControlId::SplitInterval, static_cast<int>(seconds));
    m_pRecording->SetSplitInterval(seconds);
    m_pApp->m_nSplitTime = seconds;
}

void CRecorderDlg::ApplyStreamRule()
{
    VideoDelayRule();
    const bool throughMultiplexer = SelectedOutputs().GoesThroughMultiplexer();
    SetEnabled(ControlId::SplitOnTime, throughMultiplexer);
    SetEnabled(ControlId::SplitInterval, throughMultiplexer);
}

void CRecorderDlg::OnStreamChoiceChanged(ControlId list, int index)
{
    if (list != ControlId::AudioChoice && list != ControlId::VideoChoice && list != ControlId::MuxChoice)
        return;
    SetSelection(list, index);
    ApplyStreamRule();
    m_pApp->m_nSaveAudio = Selection(ControlId::AudioChoice);
    m_pApp->m_nSaveVideo = Selection(ControlId::VideoChoice);
    m_pApp->m_nSaveMux = Selection(ControlId::MuxChoice);
}

void CRecorderDlg::OnChannelSelected(int index)
{
    if (index < 0 || index >= static_cast<int>(m_pSession->Channels().size()))
        return;
    SetSelection(ControlId::ChannelList, index);
    // The next supervision pass comes a full second after the switch.
    if (m_nSupervisionTimer != 0)
        StartSupervision();
    m_pSession->SetChannel(static_cast<uint16_t>(index + 1));
}

void CRecorderDlg::ShowStopTime() { SetTimeOfDay(ControlId::StopTime, LocalTimeOfDay(m_timeStop)); }

void CRecorderDlg::OnStopAtClicked(bool checked)
{
    SetChecked(ControlId::StopAtBox, checked);
    SetEnabled(ControlId::StopTime, checked);
    SetEnabled(ControlId::ShutdownBox, checked);
    if (!checked) {
        SetChecked(ControlId::ShutdownBox, false);
        return;
    }
    const CTime now = CTime::GetCurrentTime();
    CTime stop = LocalDateAt(now, Control(ControlId::StopTime).timeOfDay);
    if (stop.GetTime() <= now.GetTime())
        stop = AddSeconds(now, kExtendSeconds);
    m_timeStop = stop;
    ShowStopTime();
}

void CRecorderDlg::OnStopTimeChanged(int timeOfDay)
{
    timeOfDay = std::clamp(timeOfDay, 0, kLastSecondOfDay);
    SetTimeOfDay(ControlId::StopTime, timeOfDay);
    const CTime now = CTime::GetCurrentTime();
    CTime stop = LocalDateAt(now, timeOfDay);
    if (stop.GetTime() <= now.GetTime())
        stop = AddSeconds(stop, kSecondsPerDay);
    m_timeStop = stop;
    ShowStopTime();
}

void CRecorderDlg::OnShutdownBoxClicked(bool checked) { SetChecked(ControlId::ShutdownBox, checked); }

void CRecorderDlg::OnBrowse()
{
    const auto chosen = m_pView->RunSaveDialog(Control(ControlId::FileName).text, [this](const std::string &path) {
        return AcceptSaveDialogName(*m_pView, path);
    });
    if (!chosen)
        return;
    // One whole value: a running recording takes it for its next split file.
    m_pRecording->SetBaseName(*chosen);
    SetText(ControlId::FileName, *chosen);
    m_pApp->m_strFile = *chosen;
}

bool CRecorderDlg::SetStopAfter(uint32_t seconds)
{
    if (!m_pRecording->Active())
        return false;
    SetChecked(ControlId::StopAtBox, true);
    SetEnabled(ControlId::StopTime, true);
    SetEnabled(ControlId::ShutdownBox, true);
    m_timeStop = AddSeconds(CTime::GetCurrentTime(), seconds);
    ShowStopTime();
    return true;
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
    if (!m_timerHandOver.Pending())
        GiveUpCurrentTimer();
    if (m_bBringUpPending) {
        m_bBringUpPending = false;
        BringUpReceiver();
    }
    m_pView->RecordingFinished(outcome);
    if (m_bClosePending && !m_bEnded)
        PowerOff();
    if (!m_bEnded)
        FinishHandOver();
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

void CRecorderDlg::OnScsiMode(MenuItemId item)
{
    uint32_t value;
    switch (item) {
    case MenuItemId::ScsiAuto: value = kScsiModeAuto; break;
    case MenuItemId::ScsiCheckCondition: value = kScsiModeCheckCondition; break;
    case MenuItemId::ScsiBusy: value = kScsiModeBusy; break;
    default: return;
    }
    for (MenuItemId id : {MenuItemId::ScsiAuto, MenuItemId::ScsiCheckCondition, MenuItemId::ScsiBusy})
        SetMenuChecked(id, id == item);
    m_pSession->SetScsiMode(value);
    m_pApp->m_nScsiMode = value;
}

void CRecorderDlg::OnRemoteToggle()
{
    const bool lock = !MenuItem(MenuItemId::RemoteDisable).checked;
    SetMenuChecked(MenuItemId::RemoteDisable, lock);
    m_pApp->m_bRemoteOff = lock ? 1 : 0;
    if (m_pRecording->Active())
        m_pSession->LockRemote(lock);
}

void CRecorderDlg::OnPriority(MenuItemId item)
{
    PriorityClass priority;
    switch (item) {
    case MenuItemId::PriorityRealTime: priority = PriorityClass::RealTime; break;
    case MenuItemId::PriorityHigh: priority = PriorityClass::High; break;
    case MenuItemId::PriorityNormal: priority = PriorityClass::Normal; break;
    case MenuItemId::PriorityIdle: priority = PriorityClass::Idle; break;
    default: return;
    }
    for (MenuItemId id :
         {MenuItemId::PriorityRealTime, MenuItemId::PriorityHigh, MenuItemId::PriorityNormal, MenuItemId::PriorityIdle})
        SetMenuChecked(id, id == item);
    m_pApp->SetPriorityClass(priority);
}

void CRecorderDlg::OnPanicMode()
{
    const bool on = !MenuItem(MenuItemId::PanicMode).checked;
    SetMenuChecked(MenuItemId::PanicMode, on);
    m_pApp->m_bPanicMode = on ? 1 : 0;
}

void CRecorderDlg::OnLogInfos()
{
    const bool on = !MenuItem(MenuItemId::LogInfos).checked;
    SetMenuChecked(MenuItemId::LogInfos, on);
    m_pApp->m_bLogInfos = on ? 1 : 0;
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
    if (MenuItem(MenuItemId::TimerEnable).checked) {
        SetTimerMode(false); // no change while the recorder is not ready
        LogEvent("timer disabled");
    } else {
        SetTimerMode(true);
    }
}

void CRecorderDlg::OnTimerEdit()
{
    if (m_bEnded || m_bTimerDialogOpen)
        return;
    PickUpTimerStoreChanges();
    TimerDialogModel model(m_timerList, Control(ControlId::ChannelList).items, Selection(ControlId::ChannelList));
    model.SetRecordingsFolder(RecordingsFolder(m_pApp->m_strFile));
    // The supervision goes on while the dialog is open; it leaves the
    // store file alone until the dialog has ended.
    m_bTimerDialogOpen = true;
    const bool ok =
        m_pView->RunTimerDialog(model, [this](const std::string &path) { return AcceptTimerFileName(path); });
    m_bTimerDialogOpen = false;
    if (!ok || m_bEnded)
        return;
    const std::optional<int32_t> currentId =
        m_pCurrentTimer ? std::optional<int32_t>(m_pCurrentTimer->m_nId) : std::nullopt;
    SaveTimers([&model] {
        model.OnOK();
        return true;
    });
    if (currentId) {
        // Entries keep their objects; a deleted one is gone.
        m_pCurrentTimer = FindTimerById(*currentId);
        if (!m_pCurrentTimer)
            ForgetRemovedTimer();
    }
    if (m_pRecordingControls->timerMode.Get() && ReceiverReady())
        ShowNextTimer();
}

bool CRecorderDlg::AcceptTimerFileName(const std::string &path)
{
    std::string offending;
    if (!FitsWindows1252(path, &offending)) {
        m_pView->ShowMessage(FileNameRefusal(offending), kTimerDialogCaption, MessageIcon::Warning);
        return false;
    }
    return AcceptSaveDialogName(*m_pView, path);
}

void CRecorderDlg::SendReceiverText(const char *text8) { m_pSession->ShowPanelText(text8); }

void CRecorderDlg::SetTimerMode(bool on)
{
    if (!ReceiverReady())
        return;
    if (on) {
        SetMenuChecked(MenuItemId::TimerEnable, true);
        m_pRecordingControls->timerMode.Set(true);
        m_pCurrentTimer = nullptr;
        for (ControlId id : {ControlId::Record, ControlId::AudioChoice, ControlId::VideoChoice, ControlId::MuxChoice,
                             ControlId::Browse, ControlId::ChannelList, ControlId::Pause, ControlId::VideoDelay})
            SetEnabled(id, false);
        LogEvent("timer enabled");
        SendReceiverText(kPanelTimer);
        ShowNextTimer();
    } else {
        SetMenuChecked(MenuItemId::TimerEnable, false);
        m_pRecordingControls->timerMode.Set(false);
        // An armed timer is given up with the shut-down it asked for: the
        // manual mode would otherwise power the machine off at once.
        if (m_pCurrentTimer) {
            m_pCurrentTimer = nullptr;
            m_nStartCountdown = 0;
            m_bShutdownPending = false;
        }
        SendReceiverText(kPanelReady);
        for (ControlId id : {ControlId::Record, ControlId::AudioChoice, ControlId::VideoChoice, ControlId::ChannelList,
                             ControlId::Browse})
            SetEnabled(id, true);
        if (m_pRecording->MultiplexerAvailable()) {
            SetEnabled(ControlId::Pause, true);
            SetEnabled(ControlId::MuxChoice, true);
            VideoDelayRule();
        }
    }
    m_pApp->m_bTimerEnabled = on ? 1 : 0;
}

void CRecorderDlg::VideoDelayRule() { SetEnabled(ControlId::VideoDelay, SelectedOutputs().UsesVideoDelay()); }

void CRecorderDlg::ShowNextTimer()
{
    // Adjusted here first: the store is locked only when an entry moved.
    if (m_timerList.AdjustAll()) {
        LogEvent("Timer settings adjustet!");
        SaveTimers([this] {
            m_timerList.AdjustAll();
            return true;
        });
    }
    const int next = m_timerList.FindNext();
    if (next < 0) {
        LogEvent("no active timer settings present");
        return;
    }
    const CTimerEntry &entry = *m_timerList.GetAt(next);
    // The channel by its number in the table; a number the table does not
    // have names no channel.
    const auto &names = Control(ControlId::ChannelList).items;
    const std::string channel =
        entry.m_nChannel >= 1 && entry.m_nChannel <= names.size() ? names[entry.m_nChannel - 1] : std::string();
    LogEvent("next timer recording: " + channel + ", " + entry.m_timeStart.Format(kTimerStartFormat) + " to " +
             entry.m_timeStop.Format(kTimerStopFormat));
    if (entry.m_bShutdown)
        LogEvent(m_stSetup.power ? "system will be shut down after this recording"
                                 : "system will not be shut down after this recording: shutting down is switched off "
                                   "for this run");
}

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
    if (id != kTimerSupervision)
        return;

    CheckRecordingEnd();
    if (m_bEnded)
        return;
    // Step 1: receiver watchdog and channel follow-up.
    if (!m_bBringUpPending)
        m_pSession->Watch();
    // Step 2: clock.
    ShowClock();
    // Step 3.
    if (m_pRecordingControls->timerMode.Get()) {
        SupervisionTimerModeStep();
    } else {
        // Also while a recording is torn down: its files are named already.
        if (!m_pRecording->Active() && m_pApp->m_bPanicMode != 0)
            PanicModeRename();
        if (ReceiverReady() && m_bShutdownPending)
            RunShutdown(false);
    }
    if (m_bEnded)
        return;
    // Step 4.
    if (ReceiverReady() && m_bShutdownPending && (m_pCurrentTimer == nullptr || !m_pRecordingControls->timerMode.Get()))
        RunShutdown(true);
    if (!m_bEnded && !RecordingBusy() && m_bClosePending)
        PowerOff();
    if (m_bEnded)
        return;
    if (m_pRecording->Active() && Checked(ControlId::StopAtBox) &&
        CTime::GetCurrentTime().GetTime() >= m_timeStop.GetTime()) {
        OnStop();
        m_bShutdownPending = Checked(ControlId::ShutdownBox);
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
    if (m_pView->ChannelListDroppedDown() || Selection(ControlId::ChannelList) == index)
        return;
    SetSelection(ControlId::ChannelList, index);
    if (m_pRecording->Active()) {
        LogEvent("channel changed during recording!");
        m_currentOutcome = RecordingOutcome::ChannelChanged;
        StopUnplanned();
    }
}

void CRecorderDlg::PanicModeRename()
{
    const int channel = Selection(ControlId::ChannelList);
    const auto &items = Control(ControlId::ChannelList).items;
    const std::string name = channel >= 0 && channel < static_cast<int>(items.size()) ? items[channel] : "";
    const std::string base = PanicModeFileBase(Control(ControlId::FileName).text, name, CTime::GetCurrentTime());
    SetText(ControlId::FileName, base);
    m_pApp->m_strFile = base;
}

void CRecorderDlg::SupervisionTimerModeStep()
{
    PickUpTimerStoreChanges();
    if (m_pRecording->Active()) {
        if (m_pCurrentTimer && CTime::GetCurrentTime().GetTime() < m_pCurrentTimer->m_timeStop.GetTime())
            return;
        // At the stop, or the entry was deleted. A pending shut-down stays.
        LogEvent("recording will be stopped by timer");
        SetEnabled(ControlId::Stop, false);
        SetEnabled(ControlId::Pause, false);
        m_pRecording->Stop();
        SaveTimers([this] {
            if (!m_pCurrentTimer)
                return false;
            if (m_pCurrentTimer->IsRepeating())
                m_pCurrentTimer->SkipDay();
            else
                m_timerList.RemoveById(m_pCurrentTimer->m_nId);
            m_pCurrentTimer = nullptr;
            return true;
        });
        // The next programme is armed during the teardown and starts at its
        // end. A shut-down asked for waits for the teardown, as it decides
        // on the next timer itself.
        if (!m_bShutdownPending)
            if (CTimerEntry *next = m_timerList.GetAt(m_timerList.FindActive(kTimerLeadSeconds)))
                ArmTimer(*next);
        return;
    }
    if (!ReceiverReady())
        return; // a recording is being started or torn down
    if (m_nStartCountdown != 0 && m_pCurrentTimer) {
        if (--m_nStartCountdown == 0)
            StartRecording(); // not started: the next pass arms again
        return;
    }
    if (CTimerEntry *due = m_timerList.GetAt(m_timerList.FindActive(kTimerLeadSeconds)))
        ArmTimer(*due);
}

void CRecorderDlg::ArmTimer(CTimerEntry &entry)
{
    // Nine passes from the usual arming ten seconds ahead. A later arming
    // waits only until about a second before the start, so back-to-back
    // timers and a start during a broadcast lose no more of it than needed;
    // the entry whose start just failed is retried after the full count.
    int32_t countdown = kStartCountdownPasses;
    if (&entry != m_pCurrentTimer) {
        const int64_t secondsToStart =
            static_cast<int64_t>(entry.m_timeStart.GetTime()) - CTime::GetCurrentTime().GetTime();
        countdown = static_cast<int32_t>(
            std::clamp<int64_t>(secondsToStart - 1, kShortestCountdownPasses, kStartCountdownPasses));
    }
    m_pCurrentTimer = &entry;
    SaveTimers([] { return true; });
    if (!m_pCurrentTimer)
        return; // another program removed it meanwhile
    const CTimerEntry &armed = *m_pCurrentTimer;
    m_bShutdownPending = armed.m_bShutdown != 0;
    std::string fileName =
        ResolveTimerFileName(armed.m_strFileName, RecordingsFolder(m_pApp->m_strFile)).value_or(armed.m_strFileName);
    // The date goes with any day bit, also one outside the week's seven.
    if (armed.m_nDays != 0)
        fileName += CTime::GetCurrentTime().Format(kTimerDateSuffixFormat);
    m_strTimerBase = fileName;
    SetText(ControlId::FileName, fileName);
    // Not while the last recording still reads from the receiver: its end
    // would take in the new channel's first packets.
    if (RecordingBusy())
        m_timerHandOver.Begin(armed.m_nId, armed.m_nChannel, armed.m_timeStart.GetTime());
    else if (ReceiverPresent())
        m_pSession->SetChannel(armed.m_nChannel);
    LogEvent("channel switched - recording will be started in " + std::to_string(countdown) +
             (countdown == 1 ? " second" : " seconds"));
    m_nStartCountdown = countdown;
}

void CRecorderDlg::FinishHandOver()
{
    const std::optional<int32_t> currentId =
        m_pCurrentTimer ? std::optional<int32_t>(m_pCurrentTimer->m_nId) : std::nullopt;
    const TimerHandOver::AtTeardownEnd next =
        m_timerHandOver.TeardownEnded(currentId, CTime::GetCurrentTime().GetTime());
    if (!next.switchChannel)
        return;
    if (ReceiverPresent()) {
        m_pSession->SetChannel(next.channel);
        // The list follows at once, as a pass would before the start: the
        // supervision takes a difference for a channel changed by hand.
        if (const std::optional<int> index = m_pSession->ReadTunedChannel())
            SetSelection(ControlId::ChannelList, *index);
    }
    if (!next.startNow || !m_pRecordingControls->timerMode.Get() || !ReceiverReady())
        return; // the passes count down (or arm again)
    m_nStartCountdown = 0;
    StartRecording(); // not started: the next pass arms again
}

void CRecorderDlg::ForgetRemovedTimer()
{
    // A recording keeps the shut-down its entry asked for: the next pass
    // stops it, and the shut-down follows once it has been torn down. An
    // entry that was only armed has recorded nothing to shut down after.
    if (!m_pRecording->Active()) {
        m_nStartCountdown = 0;
        m_bShutdownPending = false;
    }
}

void CRecorderDlg::GiveUpCurrentTimer()
{
    if (!m_pRecordingControls->timerMode.Get() || !m_pCurrentTimer)
        return;
    SaveTimers([this] {
        if (!m_pCurrentTimer)
            return false;
        if (m_pCurrentTimer->IsRepeating())
            m_pCurrentTimer->SkipDay();
        else
            m_pCurrentTimer->m_bActive = 0;
        m_pCurrentTimer = nullptr;
        return true;
    });
    m_bShutdownPending = false;
}

void CRecorderDlg::StopUnplanned()
{
    GiveUpCurrentTimer();
    OnStop();
}

void CRecorderDlg::RunShutdown(bool timerVariant)
{
    // Cleared first: a refused request is not repeated on the next pass.
    m_bShutdownPending = false;
    if (!m_stSetup.power) {
        LogEvent("shut-down skipped: shutting down is switched off for this run");
        return;
    }
    if (timerVariant) {
        // Switched off now, the machine could not be woken in time for it.
        if (const auto next = NextTimerWithinWakeUpLead(m_timerList)) {
            LogEvent("shut-down skipped: next timer recording starts at " + next->Format(kShutdownSkippedTimeFormat));
            return;
        }
    }
    const auto log = [](const std::string &line) { LogEvent(line); };
    ShutdownHooks hooks;
    hooks.log = log;
    if (ReceiverPresent())
        hooks.switchOffReceiver = [this] { m_pSession->SwitchOff(); };
    hooks.showLog = [this] {
        FlushEngineUpdates();
        m_pView->UpdateWindow();
    };
    if (timerVariant && m_stSetup.wakeAlarm)
        hooks.setWakeUp = [this, log] { SetWakeUpForNextTimer(m_timerList, *m_stSetup.wakeAlarm, log); };
    if (ShutdownSystem(timerVariant ? ShutdownVariant::Timer : ShutdownVariant::Manual, *m_stSetup.power, hooks))
        OnCancel();
}

} // namespace quelmar
