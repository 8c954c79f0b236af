// SPDX-License-Identifier: GPL-3.0-or-later
// The ALSA backend: ALSA's "default" device (the user's preferred one; ALSA's
// configuration chooses it), for machines without a sound server and for
// recording through ALSA's file plugin. The device is opened non-blocking:
// every wait for it is bounded here, in steps of Alsa_WaitMs. Only this file
// knows ALSA. Threads: output.h's.
#include <alsa/asoundlib.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>

#include "platform/sound/backend.h"

namespace {

// Periods in the buffer. ALSA otherwise picks periods as short as a handful
// of frames, and every period costs a wake-up.
constexpr int Alsa_Periods = 4;
constexpr int Alsa_WaitMs = 20;

struct alsa_output : audio_output {
    snd_pcm_t *pcm = nullptr;
    std::size_t frame_bytes = 4;
    snd_pcm_sframes_t last_avail = -1;
};

alsa_output &of(audio_output *handle) { return *static_cast<alsa_output *>(handle); }

std::int64_t clock_of(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

// Called while a write waits for room: a device that stopped taking data
// shows in a buffer that does not move.
void watch_motion(alsa_output &s)
{
    snd_pcm_sframes_t avail;
    {
        const output_call call;
        avail = snd_pcm_avail(s.pcm);
    }
    if (avail != s.last_avail) {
        s.last_avail = avail;
        s.quiet_since.store(0, std::memory_order_relaxed);
    } else if (s.quiet_since.load(std::memory_order_relaxed) == 0) {
        s.quiet_since.store(output_clock_now(), std::memory_order_relaxed);
    }
}

int set_params(alsa_output &s, int rate, int voices, int buffer_bytes)
{
    if ((voices != 1 && voices != 2) || rate <= 0)
        return -EINVAL;
    snd_pcm_hw_params_t *hw;
    snd_pcm_hw_params_alloca(&hw);
    const std::size_t frame_bytes = 2 * static_cast<std::size_t>(voices);
    snd_pcm_uframes_t buffer = static_cast<snd_pcm_uframes_t>(buffer_bytes) / frame_bytes;
    snd_pcm_uframes_t period = buffer / Alsa_Periods;
    const output_call call;
    int rc = snd_pcm_hw_params_any(s.pcm, hw);
    if (rc >= 0)
        rc = snd_pcm_hw_params_set_access(s.pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED);
    if (rc >= 0)
        rc = snd_pcm_hw_params_set_format(s.pcm, hw, SND_PCM_FORMAT_S16_LE);
    if (rc >= 0)
        rc = snd_pcm_hw_params_set_channels(s.pcm, hw, static_cast<unsigned>(voices));
    if (rc >= 0)
        rc = snd_pcm_hw_params_set_rate(s.pcm, hw, static_cast<unsigned>(rate), 0);
    if (rc >= 0)
        rc = snd_pcm_hw_params_set_period_size_near(s.pcm, hw, &period, nullptr);
    if (rc >= 0)
        rc = snd_pcm_hw_params_set_buffer_size_near(s.pcm, hw, &buffer);
    if (rc >= 0)
        rc = snd_pcm_hw_params(s.pcm, hw);
    if (rc >= 0)
        s.frame_bytes = frame_bytes;
    return rc;
}

int alsa_prepare(audio_output *handle)
{
    const output_call call;
    return snd_pcm_prepare(of(handle).pcm);
}

int alsa_open(audio_output **handle, const output_format &format, output_step *failed)
{
    snd_pcm_t *pcm = nullptr;
    {
        const output_call call;
        if (const int rc = snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK); rc < 0)
            return rc;
    }
    auto stream = std::make_unique<alsa_output>();
    stream->ops = &AlsaOutput;
    stream->pcm = pcm;
    *handle = stream.release();
    *failed = output_step::params;
    if (const int rc = set_params(of(*handle), format.rate, format.voices, format.buffer_bytes); rc < 0)
        return rc;
    *failed = output_step::prepare;
    return alsa_prepare(*handle);
}

long alsa_write(audio_output *handle, const void *data, std::size_t bytes, const std::atomic<int> *quit,
                const std::atomic<bool> *jump)
{
    alsa_output &s = of(handle);
    const auto stopping = [quit, jump] { return output_interrupted(quit, jump); };
    const auto *at = static_cast<const unsigned char *>(data);
    const snd_pcm_uframes_t frames = bytes / s.frame_bytes;
    snd_pcm_uframes_t done = 0;
    while (done < frames) {
        snd_pcm_sframes_t n;
        {
            const output_call call;
            n = snd_pcm_writei(s.pcm, at + done * s.frame_bytes, frames - done);
        }
        if (n == -EAGAIN || n == -EINTR) {
            if (stopping())
                break;
            if (n == -EAGAIN) {
                if (const int rc = snd_pcm_wait(s.pcm, Alsa_WaitMs); rc < 0 && rc != -EINTR)
                    return done > 0 ? static_cast<long>(done * s.frame_bytes) : rc;
                watch_motion(s);
            }
            continue;
        }
        if (n < 0)
            return done > 0 ? static_cast<long>(done * s.frame_bytes) : n;
        if (n > 0)
            s.quiet_since.store(0, std::memory_order_relaxed);
        done += static_cast<snd_pcm_uframes_t>(n);
    }
    return static_cast<long>(done * s.frame_bytes);
}

int alsa_drain(audio_output *handle, bool settle, int limit_ms, const std::atomic<int> *quit)
{
    using namespace std::chrono_literals;
    alsa_output &s = of(handle);
    snd_pcm_t *pcm = s.pcm;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    auto quiet_limit = settle ? std::chrono::milliseconds(Output_SettleQuietMs) : 100ms;
    // A stop while the end of a song plays out: from then on, a stop's drain.
    const auto stopped = [&] {
        if (!settle || quit == nullptr || quit->load(std::memory_order_relaxed) == 0)
            return false;
        settle = false;
        deadline = std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(Output_DrainLimitMs));
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
        const output_call call;
        const snd_pcm_sframes_t avail = snd_pcm_avail(pcm);
        return avail < 0 || snd_pcm_state(pcm) != SND_PCM_STATE_RUNNING
                   ? 0
                   : static_cast<snd_pcm_sframes_t>(buffer) - avail;
    };
    // A device that already stood still while the writes waited for room
    // has been taking nothing since then.
    const std::int64_t quiet = s.quiet_since.load(std::memory_order_relaxed);
    auto moved = quiet != 0 ? std::chrono::steady_clock::time_point(std::chrono::nanoseconds(quiet))
                            : std::chrono::steady_clock::now();
    for (snd_pcm_sframes_t before = held(); before > 0;) {
        (void)stopped();
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline || now - moved > quiet_limit) {
            // A plugin's drop can wait for its server for good: timed as
            // from when the device stopped.
            const output_call call(clock_of(moved));
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
        const output_call call;
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
        const output_call call;
        (void)snd_pcm_drop(pcm);
    }
    return rc;
}

int alsa_drop(audio_output *handle)
{
    const output_call call;
    alsa_output &s = of(handle);
    const int rc = snd_pcm_drop(s.pcm);
    return rc < 0 ? rc : snd_pcm_prepare(s.pcm);
}

int alsa_close(audio_output *handle)
{
    const std::unique_ptr<alsa_output> owned(&of(handle));
    const output_call call;
    return snd_pcm_close(owned->pcm);
}

long alsa_delay(audio_output *handle)
{
    snd_pcm_sframes_t delay = 0;
    const output_call call;
    snd_pcm_t *pcm = of(handle).pcm;
    if (snd_pcm_state(pcm) != SND_PCM_STATE_RUNNING || snd_pcm_delay(pcm, &delay) < 0)
        return 0;
    return std::max<long>(delay, 0);
}

// The waits poll in steps of Alsa_WaitMs and look at quit after each.
void alsa_wake() {}

}  // namespace

const output_ops AlsaOutput = {
    "alsa", alsa_open, alsa_write, alsa_prepare, alsa_drain, alsa_drop, alsa_close, alsa_delay, nullptr, nullptr,
    alsa_wake,
};
