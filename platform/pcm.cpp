// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/pcm.h"

#include <alsa/asoundlib.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

struct pcm_stream {
    snd_pcm_t *handle = nullptr;
    std::size_t frame_bytes = 4;
    // While writes wait for room: the free space last seen, and since when
    // it has not changed (pcm_clock_now; 0 while the device moves).
    snd_pcm_sframes_t last_avail = -1;
    std::atomic<std::int64_t> quiet_since{0};
};

namespace {

// Only the decode thread writes, so the countdown needs no more than atomic
// words to be set safely from a test thread between songs.
std::atomic<int> FaultAfter{0};
std::atomic<int> FaultCount{0};

[[nodiscard]] bool injected_short_write()
{
    if (FaultCount.load(std::memory_order_relaxed) <= 0)
        return false;
    if (FaultAfter.load(std::memory_order_relaxed) > 0) {
        FaultAfter.fetch_sub(1, std::memory_order_relaxed);
        return false;
    }
    FaultCount.fetch_sub(1, std::memory_order_relaxed);
    return true;
}

thread_local std::atomic<std::int64_t> *CallClock = nullptr;

// One call into libasound that may block for good, timed for whoever waits
// on this thread.
class DeviceCall {
public:
    // began: when the device stopped answering, if before the call.
    explicit DeviceCall(std::int64_t began = 0) noexcept
    {
        if (CallClock != nullptr)
            CallClock->store(began != 0 ? began : pcm_clock_now(), std::memory_order_relaxed);
    }
    ~DeviceCall()
    {
        if (CallClock != nullptr)
            CallClock->store(0, std::memory_order_relaxed);
    }
    DeviceCall(const DeviceCall &) = delete;
    DeviceCall &operator=(const DeviceCall &) = delete;
};

// Called while a write waits for room: a device that stopped taking data
// shows in a buffer that does not move.
void watch_motion(pcm_stream &s)
{
    snd_pcm_sframes_t avail;
    {
        const DeviceCall call;
        avail = snd_pcm_avail(s.handle);
    }
    if (avail != s.last_avail) {
        s.last_avail = avail;
        s.quiet_since.store(0, std::memory_order_relaxed);
    } else if (s.quiet_since.load(std::memory_order_relaxed) == 0) {
        s.quiet_since.store(pcm_clock_now(), std::memory_order_relaxed);
    }
}

// A moment on the clock that device calls are timed by.
std::int64_t clock_of(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}
}  // namespace

void pcm_time_calls(std::atomic<std::int64_t> *clock)
{
    CallClock = clock;
}

std::int64_t pcm_clock_now() { return clock_of(std::chrono::steady_clock::now()); }

int pcm_buffer_bytes(int bytes_at_cd_rate, int rate, int voices)
{
    constexpr std::int64_t CdBytesPerSecond = 44100 * 4;
    const std::int64_t bytes = std::int64_t{bytes_at_cd_rate} * rate * (2 * voices) / CdBytesPerSecond;
    // Whole frames, and room for at least the periods' minimum.
    const std::int64_t frame = 2 * voices;
    return static_cast<int>(std::max<std::int64_t>(bytes / frame, 64 * Pcm_Periods) * frame);
}

int pcm_open_preferred(pcm_stream **handle, int *card, int *device)
{
    *handle = nullptr;
    snd_pcm_t *pcm = nullptr;
    const DeviceCall call;
    if (const int rc = snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK); rc < 0)
        return rc;
    *card = -1;
    *device = -1;
    snd_pcm_info_t *info;
    snd_pcm_info_alloca(&info);
    if (snd_pcm_info(pcm, info) >= 0) {
        *card = snd_pcm_info_get_card(info);
        *device = static_cast<int>(snd_pcm_info_get_device(info));
        if (*card < 0)
            *device = -1;
    }
    auto stream = std::make_unique<pcm_stream>();
    stream->handle = pcm;
    *handle = stream.release();
    return 0;
}

int pcm_params(pcm_stream *handle, int rate, int voices, int buffer_bytes)
{
    if (handle == nullptr || (voices != 1 && voices != 2) || rate <= 0)
        return -EINVAL;
    snd_pcm_t *pcm = handle->handle;
    snd_pcm_hw_params_t *hw;
    snd_pcm_hw_params_alloca(&hw);
    const std::size_t frame_bytes = 2 * static_cast<std::size_t>(voices);
    snd_pcm_uframes_t buffer = static_cast<snd_pcm_uframes_t>(buffer_bytes) / frame_bytes;
    snd_pcm_uframes_t period = buffer / Pcm_Periods;
    const DeviceCall call;
    int rc = snd_pcm_hw_params_any(pcm, hw);
    if (rc >= 0)
        rc = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED);
    if (rc >= 0)
        rc = snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_S16_LE);
    if (rc >= 0)
        rc = snd_pcm_hw_params_set_channels(pcm, hw, static_cast<unsigned>(voices));
    if (rc >= 0)
        rc = snd_pcm_hw_params_set_rate(pcm, hw, static_cast<unsigned>(rate), 0);
    if (rc >= 0)
        rc = snd_pcm_hw_params_set_period_size_near(pcm, hw, &period, nullptr);
    if (rc >= 0)
        rc = snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &buffer);
    if (rc >= 0)
        rc = snd_pcm_hw_params(pcm, hw);
    if (rc < 0)
        return rc;
    handle->frame_bytes = frame_bytes;
    return 0;
}

int pcm_prepare(pcm_stream *handle)
{
    const DeviceCall call;
    return handle != nullptr ? snd_pcm_prepare(handle->handle) : -EINVAL;
}

long pcm_write(pcm_stream *handle, const void *data, std::size_t bytes, const std::atomic<int> *quit)
{
    if (handle == nullptr)
        return -EINVAL;
    if (injected_short_write())
        return 0;
    const auto stopping = [quit] { return quit != nullptr && quit->load(std::memory_order_relaxed) != 0; };
    const auto *at = static_cast<const unsigned char *>(data);
    const snd_pcm_uframes_t frames = bytes / handle->frame_bytes;
    snd_pcm_uframes_t done = 0;
    while (done < frames) {
        snd_pcm_sframes_t n;
        {
            const DeviceCall call;
            n = snd_pcm_writei(handle->handle, at + done * handle->frame_bytes, frames - done);
        }
        if (n == -EAGAIN || n == -EINTR) {
            if (stopping())
                break;
            if (n == -EAGAIN) {
                if (const int rc = snd_pcm_wait(handle->handle, Pcm_WaitMs); rc < 0 && rc != -EINTR)
                    return done > 0 ? static_cast<long>(done * handle->frame_bytes) : rc;
                watch_motion(*handle);
            }
            continue;
        }
        if (n < 0)
            return done > 0 ? static_cast<long>(done * handle->frame_bytes) : n;
        if (n > 0)
            handle->quiet_since.store(0, std::memory_order_relaxed);
        done += static_cast<snd_pcm_uframes_t>(n);
    }
    return static_cast<long>(done * handle->frame_bytes);
}

int pcm_drain(pcm_stream *handle, bool settle, int limit_ms, const std::atomic<int> *quit)
{
    using namespace std::chrono_literals;
    if (handle == nullptr)
        return -EINVAL;
    snd_pcm_t *pcm = handle->handle;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    auto quiet_limit = settle ? std::chrono::milliseconds(Pcm_SettleQuietMs) : 100ms;
    // A stop while the end of a song plays out: from then on, a stop's drain.
    const auto stopped = [&] {
        if (!settle || quit == nullptr || quit->load(std::memory_order_relaxed) == 0)
            return false;
        settle = false;
        deadline = std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(Pcm_DrainLimitMs));
        quiet_limit = 100ms;
        return true;
    };
    // Plays out what the buffer holds, watching it go: a stream that takes
    // nothing for a while (a sound server that hangs) is dropped, since a
    // plugin's own drain would wait for it for good. (Some plugins say
    // nothing of their delay: the buffer's fill is what is watched.)
    snd_pcm_uframes_t buffer = 0, period = 0;
    (void)snd_pcm_get_params(pcm, &buffer, &period);
    const auto held = [&] {
        const DeviceCall call;
        const snd_pcm_sframes_t avail = snd_pcm_avail(pcm);
        return avail < 0 || snd_pcm_state(pcm) != SND_PCM_STATE_RUNNING
                   ? 0
                   : static_cast<snd_pcm_sframes_t>(buffer) - avail;
    };
    // A device that already stood still while the writes waited for room
    // has been taking nothing since then.
    const std::int64_t quiet = handle->quiet_since.load(std::memory_order_relaxed);
    auto moved = quiet != 0 ? std::chrono::steady_clock::time_point(std::chrono::nanoseconds(quiet))
                            : std::chrono::steady_clock::now();
    for (snd_pcm_sframes_t before = held(); before > 0;) {
        (void)stopped();
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline || now - moved > quiet_limit) {
            // A plugin's drop can wait for its server for good: timed as
            // from when the device stopped.
            const DeviceCall call(clock_of(moved));
            (void)snd_pcm_drop(pcm);
            return -ETIMEDOUT;
        }
        std::this_thread::sleep_for(5ms);
        const snd_pcm_sframes_t later = held();
        if (later < before)
            moved = std::chrono::steady_clock::now();
        before = later;
    }
    int rc;
    {
        const DeviceCall call;
        if (!settle)
            return snd_pcm_drop(pcm);
        rc = snd_pcm_drain(pcm);
    }
    // Non-blocking, the drain goes on while the state says so.
    while (rc == -EAGAIN && snd_pcm_state(pcm) == SND_PCM_STATE_DRAINING) {
        if (stopped() || std::chrono::steady_clock::now() >= deadline) {
            rc = -ETIMEDOUT;
            break;
        }
        std::this_thread::sleep_for(2ms);
    }
    if (rc == -EAGAIN)
        rc = 0;
    if (rc < 0) {
        const DeviceCall call;
        (void)snd_pcm_drop(pcm);
    }
    return rc;
}

std::int64_t pcm_quiet_since(const pcm_stream *handle)
{
    return handle != nullptr ? handle->quiet_since.load(std::memory_order_relaxed) : 0;
}

int pcm_close(pcm_stream *handle)
{
    const std::unique_ptr<pcm_stream> owned(handle);
    const DeviceCall call;
    return owned ? snd_pcm_close(owned->handle) : -EINVAL;
}

int pcm_drop(pcm_stream *handle)
{
    if (handle == nullptr)
        return -EINVAL;
    const DeviceCall call;
    (void)snd_pcm_drop(handle->handle);
    return snd_pcm_prepare(handle->handle);
}

long pcm_held_frames(const pcm_stream *handle)
{
    if (handle == nullptr)
        return 0;
    snd_pcm_sframes_t delay = 0;
    const DeviceCall call;
    if (snd_pcm_state(handle->handle) != SND_PCM_STATE_RUNNING || snd_pcm_delay(handle->handle, &delay) < 0)
        return 0;
    return std::max<long>(static_cast<long>(delay), 0);
}

bool pcm_through_server(pcm_stream *handle)
{
    if (handle == nullptr)
        return false;
    // ALSA names no plugin's kind beyond "ioplug"; the description of the
    // whole chain does, under every plugin stacked on top of it.
    snd_output_t *out = nullptr;
    if (snd_output_buffer_open(&out) < 0)
        return false;
    bool server = false;
    if (snd_pcm_dump(handle->handle, out) >= 0) {
        char *text = nullptr;
        const std::size_t size = snd_output_buffer_string(out, &text);
        const std::string_view dump(text, size);
        server = dump.find("PulseAudio") != std::string_view::npos || dump.find("PipeWire") != std::string_view::npos;
    }
    snd_output_close(out);
    return server;
}

int pcm_mixer_gid(pcm_stream *handle, mixer_gid *gid)
{
    if (handle == nullptr || gid == nullptr)
        return -EINVAL;
    *gid = mixer_gid{};
    std::copy(std::begin(Mixer_GroupName), std::end(Mixer_GroupName), gid->name);
    gid->index = Mixer_GroupIndex;
    return 0;
}

void pcm_fault_short_writes(int after, int count)
{
    FaultCount.store(0, std::memory_order_relaxed);
    FaultAfter.store(after, std::memory_order_relaxed);
    FaultCount.store(count, std::memory_order_relaxed);
}
