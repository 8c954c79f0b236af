// SPDX-License-Identifier: GPL-3.0-or-later
// The output side of the decode engine: the audio device record, opening
// and closing its stream (through the sound output's seam) and mixer group,
// and libmad's header, output and error callbacks, which turn each frame
// into 16-bit samples and write them to the stream.
//
// The callbacks run on the song's decode thread. The open and close calls
// are the decode thread's while the song plays, and its closing thread's
// after a stop (madthread.h); the record's handles may be read from any
// thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mad.h>
#include <mutex>
#include <string>

#include "platform/sound/mixer.h"
#include "platform/sound/output.h"

struct madthread_data;

inline constexpr int FragmentSize = 65536;
inline constexpr int ShortWritePauseMs = 250;

// The audio device: the playback stream of the song that plays and its mixer
// group. One for the whole run (the player's `Audio`), zero at the start.
//
// The decode thread opens the stream and the group at a song's first frame
// and closes and reopens both when the stream's format changes; the song's
// stop closes them once the decode thread has ended.
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
struct audio_device {
    std::atomic<audio_output *> pcm_handle{nullptr};
    std::atomic<mixer *> mixer_handle{nullptr};
    ::mixer_group mixer_group{};  // its identity is set by tonra_open_mixer
    std::mutex mixer_lock;
    mixer_levels levels;  // the groups' settings, kept from song to song
    std::mutex hold_lock;
    std::condition_variable device_free;
    bool held = false;
    // How volume mixers list the stream: the song's display text, set by
    // the player before the song starts (hold_lock).
    std::string stream_name;
};

// Sets the name the next stream opens with; any thread.
void tonra_name_stream(audio_device *audio, const std::string &name);

// 0: the stream is open and prepared for the format (a libmad channel mode:
// one voice for a single channel, two otherwise), starting at the group's
// levels. -1 after printing the failing step; the stream may be open all
// the same.
[[nodiscard]] int tonra_open_audio_playback(audio_device *audio, int fragment_size, int rate, int mode);
// Closes the stream; the caller has checked that it is open. Returns 0.
int tonra_close_audio_playback(audio_device *audio);
// 0: the mixer group of the open stream is open; -1 otherwise, silently.
[[nodiscard]] int tonra_open_mixer(audio_device *audio);
// Closes the group; the caller has checked that it is open. Returns 0.
int tonra_close_mixer(audio_device *audio);

// libmad's callbacks, on the decode thread, with the song's record as data.
// Named only by the engine and by the tests that drive a frame through them
// by hand; kept out of the global namespace, where `error` would hide the C
// library's function of that name.
namespace madthread_callbacks {
mad_flow input(void *data, mad_stream *stream);
mad_flow header(void *data, const mad_header *header);
mad_flow output(void *data, const mad_header *header, mad_pcm *pcm);
mad_flow error(void *data, mad_stream *stream, mad_frame *frame);
}  // namespace madthread_callbacks
