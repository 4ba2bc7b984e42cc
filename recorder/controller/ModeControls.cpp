#include "controller/ModeControls.h"

#include <initializer_list>

namespace quelmar {

namespace {

void SetEnabled(ControlBoard &board, std::initializer_list<ControlId> ids, bool enabled)
{
    for (ControlId id : ids)
        board.SetEnabled(id, enabled);
}

// The menus a found receiver makes usable.
constexpr MenuItemId kReceiverMenuItems[] = {MenuItemId::ScsiAuto, MenuItemId::ScsiBusy, MenuItemId::ScsiCheckCondition,
                                             MenuItemId::SpeedTest};
constexpr TopMenu kReceiverTopMenus[] = {TopMenu::Remote, TopMenu::Priority, TopMenu::Timer, TopMenu::Misc};

// The receiver's menus usable or not, and Rescan the opposite.
void SetReceiverMenus(ControlBoard &board, bool enabled)
{
    for (MenuItemId id : kReceiverMenuItems)
        board.SetMenuEnabled(id, enabled);
    board.SetMenuEnabled(MenuItemId::RescanBus, !enabled);
}

void SetReceiverTopMenus(ControlBoard &board, bool enabled)
{
    for (TopMenu menu : kReceiverTopMenus)
        board.SetTopMenu(menu, enabled);
}

} // namespace

void ShowNoReceiver(ControlBoard &board)
{
    SetEnabled(board,
               {ControlId::Record, ControlId::Pause, ControlId::AudioChoice, ControlId::VideoChoice,
                ControlId::MuxChoice, ControlId::SplitSize, ControlId::SplitInterval, ControlId::VideoDelay,
                ControlId::SplitOnSize, ControlId::SplitOnTime, ControlId::FileName, ControlId::Browse,
                ControlId::ChannelList},
               false);
    SetReceiverMenus(board, false);
    board.SetTopMenu(TopMenu::ScsiMode, true);
    SetReceiverTopMenus(board, false);
}

void ShowReceiverFound(ControlBoard &board)
{
    SetEnabled(board,
               {ControlId::Record, ControlId::AudioChoice, ControlId::VideoChoice, ControlId::SplitSize,
                ControlId::SplitInterval, ControlId::SplitOnSize, ControlId::SplitOnTime, ControlId::FileName,
                ControlId::Browse, ControlId::ChannelList},
               true);
    SetReceiverMenus(board, true);
    SetReceiverTopMenus(board, true);
}

void ShowMultiplexerUsable(ControlBoard &board)
{
    SetEnabled(board, {ControlId::MuxChoice, ControlId::VideoDelay, ControlId::Pause}, true);
}

void ShowTimerModeOn(ControlBoard &board)
{
    SetEnabled(board,
               {ControlId::Record, ControlId::AudioChoice, ControlId::VideoChoice, ControlId::MuxChoice,
                ControlId::Browse, ControlId::ChannelList, ControlId::Pause, ControlId::VideoDelay},
               false);
}

void ShowTimerModeOff(ControlBoard &board, bool multiplexer)
{
    SetEnabled(
        board,
        {ControlId::Record, ControlId::AudioChoice, ControlId::VideoChoice, ControlId::ChannelList, ControlId::Browse},
        true);
    if (multiplexer)
        SetEnabled(board, {ControlId::Pause, ControlId::MuxChoice}, true);
}

void ShowRecordingStarting(ControlBoard &board)
{
    SetEnabled(board,
               {ControlId::Pause, ControlId::AudioChoice, ControlId::VideoChoice, ControlId::MuxChoice,
                ControlId::VideoDelay, ControlId::ChannelList},
               false);
    board.SetMenuEnabled(MenuItemId::TimerEnable, false);
}

void ShowRecordingStopping(ControlBoard &board)
{
    SetEnabled(board, {ControlId::Stop, ControlId::Pause, ControlId::Record}, false);
}

} // namespace quelmar
