// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up, the signal handler, the about box and the player's side of the
// remote control. The service codes and tonra_send_event, which the engine
// uses, are in service_codes.h.
//
// tonra_init runs once on the main thread before any other thread exists;
// BasePriority, CmdArgc and CmdArgv are read-only afterwards. The rest runs
// on the user-interface thread, except signal_handler, which runs where
// ab_route_signals delivers the signals (there, or in a signal's own context
// when no descriptor could be had): it only posts.
#pragma once

#include "platform/widgets/widget.h"
#include "service_codes.h"

extern int BasePriority;
extern int CmdArgc;
extern char **CmdArgv;

int tonra_init(int argc, char *argv[]);
void signal_handler(int signo);
int about_realized(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);

// The player's side of the remote control (platform/desktop/remote.h):
// presses click the main window's transport buttons; the state reads as the
// player knows it (player_is_playing, player_is_paused) and as the buttons
// show what may be pressed.
// Hands the layer's remote control these functions; at start-up, on the
// user-interface thread.
void remote_control_install();
