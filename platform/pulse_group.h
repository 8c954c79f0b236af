// SPDX-License-Identifier: GPL-3.0-or-later
// The volume and mute of this process's playback stream in a sound server
// that speaks the PulseAudio protocol (PulseAudio, or PipeWire's
// pipewire-pulse). Where the ALSA device plays through such a server, the
// stream's own volume there is the mixer group of the song: it acts at once
// instead of after the device's buffer has played, and the desktop's sound
// settings see and change it.
//
// One connection serves the whole run; it lives on a thread of its own
// (libpulse's threaded main loop) and is made anew at the next open once the
// server has gone away.
//
// Threads: pulse_group_open blocks for a bounded time and belongs to the
// decode thread, before the stream's first sample is written. Everything
// else only takes the connection's lock for the time it takes to queue a
// request: the user-interface thread may call it. The `changed` callback runs
// on the connection's thread and must not block.
#pragma once

#include <chrono>
#include <cstdint>

// The server's normal (100 %) volume; the group's range is 0 to it.
inline constexpr std::int32_t Pulse_VolumeNorm = 0x10000;

struct pulse_levels {
    std::int32_t volume[2];  // front left, front right: 0 to Pulse_VolumeNorm
    std::uint32_t mute;      // any bit set: the stream is muted
};

struct pulse_group;

// Another program changed the stream: `now` is where it stands.
using pulse_changed = void (*)(void *data, const pulse_levels &now);

// Finds this process's newest playback stream in the server, waiting up to
// `wait` for it to show, sets it to `start` and watches it for changes made
// by others. Null when there is no server, no such stream, or the stream
// could not be set in time: the caller then has no server group.
[[nodiscard]] pulse_group *pulse_group_open(const pulse_levels &start, pulse_changed changed, void *data,
                                            std::chrono::milliseconds wait);
// Stops watching; returns the levels the stream had last (ours or others').
pulse_levels pulse_group_close(pulse_group *group);

// The levels the stream has as far as we know: the last written or reported.
[[nodiscard]] pulse_levels pulse_group_levels(pulse_group *group);
// Sends new levels to the server without waiting for it. Our own writes are
// never reported back through `changed`. Negative (an error number) when
// the server has gone away.
[[nodiscard]] int pulse_group_write(pulse_group *group, const pulse_levels &levels);
