// SPDX-License-Identifier: GPL-3.0-or-later
// The keyboard's media keys (play, pause, play/pause, stop, next, previous)
// act as the transport buttons while the main window has the focus. Play and
// pause keys both toggle, as play/pause does: a keyboard's single play key
// must pause the song it started. User-interface thread only: the keys
// arrive through its event loop.
#pragma once

// Installs the watch once the application exists; idempotent.
void media_keys_install();
