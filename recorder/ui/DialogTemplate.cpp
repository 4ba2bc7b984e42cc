#include "ui/DialogTemplate.h"

#include "controller/InitialControls.h"

#include <algorithm>
#include <array>

namespace quelmar {
namespace {

constexpr int Id(ControlId id) { return static_cast<int>(id); }

// Where this window differs from the original template, only to the right
// into free space, so that the texts of DejaVu Sans fit: the date (1047;
// long weekday and month names), the clock (1042), the time into the split
// file (1044) and the elapsed time (1041). The labels beside the fields had
// no rectangles of their own and are placed here.
constexpr auto kItems = std::to_array<DialogItem>({
    // "Save streams"
    {kNoId, ItemKind::GroupBox, {4, 3, 149, 54}, "Save streams"},
    {kNoId, ItemKind::Label, {5, 16, 33, 8}, "Video:", ButtonIcon::None, TextAlign::Right},
    {Id(ControlId::VideoChoice), ItemKind::DropList, {39, 14, 55, 45}, ""},
    {Id(ControlId::VideoBytes), ItemKind::StaticText, {100, 17, 45, 8}, InitialText(ControlId::VideoBytes)},
    {kNoId, ItemKind::Label, {5, 29, 33, 8}, "Audio:", ButtonIcon::None, TextAlign::Right},
    {Id(ControlId::AudioChoice), ItemKind::DropList, {39, 27, 55, 45}, ""},
    {Id(ControlId::AudioBytes), ItemKind::StaticText, {100, 30, 45, 8}, InitialText(ControlId::AudioBytes)},
    {kNoId, ItemKind::Label, {5, 42, 33, 8}, "Multiplex:", ButtonIcon::None, TextAlign::Right},
    {Id(ControlId::MuxChoice), ItemKind::DropList, {39, 40, 55, 45}, ""},
    {Id(ControlId::MuxBytes), ItemKind::StaticText, {100, 43, 45, 8}, InitialText(ControlId::MuxBytes)},
    // Counters and video delay
    {kNoId, ItemKind::Label, {40, 61, 58, 8}, "PTS:", ButtonIcon::None, TextAlign::Right},
    {Id(ControlId::Pts), ItemKind::StaticText, {100, 61, 45, 8}, InitialText(ControlId::Pts)},
    {kNoId, ItemKind::Label, {4, 72, 94, 8}, "Removed video padding:", ButtonIcon::None, TextAlign::Right},
    {Id(ControlId::VideoPadding), ItemKind::StaticText, {100, 72, 45, 8}, InitialText(ControlId::VideoPadding)},
    {kNoId, ItemKind::Label, {4, 85, 92, 8}, "Video delay:", ButtonIcon::None, TextAlign::Right},
    {Id(ControlId::VideoDelay), ItemKind::Edit, {98, 83, 26, 12}, ""},
    {kNoId, ItemKind::Label, {126, 85, 14, 8}, "ms"},
    // "Split files"
    {kNoId, ItemKind::GroupBox, {181, 3, 194, 42}, "Split files"},
    {Id(ControlId::SplitOnSize), ItemKind::CheckBox, {188, 13, 45, 10}, InitialText(ControlId::SplitOnSize)},
    {Id(ControlId::SplitSize), ItemKind::Edit, {237, 12, 21, 12}, ""},
    {kNoId, ItemKind::Label, {260, 14, 14, 8}, "MB"},
    {Id(ControlId::SplitOnTime), ItemKind::CheckBox, {188, 28, 45, 10}, InitialText(ControlId::SplitOnTime)},
    {Id(ControlId::SplitInterval), ItemKind::TimePicker, {237, 27, 46, 13}, ""},
    {Id(ControlId::TimeSinceSplit), ItemKind::StaticText, {285, 29, 38, 8}, InitialText(ControlId::TimeSinceSplit)},
    {Id(ControlId::SplitNow), ItemKind::PushButton, {325, 13, 43, 26}, InitialText(ControlId::SplitNow)},
    // Clock, stop time, picture
    {Id(ControlId::Date), ItemKind::StaticText, {181, 48, 148, 8}, ""},
    {Id(ControlId::Clock), ItemKind::StaticText, {331, 48, 38, 8}, InitialText(ControlId::Clock)},
    {kNoId, ItemKind::Picture, {181, 62, 100, 15}, ""},
    {Id(ControlId::RecordingTime), ItemKind::StaticText, {284, 66, 35, 8}, InitialText(ControlId::RecordingTime)},
    {Id(ControlId::StopAtBox), ItemKind::CheckBox, {320, 59, 9, 9}, ""},
    {Id(ControlId::StopTime), ItemKind::TimePicker, {330, 58, 46, 13}, ""},
    {Id(ControlId::ShutdownBox), ItemKind::CheckBox, {320, 71, 47, 8}, InitialText(ControlId::ShutdownBox)},
    // Channel, transport buttons, file name
    {Id(ControlId::ChannelList), ItemKind::DropList, {181, 83, 101, 168}, ""},
    {Id(ControlId::Record),
     ItemKind::IconButton,
     {290, 81, 19, 14},
     InitialText(ControlId::Record),
     ButtonIcon::Record},
    {Id(ControlId::Pause), ItemKind::IconButton, {312, 81, 19, 14}, InitialText(ControlId::Pause), ButtonIcon::Pause},
    {Id(ControlId::Stop), ItemKind::IconButton, {334, 81, 19, 14}, InitialText(ControlId::Stop), ButtonIcon::Stop},
    {Id(ControlId::PowerOff),
     ItemKind::IconButton,
     {356, 81, 19, 14},
     InitialText(ControlId::PowerOff),
     ButtonIcon::PowerOff},
    {kNoId,
     ItemKind::Label,
     {4, 98, 92, 16},
     "File name (without extension):",
     ButtonIcon::None,
     TextAlign::RightWrapped},
    {Id(ControlId::FileName), ItemKind::ReadOnlyEdit, {98, 100, 256, 12}, ""},
    {Id(ControlId::Browse),
     ItemKind::IconButton,
     {356, 99, 19, 14},
     InitialText(ControlId::Browse),
     ButtonIcon::Browse},
    // Information panes and event log
    {kNoId, ItemKind::GroupBox, {4, 115, 183, 64}, "Audio info"},
    {Id(ControlId::AudioInfo), ItemKind::ListBox, {8, 125, 175, 51}, ""},
    {kNoId, ItemKind::GroupBox, {192, 115, 183, 64}, "Video info"},
    {Id(ControlId::VideoInfo), ItemKind::ListBox, {196, 125, 175, 51}, ""},
    {Id(ControlId::EventLog), ItemKind::LogList, {4, 183, 371, 83}, ""},
});

constexpr auto kTopMenus = std::to_array<TopMenuEntry>({
    {TopMenu::ScsiMode, "SCSI &Mode"},
    {TopMenu::Remote, "Rem&ote"},
    {TopMenu::Priority, "Pr&iority"},
    {TopMenu::Timer, "&Timer"},
    {TopMenu::Misc, "Mis&c"},
});

constexpr auto kMenuItems = std::to_array<MenuEntry>({
    {TopMenu::ScsiMode, MenuItemId::ScsiAuto, "&auto", true},
    {TopMenu::ScsiMode, MenuItemId::ScsiBusy, "&busy", true},
    {TopMenu::ScsiMode, MenuItemId::ScsiCheckCondition, "&checked condition", true},
    {TopMenu::ScsiMode, kMenuSeparator, "", false},
    {TopMenu::ScsiMode, MenuItemId::SpeedTest, "&Speed Test", false},
    {TopMenu::ScsiMode, MenuItemId::RescanBus, "&Rescan SCSI Bus", false},
    {TopMenu::Remote, MenuItemId::RemoteDisable, "&disable during recording", true},
    {TopMenu::Priority, MenuItemId::PriorityRealTime, "&real time", true},
    {TopMenu::Priority, MenuItemId::PriorityHigh, "&high", true},
    {TopMenu::Priority, MenuItemId::PriorityNormal, "&normal", true},
    {TopMenu::Priority, MenuItemId::PriorityIdle, "&idle", true},
    {TopMenu::Timer, MenuItemId::TimerEnable, "&Enable", true},
    {TopMenu::Timer, MenuItemId::TimerEdit, "E&dit", false},
    {TopMenu::Misc, MenuItemId::PanicMode, "&Panic Mode", true},
    {TopMenu::Misc, MenuItemId::LogInfos, "&Log Audio/Video Info", true},
});

} // namespace

std::span<const DialogItem> MainDialogItems() { return kItems; }

const DialogItem *FindDialogItem(int id)
{
    if (id == kNoId)
        return nullptr;
    const auto found =
        std::find_if(kItems.begin(), kItems.end(), [id](const DialogItem &item) { return item.id == id; });
    return found == kItems.end() ? nullptr : &*found;
}

std::span<const TopMenuEntry> MainMenuTopEntries() { return kTopMenus; }
std::span<const MenuEntry> MainMenuEntries() { return kMenuItems; }

} // namespace quelmar
