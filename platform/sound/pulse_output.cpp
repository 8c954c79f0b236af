// SPDX-License-Identifier: GPL-3.0-or-later
// The sound server backend: a playback stream of our own through libpulse
// (PulseAudio, or PipeWire's pipewire-pulse), whose own volume and mute are
// the song's group. One connection serves the whole run, on libpulse's
// threaded main loop, and is made anew at the next open once the server has
// gone; a stream whose server went away is made anew by the next prepare.
//
// Nothing here waits for the server without a deadline: every request is
// queued under the main loop's lock and its answer awaited on `Moved`,
// which the loop's callbacks and output_wake signal.
//
// Locks, always in this order: a stream's `guard` (its connection and
// stream may be replaced), the main loop's lock, then `Shared`. The main
// loop's own lock does the work, but it is taken inside libpulse, where
// ThreadSanitizer cannot see it: `Shared` makes the same order visible.
// Threads: output.h's; the callbacks run on the main loop's thread.
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/sound/backend.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How long a server may take to take a connection, and a stream, before
// the song is played without it.
constexpr auto ConnectWait = 1000ms;
constexpr auto StreamWait = 2000ms;
// A write that waits this long without a request for data finds the server
// quiet.
constexpr auto QuietWait = 250ms;
// A stop's drain gives a server that stopped answering this long.
constexpr auto StopQuiet = 60ms;
constexpr auto Poll = 20ms;

constexpr char AppName[] = "Tonra";
constexpr char AppIcon[] = "tonra";
constexpr char AppId[] = "org.tonra.Tonra";

std::mutex Shared;
std::condition_variable Moved;
std::uint64_t Generation = 0;  // Shared: counts every callback and wake

void signal_moved()
{
    const std::lock_guard lock(Shared);
    ++Generation;
    Moved.notify_all();
}

// Waits for `done` (tested under Shared) until the deadline; false then.
template <typename Done>
[[nodiscard]] bool await(Clock::time_point deadline, Done &&done)
{
    std::unique_lock lock(Shared);
    return Moved.wait_until(lock, deadline, done);
}

class Locked {
public:
    explicit Locked(pa_threaded_mainloop *loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
    ~Locked() { pa_threaded_mainloop_unlock(loop_); }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;

private:
    pa_threaded_mainloop *loop_;
};

struct pulse_output;

struct Connection {
    pa_threaded_mainloop *loop = nullptr;
    pa_context *context = nullptr;
    pa_context_state_t state = PA_CONTEXT_UNCONNECTED;  // Shared

    Connection() = default;
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
    ~Connection()
    {
        if (loop != nullptr)
            pa_threaded_mainloop_stop(loop);
        if (context != nullptr) {
            pa_context_disconnect(context);
            pa_context_unref(context);
        }
        if (loop != nullptr)
            pa_threaded_mainloop_free(loop);
    }
};

struct pulse_output : audio_output {
    std::mutex guard;  // connection and stream, which prepare may replace
    std::shared_ptr<Connection> connection;
    pa_stream *stream = nullptr;
    output_format format;
    std::string name;  // what format.name views
    pa_channel_map map{};
    std::size_t frame_bytes = 4;
    // Shared:
    std::uintptr_t serial = 0;     // names it to the server's late answers
    Connection *owner = nullptr;   // while listed in Streams
    pa_stream_state_t state = PA_STREAM_UNCONNECTED;
    std::uint32_t index = PA_INVALID_INDEX;
    std::uint64_t requests = 0;   // the server asked for data
    std::uint64_t timings = 0;    // the server answered a timing request
    bool drained = false;
    output_levels known;          // ours or the last reported
    pa_cvolume volume{};          // what the server has, as far as we know
    int writes_in_flight = 0;     // ours, not yet confirmed
    bool missed_change = false;   // a change came while ours were in flight
    output_changed changed = nullptr;
    void *data = nullptr;
};

pulse_output &of(audio_output *handle) { return *static_cast<pulse_output *>(handle); }

[[nodiscard]] int server_error(pa_context *context)
{
    const int err = context != nullptr ? pa_context_errno(context) : PA_ERR_CONNECTIONREFUSED;
    return Output_PulseErrorBase - (err > 0 ? err : PA_ERR_UNKNOWN);
}

void release(pa_operation *op)
{
    if (op != nullptr)
        pa_operation_unref(op);
}

[[nodiscard]] pa_volume_t server_volume(std::int32_t level)
{
    const auto v = std::clamp<std::int64_t>(level, 0, Output_LevelMax);
    return static_cast<pa_volume_t>((v * PA_VOLUME_NORM + Output_LevelMax / 2) / Output_LevelMax);
}

[[nodiscard]] std::int32_t level_of(pa_volume_t volume)
{
    const std::int64_t v = std::min<pa_volume_t>(volume, PA_VOLUME_NORM);
    return static_cast<std::int32_t>((v * Output_LevelMax + PA_VOLUME_NORM / 2) / PA_VOLUME_NORM);
}

pa_cvolume volume_of(const output_levels &levels, const pa_channel_map &map)
{
    pa_cvolume out{};
    out.channels = map.channels;
    for (unsigned ch = 0; ch < map.channels; ++ch) {
        switch (map.map[ch]) {
        case PA_CHANNEL_POSITION_FRONT_LEFT: out.values[ch] = server_volume(levels.volume[0]); break;
        case PA_CHANNEL_POSITION_FRONT_RIGHT: out.values[ch] = server_volume(levels.volume[1]); break;
        default: out.values[ch] = server_volume(std::max(levels.volume[0], levels.volume[1])); break;
        }
    }
    return out;
}

// Front left and front right from the stream's channels; a mono stream's
// one channel is both.
output_levels levels_of(const pa_cvolume &volume, const pa_channel_map &map, bool muted, std::uint32_t mute_before)
{
    output_levels out{{0, 0}, muted ? (mute_before != 0 ? mute_before : 0x3U) : 0};
    for (unsigned ch = 0; ch < volume.channels; ++ch) {
        const std::int32_t v = level_of(volume.values[ch]);
        const pa_channel_position_t pos = ch < map.channels ? map.map[ch] : PA_CHANNEL_POSITION_INVALID;
        if (pos != PA_CHANNEL_POSITION_FRONT_RIGHT)
            out.volume[0] = std::max(out.volume[0], v);
        if (pos != PA_CHANNEL_POSITION_FRONT_LEFT)
            out.volume[1] = std::max(out.volume[1], v);
    }
    return out;
}

// Main loop callbacks.

void context_state(pa_context *context, void *userdata)
{
    auto &c = *static_cast<Connection *>(userdata);
    const std::lock_guard lock(Shared);
    c.state = pa_context_get_state(context);
    ++Generation;
    Moved.notify_all();
}

// The streams whose changes are watched, of every connection (Shared).
std::vector<pulse_output *> Streams;
std::uintptr_t LastSerial = 0;  // Shared

pulse_output *watched(const Connection &c, std::uint32_t index)
{
    const auto it = std::find_if(Streams.begin(), Streams.end(),
                                 [&](auto *s) { return s->owner == &c && s->index == index; });
    return it == Streams.end() ? nullptr : *it;
}

pulse_output *listed(std::uintptr_t serial)
{
    const auto it = std::find_if(Streams.begin(), Streams.end(), [serial](auto *s) { return s->serial == serial; });
    return it == Streams.end() ? nullptr : *it;
}

void stream_read(pa_context *, const pa_sink_input_info *info, int eol, void *userdata)
{
    auto &c = *static_cast<Connection *>(userdata);
    const std::lock_guard lock(Shared);
    pulse_output *s = eol == 0 && info != nullptr ? watched(c, info->index) : nullptr;
    if (s == nullptr)
        return;
    if (s->writes_in_flight > 0) {
        s->missed_change = true;
        return;
    }
    if (pa_cvolume_equal(&info->volume, &s->volume) && (info->mute != 0) == (s->known.mute != 0))
        return;
    s->volume = info->volume;
    s->known = levels_of(info->volume, info->channel_map, info->mute != 0, s->known.mute);
    if (s->changed != nullptr)
        s->changed(s->data, s->known);
}

void stream_event(pa_context *context, pa_subscription_event_type_t type, std::uint32_t index, void *userdata)
{
    auto &c = *static_cast<Connection *>(userdata);
    {
        const std::lock_guard lock(Shared);
        if ((type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) != PA_SUBSCRIPTION_EVENT_CHANGE || watched(c, index) == nullptr)
            return;
    }
    release(pa_context_get_sink_input_info(context, index, stream_read, &c));
}

// userdata: the stream's serial, as the stream may be gone by now.
void write_done(pa_context *context, int, void *userdata)
{
    std::uint32_t index = PA_INVALID_INDEX;
    Connection *owner = nullptr;
    {
        const std::lock_guard lock(Shared);
        pulse_output *s = listed(reinterpret_cast<std::uintptr_t>(userdata));
        if (s == nullptr || --s->writes_in_flight > 0 || !s->missed_change)
            return;
        s->missed_change = false;
        index = s->index;
        owner = s->owner;
    }
    // An outside change that came while ours were on their way.
    release(pa_context_get_sink_input_info(context, index, stream_read, owner));
}

void stream_state(pa_stream *stream, void *userdata)
{
    auto &s = *static_cast<pulse_output *>(userdata);
    const std::lock_guard lock(Shared);
    s.state = pa_stream_get_state(stream);
    ++Generation;
    Moved.notify_all();
}

void stream_request(pa_stream *, std::size_t, void *userdata)
{
    auto &s = *static_cast<pulse_output *>(userdata);
    const std::lock_guard lock(Shared);
    ++s.requests;
    ++Generation;
    Moved.notify_all();
}

void stream_drained(pa_stream *, int success, void *userdata)
{
    auto &s = *static_cast<pulse_output *>(userdata);
    const std::lock_guard lock(Shared);
    s.drained = success != 0;
    ++Generation;
    Moved.notify_all();
}

void stream_timing(pa_stream *, int, void *userdata)
{
    auto &s = *static_cast<pulse_output *>(userdata);
    const std::lock_guard lock(Shared);
    ++s.timings;
    ++Generation;
    Moved.notify_all();
}

// The connection.

std::mutex CurrentLock;
std::shared_ptr<Connection> Current;  // under CurrentLock

[[nodiscard]] bool alive(Connection &c)
{
    const std::lock_guard lock(Shared);
    return c.state == PA_CONTEXT_READY;
}

std::shared_ptr<Connection> connect(Clock::time_point deadline)
{
    auto c = std::make_shared<Connection>();
    c->loop = pa_threaded_mainloop_new();
    if (c->loop == nullptr)
        return nullptr;
    pa_proplist *props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, AppName);
    pa_proplist_sets(props, PA_PROP_APPLICATION_ICON_NAME, AppIcon);
    pa_proplist_sets(props, PA_PROP_APPLICATION_ID, AppId);
    c->context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(c->loop), AppName, props);
    pa_proplist_free(props);
    if (c->context == nullptr)
        return nullptr;
    pa_context_set_state_callback(c->context, context_state, c.get());
    pa_context_set_subscribe_callback(c->context, stream_event, c.get());
    if (pa_context_connect(c->context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
        pa_threaded_mainloop_start(c->loop) < 0)
        return nullptr;
    if (!await(deadline, [&] { return c->state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(c->state); }) ||
        c->state != PA_CONTEXT_READY)
        return nullptr;
    const Locked lock(c->loop);
    release(pa_context_subscribe(c->context, PA_SUBSCRIPTION_MASK_SINK_INPUT, nullptr, nullptr));
    return c;
}

// The live connection, made now if need be; null when no server answers.
std::shared_ptr<Connection> connection(Clock::time_point deadline)
{
    const std::lock_guard lock(CurrentLock);
    if (Current == nullptr || !alive(*Current))
        Current = connect(deadline);
    return Current;
}

// The stream.

void forget(pulse_output &s)
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
        std::erase(Streams, &s);
        s.owner = nullptr;
        s.index = PA_INVALID_INDEX;
        s.state = PA_STREAM_UNCONNECTED;
    }
    s.stream = nullptr;
}

// Makes the stream on the current connection; with `guard` held.
[[nodiscard]] int make_stream(pulse_output &s, Clock::time_point deadline)
{
    forget(s);
    s.connection = connection(deadline);
    if (s.connection == nullptr)
        return Output_PulseErrorBase - PA_ERR_CONNECTIONREFUSED;
    Connection &c = *s.connection;
    const pa_sample_spec spec{PA_SAMPLE_S16LE, static_cast<std::uint32_t>(s.format.rate),
                              static_cast<std::uint8_t>(s.format.voices)};
    pa_channel_map_init_auto(&s.map, spec.channels, PA_CHANNEL_MAP_DEFAULT);
    {
        const Locked lock(c.loop);
        pa_proplist *props = pa_proplist_new();
        pa_proplist_sets(props, PA_PROP_MEDIA_NAME, s.name.empty() ? AppName : s.name.c_str());
        pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "music");
        pa_proplist_sets(props, PA_PROP_APPLICATION_ICON_NAME, AppIcon);
        s.stream = pa_stream_new_with_proplist(c.context, s.name.empty() ? AppName : s.name.c_str(), &spec, &s.map, props);
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
                                  std::max<std::uint32_t>(length / 4, 1), static_cast<std::uint32_t>(-1)};
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
            PA_STREAM_NOT_MONOTONIC | (start.mute != 0 ? PA_STREAM_START_MUTED : PA_STREAM_START_UNMUTED));
        if (pa_stream_connect_playback(s.stream, nullptr, &attr, flags, &volume, nullptr) < 0)
            return server_error(c.context);
    }
    const pulse_output *self = &s;
    const bool settled = await(deadline, [self] { return !PA_STREAM_IS_GOOD(self->state) || self->state == PA_STREAM_READY; });
    const Locked lock(c.loop);
    const std::lock_guard shared(Shared);
    if (!settled)
        return Output_PulseErrorBase - PA_ERR_TIMEOUT;
    if (s.state != PA_STREAM_READY)
        return server_error(c.context);
    s.index = pa_stream_get_index(s.stream);
    s.owner = &c;
    s.serial = ++LastSerial;
    Streams.push_back(&s);
    return 0;
}

int pulse_open(audio_output **handle, const output_format &format, output_step *failed)
{
    auto s = std::make_unique<pulse_output>();
    s->ops = &PulseOutput;
    s->format = format;
    s->name = format.name;
    s->format.name = {};
    s->frame_bytes = 2 * static_cast<std::size_t>(format.voices);
    s->known = format.start;
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

long pulse_write(audio_output *handle, const void *data, std::size_t bytes, const std::atomic<int> *quit)
{
    pulse_output &s = of(handle);
    const std::lock_guard guard(s.guard);
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
                room = std::min(room - room % s.frame_bytes, bytes - done);
                if (pa_stream_write(s.stream, at + done, room, nullptr, 0, PA_SEEK_RELATIVE) < 0)
                    return done > 0 ? static_cast<long>(done) : server_error(c.context);
                done += room;
                s.quiet_since.store(0, std::memory_order_relaxed);
                continue;
            }
        }
        if (stopping(quit))
            break;
        const auto began = Clock::now();
        const std::uint64_t generation = [] {
            const std::lock_guard lock(Shared);
            return Generation;
        }();
        const pulse_output *self = &s;
        const bool asked = await(began + QuietWait, [&] {
            return self->requests != seen || self->state != PA_STREAM_READY || Generation != generation;
        });
        if (!asked && s.quiet_since.load(std::memory_order_relaxed) == 0)
            s.quiet_since.store(output_clock_now() - std::chrono::nanoseconds(QuietWait).count(),
                                std::memory_order_relaxed);
        if (stopping(quit))
            break;
    }
    return static_cast<long>(done);
}

// After an underrun the stream waits for its buffer to fill and plays on by
// itself; only a stream whose server went away needs making anew.
int pulse_prepare(audio_output *handle)
{
    pulse_output &s = of(handle);
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
void ask_timing(pulse_output &s)
{
    const Locked lock(s.connection->loop);
    release(pa_stream_update_timing_info(s.stream, stream_timing, &s));
}

int pulse_drain(audio_output *handle, bool settle, int limit_ms, const std::atomic<int> *quit)
{
    pulse_output &s = of(handle);
    const std::lock_guard guard(s.guard);
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
        const std::lock_guard shared(Shared);
        s.drained = false;
        release(pa_stream_drain(s.stream, stream_drained, &s));
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
        const pulse_output *self = &s;
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
    pulse_output &s = of(handle);
    const std::lock_guard guard(s.guard);
    if (s.stream == nullptr)
        return Output_PulseErrorBase - PA_ERR_BADSTATE;
    const Locked lock(s.connection->loop);
    release(pa_stream_flush(s.stream, nullptr, nullptr));
    return 0;
}

int pulse_close(audio_output *handle)
{
    const std::unique_ptr<pulse_output> s(&of(handle));
    const std::lock_guard guard(s->guard);
    forget(*s);
    return 0;
}

long pulse_delay(audio_output *handle)
{
    pulse_output &s = of(handle);
    const std::lock_guard guard(s.guard);
    if (s.stream == nullptr)
        return 0;
    const Locked lock(s.connection->loop);
    pa_usec_t usec = 0;
    int negative = 0;
    const bool known = pa_stream_get_latency(s.stream, &usec, &negative) == 0 && negative == 0;
    release(pa_stream_update_timing_info(s.stream, stream_timing, &s));
    return known ? static_cast<long>(usec * static_cast<pa_usec_t>(s.format.rate) / 1000000) : 0;
}

void send_levels(pulse_output &s)
{
    Connection &c = *s.connection;
    pa_cvolume volume;
    bool mute;
    std::uint32_t index;
    void *serial;
    {
        const std::lock_guard shared(Shared);
        s.writes_in_flight += 2;
        volume = s.volume;
        mute = s.known.mute != 0;
        index = s.index;
        serial = reinterpret_cast<void *>(s.serial);
    }
    release(pa_context_set_sink_input_volume(c.context, index, &volume, write_done, serial));
    release(pa_context_set_sink_input_mute(c.context, index, mute ? 1 : 0, write_done, serial));
}

int pulse_group_write(audio_output *handle, const output_levels &levels)
{
    pulse_output &s = of(handle);
    const std::lock_guard guard(s.guard);
    {
        const std::lock_guard shared(Shared);
        if (s.known == levels)
            return 0;
        s.known = levels;
        s.volume = volume_of(levels, s.map);
    }
    if (s.stream == nullptr)
        return 0;  // the stream made anew starts at the levels
    const Locked lock(s.connection->loop);
    if (pa_context_get_state(s.connection->context) != PA_CONTEXT_READY)
        return server_error(s.connection->context);
    send_levels(s);
    return 0;
}

void pulse_group_watch(audio_output *handle, output_changed changed, void *data)
{
    pulse_output &s = of(handle);
    const std::lock_guard shared(Shared);
    s.changed = changed;
    s.data = data;
}

}  // namespace

bool pulse_output_available() { return connection(Clock::now() + ConnectWait) != nullptr; }

const char *pulse_output_strerror(int err) { return pa_strerror(Output_PulseErrorBase - err); }

const output_ops PulseOutput = {
    "pulse", pulse_open, pulse_write, pulse_prepare, pulse_drain, pulse_drop, pulse_close, pulse_delay,
    pulse_group_write, pulse_group_watch, signal_moved,
};
