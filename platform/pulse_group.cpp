// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/pulse_group.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <pulse/pulseaudio.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// One connection to the server. The groups hold it, so it outlives a
// server that went away until its last group is closed.
struct Connection {
    pa_threaded_mainloop *loop = nullptr;
    pa_context *context = nullptr;
    // Taken inside the main loop's lock by whoever uses what follows, and by
    // the groups' fields: the main loop's own lock does the work, but it is
    // taken inside libpulse where ThreadSanitizer cannot see it.
    std::mutex state;
    std::vector<pulse_group *> groups;  // those being watched
    // Our writes the server has not yet confirmed: a stream state read back
    // meanwhile may predate them, and is no outside change.
    int writes_in_flight = 0;

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
    [[nodiscard]] bool alive()
    {
        pa_threaded_mainloop_lock(loop);
        const bool ok = PA_CONTEXT_IS_GOOD(pa_context_get_state(context));
        pa_threaded_mainloop_unlock(loop);
        return ok;
    }
};

class Locked {
public:
    explicit Locked(pa_threaded_mainloop *loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
    ~Locked() { pa_threaded_mainloop_unlock(loop_); }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;

private:
    pa_threaded_mainloop *loop_;
};

// The main loop's lock and the state's.
class Held {
public:
    explicit Held(Connection &c) : loop_(c.loop), state_(c.state) {}

private:
    Locked loop_;
    std::lock_guard<std::mutex> state_;
};

}  // namespace

struct pulse_group {
    std::shared_ptr<Connection> connection;
    pulse_changed changed;
    void *data;
    // Below: under the connection's lock.
    std::uint32_t index = PA_INVALID_INDEX;  // the sink input
    pa_channel_map map{};
    pa_cvolume volume{};  // what the server has, as far as we know
    pulse_levels known{};
};

namespace {

std::mutex CurrentLock;
std::shared_ptr<Connection> Current;  // under CurrentLock

[[nodiscard]] bool waited(pa_threaded_mainloop *loop, Clock::time_point deadline, auto &&done)
{
    for (;;) {
        {
            const Locked lock(loop);
            if (done())
                return true;
        }
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

[[nodiscard]] bool finished(pa_operation *op)
{
    return op == nullptr || pa_operation_get_state(op) != PA_OPERATION_RUNNING;
}

void release(pa_operation *op)
{
    if (op != nullptr)
        pa_operation_unref(op);
}

pulse_group *watched(Connection &c, std::uint32_t index)
{
    const auto it = std::find_if(c.groups.begin(), c.groups.end(), [index](auto *g) { return g->index == index; });
    return it == c.groups.end() ? nullptr : *it;
}

// Front left and front right from the stream's channels; a mono stream's one
// channel is both.
pulse_levels levels_of(const pa_cvolume &volume, const pa_channel_map &map, bool muted, std::uint32_t mute_before)
{
    pulse_levels out{{0, 0}, muted ? (mute_before != 0 ? mute_before : 0x3U) : 0};
    for (unsigned ch = 0; ch < volume.channels; ++ch) {
        const auto v = static_cast<std::int32_t>(std::min<pa_volume_t>(volume.values[ch], PA_VOLUME_NORM));
        const pa_channel_position_t pos = ch < map.channels ? map.map[ch] : PA_CHANNEL_POSITION_INVALID;
        if (pos != PA_CHANNEL_POSITION_FRONT_RIGHT)
            out.volume[0] = std::max(out.volume[0], v);
        if (pos != PA_CHANNEL_POSITION_FRONT_LEFT)
            out.volume[1] = std::max(out.volume[1], v);
    }
    return out;
}

pa_cvolume volume_of(const pulse_levels &levels, const pa_channel_map &map)
{
    pa_cvolume out{};
    out.channels = map.channels;
    auto clamp = [](std::int32_t v) { return static_cast<pa_volume_t>(std::clamp<std::int32_t>(v, 0, PA_VOLUME_NORM)); };
    for (unsigned ch = 0; ch < map.channels; ++ch) {
        switch (map.map[ch]) {
        case PA_CHANNEL_POSITION_FRONT_LEFT: out.values[ch] = clamp(levels.volume[0]); break;
        case PA_CHANNEL_POSITION_FRONT_RIGHT: out.values[ch] = clamp(levels.volume[1]); break;
        default: out.values[ch] = clamp(std::max(levels.volume[0], levels.volume[1])); break;
        }
    }
    return out;
}

void write_done(pa_context *, int, void *userdata)
{
    auto &c = *static_cast<Connection *>(userdata);
    const std::lock_guard lock(c.state);
    --c.writes_in_flight;
}

// Queues the group's levels; under the connection's lock.
void send(Connection &c, pulse_group &g)
{
    c.writes_in_flight += 2;
    release(pa_context_set_sink_input_volume(c.context, g.index, &g.volume, write_done, &c));
    release(pa_context_set_sink_input_mute(c.context, g.index, g.known.mute != 0, write_done, &c));
}

// A stream's state, read back after the server announced a change.
void stream_read(pa_context *, const pa_sink_input_info *info, int eol, void *userdata)
{
    auto &c = *static_cast<Connection *>(userdata);
    const std::lock_guard lock(c.state);
    if (eol != 0 || info == nullptr || c.writes_in_flight > 0)
        return;
    pulse_group *g = watched(c, info->index);
    if (g == nullptr)
        return;
    if (pa_cvolume_equal(&info->volume, &g->volume) && (info->mute != 0) == (g->known.mute != 0))
        return;
    g->volume = info->volume;
    g->map = info->channel_map;
    g->known = levels_of(info->volume, info->channel_map, info->mute != 0, g->known.mute);
    g->changed(g->data, g->known);
}

void stream_event(pa_context *context, pa_subscription_event_type_t type, std::uint32_t index, void *userdata)
{
    auto &c = *static_cast<Connection *>(userdata);
    const std::lock_guard lock(c.state);
    if ((type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) != PA_SUBSCRIPTION_EVENT_CHANGE || watched(c, index) == nullptr)
        return;
    release(pa_context_get_sink_input_info(context, index, stream_read, &c));
}

void state_changed(pa_context *, void *userdata)
{
    pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop *>(userdata), 0);
}

std::shared_ptr<Connection> connect(Clock::time_point deadline)
{
    auto c = std::make_shared<Connection>();
    c->loop = pa_threaded_mainloop_new();
    if (c->loop == nullptr)
        return nullptr;
    pa_proplist *props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Tonra");
    c->context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(c->loop), "Tonra", props);
    pa_proplist_free(props);
    if (c->context == nullptr)
        return nullptr;
    pa_context_set_state_callback(c->context, state_changed, c->loop);
    pa_context_set_subscribe_callback(c->context, stream_event, c.get());
    if (pa_context_connect(c->context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
        pa_threaded_mainloop_start(c->loop) < 0)
        return nullptr;
    pa_context_state_t state = PA_CONTEXT_UNCONNECTED;
    if (!waited(c->loop, deadline, [&] {
            state = pa_context_get_state(c->context);
            return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
        }) ||
        state != PA_CONTEXT_READY)
        return nullptr;
    pa_operation *op = nullptr;
    {
        const Locked lock(c->loop);
        op = pa_context_subscribe(c->context, PA_SUBSCRIPTION_MASK_SINK_INPUT, nullptr, nullptr);
    }
    const bool subscribed = waited(c->loop, deadline, [op] { return finished(op); });
    const Locked lock(c->loop);
    const bool ok = subscribed && op != nullptr && pa_operation_get_state(op) == PA_OPERATION_DONE;
    release(op);
    return ok ? c : nullptr;
}

// The searches' answers pass from the connection's thread under it.
std::mutex SearchLock;

struct Search {
    std::string pid = std::to_string(getpid());
    std::uint32_t index = PA_INVALID_INDEX;
    pa_channel_map map{};
};

void stream_found(pa_context *, const pa_sink_input_info *info, int eol, void *userdata)
{
    auto &s = *static_cast<Search *>(userdata);
    const std::lock_guard lock(SearchLock);
    if (eol != 0 || info == nullptr)
        return;
    const char *pid = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_ID);
    // The newest: a stream of ours being replaced may still be listed.
    if (pid != nullptr && s.pid == pid && (s.index == PA_INVALID_INDEX || info->index > s.index)) {
        s.index = info->index;
        s.map = info->channel_map;
    }
}

// Our stream's index, or PA_INVALID_INDEX by the deadline.
Search find_stream(Connection &c, Clock::time_point deadline)
{
    Search s;
    do {
        pa_operation *op = nullptr;
        {
            const Locked lock(c.loop);
            const std::lock_guard search(SearchLock);
            op = pa_context_get_sink_input_info_list(c.context, stream_found, &s);
        }
        // On a timeout the answer may still come: wait for it regardless,
        // as a dead connection ends the operation too.
        const bool answered = waited(c.loop, deadline, [op] { return finished(op); });
        {
            const Locked lock(c.loop);
            const std::lock_guard search(SearchLock);
            if (!answered)
                pa_operation_cancel(op);
            release(op);
            if (s.index != PA_INVALID_INDEX || op == nullptr)
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (Clock::now() < deadline);
    return s;
}

}  // namespace

pulse_group *pulse_group_open(const pulse_levels &start, pulse_changed changed, void *data, std::chrono::milliseconds wait)
{
    const auto deadline = Clock::now() + wait;
    std::shared_ptr<Connection> c;
    {
        const std::lock_guard lock(CurrentLock);
        if (Current == nullptr || !Current->alive())
            Current = connect(deadline);
        c = Current;
    }
    if (c == nullptr)
        return nullptr;
    Search found = find_stream(*c, deadline);
    {
        const std::lock_guard search(SearchLock);
        if (found.index == PA_INVALID_INDEX)
            return nullptr;
    }

    auto g = std::make_unique<pulse_group>(pulse_group{c, changed, data});
    {
        const Held lock(*c);
        g->index = found.index;
        g->map = found.map;
        g->known = start;
        g->volume = volume_of(start, found.map);
        c->groups.push_back(g.get());
        send(*c, *g);
    }
    // The stream must be at the user's level before its first sample.
    if (waited(c->loop, deadline, [&] {
            const std::lock_guard lock(c->state);
            return c->writes_in_flight == 0;
        }))
        return g.release();
    pulse_group_close(g.release());
    return nullptr;
}

pulse_levels pulse_group_close(pulse_group *group)
{
    const std::unique_ptr<pulse_group> g(group);
    if (g == nullptr)
        return {};
    Connection &c = *g->connection;
    const Held lock(c);
    std::erase(c.groups, g.get());
    return g->known;
}

pulse_levels pulse_group_levels(pulse_group *group)
{
    const Held lock(*group->connection);
    return group->known;
}

int pulse_group_write(pulse_group *group, const pulse_levels &levels)
{
    Connection &c = *group->connection;
    const Held lock(c);
    group->known = levels;
    group->volume = volume_of(levels, group->map);
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(c.context))) {
        errno = EPIPE;
        return -EPIPE;
    }
    send(c, *group);
    return 0;
}
