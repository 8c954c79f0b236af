// SPDX-License-Identifier: GPL-3.0-or-later
// The vocabulary shared by the modules and the interface layer: an opaque
// widget, the widget-callback form, the records that describe the
// user-interface modules and their event links. Nothing here needs a Qt
// header, so the decode engine and the tag reader can name a window.
// Declarations only: the thread rules are those of the calls that use them.
#pragma once

#include <cstdint>
#include <span>
#include <string>

class QWidget;
using Widget = QWidget;

struct EventLink;
struct Module;
struct TreeItem;

// Callback reasons that the layer understands (the values are those the
// link tables were written with). A switch over them names every one, so
// that the compiler points at the switch a new reason would miss.
enum Reason : int {
    Reason_None = 0,  // a link that only opens its module
    Reason_Destroyed = 1009,
    Reason_RawEvent = 1011,
    Reason_Realized = 1012,
    Reason_MenuRequest = 2016,
    Reason_Arm = 2007,
    Reason_Activate = 2009,
    Reason_SliderMoved = 22017,
    Reason_Selection = 23022,
    Reason_Dropped = 23040,  // files dropped on the widget
    Resource_ItemImageFunction = 23035,  // category 3: the list's picture function
};

// Link kinds; Link_End closes a table.
enum LinkKind : int {
    Link_End = 0,
    Link_Window = 3,
    Link_Dialog = 4,
    Link_Menu = 5,
    Link_Code = 8,
    Link_Done = 9,
    Link_Cancel = 10,
    Link_Picture = 11,
};

// Callback categories.
inline constexpr int Category_Callback = 0;
inline constexpr int Category_RawEvent = 1;
inline constexpr int Category_Function = 3;
// A key pressed while the link's widget has the focus runs the handler; the
// link's event mask holds the key's symbol.
inline constexpr int Category_Hotkey = 2;
inline constexpr std::uint32_t Key_Delete = 0xF0FF;

// The raw event type of the service events: a link's event mask names it,
// and a raw event's type is it.
inline constexpr std::uint32_t Event_Service = 0x40000;

// What the layer tells a handler about the link that fired.
struct LinkInfo {
    const EventLink *link;
    Widget *module_widget;  // the window or dialog that holds the widget
};

// What the layer tells a handler about the event.
struct CallbackInfo {
    Reason reason = Reason_None;      // the callback reason code of the link
    std::uint32_t event_type = 0;     // raw events: Event_Service for service events
    std::uint16_t event_subtype = 0;  // raw events: the service-event code
    int click_count = 0;         // list selection: 1 single click, 2 double click or Enter
    int item = -1;               // list selection: the row of the item, top first
    std::span<const std::string> paths;  // drops: the local files, as the file system names them
};

using Handler = int (*)(Widget *widget, LinkInfo *info, CallbackInfo *cbinfo);
// The per-item image function of a list: image index, or -1 for none.
using ItemImageFunction = int (*)(Widget *list, const TreeItem *item);

// Placement of an opened module: below the widget that opened it, centred
// over the main window, or at the pointer.
inline constexpr int Place_Below = 1;
inline constexpr int Place_Centred = 9;
inline constexpr int Place_Pointer = 10;

// One row of a link table; a table ends with an all-zero row.
struct EventLink {
    LinkKind kind;
    int category;
    std::uint32_t event_mask;
    const Module *module;
    const char *instance;
    Reason reason;
    Handler handler;
    int placement;
    ItemImageFunction item_image = nullptr;  // category 3 rows only
};

// One row of a menu's item table; a table ends with an all-zero row.
inline constexpr int Item_Command = 1;
inline constexpr int Item_Separator = 0x10;
inline constexpr int Modifier_Ctrl = 1;
inline constexpr int Modifier_Alt = 4;
struct MenuItem {
    int level;
    int type;
    int modifier;
    const char *key;
    int separator_style;
    const char *instance;
    const char *text;
    const char *reserved;
};

enum class ModuleKind { Window, Dialog, Picture, Menu };

// A user-interface module: its definition in ui/ (by resource name), its
// event links, and its place in the widget table.
struct Module {
    ModuleKind kind;
    const char *resource;  // "base.wgtw"; a menu's name
    const char *title;     // menus: empty
    const MenuItem *items;
    const EventLink *links;
    int first_index;
    int link_count;
    int item_count;
};

// Widget flag bits (read and set as one word under a mask).
inline constexpr std::uint32_t Flag_Set = 0x2;          // a toggle is pressed in
inline constexpr std::uint32_t Flag_Toggle = 0x8;       // the button is a toggle
inline constexpr std::uint32_t Flag_Selectable = 0x80;  // with Blocked clear: enabled
inline constexpr std::uint32_t Flag_Blocked = 0x1000000;

// A widget's area: position in its parent, then size.
struct Area {
    std::int16_t x, y;
    std::uint16_t w, h;
};
