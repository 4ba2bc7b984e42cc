#include "controller/ControlBoard.h"

#include "controller/EngineBridge.h"
#include "controller/InitialControls.h"

#include <utility>

namespace quelmar {

ControlBoard::ControlBoard(MainView &view, EngineBridge &bridge)
    : view_(view), bridge_(bridge), controls_(InitialControls()), menu_(InitialMenuItems())
{}

void ControlBoard::ShowAll()
{
    for (const auto &[id, state] : controls_)
        view_.ControlChanged(id, state);
    for (const auto &[id, state] : menu_)
        view_.MenuItemChanged(id, state);
    for (size_t menu = 0; menu < kTopMenuCount; ++menu)
        view_.TopMenuChanged(static_cast<TopMenu>(menu), topMenus_[menu]);
}

void ControlBoard::Notify(ControlId id) { view_.ControlChanged(id, controls_.at(id)); }

template <typename T>
void ControlBoard::Change(ControlId id, T ControlState::*field, T value)
{
    auto &state = MutableControl(id);
    if (state.*field == value)
        return;
    state.*field = std::move(value);
    Notify(id);
}

void ControlBoard::SetEnabled(ControlId id, bool enabled)
{
    if (!applyingEngine_)
        bridge_.Supersede(id, EngineBridge::Attribute::Enabled);
    Change(id, &ControlState::enabled, enabled);
}

void ControlBoard::SetShown(ControlId id, bool shown)
{
    if (!applyingEngine_)
        bridge_.Supersede(id, EngineBridge::Attribute::Shown);
    Change(id, &ControlState::shown, shown);
}

void ControlBoard::SetChecked(ControlId id, bool checked) { Change(id, &ControlState::checked, checked); }

void ControlBoard::SetText(ControlId id, const std::string &text)
{
    if (!applyingEngine_)
        bridge_.Supersede(id, EngineBridge::Attribute::Text);
    Change(id, &ControlState::text, text);
}

void ControlBoard::SetItems(ControlId id, std::vector<std::string> items)
{
    auto &state = MutableControl(id);
    if (state.items == items)
        return;
    state.items = std::move(items);
    if (state.selection >= static_cast<int>(state.items.size()))
        state.selection = -1;
    Notify(id);
}

void ControlBoard::SetSelection(ControlId id, int index)
{
    auto &state = MutableControl(id);
    if (index < 0 || index >= static_cast<int>(state.items.size()))
        index = -1;
    if (state.selection == index)
        return;
    state.selection = index;
    Notify(id);
}

void ControlBoard::SetTimeOfDay(ControlId id, int seconds) { Change(id, &ControlState::timeOfDay, seconds); }

void ControlBoard::ChangeMenu(MenuItemId id, bool MenuItemState::*field, bool value)
{
    auto &state = menu_.at(id);
    if (state.*field == value)
        return;
    state.*field = value;
    view_.MenuItemChanged(id, state);
}

void ControlBoard::SetMenuEnabled(MenuItemId id, bool enabled)
{
    if (!applyingEngine_)
        bridge_.Supersede(id);
    ChangeMenu(id, &MenuItemState::enabled, enabled);
}

void ControlBoard::SetMenuChecked(MenuItemId id, bool checked) { ChangeMenu(id, &MenuItemState::checked, checked); }

void ControlBoard::SetTopMenu(TopMenu menu, bool enabled)
{
    bool &state = topMenus_[static_cast<size_t>(menu)];
    if (state == enabled)
        return;
    state = enabled;
    view_.TopMenuChanged(menu, enabled);
}

void ControlBoard::AppendLogLines(const std::vector<std::string> &lines)
{
    if (lines.empty())
        return;
    logLines_.insert(logLines_.end(), lines.begin(), lines.end());
    view_.LogLinesAppended(lines);
}

void ControlBoard::ClearLog()
{
    bridge_.Flush();
    logLines_.clear();
    view_.LogCleared();
}

void ControlBoard::ApplyEngineUpdates(EngineUpdates &&updates)
{
    applyingEngine_ = true;
    for (const auto &[id, text] : updates.texts)
        SetText(id, text);
    for (const auto &[id, on] : updates.enabled)
        SetEnabled(id, on);
    for (const auto &[id, on] : updates.shown)
        SetShown(id, on);
    for (const auto &[id, on] : updates.menuEnabled)
        SetMenuEnabled(id, on);
    for (auto &[pane, content] : updates.panes) {
        const auto id = static_cast<ControlId>(pane);
        std::vector<std::string> items = content.cleared ? std::vector<std::string>{} : Control(id).items;
        items.insert(items.end(), content.lines.begin(), content.lines.end());
        SetItems(id, std::move(items));
    }
    applyingEngine_ = false;
    AppendLogLines(updates.logLines);
}

} // namespace quelmar
