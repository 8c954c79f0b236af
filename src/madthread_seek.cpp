// SPDX-License-Identifier: GPL-3.0-or-later
#include "madthread_seek.h"

#include <algorithm>
#include <unistd.h>

#include "madthread.h"
#include "platform/sound/output.h"
#include "service_codes.h"

namespace {

// With position_lock held.
void set_position(madthread_data &m, std::int64_t played, std::int64_t held, std::int64_t measured)
{
    m.played = played;
    m.held = held;
    m.measured = measured;
}

} // namespace

int madthread_seek(madthread_data *handle, std::int64_t frame)
{
    if (handle == nullptr || !handle->length.seekable)
        return -1;
    madthread_data &m = *handle;
    frame = std::clamp<std::int64_t>(frame, 0, m.length.frames);
    {
        const std::lock_guard lock(m.ring_lock);
        m.seek_request = frame;
        m.seek_waiting.store(true);
        m.ring_space.notify_all();
    }
    // A write waiting for room in the device gives up its frame.
    output_wake();
    // The place reads as the target from now on, paused or not; the decode
    // thread counts on from there once it has made the jump.
    const std::lock_guard lock(m.position_lock);
    set_position(m, frame * m.length.samples_per_frame, 0, 0);
    return 0;
}

int madthread_seek_us(madthread_data *handle, std::int64_t us)
{
    if (handle == nullptr)
        return -1;
    return madthread_seek(handle, song_frame_at_us(handle->length, us));
}

std::int64_t madthread_length_us(const madthread_data *handle)
{
    return handle != nullptr ? song_duration_us(handle->length) : -1;
}

std::int64_t madthread_position_us(const madthread_data *handle)
{
    if (handle == nullptr || handle->length.rate == 0)
        return 0;
    const madthread_data &m = *handle;
    const std::lock_guard lock(m.position_lock);
    std::int64_t heard = m.played - m.held;
    if (m.measured != 0) {
        // The device plays on between writes, and through a pause until it
        // has played what it held.
        const std::int64_t since = std::max<std::int64_t>(output_clock_now() - m.measured, 0);
        heard += std::min<std::int64_t>(since / 1000 * m.length.rate / 1000000, m.held);
    }
    return heard * 1000000 / m.length.rate;
}

void seek_reposition(madthread_data &m, std::unique_lock<std::mutex> &lock)
{
    // The request stays posted until the ring holds the new place: the
    // input callback waits for it instead of taking the old bytes.
    const std::int64_t target = m.seek_request;
    const std::int64_t first = std::max<std::int64_t>(0, target - song_lead_in(m.length));
    lock.unlock();
    const std::int64_t at =
        target >= m.length.frames ? -1 : song_find_frame(m.fd, m.length, song_byte_of_frame(m.length, first));
    // No frame from there on: the song has come to its end.
    const off_t to = at >= 0 ? lseek(m.fd, at, SEEK_SET) : lseek(m.fd, 0, SEEK_END);
    lock.lock();
    if (m.seek_request != target)
        return;  // asked again meanwhile: the newer one is served
    m.seek_request = -1;
    m.ring_read = 0;
    m.ring_write = 0;
    m.ring_done = false;
    ++m.seek_serial;
    m.seek_first = at >= 0 ? first : m.length.frames;
    m.seek_target = target;
    m.stats[AudioStats_Consumed].store(to >= 0 ? static_cast<std::int64_t>(to) : m.stats[AudioStats_Total].load());
    m.ring_data.notify_all();
    tonra_send_event(m.notify, Event_Progress);
}

bool seek_taken(madthread_data &m)
{
    const bool taken = m.seek_serial != m.seek_seen;
    m.seek_seen = m.seek_serial;
    if (taken) {
        m.next_frame = m.seek_first;
        m.play_from = m.seek_target;
    }
    if (m.seek_request < 0)
        m.seek_waiting.store(false);
    return taken;
}

void seek_restart(madthread_data &m, mad_stream *stream)
{
    // What libmad carries from frame to frame (the bit reservoir, the
    // overlap of the transform, the synthesis filter) belongs to the old
    // place: decoding starts as from a new song, the lead-in fills it.
    mad_stream_finish(stream);
    mad_stream_init(stream);
    mad_frame_mute(&m.decoder.sync->frame);
    mad_synth_init(&m.decoder.sync->synth);
    m.guard_given = false;
    m.drop_held = true;
    const std::lock_guard lock(m.position_lock);
    if (!m.seek_waiting.load())
        set_position(m, m.play_from * m.length.samples_per_frame, 0, 0);
}

bool seek_skips_header(madthread_data &m)
{
    if (m.seek_waiting.load(std::memory_order_relaxed)) {
        // The rest of the buffer is from before the jump: make libmad ask
        // for input now rather than after decoding it.
        mad_stream &stream = m.decoder.sync->stream;
        stream.next_frame = stream.bufend;
        return true;
    }
    m.this_frame = m.next_frame++;
    return false;
}

bool seek_drops_frame(const madthread_data &m)
{
    return m.this_frame < m.play_from || m.seek_waiting.load(std::memory_order_relaxed);
}

void seek_before_write(madthread_data &m, audio_output *stream)
{
    if (!m.drop_held)
        return;
    m.drop_held = false;
    (void)output_drop(stream);
}

void seek_after_write(madthread_data &m, audio_output *stream, unsigned samples)
{
    const std::int64_t held = output_delay(stream);
    const std::lock_guard lock(m.position_lock);
    // A jump asked for since this frame was decoded has set the place.
    if (!m.seek_waiting.load())
        set_position(m, m.played + samples, held, output_clock_now());
}
