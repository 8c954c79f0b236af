// SPDX-License-Identifier: GPL-3.0-or-later
// The decode engine: plays one song file on two threads of its own. A buffer
// thread reads the file ahead into a ring; a decode thread runs libmad on it,
// quantises each frame to 16 bits and writes it to the playback stream of
// the audio device record (output.h holds that side). The engine reaches the window only through the
// counters of AudioStats and the service events it posts to `notify`:
// Event_SongEnded when the song has ended by itself, Event_Progress after
// each block handed to the decoder, Event_MixerReady after the output and
// its mixer group were opened for a stream format.
//
// madthread_start, madthread_pause, madthread_seek and madthread_stop are
// called by one thread (the user-interface thread); the pause is a mutex
// held by that thread, so pause and resume must come from it. A seek only
// posts its target: the engine's threads make the jump (madthread_seek.h).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mad.h>
#include <mutex>
#include <pthread.h>
#include <span>

#include "output.h"
#include "platform/widgets/widget.h"
#include "quantise.h"
#include "song_length.h"

inline constexpr int RingSize = 262145;  // one byte always free: equal indices mean empty
inline constexpr int InitialRead = 131072;
inline constexpr int StreamBufferSize = 16384;
inline constexpr int PcmBufferSamples = 6144;
inline constexpr int DecodePriorityBoost = 5;
// Writes failing for this long end the song: the device is gone.
inline constexpr auto FailedOutputLimit = std::chrono::seconds(1);
// A device call or a file read that has not returned for this long is
// taken as stuck: the stop gives up waiting for it.
inline constexpr auto StuckCallLimit = std::chrono::milliseconds(250);
// How long the start waits for the first bytes of a pipe.
inline constexpr auto PipeOpenWait = std::chrono::milliseconds(80);
// A song counts as heard once the device has taken this much of it from
// frames that decoded without error: a broken file whose output opened but
// that gave a frame or two of sound (or none) was not heard.
inline constexpr std::int64_t HeardMicroseconds = 100'000;

// The two counters of AudioStats: index 0 total (the file's size in bytes),
// index 1 consumed (file bytes handed to the decoder, or skipped as a tag,
// so far). The engine stores total before its threads exist and raises
// consumed on the decode thread; the player reads them at any time and
// clears them only while no song record exists. 64 bits: songs of 2 GiB
// and more exist.
using audio_stats = std::atomic<std::int64_t>[2];
using audio_stats_span = std::span<std::atomic<std::int64_t>, 2>;
inline constexpr int AudioStats_Total = 0;
inline constexpr int AudioStats_Consumed = 1;

// One per started song: allocated by madthread_start, released by
// madthread_stop. Apart from the locks and `quit`, each field belongs to the
// thread that the comment names, or is written before the threads start.
struct madthread_data {
    madthread_data(audio_device *audio, audio_stats_span stats, Widget *notify)
        : audio(audio), stats(stats), notify(notify)
    {
    }
    madthread_data(const madthread_data &) = delete;
    madthread_data &operator=(const madthread_data &) = delete;

    // The start handshake, the pause (held by the pausing thread for as
    // long as the song is paused) and the guard of writes to quit.
    std::mutex run_lock;
    std::condition_variable started;
    pthread_t decode_thread{};
    pthread_t buffer_thread{};

    std::mutex ring_lock;  // ring_stop, ring_write, ring_read, ring_done
    std::condition_variable ring_space;
    int ring_stop = 0;
    int ring_write = 0;
    int ring_read = 0;
    std::array<unsigned char, RingSize> ring{};

    int fd = -1;
    // Readable once a stop is asked for: the buffer thread waits on it and
    // the file together, so a source that gives nothing never holds a stop.
    int stop_fd = -1;
    audio_device *audio;
    audio_stats_span stats;
    Widget *notify;
    int paused = 0;  // the pausing thread's
    // Read without the lock by the decode thread's callbacks.
    std::atomic<int> quit{0};

    // Decode thread.
    mad_decoder decoder{};
    dither_stats statistics;
    mad_fixed_t dither_error = 0;
    unsigned int last_rate = 0;
    mad_mode last_mode = MAD_MODE_SINGLE_CHANNEL;
    // Room for MAD_BUFFER_GUARD bytes past a full block, for the last frame.
    std::array<unsigned char, StreamBufferSize + MAD_BUFFER_GUARD> stream_buffer{};
    int stream_length = 0;
    std::array<std::int16_t, PcmBufferSamples> pcm_buffer{};

    // Signalled when the buffer thread has added bytes or has ended, and on
    // a stop: the input callback waits on it while the ring is empty.
    std::condition_variable ring_data;
    bool ring_done = false;   // the buffer thread has ended (ring_lock)
    bool set_up = false;      // the decoder is set up (run_lock)
    bool guard_given = false; // decode thread: the end of the file was padded

    // Decode thread: since when every write has failed (none: not failing).
    std::chrono::steady_clock::time_point failing_since{};
    // Set by the decode thread before its Event_SongEnded when the song
    // ended because the device took nothing: a song that could not be heard.
    std::atomic<bool> unheard{false};
    // Decode thread: microseconds of samples the device has taken. `heard`
    // is set once they reach HeardMicroseconds, before any Event_SongEnded.
    std::int64_t heard_microseconds = 0;
    std::atomic<bool> heard{false};

    // Steady-clock nanoseconds at which the device call in progress (decode
    // thread, then the closing thread) and the file read in progress (buffer
    // thread) began, 0 when none: the stop's measure of a stuck call.
    std::atomic<std::int64_t> device_call_since{0};
    std::atomic<std::int64_t> read_since{0};
    // The song has the audio device (its `held`): the decode thread's, then
    // the closing thread's once the decode thread has ended.
    bool has_device = false;
    // The closing thread's word that everything is ended and closed.
    std::mutex close_lock;
    std::condition_variable closed_cond;
    bool closed = false;

    // Seeking (madthread_seek.cpp). The song's frames: written by the start
    // before the threads exist, read-only after.
    song_length length;
    // ring_lock: the frame asked for (-1: none); what the buffer thread made
    // of the latest request: a count of repositionings, the frame the ring
    // now starts at and the frame to be heard first.
    std::int64_t seek_request = -1;
    bool decoded = false;  // the decoder has returned: no jump can come back
    unsigned seek_serial = 0;
    std::int64_t seek_first = 0;
    std::int64_t seek_target = 0;
    // Set with seek_request, cleared by the input callback once it restarts
    // from the new place: the decode thread's callbacks drop what they
    // decode meanwhile without taking the lock.
    std::atomic<bool> seek_waiting{false};
    // Decode thread: the repositioning last restarted from, the index of the
    // next frame header and of the frame in hand, the first frame heard, and
    // whether the device still holds sound from before the jump.
    unsigned seek_seen = 0;
    std::int64_t next_frame = 0;
    std::int64_t this_frame = 0;
    std::int64_t play_from = 0;
    bool drop_held = false;
    // position_lock: samples written since the song's start as the position
    // counts them, how many the device held after the last write, and when
    // (output_clock_now; 0: nothing plays yet).
    mutable std::mutex position_lock;
    std::int64_t played = 0;
    std::int64_t held = 0;
    std::int64_t measured = 0;
};

// 0: the song runs and *handle is set. -1: nothing runs, *handle is null and
// everything taken has been given back (the file's errors are printed).
[[nodiscard]] int madthread_start(madthread_data **handle, const char *path, int base_priority,
                                  audio_device *audio, audio_stats_span stats,
                                  Widget *notify);
// Non-zero holds the song before its next write, 0 lets it go on; asking for
// the state in force does nothing. Returns 0.
int madthread_pause(madthread_data *handle, int flag);
// Ends both threads without an Event_SongEnded, lets what the output's
// buffer holds play out (at most 0.38 s; a device that takes nothing is
// given up and the rest dropped), closes the mixer group and the output,
// releases the record; *handle becomes null. Returns 0. A thread of its own
// does this and is waited for, except while a device call or a file read of
// the song has been stuck for StuckCallLimit: the stop then returns, saying
// so on the error stream, and the closing goes on once the call returns.
int madthread_stop(madthread_data **handle);

// Jumps within the song, from its user-interface thread: the target goes to
// the engine's threads, which reposition the file and drop what the device
// holds; this returns at once. A frame past the last ends the song as its
// end would; during a pause the place moves and the song stays held. -1
// when the song cannot seek (read from a pipe, no frame found).
int madthread_seek(madthread_data *handle, std::int64_t frame);
int madthread_seek_us(madthread_data *handle, std::int64_t us);
// The song's duration in microseconds, -1 when unknown.
[[nodiscard]] std::int64_t madthread_length_us(const madthread_data *handle);
// Where the listener is, in microseconds: what was written, less what the
// device has not played yet. Any thread.
[[nodiscard]] std::int64_t madthread_position_us(const madthread_data *handle);

// Thread bodies: the record as argument, nullptr as result.
void *madthread(void *data);
void *bufferthread(void *data);
