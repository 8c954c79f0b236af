// SPDX-License-Identifier: GPL-3.0-or-later
// Jumps within a song from the window: a click on the song's gauge jumps to
// that fraction of the song, a drag along it to where it is released (the
// time under the pointer shows meanwhile); its tooltip reads "elapsed /
// total" and follows the song while shown. Left and Right jump 5 s back and
// forth while the focus is in the main window outside the playlist,
// Ctrl+Left and Ctrl+Right in every window. The jumps go through the remote
// control (remote.h). User-interface thread only.
#pragma once

#include <cstdint>
#include <string>

#include "platform/widgets/widget.h"

// Installs the watch once the application exists; `gauge` is the slot that
// holds the gauge while the main window is open. Idempotent.
void seek_controls_install(Widget *const *gauge);

// "m:ss", or "h:mm:ss" from an hour on.
[[nodiscard]] std::string seek_time_text(std::int64_t us);
