// SPDX-License-Identifier: GPL-3.0-or-later
// The interface layer: creates the user-interface modules from their
// definitions in ui/, binds their event links, and gives the modules the few
// widget operations they rely on. Every function here runs on the
// user-interface thread, except ab_locked, which is the way for another
// thread to run a section there. The layer knows nothing of the application
// but what ab_register hands it; its files are named after their jobs
// (ab_startup, ab_modules, ab_links, ab_anchors, ab_loop, ab_windows).
#pragma once

#include <functional>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/widgets/widget.h"

// What the layer needs of the application, handed to it before anything else
// of the layer runs: the widget table it fills as modules open and clears as
// they close, the instance names of its slots, the slot of the main window
// (dialogs open over it) and the usage text. The layer keeps the spans.
struct AbApplication {
    std::span<Widget *> widgets;
    std::span<const char *const> widget_names;  // by slot, as long as widgets
    int main_window = 0;                        // a slot of widgets
    const char *const *usage = nullptr;         // ends with nullptr; "%C" the command name
};
void ab_register(const AbApplication &application);
// The main window's slot of the widget table, or nullptr.
[[nodiscard]] Widget *ab_main_window();

// Start-up: the window options of the command line (never removed from it).
struct WindowOptions {
    std::string server;       // -s: the display to connect to
    std::string x, y, h, w;   // -x -y -h -w: pixels, "%" of the screen, "r" relative
    char state = 'n';         // -S: i, m or n
};
[[nodiscard]] WindowOptions ab_parse_options(int argc, char **argv);

// Creates the application (only the program name is handed to the toolkit).
void ab_init(int argc, char **argv, const WindowOptions &options);
// The given signals reach the handler on the user-interface thread, one at a
// time: every thread of the program keeps them blocked (so none of its reads
// or writes is ever interrupted) and a descriptor delivers them. Should no
// descriptor be had, one line says so, the signals are unblocked on the
// calling thread and the handler runs in the signal's own context (so it
// must be async-signal-safe), and -1 is returned.
int ab_route_signals(std::initializer_list<int> numbers, void (*handler)(int));
// Opens the modules of a link table (the application links: the main window).
void ab_link_window(Widget *parent, const EventLink *links);
// Runs the event loop until the main window is closed; returns its status.
int ab_main_loop();
// Ends the process at once: nothing is saved or closed.
[[noreturn]] void ab_exit(int status);

// Closes the window or dialog that holds the widget; its destroyed
// handlers run and its widget-table slots are cleared.
void ab_destroy(Widget *widget);

// Widget state (programmatic changes never run the widget's handlers).
[[nodiscard]] std::uint32_t ab_get_flags(Widget *w);
void ab_set_flags(Widget *w, std::uint32_t value, std::uint32_t mask);
void ab_set_text(Widget *w, const char *text);
[[nodiscard]] std::string ab_get_text(Widget *w);
void ab_set_title(Widget *w, const char *title);
// One field of a text (a tag's artist or title) as UTF-8, decoded as a
// widget shows text: fields are decoded each on its own before they are
// joined, so that a field cut in the middle of a character does not take
// its neighbour's bytes with it.
[[nodiscard]] std::string ab_field_text(std::string_view field);
[[nodiscard]] std::string ab_get_title(Widget *w);
[[nodiscard]] int ab_get_value(Widget *w);
void ab_set_value(Widget *w, int value);
[[nodiscard]] Area ab_get_area(Widget *w);
void ab_set_area(Widget *w, Area area);
// A window's area as it is when neither maximized nor full screen: while it
// is, setting it takes effect when the window returns to normal (other
// widgets: as ab_get_area and ab_set_area).
[[nodiscard]] Area ab_get_normal_area(Widget *w);
void ab_set_normal_area(Widget *w, Area area);
// Shows or hides a widget with all it holds: hidden, none of it takes the
// focus or keys.
void ab_set_shown(Widget *w, bool shown);

// Descriptor watches: the callback runs on the user-interface thread while
// the descriptor is readable. One watch per descriptor; adding again replaces.
// The mode a callback is given: the descriptor is readable.
inline constexpr unsigned FdMode_Read = 0x10000000;
using FdCallback = int (*)(int fd, void *data, unsigned mode);
int ab_add_fd(int fd, FdCallback callback, void *data);
int ab_remove_fd(int fd);
[[nodiscard]] int ab_fd_watch_count();

// Tests and tools see each link as it fires, before its handler runs.
using LinkObserver = std::function<void(const EventLink &link, Widget *widget, const CallbackInfo &cbinfo)>;
void ab_set_link_observer(LinkObserver observer);

// Blocks input to a window with a busy cursor; returns a handle for unblock.
[[nodiscard]] int ab_block_window(Widget *window);
void ab_unblock_windows(int handle);
[[nodiscard]] bool ab_window_blocked(Widget *window);
// Acting as the user would (ab_press.cpp): these run the widget's handlers.
// True for a button that is enabled (its window may still be blocked).
[[nodiscard]] bool ab_button_enabled(Widget *w);
// Clicks a button: its link runs as for a pointer's click.
void ab_click(Widget *w);
[[nodiscard]] bool ab_is_slider(Widget *w);
// Moves a slider to a fraction (0 to 1) of its range; its handler runs.
void ab_slide_to(Widget *w, double fraction);
// Brings a window up: out of its minimised state, shown, raised, active.
void ab_raise_window(Widget *window);
// Busy cursor over a window, without blocking it.
void ab_set_busy(Widget *window, bool busy);
// Holds and releases the redrawing of a widget and its children; full redraw.
void ab_start_flux(Widget *w);
void ab_end_flux(Widget *w);
void ab_damage(Widget *w);

// The widget library's lock for other threads: runs the section on the
// user-interface thread and waits for it. On that thread it runs at once.
void ab_locked(const std::function<void()> &section);
// Lets another thread run sections without waiting for the caller to go back
// to the event loop (for waits on the user-interface thread in tests).
void ab_process_events();

// Modal file dialog: title, start directory (nullptr: the dialog's own),
// name pattern; returns 1 with the chosen path, or 0 when cancelled.
int ab_file_selection(Widget *parent, const char *title, const char *directory,
                      const char *pattern, std::string &path);

// A picture of a picture module, by the instance name of its label.
struct Picture;
[[nodiscard]] const Picture *ab_get_picture(const Module &database, const char *name);
