// The main window's dialog template: every control and static item with its
// kind, rectangle (dialog units) and caption, and menu 130. The window is
// built from these tables and nothing else, so layout, ids and captions are
// kept in this one place.
#pragma once

#include "controller/MainView.h"

#include <span>

namespace quelmar {

// A rectangle in dialog units (a quarter of the font's average character
// width horizontally, an eighth of its height vertically).
struct DialogRect {
    int x;
    int y;
    int width;
    int height;
};

// The client area of the main window, dialog units.
inline constexpr int kDialogWidthDu = 378;
inline constexpr int kDialogHeightDu = 269;

enum class ItemKind {
    DropList,     // combo box, drop-down list only
    StaticText,   // text that the controller sets (counters, clock, date)
    Edit,         // one-line number field, reported on focus loss
    ReadOnlyEdit, // the file name
    CheckBox,
    PushButton, // caption shown
    IconButton, // icon shown; the caption gives tooltip and accelerator
    TimePicker, // hh:mm:ss
    ListBox,    // the information panes
    LogList,    // the event log: no selection, vertical scroll bar always shown
    GroupBox,   // static frame with a title
    Label,      // static caption beside a field
    Picture,    // bitmap 143
};

// Icons of the icon buttons (groups 137..141).
enum class ButtonIcon {
    None,
    Record,
    Pause,
    Stop,
    PowerOff,
    Browse,
};

// Static items have no control id.
inline constexpr int kNoId = -1;

// Text alignment of static items.
enum class TextAlign {
    Left,
    Right,
    RightWrapped, // right-aligned, wrapped at word boundaries
};

struct DialogItem {
    int id; // control id, or kNoId
    ItemKind kind;
    DialogRect rect;
    const char *caption; // initial text; "" for none
    ButtonIcon icon = ButtonIcon::None;
    TextAlign align = TextAlign::Left;
};

// The items of the main window, in tab order.
std::span<const DialogItem> MainDialogItems();

// The item with control id `id`; nullptr when there is none.
const DialogItem *FindDialogItem(int id);

// Menu 130: the top-level menus and their items in menu order. A separator
// has the id kMenuSeparator.
struct TopMenuEntry {
    TopMenu menu;
    const char *caption;
};
struct MenuEntry {
    TopMenu menu;
    MenuItemId id;
    const char *caption;
    bool checkable; // carries a check mark when its setting is in force
};
inline constexpr MenuItemId kMenuSeparator = static_cast<MenuItemId>(0);

std::span<const TopMenuEntry> MainMenuTopEntries();
std::span<const MenuEntry> MainMenuEntries();

} // namespace quelmar
