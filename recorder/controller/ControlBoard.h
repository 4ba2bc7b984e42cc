// ControlBoard: the main window's state as the front ends see it: every
// control and menu item, the five top menus and the event log's lines.
//
// Each setter changes the state and tells the MainView only when something
// changed. A change made by the window itself supersedes an older pending
// engine update of the same attribute (EngineBridge::Supersede), so that the
// newest state wins; the engine's own updates arrive through
// ApplyEngineUpdates. Everything here runs on the user-interface thread.
#pragma once

#include "controller/MainView.h"

#include <array>
#include <map>
#include <string>
#include <vector>

namespace quelmar {

class EngineBridge;
struct EngineUpdates;

class ControlBoard {
public:
    // Every control and menu item in its initial state (InitialControls).
    // `view` and `bridge` must outlive the board.
    ControlBoard(MainView &view, EngineBridge &bridge);
    ControlBoard(const ControlBoard &) = delete;
    ControlBoard &operator=(const ControlBoard &) = delete;

    // The state now. `id` must be one of kAllControls / kAllMenuItems.
    const ControlState &Control(ControlId id) const { return controls_.at(id); }
    const MenuItemState &MenuItem(MenuItemId id) const { return menu_.at(id); }
    bool TopMenuEnabled(TopMenu menu) const { return topMenus_[static_cast<size_t>(menu)]; }
    const std::vector<std::string> &LogLines() const { return logLines_; }
    int Selection(ControlId id) const { return Control(id).selection; }
    bool Checked(ControlId id) const { return Control(id).checked; }

    // Tells the view the whole state: every control, menu item and top menu.
    void ShowAll();

    void SetEnabled(ControlId id, bool enabled);
    void SetShown(ControlId id, bool shown);
    void SetChecked(ControlId id, bool checked);
    void SetText(ControlId id, const std::string &text);
    // A selection beyond the new items becomes -1 (nothing selected).
    void SetItems(ControlId id, std::vector<std::string> items);
    // An index outside the items selects nothing (-1), as a drop list does.
    void SetSelection(ControlId id, int index);
    // Seconds since midnight, for the time pickers.
    void SetTimeOfDay(ControlId id, int seconds);
    void SetMenuEnabled(MenuItemId id, bool enabled);
    void SetMenuChecked(MenuItemId id, bool checked);
    void SetTopMenu(TopMenu menu, bool enabled);

    // Appends `lines` to the event log, in order.
    void AppendLogLines(const std::vector<std::string> &lines);
    // Empties the event log, after the engine's pending lines have reached
    // it (they belong to what is emptied).
    void ClearLog();

    // Takes the engine's pending changes (texts, enable and show states,
    // menu items, information panes) and then its log lines.
    void ApplyEngineUpdates(EngineUpdates &&updates);

private:
    ControlState &MutableControl(ControlId id) { return controls_.at(id); }
    void Notify(ControlId id);
    template <typename T>
    void Change(ControlId id, T ControlState::*field, T value);
    void ChangeMenu(MenuItemId id, bool MenuItemState::*field, bool value);

    static constexpr size_t kTopMenuCount = 5;

    MainView &view_;
    EngineBridge &bridge_;
    std::map<ControlId, ControlState> controls_;
    std::map<MenuItemId, MenuItemState> menu_;
    std::array<bool, kTopMenuCount> topMenus_{true, true, true, true, true};
    std::vector<std::string> logLines_;
    bool applyingEngine_ = false; // ApplyEngineUpdates is running: no supersede
};

} // namespace quelmar
