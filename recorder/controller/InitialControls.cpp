#include "controller/InitialControls.h"

#include <utility>

namespace quelmar {

std::map<ControlId, ControlState> InitialControls()
{
    std::map<ControlId, ControlState> controls;
    // Enabled unless named below.
    for (ControlId id : kAllControls)
        controls[id].enabled = true;
    for (ControlId id : {ControlId::VideoChoice, ControlId::AudioChoice, ControlId::MuxChoice, ControlId::VideoDelay,
                         ControlId::SplitOnSize, ControlId::SplitSize, ControlId::SplitOnTime, ControlId::SplitInterval,
                         ControlId::SplitNow, ControlId::StopAtBox, ControlId::StopTime, ControlId::ShutdownBox,
                         ControlId::ChannelList, ControlId::Record, ControlId::Pause, ControlId::Stop,
                         ControlId::FileName, ControlId::Browse})
        controls[id].enabled = false;
    for (ControlId id : {ControlId::StopAtBox, ControlId::StopTime, ControlId::ShutdownBox})
        controls[id].shown = false;
    for (const auto &[id, text] : kInitialTexts)
        controls[id].text = text;
    controls[ControlId::VideoChoice].items = {"don't save", "as raw", "as m2v"};
    controls[ControlId::AudioChoice].items = {"don't save", "as raw", "as mp2/ac3"};
    controls[ControlId::MuxChoice].items = {"don't save", "as ~DVD"};
    return controls;
}

std::map<MenuItemId, MenuItemState> InitialMenuItems()
{
    std::map<MenuItemId, MenuItemState> items;
    for (MenuItemId id : kAllMenuItems)
        items[id] = MenuItemState{};
    return items;
}

} // namespace quelmar
