// SPDX-License-Identifier: GPL-3.0-or-later
// The user-interface tables: the widget table and its index constants, the
// module records and their event links, the menu item tables. The layer in
// platform/ reads them; handlers reach widgets only through AbWidgets.
// User-interface thread only: the handlers run there, and so does
// everything that touches AbWidgets.
#pragma once

#include "platform/widgets/widget.h"

inline constexpr int AbWidgetCount = 40;
extern Widget *AbWidgets[AbWidgetCount];

// base
inline constexpr int ABN_base = 0;
inline constexpr int ABN_file = 1;
inline constexpr int ABN_help = 2;
inline constexpr int ABN_tabs_toggle = 3;
inline constexpr int ABN_player = 4;
inline constexpr int ABN_previous = 5;
inline constexpr int ABN_next = 6;
inline constexpr int ABN_stop = 7;
inline constexpr int ABN_pause = 8;
inline constexpr int ABN_play = 9;
inline constexpr int ABN_song_progress = 10;
inline constexpr int ABN_mute = 11;
inline constexpr int ABN_volume = 12;
inline constexpr int ABN_panels = 13;
inline constexpr int ABN_playlist_pane = 14;
inline constexpr int ABN_playlist = 15;
inline constexpr int ABN_song_count = 16;
inline constexpr int ABN_playlist_add = 17;
inline constexpr int ABN_playlist_shuffle = 18;
inline constexpr int ABN_repeat_group = 19;
inline constexpr int ABN_repeat_none = 20;
inline constexpr int ABN_repeat_list = 21;
inline constexpr int ABN_repeat_song = 22;
inline constexpr int ABN_library_pane = 23;
inline constexpr int ABN_filter_pane = 24;
inline constexpr int ABN_visuals_pane = 25;
// aboutbox
inline constexpr int ABN_aboutbox = 26;
inline constexpr int ABN_about_done = 27;
inline constexpr int ABN_about_version = 28;
// playlist_selector
inline constexpr int ABN_playlist_selector = 29;
inline constexpr int ABN_selector_filesel = 30;
inline constexpr int ABN_selector_add = 31;
inline constexpr int ABN_selector_del = 32;
inline constexpr int ABN_selector_list = 33;
inline constexpr int ABN_playlist_selector_done = 34;
inline constexpr int ABN_playlist_selector_cancel = 35;
// preferences
inline constexpr int ABN_preferences = 36;
inline constexpr int ABN_peferences_cancel = 37;
// image_database
inline constexpr int ABN_image_database = 38;
inline constexpr int ABN_playing_icon = 39;

inline constexpr int ABI_image_database = 0;

extern const Module base;
extern const Module aboutbox;
extern const Module playlist_selector;
extern const Module preferences;
extern const Module image_database;
extern const Module file_menu;
extern const Module help_menu;
extern const Module playlist_context;

extern const EventLink AbLinks_base[];
extern const EventLink AbLinks_aboutbox[];
extern const EventLink AbLinks_playlist_selector[];
extern const EventLink AbLinks_preferences[];
extern const EventLink AbLinks_file_menu[];
extern const EventLink AbLinks_help_menu[];
extern const EventLink AbLinks_playlist_context[];
extern const EventLink AbApplLinks[];
extern const EventLink AbInternalLinks[];

extern const MenuItem ApItems_file_menu[];
extern const MenuItem ApItems_help_menu[];
extern const MenuItem ApItems_playlist_context[];

// The option letters of the window options; each takes a value.
extern const char ApOptions[];
// The usage text; "%C" stands for the command name.
extern const char *const UsageText[];

// The instance names of the widget table, by index (for the layer).
extern const char *const AbWidgetNames[AbWidgetCount];

// Hands the layer the widget table, the main window's slot, the usage text
// and the player's remote control: first thing at start-up, before the
// window options are read. The layer knows nothing of the application
// besides what this gives it.
void interface_register();
