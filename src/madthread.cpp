#include "madthread.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sched.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "platform/mixer.h"
#include "platform/pcm.h"
#include "tonra.h"

namespace {

constexpr mad_fixed_t LargestValue = 0x0FFFFFFF;
constexpr mad_fixed_t SmallestValue = -0x10000000;

// The quantiser's arithmetic is 32-bit two's complement: the carried error
// is not limited, and a long run beyond full scale must wrap, not overflow.
[[nodiscard]] constexpr mad_fixed_t wrapping_add(mad_fixed_t a, mad_fixed_t b) noexcept
{
    return static_cast<mad_fixed_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

[[nodiscard]] constexpr mad_fixed_t wrapping_sub(mad_fixed_t a, mad_fixed_t b) noexcept
{
    return static_cast<mad_fixed_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}

[[nodiscard]] constexpr std::int64_t magnitude(mad_fixed_t x) noexcept
{
    return x < 0 ? -std::int64_t{x} : std::int64_t{x};
}

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

// With ring_lock held; 1 means full.
[[nodiscard]] int free_space(const madthread_data &m)
{
    const int n = m.ring_read - m.ring_write;
    return n <= 0 ? n + RingSize : n;
}

// SIGUSR1 and SIGUSR2 belong to the user-interface thread: blocked while the
// engine's threads are created, they start with them blocked, so a signal
// never interrupts a device write or a file read.
class SignalsBlocked {
public:
    SignalsBlocked()
    {
        sigset_t usr;
        sigemptyset(&usr);
        sigaddset(&usr, SIGUSR1);
        sigaddset(&usr, SIGUSR2);
        pthread_sigmask(SIG_BLOCK, &usr, &saved_);
    }
    ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
    SignalsBlocked(const SignalsBlocked &) = delete;
    SignalsBlocked &operator=(const SignalsBlocked &) = delete;

private:
    sigset_t saved_{};
};

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

// Ends the buffer thread and gives back the file; with no decode thread left.
void end_reading(madthread_data &m)
{
    {
        const std::lock_guard lock(m.ring_lock);
        m.ring_stop = 1;
        m.ring_write = 0;
        m.ring_read = 0;
        m.ring_space.notify_all();
    }
    pthread_join(m.buffer_thread, nullptr);
    // Closed only now: closed under a running read, the descriptor's number
    // could be reused by another thread's open before the read loop looks
    // at ring_stop, and the buffer thread would read someone else's file.
    close(m.fd);
    m.fd = -1;
}

template <bool Scaled>
int convert(madthread_data &m, const mad_pcm &pcm, const std::array<std::int32_t, 2> &gains)
{
    const auto scale = [](mad_fixed_t sample, std::int32_t gain) {
        if constexpr (Scaled)
            return static_cast<mad_fixed_t>((std::int64_t{sample} * gain) >> 28);
        else
            return sample;
    };
    const bool stereo = pcm.channels == 2;
    std::int16_t *out = m.pcm_buffer.data();
    int n = 0;
    for (unsigned i = 0; i < pcm.length; ++i) {
        out[n++] = static_cast<std::int16_t>(
            dither(OutputBits, scale(pcm.samples[0][i], gains[0]), &m.dither_error, &m.statistics));
        if (stereo)
            out[n++] = static_cast<std::int16_t>(
                dither(OutputBits, scale(pcm.samples[1][i], gains[1]), &m.dither_error, &m.statistics));
    }
    return n;
}

}  // namespace

long dither(unsigned int bits, mad_fixed_t sample, mad_fixed_t *carried, dither_stats *stats)
{
    const unsigned shift = 29 - bits;
    const mad_fixed_t guard = 0x10000000 >> shift;
    const mad_fixed_t v = wrapping_add(sample, *carried);
    mad_fixed_t q = v;
    // Within the level already seen nothing can clip: the common case costs
    // one comparison.
    if (v >= stats->level_peak) {
        if (v > LargestValue) {
            q = LargestValue;
            ++stats->clip_count;
            if (v - LargestValue > stats->clip_peak && magnitude(*carried) < guard)
                stats->clip_peak = v - LargestValue;
        }
        stats->level_peak = q;
    } else if (v < -stats->level_peak) {
        if (v < SmallestValue) {
            q = SmallestValue;
            ++stats->clip_count;
            if (SmallestValue - v > stats->clip_peak && magnitude(*carried) < guard)
                stats->clip_peak = SmallestValue - v;
        }
        stats->level_peak = -q;
    }
    q = static_cast<mad_fixed_t>(static_cast<std::uint32_t>(q) & ~((std::uint32_t{1} << shift) - 1));
    *carried = wrapping_sub(v, q);
    return q >> shift;
}

int madthread_start(madthread_data **handle, const char *path, int base_priority, audio_device *audio,
                    std::span<std::atomic<std::int32_t>, 2> stats, Widget *notify)
{
    *handle = nullptr;
    std::unique_ptr<madthread_data> m;
    try {
        m = std::make_unique<madthread_data>(audio, stats, notify);
    } catch (const std::bad_alloc &) {
        return -1;
    }

    struct stat status{};
    stats[AudioStats_Total].store(stat(path, &status) == 0 ? static_cast<std::int32_t>(status.st_size) : 0);

    m->fd = open(path, O_RDONLY | O_CLOEXEC);
    if (m->fd < 0) {
        std::fprintf(stderr, "Failed to open mp3 file %s\n", path);
        return -1;
    }

    m->ring_stop = 0;
    m->ring_read = 0;
    ssize_t count;
    do {
        count = read(m->fd, m->ring.data(), InitialRead);
    } while (count < 0 && errno == EINTR);
    if (count <= 0) {
        std::fputs("The mp3 file appears to be empty", stderr);
        close(m->fd);
        return -1;
    }
    m->ring_write = static_cast<int>(count);

    const SignalsBlocked blocked;
    if (const int rc = pthread_create(&m->buffer_thread, nullptr, bufferthread, m.get()); rc != 0) {
        // A song cut to its first read would end early with no word of why.
        close(m->fd);
        errno = rc;
        return -1;
    }

    std::unique_lock lock(m->run_lock);
    if (const int rc = create_decode_thread(*m, base_priority); rc != 0) {
        lock.unlock();
        end_reading(*m);
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
    std::unique_ptr<madthread_data> m(*handle);
    if (m->paused == 0)
        m->run_lock.lock();
    m->paused = 0;
    m->quit.store(1);
    m->run_lock.unlock();
    {
        // An input callback waiting for the buffer thread must see the quit.
        const std::lock_guard lock(m->ring_lock);
        m->ring_data.notify_all();
    }
    pthread_join(m->decode_thread, nullptr);

    audio_device &audio = *m->audio;
    if (pcm_stream *stream = audio.pcm_handle.load(); stream != nullptr)
        pcm_drain(stream);
    end_reading(*m);
    if (audio.mixer_handle.load() != nullptr)
        tonra_close_mixer(&audio);
    if (audio.pcm_handle.load() != nullptr)
        tonra_close_audio_playback(&audio);
    *handle = nullptr;
    return 0;
}

void *madthread(void *data)
{
    madthread_data &m = record(data);
    {
        // Granted only once madthread_start waits on `started`.
        const std::lock_guard lock(m.run_lock);
        mad_decoder_init(&m.decoder, &m, input, header, nullptr, output, error, nullptr);
        m.set_up = true;
        m.started.notify_one();
    }
    mad_decoder_run(&m.decoder, MAD_DECODER_MODE_SYNC);
    mad_decoder_finish(&m.decoder);

    // Paused at the end of the song, this waits for the resume (then posts)
    // or for the stop (then does not).
    const std::lock_guard lock(m.run_lock);
    if (m.quit.load() == 0)
        tonra_send_event(m.notify, Event_SongEnded);
    m.quit.store(1);
    return nullptr;
}

void *bufferthread(void *data)
{
    madthread_data &m = record(data);
    std::unique_lock lock(m.ring_lock);
    for (;;) {
        if (m.ring_stop)
            break;
        const int space = free_space(m);
        if (space == 1) {
            m.ring_space.wait(lock);
            continue;
        }
        const int at = m.ring_write;
        const int want = std::min(space - 1, RingSize - at);
        lock.unlock();
        ssize_t count;
        do {
            count = read(m.fd, m.ring.data() + at, static_cast<std::size_t>(want));
        } while (count < 0 && errno == EINTR);
        lock.lock();
        if (count <= 0)
            break;
        // A stop while reading has emptied the ring: what was read is dropped.
        if (m.ring_stop)
            break;
        m.ring_write += static_cast<int>(count);
        if (m.ring_write > RingSize - 1)
            m.ring_write -= RingSize;
        m.ring_data.notify_one();
    }
    m.ring_done = true;
    m.ring_data.notify_all();
    m.ring_space.notify_all();
    return nullptr;
}

mad_flow input(void *data, mad_stream *stream)
{
    madthread_data &m = record(data);
    if (quitting(m) || m.guard_given)
        return MAD_FLOW_STOP;

    unsigned char *buffer = m.stream_buffer.data();
    int keep = 0;
    if (stream->next_frame != nullptr) {
        keep = m.stream_length - static_cast<int>(stream->next_frame - buffer);
        std::memmove(buffer, stream->next_frame, static_cast<std::size_t>(keep));
    }
    int want = StreamBufferSize - keep;

    bool drained = false;
    {
        std::unique_lock lock(m.ring_lock);
        // An empty ring is the end of the file only once the buffer thread
        // has ended; before that the disk is just slower than the decoder.
        m.ring_data.wait(lock, [&] { return readable(m) > 0 || m.ring_done || quitting(m); });
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
    }

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

    m.stats[AudioStats_Consumed].fetch_add(want, std::memory_order_relaxed);
    tonra_send_event(m.notify, Event_Progress);
    m.stream_length = keep + want;
    mad_stream_buffer(stream, buffer, static_cast<unsigned long>(m.stream_length));
    return MAD_FLOW_CONTINUE;
}

mad_flow header(void *data, const mad_header *hdr)
{
    madthread_data &m = record(data);
    if (quitting(m))
        return MAD_FLOW_STOP;
    if (hdr->samplerate == m.last_rate && hdr->mode == m.last_mode)
        return MAD_FLOW_CONTINUE;
    m.last_rate = hdr->samplerate;
    m.last_mode = hdr->mode;

    audio_device &audio = *m.audio;
    if (audio.mixer_handle.load() != nullptr)
        tonra_close_mixer(&audio);
    if (pcm_stream *stream = audio.pcm_handle.load(); stream != nullptr) {
        // Closing drops what the device still holds: the end of the part
        // before the change would never be heard.
        pcm_drain(stream);
        tonra_close_audio_playback(&audio);
    }
    if (tonra_open_audio_playback(&audio, FragmentSize, static_cast<int>(hdr->samplerate), hdr->mode) == -1)
        return MAD_FLOW_STOP;
    if (tonra_open_mixer(&audio) == -1)
        return MAD_FLOW_STOP;
    tonra_send_event(m.notify, Event_MixerReady);
    return MAD_FLOW_CONTINUE;
}

mad_flow output(void *data, const mad_header *, mad_pcm *pcm)
{
    madthread_data &m = record(data);
    if (quitting(m))
        return MAD_FLOW_STOP;

    audio_device &audio = *m.audio;
    // The group is the decode thread's to close, so it can be read unlocked.
    const auto gains = mixer_gains(audio.mixer_handle.load(std::memory_order_relaxed));
    const bool unity = gains[0] == Mixer_UnityGain && (pcm->channels != 2 || gains[1] == Mixer_UnityGain);
    const int n = unity ? convert<false>(m, *pcm, gains) : convert<true>(m, *pcm, gains);

    pcm_stream *stream = audio.pcm_handle.load(std::memory_order_relaxed);
    const auto *at = reinterpret_cast<const unsigned char *>(m.pcm_buffer.data());
    long remaining = 2L * n;
    while (remaining > 0) {
        {
            // The pause gate: a paused song's caller holds run_lock.
            const std::lock_guard gate(m.run_lock);
        }
        if (quitting(m))
            return MAD_FLOW_STOP;
        const long chunk = std::min<long>(remaining, FragmentSize);
        if (pcm_write(stream, at, static_cast<std::size_t>(chunk)) < chunk) {
            (void)pcm_prepare(stream);
            if (pcm_write(stream, at, static_cast<std::size_t>(chunk)) < chunk) {
                std::this_thread::sleep_for(std::chrono::milliseconds(ShortWritePauseMs));
                return MAD_FLOW_CONTINUE;
            }
        }
        at += chunk;
        remaining -= chunk;
    }
    return MAD_FLOW_CONTINUE;
}

mad_flow error(void *data, mad_stream *stream, mad_frame *)
{
    if (quitting(record(data)))
        return MAD_FLOW_STOP;
    switch (stream->error) {
    case MAD_ERROR_BUFLEN:
    case MAD_ERROR_BUFPTR:
    case MAD_ERROR_NOMEM:
        return MAD_FLOW_STOP;
    default:
        return MAD_FLOW_IGNORE;
    }
}
