// SPDX-License-Identifier: GPL-3.0-or-later
// Service events: 16-bit request codes posted to the main window from any
// thread or from a signal handler, and read on the user-interface thread.
//
// Posting is one write(2) of two bytes into a non-blocking pipe: safe in a
// signal handler, never blocks, atomic, and read back in the order written.
// A post while no window is registered, or to another window, is dropped;
// so is a post that finds the pipe full (a flood of signals loses its excess).
// No Qt here: the decode engine posts through this file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/widgets/widget.h"

// Creates the pipe once; returns its read end (or -1). Idempotent.
int svc_open();

// The window that receives posts; nullptr stops delivery. Set by the
// user-interface thread when the main window appears and goes away.
void svc_set_target(Widget *window);
[[nodiscard]] Widget *svc_target();

// Async-signal-safe; returns 0, whether posted or dropped.
int svc_post(Widget *window, std::uint16_t code);

// Reads up to max pending codes without blocking; returns how many.
std::size_t svc_read(std::uint16_t *out, std::size_t max);
