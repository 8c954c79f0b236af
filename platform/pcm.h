// SPDX-License-Identifier: GPL-3.0-or-later
// The PCM playback stream of the decode engine, on ALSA's "default" device
// (the user's preferred one; ALSA's configuration chooses it): signed 16-bit
// little-endian, 1 or 2 interleaved channels. This is the only file that
// knows ALSA. The stream is non-blocking underneath: every wait for the
// device is bounded, so that a device that stops taking data never holds a
// song that is being stopped.
//
// Results follow ALSA: 0 or a count on success, a negative error number on
// failure. A stream is used by one thread at a time: the decode thread while
// a song plays, the user-interface thread in madthread_stop once the decode
// thread has ended.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/mixer.h"

struct pcm_stream;

// Periods in the stream's buffer. ALSA otherwise picks periods as short as a
// handful of frames, and every period costs a wake-up.
inline constexpr int Pcm_Periods = 4;
// The buffer holds 65,536 bytes at 44.1 kHz stereo (0.37 s) and the same
// time at every other format, so no drain after a stop takes longer than
// this.
inline constexpr int Pcm_DrainLimitMs = 380;
// At a song's own end (or before a change of format) what the buffer holds
// is still to be heard: a sound server that falls behind on a loaded
// machine is given this long in all, and taken for hung only after
// Pcm_SettleQuietMs without taking anything.
inline constexpr int Pcm_SettleLimitMs = 2000;
inline constexpr int Pcm_SettleQuietMs = 1000;
inline constexpr int Pcm_WaitMs = 20;

// The buffer size in bytes that holds, at this format, as long as
// `bytes_at_cd_rate` holds at 44.1 kHz stereo.
[[nodiscard]] int pcm_buffer_bytes(int bytes_at_cd_rate, int rate, int voices);

// Opens the preferred device for playback; *card and *device: where ALSA
// says it is, -1 for a device that is not a card's (a sound server, a file).
// *handle stays null on failure.
[[nodiscard]] int pcm_open_preferred(pcm_stream **handle, int *card, int *device);
// Sets the format: rate in Hz, 1 or 2 voices, a buffer of buffer_bytes.
[[nodiscard]] int pcm_params(pcm_stream *handle, int rate, int voices, int buffer_bytes);
// Makes the stream ready for writing, also after it has run dry.
[[nodiscard]] int pcm_prepare(pcm_stream *handle);
// Waits until the stream has taken the bytes (whole frames); returns the
// number taken: fewer, or a negative error, when the stream is not playing,
// and fewer once `quit` is found set (it is looked at between waits).
[[nodiscard]] long pcm_write(pcm_stream *handle, const void *data, std::size_t bytes,
                             const std::atomic<int> *quit = nullptr);
// Returns when the buffer has played out, or after at most `limit_ms`, or
// once the stream has taken nothing for 100 ms (Pcm_SettleQuietMs when
// settling; what it still holds is then dropped). settle: also waits for the
// plugin's own drain (a sound server's latency past the buffer; a file's
// last bytes), as at the end of a song; otherwise, after a stop, the rest is
// dropped. Once `quit` is found set, a settling drain goes on as a stop's.
int pcm_drain(pcm_stream *handle, bool settle = true, int limit_ms = Pcm_DrainLimitMs,
              const std::atomic<int> *quit = nullptr);
int pcm_close(pcm_stream *handle);
// Throws away what the stream holds, unplayed, and leaves it ready for
// writing: a jump within a song is heard at once.
int pcm_drop(pcm_stream *handle);
// Frames written and not yet played (0 when it cannot tell); by the thread
// that writes.
[[nodiscard]] long pcm_held_frames(const pcm_stream *handle);

// Whether the stream plays through a sound server of the PulseAudio kind
// (ALSA's pulse plugin, possibly below other plugins), whose stream volume
// can then serve as the mixer group.
[[nodiscard]] bool pcm_through_server(pcm_stream *handle);

// The identity of the stream's mixer group (mixer.h).
[[nodiscard]] int pcm_mixer_gid(pcm_stream *handle, mixer_gid *gid);

// Times the calling thread's calls into the device that may not return (a
// pipe whose reader stopped, a sound server that hangs): *clock holds the
// steady-clock nanoseconds at which the call in progress began, 0 between
// calls. Waits bounded by this layer (for room in the buffer, for a drain)
// are not such calls. Another thread that waits for this one can so tell a
// stuck call from a slow one. nullptr: not timed.
void pcm_time_calls(std::atomic<std::int64_t> *clock);
// Steady-clock nanoseconds, as the clock of pcm_time_calls counts them.
[[nodiscard]] std::int64_t pcm_clock_now();
// Since when the stream's buffer has not moved while writes waited for room
// (pcm_clock_now), 0 while it moves. Readable from any thread while the
// stream is open.
[[nodiscard]] std::int64_t pcm_quiet_since(const pcm_stream *handle);

// For tests: after `after` more writes have gone through, the next `count`
// writes accept nothing, as a stream that stopped playing would.
void pcm_fault_short_writes(int after, int count);
