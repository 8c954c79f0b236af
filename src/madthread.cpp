// SPDX-License-Identifier: GPL-3.0-or-later
#include "madthread.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sched.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "madthread_file.h"
#include "madthread_seek.h"
#include "platform/sound/output.h"
#include "platform/widgets/user_signals.h"
#include "service_codes.h"

namespace {

madthread_data &record(void *data)
{
    return *static_cast<madthread_data *>(data);
}

[[nodiscard]] bool quitting(const madthread_data &m)
{
    return m.quit.load(std::memory_order_relaxed) != 0;
}

// With ring_lock held.
[[nodiscard]] int readable(const madthread_data &m)
{
    const int n = m.ring_write - m.ring_read;
    return n < 0 ? n + RingSize : n;
}

void report_inherited_scheduling(int priority, int err)
{
    // An ordinary user has no real-time rights: say so once, not per song.
    static std::once_flag once;
    std::call_once(once, [&] {
        std::fprintf(stderr, "madthread_start: FIFO priority %d refused (%s), decoding at the inherited priority\n",
                     priority, std::strerror(err));
    });
}

[[nodiscard]] int create_decode_thread(madthread_data &m, int base_priority)
{
    pthread_attr_t attr;
    if (const int rc = pthread_attr_init(&attr); rc != 0)
        return rc;
    sched_param param{};
    param.sched_priority = base_priority + DecodePriorityBoost;
    int rc = pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
    if (rc == 0)
        rc = pthread_attr_setschedpolicy(&attr, SCHED_FIFO);
    if (rc == 0)
        rc = pthread_attr_setschedparam(&attr, &param);
    if (rc == 0)
        rc = pthread_create(&m.decode_thread, &attr, madthread, &m);
    pthread_attr_destroy(&attr);
    if (rc == EPERM || rc == EINVAL || rc == ENOTSUP) {
        report_inherited_scheduling(param.sched_priority, rc);
        rc = pthread_create(&m.decode_thread, nullptr, madthread, &m);
    }
    return rc;
}

// On the closing thread, with quit set: ends both threads, closes what the
// song opened and gives the device back.
void close_song(madthread_data &m)
{
    output_time_calls(&m.device_call_since);
    pthread_join(m.decode_thread, nullptr);
    madthread_end_reading(m);
    if (m.has_device) {
        audio_device &audio = *m.audio;
        if (audio.mixer_handle.load() != nullptr)
            tonra_close_mixer(&audio);
        if (audio.pcm_handle.load() != nullptr)
            tonra_close_audio_playback(&audio);
        const std::lock_guard lock(audio.hold_lock);
        audio.held = false;
        audio.device_free.notify_all();
    }
    output_time_calls(nullptr);
    const std::lock_guard lock(m.close_lock);
    m.closed = true;
    m.closed_cond.notify_all();
}

[[nodiscard]] bool stuck(const std::atomic<std::int64_t> &since, std::int64_t now)
{
    const std::int64_t began = since.load(std::memory_order_relaxed);
    return began != 0 && std::chrono::nanoseconds(now - began) >= StuckCallLimit;
}

// True once close_song has finished; false as soon as one of the song's
// calls has been stuck for StuckCallLimit.
[[nodiscard]] bool wait_closed(madthread_data &m)
{
    std::unique_lock lock(m.close_lock);
    while (!m.closed_cond.wait_for(lock, std::chrono::milliseconds(10), [&] { return m.closed; })) {
        const std::int64_t now = output_clock_now();
        if (stuck(m.device_call_since, now) || stuck(m.read_since, now))
            return false;
    }
    return true;
}

}  // namespace

int madthread_start(madthread_data **handle, const char *path, int base_priority, audio_device *audio,
                    audio_stats_span stats, Widget *notify)
{
    *handle = nullptr;
    std::unique_ptr<madthread_data> m;
    try {
        m = std::make_unique<madthread_data>(audio, stats, notify);
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return -1;
    }

    if (const int rc = madthread_open_file(*m, path); rc != 0)
        return rc;

    const UserSignalsBlocked blocked;
    if (const int rc = pthread_create(&m->buffer_thread, nullptr, bufferthread, m.get()); rc != 0) {
        // A song cut to its first read would end early with no word of why.
        close(m->fd);
        close(m->stop_fd);
        errno = rc;
        return -1;
    }

    std::unique_lock lock(m->run_lock);
    if (const int rc = create_decode_thread(*m, base_priority); rc != 0) {
        lock.unlock();
        madthread_end_reading(*m);
        errno = rc;
        return -1;
    }
    *handle = m.get();
    m->started.wait(lock, [&] { return m->set_up; });
    lock.unlock();
    m.release();  // owned by the handle until madthread_stop
    return 0;
}

int madthread_pause(madthread_data *handle, int flag)
{
    if (handle == nullptr)
        return 0;
    if (flag != 0 && handle->paused == 0) {
        handle->paused = flag;
        handle->run_lock.lock();
    } else if (flag == 0 && handle->paused != 0) {
        handle->paused = 0;
        handle->run_lock.unlock();
    }
    return 0;
}

int madthread_stop(madthread_data **handle)
{
    if (handle == nullptr || *handle == nullptr)
        return 0;
    // Shared with the closing thread, which may outlive this call.
    const std::shared_ptr<madthread_data> m(*handle);
    *handle = nullptr;
    if (m->paused == 0)
        m->run_lock.lock();
    m->paused = 0;
    m->quit.store(1);
    m->run_lock.unlock();
    // A write waiting for the sound server to ask for more must see it too.
    output_wake();
    {
        // An input callback waiting for the buffer thread must see the quit.
        const std::lock_guard lock(m->ring_lock);
        m->ring_data.notify_all();
    }
    {
        // Nor may a first frame waiting for the device of the song before.
        const std::lock_guard lock(m->audio->hold_lock);
        m->audio->device_free.notify_all();
    }

    // A device write can block for good inside the device's library (the
    // file plugin writes to its pipe blocking; a hung sound server's plugin
    // waits for an answer), and so can a read of a file system that stopped
    // answering: the window must not wait with them.
    std::thread closer;
    try {
        const UserSignalsBlocked blocked;
        closer = std::thread([m] { close_song(*m); });
    } catch (const std::system_error &) {
        close_song(*m);
        return 0;
    }
    if (wait_closed(*m)) {
        closer.join();
    } else {
        std::fputs("madthread_stop: the sound device or the file does not answer; closed once it does\n", stderr);
        closer.detach();
    }
    return 0;
}

void *madthread(void *data)
{
    madthread_data &m = record(data);
    output_time_calls(&m.device_call_since);
    {
        // Granted only once madthread_start waits on `started`.
        const std::lock_guard lock(m.run_lock);
        namespace cb = madthread_callbacks;
        mad_decoder_init(&m.decoder, &m, cb::input, cb::header, nullptr, cb::output, cb::error, nullptr);
        m.set_up = true;
        m.started.notify_one();
    }
    mad_decoder_run(&m.decoder, MAD_DECODER_MODE_SYNC);
    mad_decoder_finish(&m.decoder);
    {
        // No jump can take the song back now: the buffer thread may end.
        const std::lock_guard lock(m.ring_lock);
        m.decoded = true;
        m.ring_space.notify_all();
    }
    // The song's last part plays out here, before the end is posted or the
    // stop returns; the drain is bounded, and gives up on a device that
    // takes nothing. Without the device, the stream there is another
    // song's.
    if (audio_output *stream = m.has_device ? m.audio->pcm_handle.load() : nullptr; stream != nullptr) {
        // A jump past the end: what played before it is not to be heard out.
        seek_before_write(m, stream);
        output_drain(stream, !quitting(m), quitting(m) ? Output_DrainLimitMs : Output_SettleLimitMs, &m.quit);
    }

    // Paused at the end of the song, this waits for the resume (then posts)
    // or for the stop (then does not).
    // quit is set before the event goes out, so that whoever handles the
    // event finds this record finished (and can tell a late event of a song
    // since stopped or replaced from the end of the one that plays).
    const std::lock_guard lock(m.run_lock);
    const bool by_itself = m.quit.exchange(1) == 0;
    if (by_itself)
        tonra_send_event(m.notify, Event_SongEnded);
    return nullptr;
}

namespace madthread_callbacks {

mad_flow input(void *data, mad_stream *stream)
{
    madthread_data &m = record(data);
    if (quitting(m) || (m.guard_given && !m.seek_waiting.load()))
        return MAD_FLOW_STOP;

    unsigned char *buffer = m.stream_buffer.data();
    int keep = 0;
    if (stream->next_frame != nullptr) {
        keep = m.stream_length - static_cast<int>(stream->next_frame - buffer);
        std::memmove(buffer, stream->next_frame, static_cast<std::size_t>(keep));
    }
    int want = StreamBufferSize - keep;

    bool drained = false;
    bool jumped = false;
    {
        std::unique_lock lock(m.ring_lock);
        // An empty ring is the end of the file only once the buffer thread
        // has read to it; before that the disk is just slower than the
        // decoder. A jump asked for is waited for: the ring is refilled.
        m.ring_data.wait(lock, [&] {
            return quitting(m) || (m.seek_request < 0 && (readable(m) > 0 || m.ring_done));
        });
        if (seek_taken(m)) {
            jumped = true;
            keep = 0;
            want = StreamBufferSize;
        } else if (m.guard_given) {
            return MAD_FLOW_STOP;
        }
        const int available = readable(m);
        drained = available == 0;
        want = std::min(want, available);
        const int run = RingSize - m.ring_read;
        if (want > run) {
            std::memcpy(buffer + keep, m.ring.data() + m.ring_read, static_cast<std::size_t>(run));
            std::memcpy(buffer + keep + run, m.ring.data(), static_cast<std::size_t>(want - run));
            m.ring_read = want - run;
        } else {
            std::memcpy(buffer + keep, m.ring.data() + m.ring_read, static_cast<std::size_t>(want));
            m.ring_read += want;
            if (m.ring_read > RingSize - 1)
                m.ring_read -= RingSize;
        }
        m.ring_space.notify_one();
        // Counted under the lock: a jump sets the count anew.
        if (want > 0)
            m.stats[AudioStats_Consumed].fetch_add(std::int64_t{want}, std::memory_order_relaxed);
    }
    if (jumped)
        seek_restart(m, stream);

    if (want == 0) {
        // libmad decodes a frame only with MAD_BUFFER_GUARD bytes after it:
        // without the padding the last frame of every song would be lost.
        if (drained && keep > 0 && !quitting(m)) {
            std::fill_n(buffer + keep, MAD_BUFFER_GUARD, 0);
            m.guard_given = true;
            m.stream_length = keep + MAD_BUFFER_GUARD;
            mad_stream_buffer(stream, buffer, static_cast<unsigned long>(m.stream_length));
            return MAD_FLOW_CONTINUE;
        }
        return MAD_FLOW_STOP;
    }

    tonra_send_event(m.notify, Event_Progress);
    m.stream_length = keep + want;
    mad_stream_buffer(stream, buffer, static_cast<unsigned long>(m.stream_length));
    return MAD_FLOW_CONTINUE;
}

}  // namespace madthread_callbacks
