#include "controller/RecordingPanel.h"

#include "controller/InitialControls.h"
#include "controller/OutputFileChecks.h"
#include "engine/RecordingLimits.h"
#include "platform/LocalTime.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <string_view>
#include <utility>

namespace quelmar {

namespace {

// Data exchange of the two number fields: the platform's refusal texts.
constexpr char kFieldCaption[] = "QuelmarRecorder";
constexpr char kNeedPositiveInteger[] = "Please enter a positive integer.";
constexpr char kNeedInteger[] = "Please enter an integer.";

constexpr int32_t kExtendSeconds = 1800; // Record during a recording, and a stop-at time already past
constexpr int kChoiceNothing = static_cast<int>(OutputChoice::Nothing);
constexpr int kChoiceRaw = static_cast<int>(OutputChoice::Raw);
constexpr int kChoiceElementary = static_cast<int>(OutputChoice::Elementary);

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

ControlId ListOf(StreamOutput output)
{
    switch (output) {
    case StreamOutput::Video: return ControlId::VideoChoice;
    case StreamOutput::Audio: return ControlId::AudioChoice;
    case StreamOutput::Mux: break;
    }
    return ControlId::MuxChoice;
}

} // namespace

RecordingPanel::RecordingPanel(ControlBoard &board, MainView &view, CRecorderApp &app, RecordingService &recording)
    : board_(board), view_(view), app_(app), recording_(recording)
{
    recording_.SetSplitSize(app_.m_nSplitSize);
    videoDelayMs_ = static_cast<int16_t>(std::clamp<int32_t>(app_.m_nVideoDelay, kMinVideoDelayMs, kMaxVideoDelayMs));
}

void RecordingPanel::ShowSettings()
{
    board_.SetChecked(ControlId::SplitOnSize, app_.m_bSplitOnSize != 0);
    board_.SetText(ControlId::FileName, app_.m_strFile);
    board_.SetChecked(ControlId::SplitOnTime, app_.m_bSplitOnTime != 0);
    board_.SetTimeOfDay(ControlId::SplitInterval,
                        static_cast<int>(std::min<uint32_t>(app_.m_nSplitTime, kLastSecondOfDay)));
    WriteFieldsBack();
}

// ---- the save lists -------------------------------------------------------------

void RecordingPanel::ResetStreamChoices()
{
    board_.SetSelection(ControlId::AudioChoice, kChoiceRaw);
    board_.SetSelection(ControlId::VideoChoice, kChoiceRaw);
    board_.SetSelection(ControlId::MuxChoice, kChoiceNothing);
}

void RecordingPanel::ShowSavedStreamChoices()
{
    board_.SetSelection(ControlId::AudioChoice, app_.m_nSaveAudio);
    board_.SetSelection(ControlId::VideoChoice, app_.m_nSaveVideo);
    board_.SetSelection(ControlId::MuxChoice, app_.m_nSaveMux);
}

void RecordingPanel::DropElementaryChoices()
{
    for (ControlId id : {ControlId::AudioChoice, ControlId::VideoChoice}) {
        auto items = board_.Control(id).items;
        if (items.size() > static_cast<size_t>(kChoiceElementary))
            items.erase(items.begin() + kChoiceElementary);
        board_.SetItems(id, std::move(items));
    }
}

void RecordingPanel::OnStreamChoiceChanged(ControlId list, int index)
{
    if (list != ControlId::AudioChoice && list != ControlId::VideoChoice && list != ControlId::MuxChoice)
        return;
    board_.SetSelection(list, index);
    ApplyStreamRule();
    app_.m_nSaveAudio = board_.Selection(ControlId::AudioChoice);
    app_.m_nSaveVideo = board_.Selection(ControlId::VideoChoice);
    app_.m_nSaveMux = board_.Selection(ControlId::MuxChoice);
}

void RecordingPanel::VideoDelayRule() { board_.SetEnabled(ControlId::VideoDelay, SelectedOutputs().UsesVideoDelay()); }

void RecordingPanel::ApplyStreamRule()
{
    VideoDelayRule();
    const bool throughMultiplexer = SelectedOutputs().GoesThroughMultiplexer();
    board_.SetEnabled(ControlId::SplitOnTime, throughMultiplexer);
    board_.SetEnabled(ControlId::SplitInterval, throughMultiplexer);
}

OutputChoices RecordingPanel::SelectedOutputs() const
{
    OutputChoices choices;
    choices.video = ChoiceOf(board_.Selection(ControlId::VideoChoice));
    choices.audio = ChoiceOf(board_.Selection(ControlId::AudioChoice));
    choices.mux = ChoiceOf(board_.Selection(ControlId::MuxChoice));
    return choices;
}

int RecordingPanel::OutputChoiceIndex(StreamOutput output) const { return board_.Selection(ListOf(output)); }

bool RecordingPanel::ChooseOutput(StreamOutput output, int index)
{
    const ControlId list = ListOf(output);
    const ControlState &state = board_.Control(list);
    if (state.selection == index)
        return true;
    if (!state.enabled || index < 0 || index >= static_cast<int>(state.items.size()))
        return false;
    OnStreamChoiceChanged(list, index);
    return true;
}

// ---- the number fields and split boxes ----------------------------------------------

void RecordingPanel::OnSplitOnSizeClicked(bool checked)
{
    board_.SetChecked(ControlId::SplitOnSize, checked);
    recording_.SetSplitOnSize(checked);
    app_.m_bSplitOnSize = checked ? 1 : 0;
}

bool RecordingPanel::ExchangeFields()
{
    const auto size = ParseNumber<uint32_t>(board_.Control(ControlId::SplitSize).text);
    if (!size) {
        view_.ShowMessage(kNeedPositiveInteger, kFieldCaption, MessageIcon::Warning);
        return false;
    }
    const auto delay = ParseNumber<int16_t>(board_.Control(ControlId::VideoDelay).text);
    if (!delay) {
        view_.ShowMessage(kNeedInteger, kFieldCaption, MessageIcon::Warning);
        return false;
    }
    recording_.SetSplitSize(std::max(*size, kMinSplitSizeMb));
    videoDelayMs_ = std::clamp(*delay, kMinVideoDelayMs, kMaxVideoDelayMs);
    return true;
}

void RecordingPanel::WriteFieldsBack()
{
    board_.SetText(ControlId::SplitSize, std::to_string(recording_.SplitSize()));
    board_.SetText(ControlId::VideoDelay, std::to_string(videoDelayMs_));
}

void RecordingPanel::OnSplitSizeKillFocus(const std::string &text)
{
    board_.SetText(ControlId::SplitSize, text);
    if (!ExchangeFields())
        return;
    app_.m_nSplitSize = recording_.SplitSize();
    WriteFieldsBack();
}

void RecordingPanel::OnVideoDelayKillFocus(const std::string &text)
{
    board_.SetText(ControlId::VideoDelay, text);
    if (!ExchangeFields())
        return;
    app_.m_nVideoDelay = videoDelayMs_;
    WriteFieldsBack();
}

void RecordingPanel::OnSplitOnTimeClicked(bool checked)
{
    board_.SetChecked(ControlId::SplitOnTime, checked);
    recording_.SetSplitOnTime(checked);
    if (!checked)
        board_.SetText(ControlId::TimeSinceSplit, kSplitClockIdle);
    app_.m_bSplitOnTime = checked ? 1 : 0;
}

void RecordingPanel::OnSplitIntervalChanged(int timeOfDay)
{
    const auto seconds =
        static_cast<uint32_t>(std::clamp<int>(timeOfDay, static_cast<int>(kMinSplitTimeSeconds), kLastSecondOfDay));
    board_.SetTimeOfDay(ControlId::SplitInterval, static_cast<int>(seconds));
    recording_.SetSplitInterval(seconds);
    app_.m_nSplitTime = seconds;
}

// ---- stop-at ------------------------------------------------------------------------

void RecordingPanel::ShowStopTime() { board_.SetTimeOfDay(ControlId::StopTime, LocalTimeOfDay(timeStop_)); }

void RecordingPanel::OnStopAtClicked(bool checked)
{
    board_.SetChecked(ControlId::StopAtBox, checked);
    board_.SetEnabled(ControlId::StopTime, checked);
    board_.SetEnabled(ControlId::ShutdownBox, checked);
    if (!checked) {
        board_.SetChecked(ControlId::ShutdownBox, false);
        return;
    }
    const CTime now = CTime::GetCurrentTime();
    CTime stop = LocalDateAt(now, board_.Control(ControlId::StopTime).timeOfDay);
    if (stop.GetTime() <= now.GetTime())
        stop = AddSeconds(now, kExtendSeconds);
    timeStop_ = stop;
    ShowStopTime();
}

void RecordingPanel::OnStopTimeChanged(int timeOfDay)
{
    timeOfDay = std::clamp(timeOfDay, 0, kLastSecondOfDay);
    board_.SetTimeOfDay(ControlId::StopTime, timeOfDay);
    const CTime now = CTime::GetCurrentTime();
    CTime stop = LocalDateAt(now, timeOfDay);
    if (stop.GetTime() <= now.GetTime())
        stop = AddSeconds(stop, kSecondsPerDay);
    timeStop_ = stop;
    ShowStopTime();
}

void RecordingPanel::OnShutdownBoxClicked(bool checked) { board_.SetChecked(ControlId::ShutdownBox, checked); }

void RecordingPanel::ResetStopAt(bool offer)
{
    board_.SetChecked(ControlId::StopAtBox, false);
    board_.SetChecked(ControlId::ShutdownBox, false);
    if (!offer)
        return;
    timeStop_ = CTime::GetCurrentTime();
    ShowStopTime();
    board_.SetShown(ControlId::StopTime, true);
    board_.SetShown(ControlId::StopAtBox, true);
    board_.SetEnabled(ControlId::StopAtBox, true);
    board_.SetShown(ControlId::ShutdownBox, true);
    board_.SetEnabled(ControlId::ShutdownBox, false);
}

void RecordingPanel::ExtendStop()
{
    if (!board_.Checked(ControlId::StopAtBox)) {
        board_.SetChecked(ControlId::StopAtBox, true);
        board_.SetEnabled(ControlId::StopTime, true);
        board_.SetEnabled(ControlId::ShutdownBox, false);
    }
    timeStop_ = AddSeconds(timeStop_, kExtendSeconds);
    ShowStopTime();
}

bool RecordingPanel::SetStopAfter(uint32_t seconds)
{
    if (!recording_.Active())
        return false;
    board_.SetChecked(ControlId::StopAtBox, true);
    board_.SetEnabled(ControlId::StopTime, true);
    board_.SetEnabled(ControlId::ShutdownBox, true);
    timeStop_ = AddSeconds(CTime::GetCurrentTime(), seconds);
    ShowStopTime();
    return true;
}

bool RecordingPanel::StopTimeReached() const
{
    return board_.Checked(ControlId::StopAtBox) && CTime::GetCurrentTime().GetTime() >= timeStop_.GetTime();
}

// ---- the file name ------------------------------------------------------------------

void RecordingPanel::OnBrowse()
{
    const auto chosen = view_.RunSaveDialog(board_.Control(ControlId::FileName).text, [this](const std::string &path) {
        return AcceptSaveDialogName(view_, path);
    });
    if (!chosen)
        return;
    // One whole value: a running recording takes it for its next split file.
    recording_.SetBaseName(*chosen);
    board_.SetText(ControlId::FileName, *chosen);
    app_.m_strFile = *chosen;
}

void RecordingPanel::PanicModeRename(const std::string &channelName)
{
    const std::string base =
        PanicModeFileBase(board_.Control(ControlId::FileName).text, channelName, CTime::GetCurrentTime());
    board_.SetText(ControlId::FileName, base);
    app_.m_strFile = base;
}

RecordingRequest RecordingPanel::Request() const
{
    RecordingRequest request;
    request.baseName = board_.Control(ControlId::FileName).text;
    request.outputs = SelectedOutputs();
    request.splitOnSize = board_.Checked(ControlId::SplitOnSize);
    request.splitSizeMb = recording_.SplitSize();
    request.splitOnTime = board_.Checked(ControlId::SplitOnTime) && board_.Control(ControlId::SplitOnTime).enabled;
    request.splitTimeSeconds = static_cast<uint32_t>(board_.Control(ControlId::SplitInterval).timeOfDay);
    request.videoDelayMs = videoDelayMs_;
    request.logInfo = board_.MenuItem(MenuItemId::LogInfos).checked;
    request.startPaused = recording_.Paused();
    return request;
}

} // namespace quelmar
