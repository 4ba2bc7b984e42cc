#include "controller/RecordingControls.h"

#include "platform/NumberFormat.h"

#include <string>

namespace quelmar {

namespace {

// What a counter shows at the start.
constexpr char kZeroCount[] = "0";

InfoPane PaneOf(InfoStream stream) { return stream == InfoStream::Audio ? InfoPane::Audio : InfoPane::Video; }

} // namespace

RecordingFigures RecordingControls::Figures() const
{
    std::lock_guard lock(mutex_);
    return figures_;
}

void RecordingControls::OnStarting()
{
    {
        std::lock_guard lock(mutex_);
        figures_ = RecordingFigures{};
    }
    view_.EnableControl(ControlId::Pause, true);
    view_.EnableControl(ControlId::Stop, true);
    view_.EnableControl(ControlId::PowerOff, false);
    view_.EnableMenuItem(MenuItemId::SystemClose, false);
    view_.RedrawFrame();
    view_.EnableControl(ControlId::SplitNow, true);
    view_.SetText(ControlId::VideoBytes, kZeroCount);
    view_.SetText(ControlId::AudioBytes, kZeroCount);
    view_.SetText(ControlId::MuxBytes, kZeroCount);
    view_.SetText(ControlId::RecordingTime, FormatElapsed(0));
    view_.SetText(ControlId::VideoPadding, kZeroCount);
    view_.ClearInfo(InfoPane::Audio);
    view_.ClearInfo(InfoPane::Video);
}

void RecordingControls::OnProgress(const RecordingProgress &progress)
{
    {
        std::lock_guard lock(mutex_);
        figures_.part = progress.part;
        if (progress.videoBytes)
            figures_.videoBytes = *progress.videoBytes;
        if (progress.audioBytes)
            figures_.audioBytes = *progress.audioBytes;
        if (progress.muxBytes)
            figures_.muxBytes = *progress.muxBytes;
        if (progress.ptsBytes)
            figures_.ptsBytes = *progress.ptsBytes;
        if (progress.elapsedSeconds)
            figures_.elapsedSeconds = *progress.elapsedSeconds;
    }
    if (progress.ptsBytes)
        view_.SetText(ControlId::Pts, std::to_string(*progress.ptsBytes));
    if (progress.elapsedSeconds)
        view_.SetText(ControlId::RecordingTime, FormatElapsed(*progress.elapsedSeconds));
    if (progress.videoPadding)
        view_.SetText(ControlId::VideoPadding, std::to_string(*progress.videoPadding));
    if (progress.sinceSplitSeconds)
        view_.SetText(ControlId::TimeSinceSplit, FormatElapsed(*progress.sinceSplitSeconds));
    if (progress.muxBytes)
        view_.SetText(ControlId::MuxBytes, std::to_string(*progress.muxBytes));
    if (progress.audioBytes)
        view_.SetText(ControlId::AudioBytes, std::to_string(*progress.audioBytes));
    if (progress.videoBytes)
        view_.SetText(ControlId::VideoBytes, std::to_string(*progress.videoBytes));
}

void RecordingControls::OnSplitDone() { view_.EnableControl(ControlId::SplitNow, true); }

void RecordingControls::OnStreamInfo(InfoStream stream, const std::vector<std::string> &lines)
{
    const InfoPane pane = PaneOf(stream);
    view_.ClearInfo(pane);
    for (const auto &line : lines)
        view_.AddInfoLine(pane, line);
}

void RecordingControls::OnStopped(RecordingEnd)
{
    view_.SetText(ControlId::Pause, kCaptionPause);
    view_.EnableControl(ControlId::PowerOff, true);
    view_.EnableMenuItem(MenuItemId::SystemClose, true);
    view_.RedrawFrame();
    view_.EnableControl(ControlId::SplitNow, false);
    view_.EnableControl(ControlId::Stop, false);
    view_.EnableMenuItem(MenuItemId::TimerEnable, true);
    view_.EnableControl(ControlId::StopTime, false);
    view_.ShowControl(ControlId::StopTime, false);
    view_.EnableControl(ControlId::StopAtBox, false);
    view_.ShowControl(ControlId::StopAtBox, false);
    view_.ShowControl(ControlId::ShutdownBox, false);
    if (timerMode.Get()) {
        if (stoppedInTimerMode)
            stoppedInTimerMode();
        return;
    }
    view_.EnableControl(ControlId::Record, true);
    view_.EnableControl(ControlId::Pause, true);
    view_.EnableControl(ControlId::AudioChoice, true);
    view_.EnableControl(ControlId::VideoChoice, true);
    view_.EnableControl(ControlId::ChannelList, true);
    if (context_.multiplexerAvailable.Get()) {
        view_.EnableControl(ControlId::MuxChoice, true);
        view_.EnableControl(ControlId::VideoDelay, context_.outputs.UsesVideoDelay());
    }
}

} // namespace quelmar
