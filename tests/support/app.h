// SPDX-License-Identifier: GPL-3.0-or-later
// Test support: the application, the main window opened as the program opens
// it, and waiting on the event loop.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/widgets/widget.h"

// Creates the application once per test program, with these arguments
// (argv[0] first), runs tonra_init and opens the main window.
void open_main_window(std::vector<std::string> args = {});
// Closes every module and clears the widget table (for the next test).
void close_main_window();
// Runs the event loop until the condition holds or the time runs out: a
// generous time, which only a fault reaches, not a loaded machine.
bool wait_until(const std::function<bool()> &condition, int timeout_ms = 30000);
// Runs the event loop for a while.
void pump(int ms = 50);
