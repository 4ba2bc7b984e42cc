#include "controller/InitialControls.h"

#include <utility>

namespace quelmar {

namespace {

// Captions and texts of the controls when the window is built.
constexpr std::pair<ControlId, const char *> kInitialTexts[] = {
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

} // namespace

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
