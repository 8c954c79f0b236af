// SPDX-License-Identifier: GPL-3.0-or-later
// The sound server backend: a playback stream of our own through libpulse
// (PulseAudio, or PipeWire's pipewire-pulse), whose own volume and mute are
// the song's group (pulse_group.cpp). A stream whose server went away is
// made anew by the next prepare. Threads: output.h's; pulse.h says the
// locks.
#include <algorithm>
#include <cerrno>

#include "platform/sound/pulse.h"

namespace pulse {

namespace {

// How long a server may take to take a stream before its song fails.
constexpr auto StreamWait = 2000ms;
// A write that waits this long without a request for data finds the server
// quiet.
constexpr auto QuietWait = 250ms;
// A stop's drain gives a server that stopped answering this long.
constexpr auto StopQuiet = 40ms;
constexpr auto Poll = 20ms;
// How old the server's timing may grow before the delay asks anew.
constexpr auto TimingAge = 500ms;

void stream_state(pa_stream *stream, void *userdata)
{
    auto &s = *static_cast<Stream *>(userdata);
    move_state([&] { s.state = pa_stream_get_state(stream); });
}

void stream_request(pa_stream *, std::size_t, void *userdata)
{
    auto &s = *static_cast<Stream *>(userdata);
    move_state([&] { ++s.requests; });
}

// The operations' answers may come after the stream has gone (a
// disconnect does not end them): userdata is the stream's serial.
void stream_drained(pa_stream *, int success, void *userdata)
{
    move_state([&] {
        if (Stream *s = listed(reinterpret_cast<std::uintptr_t>(userdata)))
            s->drained = success != 0;
    });
}

void stream_timing(pa_stream *, int, void *userdata)
{
    move_state([&] {
        if (Stream *s = listed(reinterpret_cast<std::uintptr_t>(userdata)))
            ++s->timings;
    });
}

// The stream.

void forget(Stream &s)
{
    if (s.stream == nullptr)
        return;
    {
        const Locked lock(s.connection->loop);
        pa_stream_set_state_callback(s.stream, nullptr, nullptr);
        pa_stream_set_write_callback(s.stream, nullptr, nullptr);
        pa_stream_disconnect(s.stream);
        pa_stream_unref(s.stream);
        const std::lock_guard shared(Shared);
        unwatch(s);
        s.index = PA_INVALID_INDEX;
        s.state = PA_STREAM_UNCONNECTED;
    }
    s.stream = nullptr;
}

// Makes the stream on the current connection; with `guard` held.
[[nodiscard]] int make_stream(Stream &s, Clock::time_point deadline)
{
    forget(s);
    s.held = 0;
    s.connection = connection(deadline);
    if (s.connection == nullptr)
        return Output_PulseErrorBase - PA_ERR_CONNECTIONREFUSED;
    Connection &c = *s.connection;
    const pa_sample_spec samples{PA_SAMPLE_S16LE, static_cast<std::uint32_t>(s.format.rate),
                              static_cast<std::uint8_t>(s.format.voices)};
    pa_channel_map_init_auto(&s.map, samples.channels, PA_CHANNEL_MAP_DEFAULT);
    {
        const Locked lock(c.loop);
        pa_proplist *props = pa_proplist_new();
        pa_proplist_sets(props, PA_PROP_MEDIA_NAME, s.name.empty() ? AppName : s.name.c_str());
        pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "music");
        pa_proplist_sets(props, PA_PROP_APPLICATION_ICON_NAME, AppIcon);
        s.stream = pa_stream_new_with_proplist(c.context, s.name.empty() ? AppName : s.name.c_str(), &samples, &s.map, props);
        pa_proplist_free(props);
        if (s.stream == nullptr)
            return server_error(c.context);
        pa_stream_set_state_callback(s.stream, stream_state, &s);
        pa_stream_set_write_callback(s.stream, stream_request, &s);
        // The buffer is what the device's fragment was: pause and stop play
        // out as long. Requests come in quarters of it, which keeps the
        // wake-ups few without letting the server run short.
        const auto length = static_cast<std::uint32_t>(s.format.buffer_bytes);
        const pa_buffer_attr attr{length, length, static_cast<std::uint32_t>(-1),
                                  std::max<std::uint32_t>(length / 2, 1), static_cast<std::uint32_t>(-1)};
        pa_cvolume volume;
        output_levels start;
        {
            const std::lock_guard shared(Shared);
            start = s.known;
            s.volume = volume_of(start, s.map);
            volume = s.volume;
            s.state = PA_STREAM_UNCONNECTED;
        }
        // The first sample already plays at the group's level and mute.
        const auto flags = static_cast<pa_stream_flags_t>(
            PA_STREAM_NOT_MONOTONIC | PA_STREAM_INTERPOLATE_TIMING | (start.mute != 0 ? PA_STREAM_START_MUTED : PA_STREAM_START_UNMUTED));
        if (pa_stream_connect_playback(s.stream, nullptr, &attr, flags, &volume, nullptr) < 0)
            return server_error(c.context);
    }
    const Stream *self = &s;
    const bool settled = await(deadline, [self] { return !PA_STREAM_IS_GOOD(self->state) || self->state == PA_STREAM_READY; });
    const Locked lock(c.loop);
    {
        const std::lock_guard shared(Shared);
        if (!settled)
            return Output_PulseErrorBase - PA_ERR_TIMEOUT;
        if (s.state != PA_STREAM_READY)
            return server_error(c.context);
        s.index = pa_stream_get_index(s.stream);
        watch(s, c);
    }
    // Not every server starts a stream at the volume and mute it was asked
    // for (PipeWire's does not): whatever it did is ours to correct, not a
    // change by others.
    send_levels(s);
    return 0;
}

int pulse_open(audio_output **handle, const output_format &format, output_step *failed)
{
    auto s = std::make_unique<Stream>();
    s->ops = &PulseOutput;
    s->format = format;
    s->name = format.name;
    s->format.name = {};
    s->frame_bytes = 2 * static_cast<std::size_t>(format.voices);
    s->known = format.start;
    s->pending.resize(static_cast<std::size_t>(std::max(format.buffer_bytes, 4)));
    *failed = output_step::params;
    if ((format.voices != 1 && format.voices != 2) || format.rate <= 0 || format.rate > static_cast<int>(PA_RATE_MAX))
        return -EINVAL;
    *failed = output_step::open;
    const std::lock_guard guard(s->guard);
    // Timed as a call that may not return, though bounded: a stop does not
    // wait for a server that takes its time.
    const output_call call;
    if (const int rc = make_stream(*s, Clock::now() + StreamWait); rc < 0) {
        forget(*s);
        return rc;
    }
    *handle = s.release();
    return 0;
}

[[nodiscard]] bool stopping(const std::atomic<int> *quit)
{
    return quit != nullptr && quit->load(std::memory_order_relaxed) != 0;
}

// The samples go out once they fill what the server asked for: one message
// per request instead of one per frame, each of which wakes the server and
// our main loop. What waits here counts as taken: a drain sends it first.
[[nodiscard]] int send_pending(Stream &s)
{
    if (s.held == 0)
        return 0;
    const int rc = pa_stream_write(s.stream, s.pending.data(), s.held, nullptr, 0, PA_SEEK_RELATIVE);
    s.held = 0;
    return rc;
}

long pulse_write(audio_output *handle, const void *data, std::size_t bytes, const std::atomic<int> *quit,
                 const std::atomic<bool> *jump)
{
    Stream &s = of(handle);
    if (s.stream == nullptr)
        return Output_PulseErrorBase - PA_ERR_BADSTATE;
    Connection &c = *s.connection;
    const auto *at = static_cast<const unsigned char *>(data);
    std::size_t done = 0;
    bytes -= bytes % s.frame_bytes;
    while (done < bytes) {
        std::uint64_t seen = 0;
        {
            const Locked lock(c.loop);
            std::size_t room = pa_stream_writable_size(s.stream);
            {
                const std::lock_guard shared(Shared);
                if (s.state != PA_STREAM_READY)
                    return done > 0 ? static_cast<long>(done) : server_error(c.context);
                seen = s.requests;
            }
            if (room != static_cast<std::size_t>(-1) && room >= s.frame_bytes) {
                room = std::min(room - room % s.frame_bytes, s.pending.size());
                const std::size_t take = std::min(room > s.held ? room - s.held : 0, bytes - done);
                std::copy_n(at + done, take, s.pending.data() + s.held);
                s.held += take;
                done += take;
                if (s.held >= room) {
                    if (send_pending(s) < 0)
                        return done > 0 ? static_cast<long>(done) : server_error(c.context);
                    s.quiet_since.store(0, std::memory_order_relaxed);
                }
                continue;
            }
        }
        if (output_interrupted(quit, jump))
            break;
        const auto began = Clock::now();
        const std::uint64_t generation = [] {
            const std::lock_guard lock(Shared);
            return Generation;
        }();
        const Stream *self = &s;
        const bool asked = await(began + QuietWait, [&] {
            return self->requests != seen || self->state != PA_STREAM_READY || Generation != generation;
        });
        if (!asked && s.quiet_since.load(std::memory_order_relaxed) == 0)
            s.quiet_since.store(output_clock_now() - std::chrono::nanoseconds(QuietWait).count(),
                                std::memory_order_relaxed);
        if (output_interrupted(quit, jump))
            break;
    }
    return static_cast<long>(done);
}

// After an underrun the stream waits for its buffer to fill and plays on by
// itself; only a stream whose server went away needs making anew.
int pulse_prepare(audio_output *handle)
{
    Stream &s = of(handle);
    const std::lock_guard guard(s.guard);
    {
        const std::lock_guard shared(Shared);
        if (s.stream != nullptr && s.state == PA_STREAM_READY && s.connection->state == PA_CONTEXT_READY)
            return 0;
    }
    const output_call call;
    const int rc = make_stream(s, Clock::now() + ConnectWait);
    if (rc < 0)
        forget(s);
    return rc;
}

// Asks the server where the stream stands: an answer shows it alive.
void ask_timing(Stream &s)
{
    const Locked lock(s.connection->loop);
    release(pa_stream_update_timing_info(s.stream, stream_timing, serial_of(s)));
}

int pulse_drain(audio_output *handle, bool settle, int limit_ms, const std::atomic<int> *quit)
{
    Stream &s = of(handle);
    if (s.stream == nullptr)
        return Output_PulseErrorBase - PA_ERR_BADSTATE;
    Connection &c = *s.connection;
    const auto start = Clock::now();
    auto deadline = start + std::chrono::milliseconds(limit_ms);
    auto quiet_limit = settle ? std::chrono::milliseconds(Output_SettleQuietMs) : StopQuiet;
    // A server that already took nothing while the writes waited for room
    // has been quiet since then.
    const std::int64_t quiet = s.quiet_since.load(std::memory_order_relaxed);
    auto heard = quiet != 0 ? Clock::time_point(std::chrono::nanoseconds(quiet)) : start;
    {
        const Locked lock(c.loop);
        (void)send_pending(s);
        const std::lock_guard shared(Shared);
        s.drained = false;
        release(pa_stream_drain(s.stream, stream_drained, serial_of(s)));
    }
    std::uint64_t timings = 0;
    int rc = 0;
    for (;;) {
        if (settle && stopping(quit)) {
            // A stop while the end of a song plays out: from then on, a stop's.
            settle = false;
            const auto now = Clock::now();
            deadline = std::min(deadline, now + std::chrono::milliseconds(Output_DrainLimitMs));
            quiet_limit = StopQuiet;
            heard = std::max(heard, now);
        }
        ask_timing(s);
        const Stream *self = &s;
        const auto now = Clock::now();
        const bool done = await(std::min(deadline, now + Poll), [&] { return self->drained || self->state != PA_STREAM_READY; });
        {
            const std::lock_guard shared(Shared);
            if (s.drained)
                break;
            if (s.state != PA_STREAM_READY) {
                rc = Output_PulseErrorBase - PA_ERR_CONNECTIONTERMINATED;
                break;
            }
            if (s.timings != timings) {
                timings = s.timings;
                heard = Clock::now();
            }
        }
        if (done)
            continue;
        const auto later = Clock::now();
        if (later >= deadline || later - heard > quiet_limit) {
            rc = -ETIMEDOUT;
            break;
        }
    }
    if (rc < 0) {
        const Locked lock(c.loop);
        release(pa_stream_flush(s.stream, nullptr, nullptr));
    }
    return rc;
}

int pulse_drop(audio_output *handle)
{
    Stream &s = of(handle);
    if (s.stream == nullptr)
        return Output_PulseErrorBase - PA_ERR_BADSTATE;
    s.held = 0;
    s.timed = {};
    const Locked lock(s.connection->loop);
    release(pa_stream_flush(s.stream, nullptr, nullptr));
    return 0;
}

int pulse_close(audio_output *handle)
{
    const std::unique_ptr<Stream> s(&of(handle));
    const std::lock_guard guard(s->guard);
    forget(*s);
    return 0;
}

// Called after every frame while a song plays: no round trip to the server
// each time. The server's timing is asked for now and then and
// interpolated in between.
long pulse_delay(audio_output *handle)
{
    Stream &s = of(handle);
    if (s.stream == nullptr)
        return 0;
    const Locked lock(s.connection->loop);
    pa_usec_t usec = 0;
    int negative = 0;
    long frames = static_cast<long>(s.held / s.frame_bytes);
    if (pa_stream_get_latency(s.stream, &usec, &negative) == 0 && negative == 0)
        frames += static_cast<long>(usec * static_cast<pa_usec_t>(s.format.rate) / 1000000);
    if (const auto now = Clock::now(); now - s.timed > TimingAge) {
        s.timed = now;
        release(pa_stream_update_timing_info(s.stream, stream_timing, serial_of(s)));
    }
    return frames;
}
}  // namespace

}  // namespace pulse

const output_ops PulseOutput = {
    "pulse", pulse::pulse_open, pulse::pulse_write, pulse::pulse_prepare, pulse::pulse_drain, pulse::pulse_drop,
    pulse::pulse_close, pulse::pulse_delay, pulse::group_write, pulse::group_watch, pulse::signal_moved,
};
