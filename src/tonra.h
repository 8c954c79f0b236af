// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up, the service events, the signal handler and the about box; the
// opening and closing of the PCM output and its mixer group.
//
// tonra_init runs once on the main thread before any other thread exists;
// BasePriority, CmdArgc and CmdArgv are read-only afterwards.
// tonra_send_event may be called from any thread and from a signal handler.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "platform/mixer.h"
#include "platform/widget.h"

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

// The audio device: the playback stream of the song that plays and its mixer
// group. One for the whole run (the player's `Audio`), zero at the start.
//
// The decode thread opens the stream and the group at a song's first frame
// and closes and reopens both when the stream's format changes; the song's
// stop closes them once the decode thread has ended. The handles may be read
// from any thread.
//
// held (hold_lock): a song has the device, from its first frame until its
// stop has closed what it opened. A stop returns without waiting for a
// device that hangs, so that closing can outlast it: the next song's first
// frame waits on device_free until the device is given back.
//
// mixer_lock: whoever uses mixer_handle or mixer_group holds it for the
// whole use (check the handle, read, write, the descriptor, mixer_read with
// its callbacks); tonra_open_mixer and tonra_close_mixer take it, so no
// group is used while the decode thread replaces it. Never call madthread_*
// while holding it.
struct pcm_stream;
struct audio_device {
    std::atomic<pcm_stream *> pcm_handle{nullptr};
    std::atomic<mixer *> mixer_handle{nullptr};
    ::mixer_group mixer_group{};  // its identity is set by tonra_open_mixer
    int card = 0;    // the decode thread's: where the open stream plays
    int device = 0;
    std::mutex mixer_lock;
    mixer_levels levels;  // the groups' settings, kept from song to song
    std::mutex hold_lock;
    std::condition_variable device_free;
    bool held = false;
};

// 0: the stream is open and prepared for the format (a libmad channel mode:
// one voice for a single channel, two otherwise). -1 after printing the
// failing step; the stream may be open all the same.
[[nodiscard]] int tonra_open_audio_playback(audio_device *audio, int fragment_size, int rate, int mode);
// Closes the stream; the caller has checked that it is open. Returns 0.
int tonra_close_audio_playback(audio_device *audio);
// 0: the mixer group of the open stream is open; -1 otherwise, silently.
[[nodiscard]] int tonra_open_mixer(audio_device *audio);
// Closes the group; the caller has checked that it is open. Returns 0.
int tonra_close_mixer(audio_device *audio);

// The player's side of the remote control (platform/remote.h): presses click
// the main window's transport buttons, the state reads as they show it.
// Hands the layer's remote control these functions; at start-up, on the
// user-interface thread.
void remote_control_install();
