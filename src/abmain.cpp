// SPDX-License-Identifier: GPL-3.0-or-later
#include "abmain.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include "layout.h"
#include "platform/widgets/ab.h"
#include "player.h"
#include "playlist.h"
#include "selector.h"
#include "tonra.h"

Widget *AbWidgets[AbWidgetCount];

const char *const AbWidgetNames[AbWidgetCount] = {
    "base", "file", "help", "tabs_toggle", "player", "previous", "next", "stop",
    "pause", "play", "song_progress", "mute", "volume", "panels", "playlist_pane",
    "playlist", "song_count", "playlist_add", "playlist_shuffle", "repeat_group",
    "repeat_none", "repeat_list", "repeat_song", "library_pane", "filter_pane",
    "visuals_pane", "aboutbox", "about_done", "about_version", "playlist_selector",
    "selector_filesel", "selector_add", "selector_del", "selector_list",
    "playlist_selector_done", "playlist_selector_cancel", "preferences",
    "peferences_cancel", "image_database", "playing_icon",
};

const char ApOptions[] = "s:x:y:h:w:S:";

const char *const UsageText[] = {
    "%C - This is a QNX/Photon Application.",
    "%C [options]",
    "",
    "Options:",
    "  -s server     Server node or device name",
    "  -x x[%][r]\tInitial x position in pixels, or as a percentage of",
    "                screen width if % is specified. If r is specified, the",
    "                the coordinate is relative to the current console. ",
    "  -y y[%][r]    Initial y position in pixels, or as a percentage of",
    "                screen height if % is specified. If r is specified, the",
    "                the coordinate is relative to the current console.",
    "  -h h[%]       Initial h dimension in pixels, or as a percentage of the",
    "                screen width if % is specified.",
    "  -w w[%]       Initial w dimension in pixels, or as a percentage of the",
    "                screen height if % is specified. ",
    "  -S i|m|n      Initial window state: i=iconified, m=maximized, n=normal",
    "",
    "Examples:",
    "%C -s4",
    "  Run using Photon server on node 4",
    "",
    "%C -s//4/dev/photon",
    "  Same as above",
    "",
    "%C -x10 -y10 -h200 -w300",
    "  Run at initial position 10,10 with initial dimension of 200x300.",
    nullptr,
};

const EventLink AbLinks_base[] = {
    {Link_Code, Category_RawEvent, Event_Service, nullptr, "base", Reason_RawEvent, service_event, 0},
    {Link_Menu, Category_Callback, 0, &file_menu, "file", Reason_Arm, nullptr, Place_Below},
    {Link_Menu, Category_Callback, 0, &help_menu, "help", Reason_Arm, nullptr, Place_Below},
    {Link_Code, Category_Callback, 0, nullptr, "tabs_toggle", Reason_Activate, toggle_tabs, 0},
    {Link_Code, Category_Callback, 0, nullptr, "previous", Reason_Activate, player_previous, 0},
    {Link_Code, Category_Callback, 0, nullptr, "next", Reason_Activate, player_next, 0},
    {Link_Code, Category_Callback, 0, nullptr, "stop", Reason_Activate, player_stop, 0},
    {Link_Code, Category_Callback, 0, nullptr, "pause", Reason_Activate, player_pause, 0},
    {Link_Code, Category_Callback, 0, nullptr, "play", Reason_Activate, player_play, 0},
    {Link_Code, Category_Callback, 0, nullptr, "mute", Reason_Activate, volume_change, 0},
    {Link_Code, Category_Callback, 0, nullptr, "volume", Reason_SliderMoved, volume_change, 0},
    {Link_Code, Category_Callback, 0, nullptr, "volume", Reason_Realized, volume_realized, 0},
    {Link_Code, Category_Callback, 0, nullptr, "playlist", Reason_Selection, item_selected, 0},
    {Link_Menu, Category_Callback, 0, &playlist_context, "playlist", Reason_MenuRequest, nullptr, Place_Pointer},
    {Link_Code, Category_Callback, 0, nullptr, "playlist", Reason_Realized, playlist_realized, 0},
    {Link_Code, Category_Hotkey, Key_Delete, nullptr, "playlist", Reason_None, remove_items, 0},
    {Link_Code, Category_Callback, 0, nullptr, "playlist", Reason_Dropped, dropped, 0},
    {Link_Code, Category_Function, 0, nullptr, "playlist", Resource_ItemImageFunction, nullptr, 0, image_function},
    {Link_Dialog, Category_Callback, 0, &playlist_selector, "playlist_add", Reason_Activate, nullptr, Place_Centred},
    {Link_Code, Category_Callback, 0, nullptr, "playlist_shuffle", Reason_Activate, shuffle, 0},
    {Link_Code, Category_Callback, 0, nullptr, "repeat_group", Reason_Activate, repeat_settings, 0},
    {},
};

const EventLink AbLinks_aboutbox[] = {
    {Link_Code, Category_Callback, 0, nullptr, "aboutbox", Reason_Realized, about_realized, 0},
    {Link_Done, Category_Callback, 0, nullptr, "about_done", Reason_Activate, nullptr, 0},
    {},
};

const EventLink AbLinks_playlist_selector[] = {
    {Link_Code, Category_Callback, 0, nullptr, "playlist_selector", Reason_Destroyed, destroyed, 0},
    {Link_Code, Category_Callback, 0, nullptr, "playlist_selector", Reason_Realized, realized, 0},
    {Link_Code, Category_Callback, 0, nullptr, "selector_add", Reason_Activate, add, 0},
    {Link_Code, Category_Callback, 0, nullptr, "selector_del", Reason_Activate, del, 0},
    {Link_Code, Category_Callback, 0, nullptr, "playlist_selector_done", Reason_Activate, done, 0},
    {Link_Cancel, Category_Callback, 0, nullptr, "playlist_selector_cancel", Reason_Activate, nullptr, 0},
    {},
};

const EventLink AbLinks_preferences[] = {
    {Link_Cancel, Category_Callback, 0, nullptr, "peferences_cancel", Reason_Activate, nullptr, 0},
    {},
};

const EventLink AbLinks_file_menu[] = {
    {Link_Code, Category_Callback, 0, nullptr, "open_file", Reason_Activate, file_picker, 0},
    {Link_Code, Category_Callback, 0, nullptr, "open_playlist", Reason_Activate, file_picker, 0},
    {Link_Code, Category_Callback, 0, nullptr, "new_playlist", Reason_Activate, new_playlist, 0},
    {Link_Dialog, Category_Callback, 0, &preferences, "preferences_menu", Reason_Activate, nullptr, Place_Centred},
    {Link_Done, Category_Callback, 0, nullptr, "exit", Reason_Activate, nullptr, 0},
    {},
};

const EventLink AbLinks_help_menu[] = {
    {Link_Dialog, Category_Callback, 0, &aboutbox, "about", Reason_Activate, nullptr, Place_Pointer},
    {},
};

const EventLink AbLinks_playlist_context[] = {
    {Link_Dialog, Category_Callback, 0, &playlist_selector, "playlist_context_add", Reason_Activate, nullptr, Place_Pointer},
    {Link_Code, Category_Callback, 0, nullptr, "playlist_context_remove", Reason_Activate, remove_items, 0},
    {Link_Code, Category_Callback, 0, nullptr, "playlist_context_shuffle", Reason_Activate, shuffle, 0},
    {Link_Code, Category_Callback, 0, nullptr, "playlist_context_new", Reason_Activate, new_playlist, 0},
    {},
};

const EventLink AbApplLinks[] = {
    {Link_Window, Category_Callback, 0, &base, nullptr, Reason_None, nullptr, 0},
    {},
};

const EventLink AbInternalLinks[] = {
    {Link_Picture, Category_Callback, 0, &image_database, nullptr, Reason_None, nullptr, 0},
    {},
};

const MenuItem ApItems_file_menu[] = {
    {1, Item_Command, Modifier_Ctrl, "O", 0, "open_file", "Open File...", ""},
    {1, Item_Command, Modifier_Ctrl, "P", 0, "open_playlist", "Open Playlist...", ""},
    {1, Item_Separator, 0, nullptr, 4, "", "", ""},
    {1, Item_Command, 0, nullptr, 0, "new_playlist", "New Playlist", ""},
    {1, Item_Command, 0, nullptr, 0, "save_playlist", "Save Playlist", ""},
    {1, Item_Command, 0, nullptr, 0, "save_playlist_as", "Save Playlist As...", ""},
    {1, Item_Separator, 0, nullptr, 4, "", "", ""},
    {1, Item_Command, 0, nullptr, 0, "preferences_menu", "Preferences", ""},
    {1, Item_Separator, 0, nullptr, 4, "", "", ""},
    {1, Item_Command, Modifier_Alt, "X", 0, "exit", "Exit", ""},
    {},
};

const MenuItem ApItems_help_menu[] = {
    {1, Item_Command, 0, "A", 0, "about", "About", ""},
    {},
};

const MenuItem ApItems_playlist_context[] = {
    {1, Item_Command, 0, nullptr, 0, "playlist_context_add", "Add Items...", ""},
    {1, Item_Command, 0, nullptr, 0, "playlist_context_remove", "Remove Selected", ""},
    {1, Item_Command, 0, nullptr, 0, "playlist_context_shuffle", "Shuffle", ""},
    {1, Item_Command, 0, nullptr, 0, "playlist_context_new", "New Playlist", ""},
    {},
};

const Module base{ModuleKind::Window, "base.wgtw", nullptr, nullptr, AbLinks_base, 0, 21, 0};
const Module aboutbox{ModuleKind::Dialog, "aboutbox.wgtd", nullptr, nullptr, AbLinks_aboutbox, 26, 2, 0};
const Module playlist_selector{ModuleKind::Dialog, "playlist_selector.wgtd", nullptr, nullptr,
                               AbLinks_playlist_selector, 29, 6, 0};
const Module preferences{ModuleKind::Dialog, "preferences.wgtd", nullptr, nullptr, AbLinks_preferences, 36, 1, 0};
const Module image_database{ModuleKind::Picture, "image_database.wgtp", nullptr, nullptr, nullptr, 38, 0, 0};
const Module file_menu{ModuleKind::Menu, "file_menu", "", ApItems_file_menu, AbLinks_file_menu, 40, 5, 10};
const Module help_menu{ModuleKind::Menu, "help_menu", "", ApItems_help_menu, AbLinks_help_menu, 51, 1, 1};
const Module playlist_context{ModuleKind::Menu, "playlist_context", "", ApItems_playlist_context,
                              AbLinks_playlist_context, 53, 4, 4};

void interface_register()
{
    ab_register({AbWidgets, AbWidgetNames, ABN_base, UsageText});
    remote_control_install();
}

#ifndef TONRA_TABLES_ONLY
namespace {

// Started with a standard stream closed, the next descriptor opened (an
// eventfd, the display's socket) would take its number, and an error line
// would be written into it: into the X protocol stream, the window waits
// for good. Closed streams are held by /dev/null, so such lines go nowhere.
void hold_standard_streams(int, char **, char **)
{
    // In order, so that each open takes the lowest free number: this one.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF)
            (void)!open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
}

// Run before the libraries' and the program's static initialisers, some of
// which open descriptors (the mixer levels' eventfd): from main it would
// come too late.
[[gnu::section(".preinit_array"), gnu::used]] void (*HoldStandardStreams)(int, char **, char **) =
    hold_standard_streams;

} // namespace

int main(int argc, char *argv[])
{
    // Before any thread exists, so that every thread inherits it: a sound
    // device whose pipe reader went away must fail the write, not end the
    // program.
    std::signal(SIGPIPE, SIG_IGN);
    interface_register();
    const WindowOptions options = ab_parse_options(argc, argv);
    ab_init(argc, argv, options);
    tonra_init(argc, argv);
    ab_link_window(nullptr, AbApplLinks);
    ab_main_loop();
    ab_exit(0);
}
#endif
