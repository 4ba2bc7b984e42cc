// The main window's control and menu ids, and RecorderView: the changes of
// the window's controls that are made on other threads than the
// user-interface thread (the recording thread's events as RecordingControls
// maps them to control states).
//
// EngineBridge implements RecorderView. Every member may be called from any
// thread while the user-interface thread runs. An implementation hands the
// change to the user-interface thread as a queued call and returns at once:
// the recording thread never waits for the user-interface thread and never
// touches a widget.
#pragma once

#include <string>

namespace quelmar {

// Controls of the main window, by their dialog ids: the one list of them,
// used by the controller, the window and the tests.
enum class ControlId : int {
    PowerOff = 2, // "Power Off"; command 2 is also the Escape key
    FileName = 1000,
    Browse = 1001, // "..."
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
    Clock = 1042,
    SplitInterval = 1043,
    TimeSinceSplit = 1044,
    StopAtBox = 1045,
    StopTime = 1046,
    Date = 1047,
    ShutdownBox = 1048,
};

// Every control of the main window, in id order.
inline constexpr ControlId kAllControls[] = {
    ControlId::PowerOff,     ControlId::FileName,      ControlId::Browse,
    ControlId::Record,       ControlId::VideoBytes,    ControlId::AudioBytes,
    ControlId::Pts,          ControlId::MuxBytes,      ControlId::EventLog,
    ControlId::SplitSize,    ControlId::SplitOnSize,   ControlId::Pause,
    ControlId::Stop,         ControlId::SplitOnTime,   ControlId::AudioChoice,
    ControlId::SplitNow,     ControlId::VideoChoice,   ControlId::MuxChoice,
    ControlId::VideoPadding, ControlId::AudioInfo,     ControlId::ChannelList,
    ControlId::VideoDelay,   ControlId::VideoInfo,     ControlId::RecordingTime,
    ControlId::Clock,        ControlId::SplitInterval, ControlId::TimeSinceSplit,
    ControlId::StopAtBox,    ControlId::StopTime,      ControlId::Date,
    ControlId::ShutdownBox,
};

// Items of the main window's menu and the Close item of its system menu, by
// their command ids.
enum class MenuItemId : int {
    ScsiBusy = 32771,           // "SCSI &Mode" > "&busy"
    ScsiCheckCondition = 32772, // "SCSI &Mode" > "&checked condition"
    ScsiAuto = 32773,           // "SCSI &Mode" > "&auto"
    RemoteDisable = 32774,      // "Rem&ote" > "&disable during recording"
    PriorityRealTime = 32775,   // "Pr&iority" > "&real time"
    PriorityNormal = 32776,     // "Pr&iority" > "&normal"
    PriorityIdle = 32777,       // "Pr&iority" > "&idle"
    PriorityHigh = 32778,       // "Pr&iority" > "&high"
    TimerEdit = 32779,          // "&Timer" > "E&dit"
    TimerEnable = 32780,        // "&Timer" > "&Enable"
    SpeedTest = 32782,          // "SCSI &Mode" > "&Speed Test"
    PanicMode = 32783,          // "Mis&c" > "&Panic Mode"
    RescanBus = 32784,          // "SCSI &Mode" > "&Rescan SCSI Bus"
    LogInfos = 32785,           // "Mis&c" > "&Log Audio/Video Info"
    SystemClose = 0xF060,       // Close of the system menu
};

// Every menu item, in id order.
inline constexpr MenuItemId kAllMenuItems[] = {
    MenuItemId::ScsiBusy,         MenuItemId::ScsiCheckCondition, MenuItemId::ScsiAuto,     MenuItemId::RemoteDisable,
    MenuItemId::PriorityRealTime, MenuItemId::PriorityNormal,     MenuItemId::PriorityIdle, MenuItemId::PriorityHigh,
    MenuItemId::TimerEdit,        MenuItemId::TimerEnable,        MenuItemId::SpeedTest,    MenuItemId::PanicMode,
    MenuItemId::RescanBus,        MenuItemId::LogInfos,           MenuItemId::SystemClose,
};

// The captions of the Pause button.
inline constexpr char kCaptionPause[] = "&Pause";
inline constexpr char kCaptionResume[] = "R&esume";

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

} // namespace quelmar
