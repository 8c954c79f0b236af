// SPDX-License-Identifier: GPL-3.0-or-later
// The desktop's remote control: the player answers the MPRIS interfaces
// (org.mpris.MediaPlayer2 and its Player) on the session bus, as
// org.mpris.MediaPlayer2.tonra, or, while another instance holds that name,
// org.mpris.MediaPlayer2.tonra.instance<pid>.
//
// The bus's calls reach the user-interface thread as events and its button
// presses are queued there and run one per turn of the event loop, as the
// service events are; a flood of them drops what finds the queue full, as
// a flood of signals does. Property changes go out as PropertiesChanged
// whenever the event loop is about to wait.
#pragma once

// Joins the session bus when there is one, on a thread of its own so that a
// slow or hung bus never holds the window: the interfaces answer once the
// bus does. Without a bus, or when it refuses, nothing happens and nothing
// is printed. Idempotent. The desktop's org.freedesktop.Application
// (platform/app_interface.h) goes on the same connection. Call before the
// first widget is made: it settles where the toolkit's screen-reader bridge
// finds its bus (platform/bus_probe.h), waiting at most 0.3 s for a bus
// that does not answer.
void mpris_open();
