// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up, the service events, the signal handler and the about box.
//
// tonra_init runs once on the main thread before any other thread exists;
// BasePriority, CmdArgc and CmdArgv are read-only afterwards.
// tonra_send_event may be called from any thread and from a signal handler.
#pragma once

#include "platform/widgets/widget.h"

// The service codes: requests posted to the main window with
// tonra_send_event, from any thread or from a signal handler, and handled in
// order on the user-interface thread by the player's service_event. They
// travel as two bytes through the service-event pipe of the platform layer,
// which carries them without knowing them.
//
// Unscoped, so that the decode engine and the tests name them bare; the
// player switches over the type, so a code added here and not handled there
// is a warning, and with -Werror a failed build.
// No Qt here: the decode engine posts them.
#include <cstdint>

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

// Fixed texts: the sound output's error lines, "../tonra: step: error",
// exactly so, odd as the prefix looks; users and their scripts pick the lines
// out by it.
inline constexpr char ErrorLineFormat[] = "%s: %s: %s\n";  // prefix, step, strerror
inline constexpr char ErrorLinePrefix[] = "../tonra";

extern int BasePriority;
extern int CmdArgc;
extern char **CmdArgv;

int tonra_init(int argc, char *argv[]);
int tonra_send_event(Widget *window, ServiceCode code);
void signal_handler(int signo);
int about_realized(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);

// The player's side of the remote control (platform/remote.h): presses click
// the main window's transport buttons, the state reads as they show it.
// Hands the layer's remote control these functions; at start-up, on the
// user-interface thread.
void remote_control_install();
