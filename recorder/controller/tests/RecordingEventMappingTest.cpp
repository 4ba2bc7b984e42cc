// What a recording's events do to the main window's controls.
#include "controller/RecordingControls.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>

using namespace quelmar;

namespace {

// Keeps the latest state of every control it is told about.
class ViewRecord : public RecorderView {
public:
    void SetText(ControlId c, const std::string &t) override { texts[c] = t; }
    void EnableControl(ControlId c, bool on) override { enabled[c] = on; }
    void ShowControl(ControlId c, bool on) override { shown[c] = on; }
    void EnableMenuItem(MenuItemId m, bool on) override { menu[m] = on; }
    void RedrawFrame() override { ++redraws; }
    void ClearInfo(InfoPane p) override { panes[p].clear(); }
    void AddInfoLine(InfoPane p, const std::string &line) override { panes[p].push_back(line); }

    std::optional<bool> Enabled(ControlId c) const
    {
        const auto found = enabled.find(c);
        return found == enabled.end() ? std::nullopt : std::optional<bool>(found->second);
    }

    std::map<ControlId, std::string> texts;
    std::map<ControlId, bool> enabled, shown;
    std::map<MenuItemId, bool> menu;
    std::map<InfoPane, std::vector<std::string>> panes;
    int redraws = 0;
};

struct EndCase {
    const char *name;
    bool timerMode;
    bool multiplexer;
    OutputChoices outputs;
    std::optional<bool> record;     // Record's state afterwards; none: not touched
    std::optional<bool> muxChoice;  // the multiplex list
    std::optional<bool> videoDelay; // the video delay field
};

// NOLINTNEXTLINE(readability-identifier-naming)
void PrintTo(const EndCase &c, std::ostream *os) { *os << c.name; }

constexpr OutputChoice kNo = OutputChoice::Nothing;
constexpr OutputChoice kRaw = OutputChoice::Raw;
constexpr OutputChoice kEs = OutputChoice::Elementary;

class EndOfRecording : public ::testing::TestWithParam<EndCase> {};

TEST_P(EndOfRecording, ReturnsTheControlsForTheMode)
{
    const EndCase &c = GetParam();
    ViewRecord view;
    RecordingContext context;
    context.multiplexerAvailable.Set(c.multiplexer);
    context.outputs = c.outputs;
    RecordingControls controls(view, context);
    Flag timerMode;
    timerMode.Set(c.timerMode);
    controls.timerMode = timerMode.Reader();
    int nextTimerReports = 0;
    controls.stoppedInTimerMode = [&] { ++nextTimerReports; };

    controls.OnStarting();
    EXPECT_EQ(view.Enabled(ControlId::PowerOff), false);
    EXPECT_EQ(view.menu[MenuItemId::SystemClose], false);
    controls.OnStopped(RecordingEnd::Completed);

    EXPECT_EQ(view.texts[ControlId::Pause], "&Pause");
    EXPECT_EQ(view.Enabled(ControlId::PowerOff), true);
    EXPECT_EQ(view.menu[MenuItemId::SystemClose], true);
    EXPECT_EQ(view.menu[MenuItemId::TimerEnable], true);
    EXPECT_EQ(view.redraws, 2);
    for (ControlId id : {ControlId::SplitNow, ControlId::Stop, ControlId::StopTime, ControlId::StopAtBox})
        EXPECT_EQ(view.Enabled(id), false);
    for (ControlId id : {ControlId::StopTime, ControlId::StopAtBox, ControlId::ShutdownBox})
        EXPECT_FALSE(view.shown.at(id));
    EXPECT_EQ(view.Enabled(ControlId::Record), c.record);
    EXPECT_EQ(view.Enabled(ControlId::ChannelList), c.record);
    EXPECT_EQ(view.Enabled(ControlId::MuxChoice), c.muxChoice);
    EXPECT_EQ(view.Enabled(ControlId::VideoDelay), c.videoDelay);
    EXPECT_EQ(nextTimerReports, c.timerMode ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, EndOfRecording,
    ::testing::Values(EndCase{"program stream", false, true, {kNo, kNo, kRaw}, true, true, true},
                      EndCase{"both elementary", false, true, {kEs, kEs, kNo}, true, true, true},
                      EndCase{"raw video only", false, true, {kRaw, kNo, kNo}, true, true, false},
                      EndCase{"one elementary", false, true, {kEs, kRaw, kNo}, true, true, false},
                      EndCase{"no multiplexer", false, false, {kRaw, kRaw, kNo}, true, std::nullopt, std::nullopt},
                      EndCase{"timer mode", true, true, {kNo, kNo, kRaw}, std::nullopt, std::nullopt, std::nullopt}));

TEST(RecordingProgressShown, CountersClocksPanesAndFigures)
{
    ViewRecord view;
    RecordingContext context;
    RecordingControls controls(view, context);
    controls.OnStarting();
    for (ControlId id : {ControlId::VideoBytes, ControlId::AudioBytes, ControlId::MuxBytes, ControlId::VideoPadding})
        EXPECT_EQ(view.texts.at(id), "0");
    EXPECT_EQ(view.texts.at(ControlId::RecordingTime), "0:00:00");

    RecordingProgress progress;
    progress.videoBytes = 123456789012ULL;
    progress.ptsBytes = 48;
    progress.elapsedSeconds = 100000; // beyond a day: the hours go on
    progress.sinceSplitSeconds = 3725;
    progress.part = 3;
    controls.OnProgress(progress);
    RecordingProgress audio;
    audio.audioBytes = 7;
    audio.part = 3;
    controls.OnProgress(audio);
    controls.OnStreamInfo(InfoStream::Audio, {"Audio Type: AC3"});
    controls.OnStreamInfo(InfoStream::Video, {"a", "b"});
    controls.OnStreamInfo(InfoStream::Video, {"c"});

    EXPECT_EQ(view.texts.at(ControlId::VideoBytes), "123456789012");
    EXPECT_EQ(view.texts.at(ControlId::AudioBytes), "7");
    EXPECT_EQ(view.texts.at(ControlId::Pts), "48");
    EXPECT_EQ(view.texts.at(ControlId::RecordingTime), "27:46:40");
    EXPECT_EQ(view.texts.at(ControlId::TimeSinceSplit), "1:02:05");
    EXPECT_EQ(view.panes.at(InfoPane::Audio), std::vector<std::string>{"Audio Type: AC3"});
    EXPECT_EQ(view.panes.at(InfoPane::Video), std::vector<std::string>{"c"});
    const RecordingFigures figures = controls.Figures();
    EXPECT_EQ(figures.videoBytes, 123456789012ULL);
    EXPECT_EQ(figures.audioBytes, 7u);
    EXPECT_EQ(figures.muxBytes, 0u);
    EXPECT_EQ(figures.ptsBytes, 48u);
    EXPECT_EQ(figures.elapsedSeconds, 100000u);
    EXPECT_EQ(figures.part, 3);

    controls.OnStarting(); // the next recording counts from zero
    EXPECT_EQ(controls.Figures().videoBytes, 0u);
    EXPECT_EQ(view.panes.at(InfoPane::Video), std::vector<std::string>{});
}

} // namespace
