// SPDX-License-Identifier: GPL-3.0-or-later
// The player's side of the remote control (platform/remote.h): presses
// click the main window's transport buttons, the state reads as they show
// it. User-interface thread only.
#pragma once

// Hands the layer's remote control the player's functions; at start-up.
void remote_control_install();
