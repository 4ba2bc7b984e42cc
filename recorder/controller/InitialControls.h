// The main window's controls and menu items as the window is built, before
// the settings and the bring-up change them.
#pragma once

#include "controller/MainView.h"

#include <map>
#include <utility>

namespace quelmar {

// The time-since-split field while no split interval is counted.
inline constexpr char kSplitClockIdle[] = "hh:mm:ss";

// Captions and texts of the controls when the window is built.
inline constexpr std::pair<ControlId, const char *> kInitialTexts[] = {
    {ControlId::VideoBytes, "0"},
    {ControlId::AudioBytes, "0"},
    {ControlId::MuxBytes, "0"},
    {ControlId::Pts, "0"},
    {ControlId::VideoPadding, "0"},
    {ControlId::SplitOnSize, "Sp&lit every"},
    {ControlId::SplitOnTime, "Spli&t every"},
    {ControlId::TimeSinceSplit, kSplitClockIdle},
    {ControlId::SplitNow, "Split &now!"},
    {ControlId::Clock, "- :- - :- - "},
    {ControlId::RecordingTime, "0:00:00"},
    {ControlId::ShutdownBox, "s&hut down"},
    {ControlId::Record, "&Record"},
    {ControlId::Pause, kCaptionPause},
    {ControlId::Stop, "&Stop"},
    {ControlId::PowerOff, "Power Off"},
    {ControlId::Browse, "..."},
};

// The initial caption or text of control `id`; "" for none. Any thread.
constexpr const char *InitialText(ControlId id)
{
    for (const auto &[control, text] : kInitialTexts)
        if (control == id)
            return text;
    return "";
}

// Every control of kAllControls in its initial state: captions and texts,
// the three save lists' entries, enabled, disabled or hidden. Any thread.
std::map<ControlId, ControlState> InitialControls();
// Every menu item of kAllMenuItems, enabled and unchecked. Any thread.
std::map<MenuItemId, MenuItemState> InitialMenuItems();

} // namespace quelmar
