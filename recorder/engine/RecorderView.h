// RecorderView: what the recording engine changes in the main window.
//
// The window implements it; tests use RecordingViewDouble. Every member may
// be called from any thread (the recording thread mostly) while the
// user-interface thread runs. An implementation hands the change to the
// user-interface thread as a queued call and returns at once: the engine
// never waits for the user-interface thread and never touches a widget.
#pragma once

#include <string>

namespace quelmar {

// Controls of the main window, by their dialog ids.
enum class ControlId : int {
    PowerOff = 2,
    FileName = 1000,
    Record = 1002,
    VideoBytes = 1003,
    AudioBytes = 1004,
    Pts = 1005,
    MuxBytes = 1006,
    EventLog = 1007,
    SplitSize = 1008,
    SplitOnSize = 1009,
    Pause = 1010,
    Stop = 1011,
    SplitOnTime = 1012,
    AudioChoice = 1013,
    SplitNow = 1014,
    VideoChoice = 1015,
    MuxChoice = 1016,
    VideoPadding = 1017,
    AudioInfo = 1018,
    ChannelList = 1019,
    VideoDelay = 1020,
    VideoInfo = 1021,
    RecordingTime = 1041,
    SplitInterval = 1043,
    TimeSinceSplit = 1044,
    StopAtBox = 1045,
    StopTime = 1046,
    ShutdownBox = 1048,
};

// Menu items the engine enables and disables.
enum class MenuItemId : int {
    TimerEnable = 32780,  // "&Timer" > "&Enable"
    SystemClose = 0xF060, // Close of the system menu
};

// The two information panes.
enum class InfoPane : int {
    Audio = static_cast<int>(ControlId::AudioInfo),
    Video = static_cast<int>(ControlId::VideoInfo),
};

class RecorderView {
public:
    virtual ~RecorderView() = default;
    // Text of a static field or caption of a button.
    virtual void SetText(ControlId control, const std::string &text) = 0;
    virtual void EnableControl(ControlId control, bool enabled) = 0;
    virtual void ShowControl(ControlId control, bool shown) = 0;
    virtual void EnableMenuItem(MenuItemId item, bool enabled) = 0;
    // The frame is redrawn (after the system menu changed).
    virtual void RedrawFrame() = 0;
    virtual void ClearInfo(InfoPane pane) = 0;
    virtual void AddInfoLine(InfoPane pane, const std::string &line) = 0;
};

// A view that shows nothing: for a recording without a window, and a base
// for views that follow only some of the updates.
class NullRecorderView : public RecorderView {
public:
    void SetText(ControlId, const std::string &) override {}
    void EnableControl(ControlId, bool) override {}
    void ShowControl(ControlId, bool) override {}
    void EnableMenuItem(MenuItemId, bool) override {}
    void RedrawFrame() override {}
    void ClearInfo(InfoPane) override {}
    void AddInfoLine(InfoPane, const std::string &) override {}
};

} // namespace quelmar
