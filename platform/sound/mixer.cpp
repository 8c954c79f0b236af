// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/sound/mixer.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <sys/eventfd.h>
#include <unistd.h>

struct mixer {
    mixer_levels *levels;
    audio_output *server;  // null: the group in software
};

namespace {

constexpr mixer_gid Identity = [] {
    mixer_gid gid{};
    std::copy(std::begin(Mixer_GroupName), std::end(Mixer_GroupName), gid.name);
    gid.index = Mixer_GroupIndex;
    return gid;
}();

std::atomic<bool> ServerGroups{true};

int fail(int err)
{
    errno = err;
    return -err;
}

[[nodiscard]] bool names_group(const mixer_gid &gid)
{
    return gid.index == Identity.index && std::strncmp(gid.name, Identity.name, sizeof gid.name) == 0;
}

// A volume of another range in the group's, to the nearest step.
[[nodiscard]] std::int32_t rescale(std::int32_t volume, std::int32_t from)
{
    if (from == Mixer_Max || from <= 0)
        return volume;
    return static_cast<std::int32_t>((std::int64_t{volume} * Mixer_Max + from / 2) / from);
}

// Another program changed the stream: the levels follow, and the
// user-interface thread hears of it, as of every outside change.
void server_changed(void *data, const output_levels &now)
{
    auto *levels = static_cast<mixer_levels *>(data);
    mixer_levels_write(levels, now.volume, now.mute);
    (void)eventfd_write(levels->event_fd, 1);
}

int store(mixer *handle, const mixer_group *group)
{
    if (handle == nullptr || group == nullptr)
        return fail(EINVAL);
    if (!names_group(group->gid))
        return fail(ENXIO);
    const std::int32_t volume[2] = {rescale(group->volume[0], group->max), rescale(group->volume[1], group->max)};
    mixer_levels_write(handle->levels, volume, group->mute);
    if (handle->server == nullptr)
        return 0;
    // Never with the levels' lock held: the server's thread takes it.
    if (const int rc = output_group_write(handle->server, mixer_levels_read(handle->levels)); rc < 0)
        return fail(EPIPE);
    return 0;
}

}  // namespace

mixer_levels::mixer_levels() : event_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

mixer_levels::~mixer_levels()
{
    if (event_fd >= 0)
        close(event_fd);
}

void mixer_levels_write(mixer_levels *levels, const std::int32_t (&volume)[2], std::uint32_t mute)
{
    const std::lock_guard lock(levels->lock);
    for (int ch = 0; ch < 2; ++ch) {
        levels->volume[ch] = std::clamp(volume[ch], Mixer_Min, Mixer_Max);
        const bool muted = (mute >> ch) & 1U;
        levels->gain[ch].store(muted ? 0 : mixer_gain_of(levels->volume[ch]), std::memory_order_relaxed);
    }
    levels->mute = mute;
}

output_levels mixer_levels_read(mixer_levels *levels)
{
    const std::lock_guard lock(levels->lock);
    output_levels out;
    out.volume[0] = levels->volume[0];
    out.volume[1] = levels->volume[1];
    out.mute = levels->mute;
    return out;
}

int mixer_group_identity(const audio_output *output, mixer_gid *gid)
{
    if (output == nullptr || gid == nullptr)
        return fail(EINVAL);
    *gid = Identity;
    return 0;
}

int mixer_open(mixer **handle, mixer_levels *levels, audio_output *output)
{
    *handle = nullptr;
    if (levels == nullptr)
        return fail(EINVAL);
    if (levels->event_fd < 0)
        return fail(EMFILE);
    audio_output *server = nullptr;
    if (output_has_group(output)) {
        if (ServerGroups.load(std::memory_order_relaxed)) {
            server = output;
            output_group_watch(output, server_changed, levels);
            // A change made while the stream opened reaches it now.
            (void)output_group_write(output, mixer_levels_read(levels));
        } else {
            (void)output_group_write(output, output_levels{});
        }
    }
    *handle = std::make_unique<mixer>(mixer{levels, server}).release();
    return 0;
}

void mixer_allow_server_groups(bool allowed) { ServerGroups.store(allowed, std::memory_order_relaxed); }

int mixer_close(mixer *handle)
{
    const std::unique_ptr<mixer> owned(handle);
    if (owned && owned->server != nullptr)
        output_group_watch(owned->server, nullptr, nullptr);
    return 0;
}

bool mixer_in_server(const mixer *handle) noexcept { return handle != nullptr && handle->server != nullptr; }

int mixer_group_read(mixer *handle, mixer_group *group)
{
    if (handle == nullptr || group == nullptr)
        return fail(EINVAL);
    if (!names_group(group->gid))
        return fail(ENXIO);
    group->min = Mixer_Min;
    group->max = Mixer_Max;
    const output_levels now = mixer_levels_read(handle->levels);
    group->volume[0] = now.volume[0];
    group->volume[1] = now.volume[1];
    group->mute = now.mute;
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
