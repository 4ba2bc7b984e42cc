// The main window's controls and menu items as the window is built, before
// the settings and the bring-up change them.
#pragma once

#include "controller/MainView.h"

#include <map>

namespace quelmar {

// The time-since-split field while no split interval is counted.
inline constexpr char kSplitClockIdle[] = "hh:mm:ss";

// Every control of kAllControls in its initial state: captions and texts,
// the three save lists' entries, enabled, disabled or hidden. Any thread.
std::map<ControlId, ControlState> InitialControls();
// Every menu item of kAllMenuItems, enabled and unchecked. Any thread.
std::map<MenuItemId, MenuItemState> InitialMenuItems();

} // namespace quelmar
