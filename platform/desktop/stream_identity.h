// SPDX-License-Identifier: GPL-3.0-or-later
// How the sound server lists the program's output stream: named "Tonra",
// with the icon "tonra" and the role "music". ALSA's pulse and pipewire
// plugins take these from the environment, so they are set there before the
// first device opens; whatever the user set already stays as it is.
#pragma once

// Call before any thread that may read the environment runs.
void stream_identity_set();
