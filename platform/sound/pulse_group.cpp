// SPDX-License-Identifier: GPL-3.0-or-later
// The sound server backend's group: the stream's own volume and mute, set
// by us and watched for changes by others (the desktop's mixer, pactl).
// Levels are 0 to 100 here and 0 to PA_VOLUME_NORM in the server, rounded
// to the nearest step both ways, so that a level reads back as it was set.
// Threads: output.h's; pulse.h says the locks.
#include <algorithm>
#include <vector>

#include "platform/sound/pulse.h"

namespace pulse {

namespace {

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

// The streams whose changes are watched, of every connection (Shared).
std::vector<Stream *> Streams;
std::uintptr_t LastSerial = 0;  // Shared

Stream *watched(const Connection &c, std::uint32_t index)
{
    const auto it = std::find_if(Streams.begin(), Streams.end(),
                                 [&](auto *s) { return s->owner == &c && s->index == index; });
    return it == Streams.end() ? nullptr : *it;
}


// Main loop callbacks.

void stream_read(pa_context *, const pa_sink_input_info *info, int eol, void *userdata)
{
    auto &c = *static_cast<Connection *>(userdata);
    const std::lock_guard lock(Shared);
    Stream *s = eol == 0 && info != nullptr ? watched(c, info->index) : nullptr;
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

// userdata: the stream's serial, as the stream may be gone by now.
void write_done(pa_context *context, int, void *userdata)
{
    std::uint32_t index = PA_INVALID_INDEX;
    Connection *owner = nullptr;
    {
        const std::lock_guard lock(Shared);
        Stream *s = listed(reinterpret_cast<std::uintptr_t>(userdata));
        if (s == nullptr || --s->writes_in_flight > 0 || !s->missed_change)
            return;
        s->missed_change = false;
        index = s->index;
        owner = s->owner;
    }
    // An outside change that came while ours were on their way.
    release(pa_context_get_sink_input_info(context, index, stream_read, owner));
}

}  // namespace

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

void send_levels(Stream &s)
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

Stream *listed(std::uintptr_t serial)
{
    const auto it = std::find_if(Streams.begin(), Streams.end(), [serial](auto *s) { return s->serial == serial; });
    return it == Streams.end() ? nullptr : *it;
}

void watch(Stream &s, Connection &c)
{
    s.owner = &c;
    s.serial = ++LastSerial;
    Streams.push_back(&s);
}

void unwatch(Stream &s)
{
    std::erase(Streams, &s);
    s.owner = nullptr;
}

int group_write(audio_output *handle, const output_levels &levels)
{
    Stream &s = of(handle);
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

void group_watch(audio_output *handle, output_changed changed, void *data)
{
    Stream &s = of(handle);
    const std::lock_guard shared(Shared);
    s.changed = changed;
    s.data = data;
}
}  // namespace pulse
