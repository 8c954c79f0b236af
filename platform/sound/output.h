// SPDX-License-Identifier: GPL-3.0-or-later
// The decode engine's sound output: one seam, two backends. A stream plays
// signed 16-bit little-endian samples, 1 or 2 interleaved channels, at the
// song's rate, through the desktop's sound server (libpulse; PipeWire's
// pipewire-pulse serves it too) whenever one answers when the stream is
// opened, and otherwise on ALSA's "default" device. TONRA_AUDIO=pulse or
// TONRA_AUDIO=alsa in the environment forces one.
//
// Nothing above this header names ALSA or libpulse. Every wait inside it is
// bounded, so a device or server that stops taking data never holds a song
// that is being stopped.
//
// Threads: a stream is used by one thread at a time (the decode thread while
// a song plays, then the thread that closes it), except for the group calls,
// which the user-interface thread makes while the stream is open (the audio
// device record's mixer lock keeps them apart from the close), and
// output_wake and output_quiet_since, which any thread may call.
//
// Results: 0 or a count on success, a negative error on failure;
// output_strerror says what an error means, in the backend's own words.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

struct audio_output;

// The group's level: volume per front channel, 0 to Output_LevelMax, and
// mute (any bit set: muted). Backends with a stream volume of their own
// (the sound server's) hold it there; the others leave it to the caller.
inline constexpr std::int32_t Output_LevelMax = 100;
struct output_levels {
    std::int32_t volume[2] = {Output_LevelMax, Output_LevelMax};
    std::uint32_t mute = 0;
    friend bool operator==(const output_levels &, const output_levels &) = default;
};

struct output_format {
    int rate = 44100;
    int voices = 2;
    int buffer_bytes = 65536;
    // How volume mixers list the stream (the song); the server's only.
    std::string_view name;
    // Where a stream volume of the backend's own starts, from the first sample.
    output_levels start;
};

// Which step of opening failed, for the messages users know.
enum class output_step { open, params, prepare };

// At 44.1 kHz stereo the buffer holds 65,536 bytes (0.37 s), and the same
// time at every other format, so no drain after a stop takes longer than
// this.
inline constexpr int Output_DrainLimitMs = 380;
// At a song's own end what the buffer holds is still to be heard: a server
// that falls behind on a loaded machine is given this long in all, and
// taken for hung only after Output_SettleQuietMs without taking anything.
inline constexpr int Output_SettleLimitMs = 2000;
inline constexpr int Output_SettleQuietMs = 1000;

// The buffer size in bytes that holds, at this format, as long as
// `bytes_at_cd_rate` holds at 44.1 kHz stereo.
[[nodiscard]] int output_buffer_bytes(int bytes_at_cd_rate, int rate, int voices);

// Opens a stream for the format; *handle stays null on failure, with *failed
// naming the step. A stream that failed after its open step is returned
// all the same, for the caller to close.
[[nodiscard]] int output_open(audio_output **handle, const output_format &format, output_step *failed);
// Waits until the stream has taken the bytes (whole frames); returns the
// number taken: fewer, or a negative error, when the stream does not play,
// and fewer once `quit` or `jump` is found set (looked at whenever a wait
// ends, and every output_wake ends one).
[[nodiscard]] long output_write(audio_output *handle, const void *data, std::size_t bytes,
                                const std::atomic<int> *quit = nullptr, const std::atomic<bool> *jump = nullptr);
// Makes the stream ready for writing, also after it has run dry.
[[nodiscard]] int output_prepare(audio_output *handle);
// Returns when what was written has played, or after at most `limit_ms`, or
// once the stream has taken nothing for 100 ms (Output_SettleQuietMs when
// settling); what it still holds is then dropped. settle: the end of a song,
// whose last sound must be heard; otherwise a stop's. Once `quit` is found
// set, a settling drain goes on as a stop's.
int output_drain(audio_output *handle, bool settle = true, int limit_ms = Output_DrainLimitMs,
                 const std::atomic<int> *quit = nullptr);
// Throws away what the stream holds at once; it stays ready for writing.
int output_drop(audio_output *handle);
int output_close(audio_output *handle);
// Frames written but not yet heard, as far as the backend knows.
[[nodiscard]] long output_delay(audio_output *handle);
// The backend's name: "pulse" or "alsa".
[[nodiscard]] std::string_view output_backend(const audio_output *handle);
[[nodiscard]] const char *output_strerror(int err);
// Ends every wait of every stream early, so that each looks at its quit.
void output_wake();

// The stream's own volume and mute, where the backend has them (the sound
// server's); elsewhere the caller scales the samples itself.
[[nodiscard]] bool output_has_group(const audio_output *handle);
// Sets the stream's level without waiting for it. Our own writes are never
// reported back as changes.
[[nodiscard]] int output_group_write(audio_output *handle, const output_levels &levels);
// Another program changed the stream's level: `changed` runs on the
// backend's thread with where it stands now, and must not block.
using output_changed = void (*)(void *data, const output_levels &now);
void output_group_watch(audio_output *handle, output_changed changed, void *data);

// Times the calling thread's calls that may not return (a pipe whose reader
// stopped, a device library that waits for its server): *clock holds the
// steady-clock nanoseconds at which the call in progress began, 0 between
// calls. Bounded waits of this layer are not such calls. nullptr: untimed.
void output_time_calls(std::atomic<std::int64_t> *clock);
[[nodiscard]] std::int64_t output_clock_now();
// Since when the stream has taken nothing while writes waited for room
// (output_clock_now), 0 while it moves. Any thread, while the stream is open.
[[nodiscard]] std::int64_t output_quiet_since(const audio_output *handle);

// For tests: after `after` more writes have gone through, the next `count`
// writes accept nothing, as a stream that stopped playing would.
void output_fault_short_writes(int after, int count);
