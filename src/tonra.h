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
#include "service_codes.h"

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
