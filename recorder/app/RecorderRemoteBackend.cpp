#include "app/RecorderRemoteBackend.h"

#include "app/HeadlessView.h"
#include "binding/ReceiverLibrary.h"
#include "controller/CRecorderDlg.h"
#include "controller/ReceiverSession.h"
#include "controller/UiDispatcher.h"
#include "engine/EventLog.h"

#include <sstream>

namespace quelmar {

using namespace remote;

namespace {

constexpr int kNibbleBits = 4;
constexpr uint16_t kNibbleMask = 0xF;
constexpr int kDecimal = 10;

CommandResult Conflict(std::string message) { return CommandResult::Refused(CommandResult::Kind::Conflict, message); }
CommandResult Invalid(std::string message) { return CommandResult::Refused(CommandResult::Kind::Invalid, message); }

const char kBusy[] = "a recording is being started, runs or is being torn down";
const char kNoRecording[] = "no recording runs";
const char kNoReceiver[] = "no receiver is ready";
const char kModalOpen[] = "a question or dialog is open at the recorder: try again once it is answered";
const char kNotSaved[] = "the running recorder took the change, but timer.db could not be written (see the log): it "
                         "is lost when the recorder ends";
const char kDialogBusy[] = "the Timer dialog is open at the recorder (or the recorder is ending): try again later";

// The firmware revision's four decimal nibbles as "2.17".
std::string FirmwareText(uint16_t revision)
{
    const auto digit = [revision](int index) { return (revision >> (index * kNibbleBits)) & kNibbleMask; };
    return std::to_string(digit(3) * kDecimal + digit(2)) + "." + std::to_string(digit(1)) + std::to_string(digit(0));
}

std::string ScsiModeText(uint32_t mode)
{
    switch (mode) {
    case kScsiModeBusy: return "busy";
    case kScsiModeCheckCondition: return "check";
    default: return "auto";
    }
}

// What the model said while a command ran, as one refusal: its messages,
// and the questions answered No.
std::string Refusal(const RemoteViewTap::Answers &answers, const std::string &otherwise)
{
    std::string text;
    for (const std::string &message : answers.messages)
        text += (text.empty() ? "" : "; ") + OneLogLine(message);
    if (!answers.yes)
        for (const std::string &question : answers.questions)
            text += (text.empty() ? "" : "; ") + OneLogLine(question) + " No (\"overwrite\": true answers Yes)";
    return text.empty() ? otherwise : text;
}

} // namespace

RecorderRemoteBackend::RecorderRemoteBackend(CRecorderDlg &dialog, RemoteViewTap &tap, UiDispatcher &dispatcher,
                                             std::string recordingsFolder)
    : dialog_(dialog), tap_(tap), dispatcher_(dispatcher), recordingsFolder_(std::move(recordingsFolder)),
      self_(std::make_shared<RecorderRemoteBackend *>(this))
{
    // What the event log list shows already (the bring-up's lines) comes first.
    for (const std::string &text : dialog_.LogLines()) {
        log_.push_back({++logCount_, text});
        if (log_.size() > kKeptLogLines)
            log_.pop_front();
    }
    tap_.onChange = [this] {
        NoteRecordingStart();
        ScheduleLook();
    };
    tap_.onLogLines = [this](const std::vector<std::string> &lines) {
        for (const std::string &text : lines) {
            LogLine line{++logCount_, text};
            log_.push_back(line);
            if (log_.size() > kKeptLogLines)
                log_.pop_front();
            if (!listeners_.empty())
                unsent_.push_back(std::move(line));
        }
        ScheduleLook();
    };
}

RecorderRemoteBackend::~RecorderRemoteBackend()
{
    tap_.onChange = nullptr;
    tap_.onLogLines = nullptr;
}

// ---- listeners ----------------------------------------------------------------

void RecorderRemoteBackend::ScheduleLook()
{
    if (lookPosted_)
        return;
    lookPosted_ = true;
    dispatcher_.Post([self = std::weak_ptr<RecorderRemoteBackend *>(self_)] {
        if (const auto backend = self.lock())
            (*backend)->Look();
    });
}

void RecorderRemoteBackend::Look()
{
    lookPosted_ = false;
    if (listeners_.empty()) {
        lastState_.clear(); // the next listener hears the state first
        return;
    }
    const std::vector<LogLine> lines = std::move(unsent_);
    unsent_.clear();
    const StatusSnapshot status = Status();
    std::ostringstream state, progress;
    state << static_cast<int>(status.state) << '|' << status.channel << '|' << status.timerMode << '|'
          << status.shutdownPending << '|' << status.receiver.found << '|' << status.baseName << '|'
          << status.stopTime.value_or(-1) << '|' << status.multiplexerAvailable;
    for (const TimerInfo &timer : Timers())
        state << '|' << timer.id << ',' << timer.active << ',' << timer.channel << ',' << timer.start << ','
              << timer.stop << ',' << timer.file << ',' << int(timer.days) << ',' << timer.shutdown;
    progress << status.videoBytes << '|' << status.audioBytes << '|' << status.muxBytes << '|' << status.part << '|'
             << status.elapsedSeconds << '|' << status.videoInfo.size() << '|' << status.audioInfo.size();
    const bool stateChanged = state.str() != lastState_;
    const bool progressed = progress.str() != lastProgress_;
    lastState_ = state.str();
    lastProgress_ = progress.str();
    // A listener may leave (or another one) during a call.
    for (RemoteListener *listener : std::set<RemoteListener *>(listeners_)) {
        for (const LogLine &line : lines)
            if (listeners_.count(listener))
                listener->OnLogLine(line);
        if (stateChanged && listeners_.count(listener))
            listener->OnStateChanged();
        else if (progressed && listeners_.count(listener))
            listener->OnProgress();
    }
}

// ---- status -------------------------------------------------------------------

void RecorderRemoteBackend::NoteRecordingStart()
{
    if (!dialog_.RecordingBusy())
        started_.reset();
    else if (!started_)
        started_ = std::chrono::steady_clock::now();
}

RecordingState RecorderRemoteBackend::State() const
{
    if (!dialog_.RecordingBusy())
        return RecordingState::Idle;
    if (!dialog_.RecordingActive())
        return RecordingState::Stopping;
    if (dialog_.Recording().Paused())
        return RecordingState::Paused;
    const RecordingFigures figures = dialog_.Figures();
    if (figures.videoBytes + figures.audioBytes + figures.muxBytes == 0)
        return RecordingState::Starting;
    return RecordingState::Recording;
}

StatusSnapshot RecorderRemoteBackend::Status() const
{
    StatusSnapshot status;
    if (const ReceiverSession &session = dialog_.Receiver(); session.Present() && session.Binding()) {
        const DvbDevice *device = &session.Binding()->device;
        status.receiver.found = true;
        status.receiver.hostAdapter = device->hostAdapter;
        status.receiver.targetId = device->targetId;
        status.receiver.firmware = FirmwareText(device->firmwareRevision);
    }
    status.receiver.scsiMode = ScsiModeText(dialog_.App().m_nScsiMode);
    const std::vector<std::string> names = dialog_.Receiver().ChannelNames();
    const int selected = dialog_.Control(ControlId::ChannelList).selection;
    if (selected >= 0 && selected < static_cast<int>(names.size())) {
        status.channel = selected + 1;
        status.channelName = names[static_cast<size_t>(selected)];
    }
    status.state = State();
    if (status.state == RecordingState::Idle) {
        status.baseName = dialog_.Control(ControlId::FileName).text;
    } else {
        status.baseName = dialog_.Recording().Current().baseName;
        const RecordingFigures figures = dialog_.Figures();
        status.part = figures.part;
        status.videoBytes = figures.videoBytes;
        status.audioBytes = figures.audioBytes;
        status.muxBytes = figures.muxBytes;
        if (started_)
            status.elapsedSeconds =
                std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - *started_).count();
        status.videoInfo = dialog_.Control(ControlId::VideoInfo).items;
        status.audioInfo = dialog_.Control(ControlId::AudioInfo).items;
    }
    if (dialog_.Control(ControlId::StopAtBox).checked && dialog_.RecordingActive())
        status.stopTime = dialog_.StopTime().GetTime();
    const CTimerList &timers = dialog_.Timers();
    if (const int next = timers.FindNext(); next >= 0)
        status.nextTimer = TimerInfoOf(*timers.GetAt(next), names);
    status.timerMode = dialog_.TimerModeOn();
    status.shutdownPending = dialog_.ShutdownPending();
    status.multiplexerAvailable = dialog_.Recording().MultiplexerAvailable();
    return status;
}

std::vector<std::string> RecorderRemoteBackend::Channels() const { return dialog_.Receiver().ChannelNames(); }

std::vector<LogLine> RecorderRemoteBackend::LogLines() const { return {log_.begin(), log_.end()}; }

void RecorderRemoteBackend::Log(const std::string &text) { LogEvent(text); }

// ---- commands -----------------------------------------------------------------

void RecorderRemoteBackend::Answering(RemoteViewTap::Answers &answers, const std::function<void()> &command)
{
    tap_.Answer(&answers);
    command();
    tap_.Answer(nullptr);
}

CommandResult RecorderRemoteBackend::SwitchChannel(int number)
{
    if (tap_.ModalOpen())
        return Conflict(kModalOpen);
    if (dialog_.RecordingBusy())
        return Conflict("a recording runs: the channel cannot be changed now");
    if (dialog_.TimerModeOn())
        return Conflict("timer mode is on: the timers choose the channel");
    if (!dialog_.ReceiverReady())
        return Invalid(kNoReceiver);
    if (number < 1 || number > static_cast<int>(dialog_.Receiver().ChannelNames().size()))
        return Invalid("the receiver has no channel " + std::to_string(number));
    if (!dialog_.Control(ControlId::ChannelList).enabled)
        return Conflict("the channel list is disabled now");
    RemoteViewTap::Answers answers;
    Answering(answers, [&] { dialog_.OnChannelSelected(number - 1); });
    if (dialog_.Control(ControlId::ChannelList).selection != number - 1)
        return Invalid(Refusal(answers, "the channel was not switched (see the log)"));
    return CommandResult::Ok();
}

CommandResult RecorderRemoteBackend::Prepare(const remote::RecordingRequest &request)
{
    if (request.channel && *request.channel != dialog_.Control(ControlId::ChannelList).selection + 1)
        if (CommandResult switched = SwitchChannel(*request.channel); !switched.Succeeded())
            return switched;
    const struct {
        const std::optional<int> &index;
        StreamOutput output;
        const char *name;
    } choices[] = {{request.video, StreamOutput::Video, "video"},
                   {request.audio, StreamOutput::Audio, "audio"},
                   {request.mux, StreamOutput::Mux, "mux"}};
    for (const auto &choice : choices)
        if (choice.index && dialog_.OutputChoiceIndex(choice.output) != *choice.index &&
            !dialog_.ChooseOutput(choice.output, *choice.index))
            return Invalid(std::string(choice.name) + ": not available without a usable multiplexer (libremuxer.so)");
    RemoteViewTap::Answers answers;
    answers.yes = request.overwrite;
    answers.savePath = request.fileBase;
    Answering(answers, [&] {
        if (request.splitOnSize)
            dialog_.OnSplitOnSizeClicked(*request.splitOnSize);
        if (request.splitSizeMb)
            dialog_.OnSplitSizeKillFocus(std::to_string(*request.splitSizeMb));
        if (request.splitOnTime)
            dialog_.OnSplitOnTimeClicked(*request.splitOnTime);
        if (request.splitTimeSeconds)
            dialog_.OnSplitIntervalChanged(static_cast<int>(*request.splitTimeSeconds));
        if (request.videoDelayMs)
            dialog_.OnVideoDelayKillFocus(std::to_string(*request.videoDelayMs));
        if (request.fileBase)
            dialog_.OnBrowse();
    });
    if (request.fileBase && dialog_.Control(ControlId::FileName).text != *request.fileBase)
        return Invalid(Refusal(answers, "the file name was refused"));
    if (!answers.messages.empty())
        return Invalid(Refusal(answers, ""));
    return CommandResult::Ok();
}

CommandResult RecorderRemoteBackend::StartRecording(const remote::RecordingRequest &request)
{
    if (tap_.ModalOpen())
        return Conflict(kModalOpen);
    if (dialog_.RecordingBusy())
        return Conflict(std::string(kBusy) + ": stop it first");
    if (dialog_.TimerModeOn())
        return Conflict("timer mode is on: recordings start from the timers");
    if (!dialog_.ReceiverReady())
        return Invalid(kNoReceiver);
    const int32_t now = CTime::GetCurrentTime().GetTime();
    if (request.stopTime && *request.stopTime <= now)
        return Invalid("the stop time has passed already");
    if (CommandResult prepared = Prepare(request); !prepared.Succeeded())
        return prepared;
    RemoteViewTap::Answers answers;
    answers.yes = request.overwrite;
    Answering(answers, [&] { request.paused ? dialog_.OnPause() : dialog_.OnRecord(); });
    if (!dialog_.RecordingBusy())
        return Invalid(Refusal(answers, "the recording did not start (see the log)"));
    if (request.durationSeconds)
        dialog_.SetStopAfter(*request.durationSeconds);
    else if (request.stopTime)
        dialog_.SetStopAfter(static_cast<uint32_t>(*request.stopTime - now));
    ScheduleLook();
    return CommandResult::Ok();
}

CommandResult RecorderRemoteBackend::TogglePause()
{
    if (tap_.ModalOpen())
        return Conflict(kModalOpen);
    if (!dialog_.RecordingActive())
        return Conflict(kNoRecording);
    if (!dialog_.Control(ControlId::Pause).enabled)
        return Conflict("Pause is not available now (it needs a usable multiplexer, and no timer recording)");
    dialog_.OnPause();
    return CommandResult::Ok();
}

CommandResult RecorderRemoteBackend::SplitNow()
{
    if (tap_.ModalOpen())
        return Conflict(kModalOpen);
    if (!dialog_.RecordingActive())
        return Conflict(kNoRecording);
    if (!dialog_.Control(ControlId::SplitNow).enabled)
        return Conflict("Split now! is not available now");
    dialog_.OnSplitNow();
    return CommandResult::Ok();
}

CommandResult RecorderRemoteBackend::StopRecording()
{
    if (tap_.ModalOpen())
        return Conflict(kModalOpen);
    if (!dialog_.RecordingActive())
        return Conflict(kNoRecording);
    dialog_.OnStop();
    ScheduleLook();
    return CommandResult::Ok();
}

CommandResult RecorderRemoteBackend::SetTimerMode(bool on)
{
    if (tap_.ModalOpen())
        return Conflict(kModalOpen);
    if (on == dialog_.TimerModeOn())
        return CommandResult::Ok();
    if (dialog_.RecordingBusy())
        return Conflict(std::string(kBusy) + ": timer mode cannot change now");
    if (!dialog_.ReceiverReady())
        return Invalid(kNoReceiver);
    dialog_.OnTimerEnable();
    return CommandResult::Ok();
}

// ---- timers -------------------------------------------------------------------

std::vector<TimerInfo> RecorderRemoteBackend::Timers() const
{
    const std::vector<std::string> names = dialog_.Receiver().ChannelNames();
    std::vector<TimerInfo> timers;
    const CTimerList &list = dialog_.Timers();
    for (int i = 0; i < list.GetCount(); ++i)
        timers.push_back(TimerInfoOf(*list.GetAt(i), names));
    return timers;
}

TimerEditContext RecorderRemoteBackend::EditContext() const
{
    return {dialog_.Receiver().ChannelNames(), recordingsFolder_};
}

TimerEdit RecorderRemoteBackend::EditTimers(const std::function<TimerEdit(TimerDialogModel &)> &edit)
{
    if (tap_.ModalOpen())
        return {Conflict(kModalOpen)};
    TimerEdit made{Conflict(kDialogBusy)};
    RemoteViewTap::Answers answers;
    answers.timerDialog = [&](TimerDialogModel &model) {
        made = edit(model);
        return made.result.Succeeded();
    };
    Answering(answers, [&] { dialog_.OnTimerEdit(); });
    if (!made.result.Succeeded())
        return made;
    ScheduleLook();
    if (dialog_.TimerSaveFailed())
        return {Conflict(kNotSaved), made.id};
    return made;
}

TimerResult RecorderRemoteBackend::EntryAfter(const TimerEdit &edit) const
{
    if (!edit.result.Succeeded())
        return {edit.result, {}};
    return TimerEntryOf(dialog_.Timers(), edit.id, dialog_.Receiver().ChannelNames());
}

TimerResult RecorderRemoteBackend::AddTimer(const TimerRequest &request)
{
    return EntryAfter(EditTimers([&](TimerDialogModel &model) { return AddInDialog(model, EditContext(), request); }));
}

TimerResult RecorderRemoteBackend::UpdateTimer(int32_t id, const TimerRequest &request)
{
    return EntryAfter(
        EditTimers([&](TimerDialogModel &model) { return UpdateInDialog(model, EditContext(), id, request); }));
}

CommandResult RecorderRemoteBackend::DeleteTimer(int32_t id)
{
    return EditTimers([&](TimerDialogModel &model) { return DeleteInDialog(model, id); }).result;
}

TimerResult RecorderRemoteBackend::SetTimerActive(int32_t id, bool active)
{
    return EntryAfter(EditTimers([&](TimerDialogModel &model) { return SetActiveInDialog(model, id, active); }));
}

} // namespace quelmar
