// SPDX-License-Identifier: GPL-3.0-or-later
#include "madthread.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <memory>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "madthread_seek.h"
#include "platform/mixer.h"
#include "platform/pcm.h"
#include "tonra.h"

namespace {

// Fixed texts, byte for byte: the lines of a song that failed to start and
// of a device that failed, which users and their scripts know.
constexpr char OpenFailedFormat[] = "Failed to open mp3 file %s\n";
// No newline, as ever: the player's error line follows on the same line.
constexpr char EmptyFileText[] = "The mp3 file appears to be empty";
constexpr char WriteFailedStep[] = "snd_pcm_plugin_write() failed";

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
    // Wakes a buffer thread that waits for a pipe or a stalled file system.
    const std::uint64_t one = 1;
    (void)!write(m.stop_fd, &one, sizeof one);
    pthread_join(m.buffer_thread, nullptr);
    // Closed only now: closed under a running read, the descriptor's number
    // could be reused by another thread's open before the read loop looks
    // at ring_stop, and the buffer thread would read someone else's file.
    close(m.fd);
    m.fd = -1;
    close(m.stop_fd);
    m.stop_fd = -1;
}

// Songs come from regular files; a pipe is read as it comes. A device
// (/dev/zero, /dev/urandom behind a link) or a directory is never decoded.
[[nodiscard]] bool playable(mode_t mode)
{
    return S_ISREG(mode) || S_ISFIFO(mode);
}

[[nodiscard]] int refused(const char *path, int err)
{
    std::fprintf(stderr, OpenFailedFormat, path);
    errno = err;
    return -1;
}

// The length of an ID3v2 tag at the start of `head` (header, body and a
// flagged footer), 0 when there is none.
[[nodiscard]] std::int64_t id3v2_length(const unsigned char *head, std::size_t size)
{
    if (size < 10 || std::memcmp(head, "ID3", 3) != 0 || head[3] == 0xFF || head[4] == 0xFF)
        return 0;
    std::int64_t body = 0;
    for (int i = 6; i < 10; ++i) {
        if (head[i] & 0x80)
            return 0;
        body = body << 7 | head[i];
    }
    const bool footer = (head[5] & 0x10) != 0;
    return 10 + body + (footer ? 10 : 0);
}

[[nodiscard]] ssize_t read_retrying(int fd, void *to, std::size_t size)
{
    ssize_t count;
    do {
        count = read(fd, to, size);
    } while (count < 0 && errno == EINTR);
    return count;
}

// Sleeps, but not past a stop.
void pause_unless_stopped(const madthread_data &m, std::chrono::milliseconds length)
{
    const auto until = std::chrono::steady_clock::now() + length;
    while (!quitting(m) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

struct Quantised {
    long sample;
    mad_fixed_t carried;
};

// The quantiser for a sum that may reach the level seen so far: the clip
// tests, and the statistics. The error goes in and out by value, so that
// the caller's stays in a register.
[[gnu::noinline]] Quantised quantise_at_peak(unsigned int shift, mad_fixed_t v, mad_fixed_t carried,
                                             dither_stats &stats)
{
    const mad_fixed_t guard = 0x10000000 >> shift;
    mad_fixed_t q = v;
    if (v >= stats.level_peak) {
        if (v > LargestValue) {
            q = LargestValue;
            ++stats.clip_count;
            if (v - LargestValue > stats.clip_peak && magnitude(carried) < guard)
                stats.clip_peak = v - LargestValue;
        }
        stats.level_peak = q;
    } else {
        if (v < SmallestValue) {
            q = SmallestValue;
            ++stats.clip_count;
            if (SmallestValue - v > stats.clip_peak && magnitude(carried) < guard)
                stats.clip_peak = SmallestValue - v;
        }
        stats.level_peak = -q;
    }
    q = static_cast<mad_fixed_t>(static_cast<std::uint32_t>(q) & ~((std::uint32_t{1} << shift) - 1));
    return {q >> shift, wrapping_sub(v, q)};
}

// The quantiser proper; `dither` is its interface for one sample. Each
// sample waits for the error of the one before, so the common case, a sum
// within the level already seen (which cannot clip), keeps that chain to an
// addition and a mask: v minus v rounded down is v's low bits.
[[gnu::always_inline]] inline long quantise(unsigned int bits, mad_fixed_t sample, mad_fixed_t &carried,
                                            dither_stats &stats)
{
    const unsigned shift = 29 - bits;
    const mad_fixed_t v = wrapping_add(sample, carried);
    // -level_peak <= v < level_peak, as one unsigned comparison.
    const std::uint32_t level = static_cast<std::uint32_t>(stats.level_peak);
    if (static_cast<std::uint32_t>(v) + level < 2 * level) [[likely]] {
        carried = static_cast<mad_fixed_t>(static_cast<std::uint32_t>(v) & ((std::uint32_t{1} << shift) - 1));
        return v >> shift;
    }
    const Quantised q = quantise_at_peak(shift, v, carried, stats);
    carried = q.carried;
    return q.sample;
}

template <bool Scaled>
[[nodiscard]] mad_fixed_t scaled(mad_fixed_t sample, std::int32_t gain)
{
    if constexpr (Scaled)
        return static_cast<mad_fixed_t>((std::int64_t{sample} * gain) >> 28);
    else
        return sample;
}

// One sample at a time: every frame that the fast conversion below cannot
// take.
template <bool Scaled>
int convert_each(madthread_data &m, const mad_pcm &pcm, const std::array<std::int32_t, 2> &gains)
{
    mad_fixed_t carried = m.dither_error;
    dither_stats stats = m.statistics;
    std::int16_t *out = m.pcm_buffer.data();
    const mad_fixed_t *left = pcm.samples[0];
    const unsigned length = pcm.length;
    if (pcm.channels == 2) {
        const mad_fixed_t *right = pcm.samples[1];
        for (unsigned i = 0; i < length; ++i) {
            out[2 * i] = static_cast<std::int16_t>(quantise(OutputBits, scaled<Scaled>(left[i], gains[0]), carried, stats));
            out[2 * i + 1] =
                static_cast<std::int16_t>(quantise(OutputBits, scaled<Scaled>(right[i], gains[1]), carried, stats));
        }
    } else {
        for (unsigned i = 0; i < length; ++i)
            out[i] = static_cast<std::int16_t>(quantise(OutputBits, scaled<Scaled>(left[i], gains[0]), carried, stats));
    }
    m.dither_error = carried;
    m.statistics = stats;
    return static_cast<int>(pcm.channels == 2 ? 2 * length : length);
}

#if defined(__SSE2__)
// Each sample waits for the error left by the one before, which makes the
// quantiser, done one sample at a time, cost as much as the rest of the
// engine together. But while no sum reaches the level seen so far, nothing
// clips, and the error left after a sample is the low bits of the first
// error plus every sample before it (the masks of the steps in between
// cancel). So four samples at a time: their sums from the running total
// (which alone carries on from vector to vector), errors, outputs, and a
// check that no sum reached the level. A frame where one did, or that
// starts with an excess from clipping, is not taken: false, nothing changed.
[[nodiscard]] bool convert_fast(madthread_data &m, const mad_pcm &pcm)
{
    constexpr int Shift = 29 - OutputBits;
    const unsigned length = pcm.length;
    const std::uint32_t first = static_cast<std::uint32_t>(m.dither_error);
    if (first >= (1U << Shift) || length % 8 != 0)
        return false;
    const std::uint32_t level = static_cast<std::uint32_t>(m.statistics.level_peak);
    const __m128i low = _mm_set1_epi32((1 << Shift) - 1);
    // v + level < 2 * level, unsigned: flipped signs make it a signed test.
    const __m128i sign = _mm_set1_epi32(static_cast<int>(0x80000000U));
    const __m128i offset = _mm_set1_epi32(static_cast<int>(level));
    const __m128i limit = _mm_xor_si128(_mm_set1_epi32(static_cast<int>(2 * level)), sign);
    __m128i running = _mm_set1_epi32(static_cast<int>(first));
    __m128i reached = _mm_setzero_si128();

    // Quantises four samples in the order they are played.
    const auto four = [&](__m128i x) {
        __m128i sums = _mm_add_epi32(x, _mm_slli_si128(x, 4));
        sums = _mm_add_epi32(sums, _mm_slli_si128(sums, 8));  // x0, x0+x1, ...
        const __m128i before = _mm_add_epi32(running, _mm_sub_epi32(sums, x));
        running = _mm_add_epi32(running, _mm_shuffle_epi32(sums, 0xFF));
        const __m128i v = _mm_add_epi32(x, _mm_and_si128(before, low));
        const __m128i within = _mm_cmplt_epi32(_mm_xor_si128(_mm_add_epi32(v, offset), sign), limit);
        reached = _mm_or_si128(reached, _mm_andnot_si128(within, _mm_set1_epi32(-1)));
        return _mm_srai_epi32(v, Shift);
    };

    auto *out = reinterpret_cast<__m128i *>(m.pcm_buffer.data());
    const auto *left = reinterpret_cast<const __m128i *>(pcm.samples[0]);
    if (pcm.channels == 2) {
        const auto *right = reinterpret_cast<const __m128i *>(pcm.samples[1]);
        for (unsigned i = 0; i < length / 4; ++i) {
            const __m128i l = _mm_loadu_si128(left + i);
            const __m128i r = _mm_loadu_si128(right + i);
            const __m128i a = four(_mm_unpacklo_epi32(l, r));
            const __m128i b = four(_mm_unpackhi_epi32(l, r));
            _mm_storeu_si128(out + i, _mm_packs_epi32(a, b));
        }
    } else {
        for (unsigned i = 0; i < length / 8; ++i) {
            const __m128i a = four(_mm_loadu_si128(left + 2 * i));
            const __m128i b = four(_mm_loadu_si128(left + 2 * i + 1));
            _mm_storeu_si128(out + i, _mm_packs_epi32(a, b));
        }
    }
    if (_mm_movemask_epi8(reached) != 0)
        return false;
    m.dither_error = static_cast<mad_fixed_t>(static_cast<std::uint32_t>(_mm_cvtsi128_si32(running)) & ((1U << Shift) - 1));
    return true;
}
#else
[[nodiscard]] bool convert_fast(madthread_data &, const mad_pcm &)
{
    return false;
}
#endif

// Converts the frame into pcm_buffer; returns the number of samples.
template <bool Scaled>
int convert(madthread_data &m, const mad_pcm &pcm, const std::array<std::int32_t, 2> &gains)
{
    if (!Scaled && convert_fast(m, pcm))
        return static_cast<int>(pcm.channels == 2 ? 2 * pcm.length : pcm.length);
    return convert_each<Scaled>(m, pcm, gains);
}

// The device is one song's at a time, and the song before may still be
// closing it: its stop did not wait for a device that hangs.
[[nodiscard]] bool take_device(madthread_data &m)
{
    audio_device &audio = *m.audio;
    std::unique_lock lock(audio.hold_lock);
    audio.device_free.wait(lock, [&] { return !audio.held || quitting(m); });
    if (quitting(m))
        return false;
    audio.held = true;
    m.has_device = true;
    return true;
}

// On the closing thread, with quit set: ends both threads, closes what the
// song opened and gives the device back.
void close_song(madthread_data &m)
{
    pcm_time_calls(&m.device_call_since);
    pthread_join(m.decode_thread, nullptr);
    end_reading(m);
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
    pcm_time_calls(nullptr);
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
        const std::int64_t now = pcm_clock_now();
        if (stuck(m.device_call_since, now) || stuck(m.read_since, now))
            return false;
    }
    return true;
}

}  // namespace

long dither(unsigned int bits, mad_fixed_t sample, mad_fixed_t *carried, dither_stats *stats)
{
    return quantise(bits, sample, *carried, *stats);
}

int madthread_start(madthread_data **handle, const char *path, int base_priority, audio_device *audio,
                    audio_stats_span stats, Widget *notify)
{
    *handle = nullptr;
    std::unique_ptr<madthread_data> m;
    try {
        m = std::make_unique<madthread_data>(audio, stats, notify);
    } catch (const std::bad_alloc &) {
        return -1;
    }

    struct stat status{};
    const bool known = stat(path, &status) == 0;
    stats[AudioStats_Total].store(known ? static_cast<std::int64_t>(status.st_size) : 0);
    if (known && !playable(status.st_mode))
        return refused(path, S_ISDIR(status.st_mode) ? EISDIR : ENODEV);

    // Non-blocking, so that a pipe without a writer does not hold the
    // caller; the reads below wait with poll instead.
    m->fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (m->fd < 0)
        return refused(path, errno);
    struct stat opened{};
    if (fstat(m->fd, &opened) != 0 || !playable(opened.st_mode)) {
        close(m->fd);
        return refused(path, S_ISDIR(opened.st_mode) ? EISDIR : ENODEV);
    }
    (void)fcntl(m->fd, F_SETFL, fcntl(m->fd, F_GETFL) & ~O_NONBLOCK);
    if (S_ISFIFO(opened.st_mode)) {
        pollfd p{m->fd, POLLIN, 0};
        int ready;
        do {
            ready = poll(&p, 1, static_cast<int>(PipeOpenWait.count()));
        } while (ready < 0 && errno == EINTR);
        if (ready <= 0) {
            close(m->fd);
            return refused(path, ready == 0 ? ETIMEDOUT : errno);
        }
    }

    m->ring_stop = 0;
    m->ring_read = 0;
    ssize_t count = read_retrying(m->fd, m->ring.data(), InitialRead);
    if (count <= 0) {
        std::fputs(EmptyFileText, stderr);
        close(m->fd);
        return -1;
    }
    // A tag is not sound: decoded, a large one is seconds of loud noise. One
    // whose size runs past the file is no tag, and is left to the decoder.
    const std::int64_t tag = id3v2_length(m->ring.data(), static_cast<std::size_t>(count));
    if (S_ISREG(opened.st_mode) && tag > 0 && tag <= opened.st_size) {
        if (tag <= count) {
            m->ring_read = static_cast<int>(tag);
        } else if (lseek(m->fd, tag, SEEK_SET) == tag) {
            count = std::max<ssize_t>(read_retrying(m->fd, m->ring.data(), InitialRead), 0);
        } else {
            close(m->fd);
            return refused(path, errno);
        }
        stats[AudioStats_Consumed].fetch_add(tag);
    }
    m->ring_write = static_cast<int>(count);
    // A pipe has no length and no way back.
    if (S_ISREG(opened.st_mode))
        (void)song_length_read(m->fd, opened.st_size, m->length);

    m->stop_fd = eventfd(0, EFD_CLOEXEC);
    if (m->stop_fd < 0) {
        const int err = errno;
        close(m->fd);
        errno = err;
        return -1;
    }

    const SignalsBlocked blocked;
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
    // Shared with the closing thread, which may outlive this call.
    const std::shared_ptr<madthread_data> m(*handle);
    *handle = nullptr;
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
        const SignalsBlocked blocked;
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
    pcm_time_calls(&m.device_call_since);
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
    if (pcm_stream *stream = m.has_device ? m.audio->pcm_handle.load() : nullptr; stream != nullptr) {
        // A jump past the end: what played before it is not to be heard out.
        seek_before_write(m, stream);
        pcm_drain(stream, !quitting(m), quitting(m) ? Pcm_DrainLimitMs : Pcm_SettleLimitMs, &m.quit);
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

void *bufferthread(void *data)
{
    madthread_data &m = record(data);
    std::unique_lock lock(m.ring_lock);
    for (;;) {
        if (m.ring_stop)
            break;
        if (m.seek_request >= 0) {
            seek_reposition(m, lock);
            continue;
        }
        const int space = free_space(m);
        if (space == 1) {
            m.ring_space.wait(lock);
            continue;
        }
        const int at = m.ring_write;
        const int want = std::min(space - 1, RingSize - at);
        lock.unlock();
        // Waits for the file and for a stop together: a pipe whose writer
        // stalls, or a file system that stopped answering, never holds one.
        std::array<pollfd, 2> ready{pollfd{m.fd, POLLIN, 0}, pollfd{m.stop_fd, POLLIN, 0}};
        int polled;
        do {
            polled = poll(ready.data(), ready.size(), -1);
        } while (polled < 0 && errno == EINTR);
        ssize_t count = -1;
        if (polled > 0 && ready[1].revents == 0) {
            // A regular file is always "ready": a file system that stops
            // answering blocks in the read itself.
            m.read_since.store(pcm_clock_now(), std::memory_order_relaxed);
            count = read_retrying(m.fd, m.ring.data() + at, static_cast<std::size_t>(want));
            m.read_since.store(0, std::memory_order_relaxed);
        }
        lock.lock();
        // A stop while reading has emptied the ring: what was read is dropped.
        if (m.ring_stop)
            break;
        // So does a jump: it reads anew from elsewhere.
        if (m.seek_request >= 0)
            continue;
        if (count <= 0) {
            if (!m.length.seekable)
                break;
            // The end of a file one can seek in is not the end of reading
            // while the decoder may still be sent back.
            m.ring_done = true;
            m.ring_data.notify_all();
            m.ring_space.wait(lock, [&] { return m.ring_stop != 0 || m.seek_request >= 0 || m.decoded; });
            if (m.decoded && m.seek_request < 0)
                break;
            continue;
        }
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

mad_flow header(void *data, const mad_header *hdr)
{
    madthread_data &m = record(data);
    if (quitting(m))
        return MAD_FLOW_STOP;
    if (seek_skips_header(m))
        return MAD_FLOW_IGNORE;
    if (hdr->samplerate == m.last_rate && hdr->mode == m.last_mode)
        return MAD_FLOW_CONTINUE;
    m.last_rate = hdr->samplerate;
    m.last_mode = hdr->mode;
    if (!m.has_device && !take_device(m))
        return MAD_FLOW_STOP;

    audio_device &audio = *m.audio;
    if (audio.mixer_handle.load() != nullptr)
        tonra_close_mixer(&audio);
    if (pcm_stream *stream = audio.pcm_handle.load(); stream != nullptr) {
        // Closing drops what the device still holds: the end of the part
        // before the change would never be heard.
        pcm_drain(stream, true, Pcm_SettleLimitMs, &m.quit);
        tonra_close_audio_playback(&audio);
        // A stop may have come while the old output played out.
        if (quitting(m))
            return MAD_FLOW_STOP;
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
    if (seek_drops_frame(m))
        return MAD_FLOW_CONTINUE;

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
        if (seek_drops_frame(m))
            return MAD_FLOW_CONTINUE;  // a jump during a pause
        seek_before_write(m, stream);
        const long chunk = std::min<long>(remaining, FragmentSize);
        const auto size = static_cast<std::size_t>(chunk);
        long written = pcm_write(stream, at, size, &m.quit);
        if (written < chunk && !quitting(m)) {
            (void)pcm_prepare(stream);
            written = pcm_write(stream, at, size, &m.quit);
        }
        if (quitting(m))
            return MAD_FLOW_STOP;
        if (written < chunk) {
            // Once, the device just ran dry; for a whole second, it is gone
            // (a sound server that quit, a pipe that closed): the song
            // would crawl on in silence at a frame per quarter second.
            const auto now = std::chrono::steady_clock::now();
            if (m.failing_since == std::chrono::steady_clock::time_point{}) {
                m.failing_since = now;
            } else if (now - m.failing_since >= FailedOutputLimit) {
                std::fprintf(stderr, ErrorLineFormat, ErrorLinePrefix, WriteFailedStep,
                             std::strerror(written < 0 ? static_cast<int>(-written) : EIO));
                m.unheard.store(true);
                return MAD_FLOW_STOP;
            }
            pause_unless_stopped(m, std::chrono::milliseconds(ShortWritePauseMs));
            return MAD_FLOW_CONTINUE;
        }
        m.failing_since = {};
        at += chunk;
        remaining -= chunk;
    }
    seek_after_write(m, stream, pcm->length);
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
        // A frame that failed to decode is skipped, not played: played,
        // its garbage can be full-scale noise.
        return MAD_FLOW_CONTINUE;
    }
}

}  // namespace madthread_callbacks
