// SPDX-License-Identifier: GPL-3.0-or-later
// The decode engine's side of a jump within a song, as its threads take
// part in it. madthread_seek (madthread.h) posts the target; the buffer
// thread repositions the file and refills the ring from there; the input
// callback restarts libmad at the new bytes with fresh state; the header and
// output callbacks count frames, drop the lead-in and whatever was decoded
// before the jump, and let the device drop what it holds. Each function
// names the thread that calls it.
#pragma once

#include <cstdint>
#include <mad.h>
#include <mutex>

struct madthread_data;
struct audio_output;

// Buffer thread, with ring_lock held through `lock` (released while the
// file is searched): serves the latest request.
void seek_reposition(madthread_data &m, std::unique_lock<std::mutex> &lock);
// Input callback, with ring_lock held: true when the ring now starts at a
// new place, whose frame numbers are taken over.
[[nodiscard]] bool seek_taken(madthread_data &m);
// Input callback, after seek_taken, before the new bytes are handed over:
// libmad starts afresh, as on a new song.
void seek_restart(madthread_data &m, mad_stream *stream);
// Header callback: true when the frame is to be skipped because a jump is
// on its way (the decoder is sent for new input at once).
[[nodiscard]] bool seek_skips_header(madthread_data &m);
// Output callback: true when the frame is not to be heard (lead-in, or
// decoded before the jump).
[[nodiscard]] bool seek_drops_frame(const madthread_data &m);
// Output callback, before a write: sound from before the jump goes.
void seek_before_write(madthread_data &m, audio_output *stream);
// Output callback, after `samples` per channel went to the device.
void seek_after_write(madthread_data &m, audio_output *stream, unsigned samples);
