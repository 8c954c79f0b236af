// SPDX-License-Identifier: GPL-3.0-or-later
// The service codes: requests posted to the main window with
// tonra_send_event, from any thread or from a signal handler, and handled in
// order on the user-interface thread by the player's service_event. They
// travel as two bytes through the service-event pipe of the platform layer,
// which carries them without knowing them.
//
// Unscoped, so that the decode engine and the tests name them bare; the
// player switches over the type, so a code added here and not handled there
// is a warning, and with -Werror a failed build.
#pragma once

#include <cstdint>

#include "platform/widgets/widget.h"

enum ServiceCode : std::uint16_t {
    // Decode thread, when the song has ended by itself; the player moves on (or stops after a round of unheard songs).
    Event_SongEnded = 0xFF00,
    // Decode thread, after each block handed to the decoder; the player sets the song's gauge from the counters.
    Event_Progress = 0xFF01,
    // Sent by nothing in the program today; the player stops the song, as for Event_SignalStop.
    Event_Stop = 0xFF02,
    // Decode thread, after the output and its mixer group were opened for a format; the player fits slider and group.
    Event_MixerReady = 0xFF03,
    // Sent by nothing and handled by nobody: the player ignores it (the tests post it as a harmless code).
    Event_Unused = 0xFF04,
    // The signal handler, on SIGUSR1; the player stops the song.
    Event_SignalStop = 0xFF05,
    // The signal handler on SIGUSR2, and the playlist once the command line's songs are listed; the player plays the next.
    Event_PlayNext = 0xFF06,
};

// Posts a code to the window's service events. Any thread, and a signal
// handler: it only writes to the pipe. Returns 0, posted or dropped.
int tonra_send_event(Widget *window, ServiceCode code);
