// SPDX-License-Identifier: GPL-3.0-or-later
// Whether the toolkit will find a display, decided before it starts: Qt
// aborts the process when no platform plugin can open one, so the program
// names the display it could not open and ends with status 1 instead.
// Called once, on the main thread, before the application object exists.
#pragma once

#include <string>

// `server` is the -s option (an X11 display, already put in DISPLAY) or
// empty. Chooses the X11 plugin where Qt would otherwise try Wayland in
// vain (an X display was named, Qt's Wayland plugin is not installed, or
// no compositor answers on WAYLAND_DISPLAY's socket).
// Returns false after one line on the error stream, headed by the
// program's name.
[[nodiscard]] bool display_usable(const char *program, const std::string &server);
