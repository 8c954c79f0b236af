// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/mixer.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <sys/eventfd.h>
#include <unistd.h>

#include "platform/pulse_group.h"

struct mixer {
    mixer_levels *levels;
    pulse_group *server;  // null: the group in software
};

namespace {

constexpr mixer_gid Identity = [] {
    mixer_gid gid{};
    std::copy(std::begin(Mixer_GroupName), std::end(Mixer_GroupName), gid.name);
    gid.index = Mixer_GroupIndex;
    return gid;
}();

int fail(int err)
{
    errno = err;
    return -err;
}

[[nodiscard]] bool names_group(const mixer_gid &gid)
{
    return gid.index == Identity.index && std::strncmp(gid.name, Identity.name, sizeof gid.name) == 0;
}

// A stream waits this long at most for the server to list it and take its
// levels; it shows at once where the device plays through the server.
constexpr std::chrono::milliseconds ServerWait{500};

std::atomic<bool> ServerGroups{true};

// A volume of one range in another, to the nearest step.
[[nodiscard]] std::int32_t rescale(std::int32_t volume, std::int32_t from, std::int32_t to)
{
    if (from == to || from <= 0)
        return volume;
    return static_cast<std::int32_t>((std::int64_t{volume} * to + from / 2) / from);
}

[[nodiscard]] std::int32_t range_of(const mixer &handle)
{
    return handle.server != nullptr ? Pulse_VolumeNorm : Mixer_Max;
}

// Another program changed the server's stream: tell the user-interface
// thread, as the group's outside changes always do.
void server_changed(void *data, const pulse_levels &)
{
    (void)eventfd_write(static_cast<mixer_levels *>(data)->event_fd, 1);
}

int store(mixer *handle, const mixer_group *group)
{
    if (handle == nullptr || group == nullptr)
        return fail(EINVAL);
    if (!names_group(group->gid))
        return fail(ENXIO);
    if (handle->server == nullptr) {
        const std::int32_t volume[2] = {rescale(group->volume[0], group->max, Mixer_Max),
                                        rescale(group->volume[1], group->max, Mixer_Max)};
        mixer_levels_write(handle->levels, volume, group->mute);
        return 0;
    }
    pulse_levels levels{};
    for (int ch = 0; ch < 2; ++ch)
        levels.volume[ch] = std::clamp(rescale(group->volume[ch], group->max, Pulse_VolumeNorm), 0, Pulse_VolumeNorm);
    levels.mute = group->mute;
    if (const int rc = pulse_group_write(handle->server, levels); rc < 0)
        return fail(-rc);
    return 0;
}

}  // namespace

mixer_levels::mixer_levels() : event_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

mixer_levels::~mixer_levels()
{
    if (event_fd >= 0)
        close(event_fd);
}

void mixer_levels_write(mixer_levels *levels, const std::int32_t (&volume)[2], std::uint32_t mute, std::int32_t max)
{
    const std::lock_guard lock(levels->lock);
    levels->max = max > 0 ? max : Mixer_Max;
    for (int ch = 0; ch < 2; ++ch) {
        levels->volume[ch] = std::clamp(volume[ch], 0, levels->max);
        const bool muted = (mute >> ch) & 1U;
        const std::int32_t gain = mixer_gain_of(rescale(levels->volume[ch], levels->max, Mixer_Max));
        levels->gain[ch].store(muted ? 0 : gain, std::memory_order_relaxed);
    }
    levels->mute = mute;
}

int mixer_open(mixer **handle, mixer_levels *levels, bool through_server)
{
    *handle = nullptr;
    if (levels == nullptr)
        return fail(EINVAL);
    if (levels->event_fd < 0)
        return fail(EMFILE);
    pulse_group *server = nullptr;
    if (through_server && ServerGroups.load(std::memory_order_relaxed)) {
        pulse_levels start{};
        {
            const std::lock_guard lock(levels->lock);
            for (int ch = 0; ch < 2; ++ch)
                start.volume[ch] = rescale(levels->volume[ch], levels->max, Pulse_VolumeNorm);
            start.mute = levels->mute;
        }
        // The stream starts at the levels; failing that, the group stays in
        // software, whose gains already hold them.
        server = pulse_group_open(start, server_changed, levels, ServerWait);
        if (server != nullptr)
            mixer_levels_write(levels, start.volume, start.mute, Pulse_VolumeNorm);
    }
    *handle = std::make_unique<mixer>(mixer{levels, server}).release();
    return 0;
}

void mixer_allow_server_groups(bool allowed) { ServerGroups.store(allowed, std::memory_order_relaxed); }

int mixer_close(mixer *handle)
{
    const std::unique_ptr<mixer> owned(handle);
    if (owned && owned->server != nullptr) {
        // The next stream starts where this one was left, by us or others.
        const pulse_levels last = pulse_group_close(owned->server);
        mixer_levels_write(owned->levels, last.volume, last.mute, Pulse_VolumeNorm);
    }
    return 0;
}

bool mixer_in_server(const mixer *handle) noexcept { return handle != nullptr && handle->server != nullptr; }

int mixer_group_read(mixer *handle, mixer_group *group)
{
    if (handle == nullptr || group == nullptr)
        return fail(EINVAL);
    if (!names_group(group->gid))
        return fail(ENXIO);
    group->min = 0;
    group->max = range_of(*handle);
    if (handle->server != nullptr) {
        const pulse_levels now = pulse_group_levels(handle->server);
        group->volume[0] = now.volume[0];
        group->volume[1] = now.volume[1];
        group->mute = now.mute;
        return 0;
    }
    mixer_levels &levels = *handle->levels;
    const std::lock_guard lock(levels.lock);
    group->volume[0] = rescale(levels.volume[0], levels.max, group->max);
    group->volume[1] = rescale(levels.volume[1], levels.max, group->max);
    group->mute = levels.mute;
    return 0;
}

int mixer_group_write(mixer *handle, const mixer_group *group)
{
    return store(handle, group);
}

int mixer_group_write_external(mixer *handle, const mixer_group *group)
{
    if (const int rc = store(handle, group); rc < 0)
        return rc;
    if (eventfd_write(handle->levels->event_fd, 1) < 0)
        return fail(errno);
    return 0;
}

int mixer_file_descriptor(mixer *handle)
{
    return handle != nullptr ? handle->levels->event_fd : fail(EINVAL);
}

int mixer_read(mixer *handle, const mixer_callbacks *callbacks)
{
    if (handle == nullptr)
        return fail(EINVAL);
    eventfd_t count = 0;
    if (eventfd_read(handle->levels->event_fd, &count) < 0)
        return errno == EAGAIN ? 0 : fail(errno);
    if (callbacks != nullptr && callbacks->group != nullptr) {
        for (eventfd_t i = 0; i < count; ++i)
            callbacks->group(callbacks->private_data, Mixer_GroupChanged, &Identity);
    }
    return static_cast<int>(std::min<eventfd_t>(count, 0x7FFFFFFF));
}

std::array<std::int32_t, 2> mixer_gains(const mixer *handle) noexcept
{
    if (handle == nullptr || handle->server != nullptr)
        return {Mixer_UnityGain, Mixer_UnityGain};
    const auto &gain = handle->levels->gain;
    return {gain[0].load(std::memory_order_relaxed), gain[1].load(std::memory_order_relaxed)};
}
