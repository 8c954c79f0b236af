// SPDX-License-Identifier: GPL-3.0-or-later
// Player control: starts, pauses and stops the decode engine for one song at
// a time, keeps the transport buttons, progress bar and window title in step,
// carries out the service events, and ties volume and mute to the mixer group
// of the playing stream. Everything here runs on the user-interface thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/widgets/widget.h"

struct mixer_gid;
struct mixer_group;
struct audio_device;

int player_play_song(const char *path);
void player_stop_song();
[[nodiscard]] int player_is_playing();
// True while the playing song is held by the Pause button.
[[nodiscard]] bool player_is_paused();

int player_play(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);
int player_next(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);
int player_previous(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);
int player_stop(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);
int player_pause(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);
int service_event(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);

int volume_change(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);
int volume_realized(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);
// The event loop calls it while the group's descriptor is readable.
int volume_fd_callback(int fd, void *data, unsigned mode);
// The group callback of mixer_read: one call per notification.
void volume_update(void *private_data, int code, const mixer_gid *gid);

// The slider is a percentage of the group's range; both channels get it.
void volume_slider_to_mixer(int value, mixer_group &group);
// The louder channel as a percentage of the range; 0 when either is 0.
[[nodiscard]] int volume_mixer_to_slider(const mixer_group &group);

// Jumps within the song that plays: to `us` microseconds from its start, or
// by `us` from where it is heard now. -1 when no song plays or it cannot
// seek; the window never waits for the file (madthread_seek).
int player_seek_to(std::int64_t us);
int player_seek_by(std::int64_t us);
// The song's duration (-1: unknown, it cannot seek) and where it is heard,
// in microseconds; 0 and -1 without a song.
[[nodiscard]] std::int64_t player_position_us();
[[nodiscard]] std::int64_t player_length_us();
// Changes with every jump, from whichever control.
[[nodiscard]] unsigned player_seeks();

// The path of the song started last (kept after it stops) and the number of
// starts so far: a remote control tells one start from the next by it.
[[nodiscard]] const std::string &player_song_path();
[[nodiscard]] unsigned player_song_starts();

// For tests and tools: the audio device record and the watched descriptor.
[[nodiscard]] audio_device *player_audio();
[[nodiscard]] int player_mixer_fd();
[[nodiscard]] std::atomic<std::int64_t> *player_stats();  // total, consumed
