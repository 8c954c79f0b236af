#include "platform/mixer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <sys/eventfd.h>
#include <unistd.h>

struct mixer {
    mixer_levels *levels;
    int event_fd;
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

int store(mixer *handle, const mixer_group *group)
{
    if (handle == nullptr || group == nullptr)
        return fail(EINVAL);
    if (!names_group(group->gid))
        return fail(ENXIO);
    mixer_levels_write(handle->levels, group->volume, group->mute);
    return 0;
}

}  // namespace

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

int mixer_open(mixer **handle, mixer_levels *levels)
{
    *handle = nullptr;
    if (levels == nullptr)
        return fail(EINVAL);
    const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0)
        return fail(errno);
    *handle = std::make_unique<mixer>(mixer{levels, fd}).release();
    return 0;
}

int mixer_close(mixer *handle)
{
    const std::unique_ptr<mixer> owned(handle);
    if (owned)
        close(owned->event_fd);
    return 0;
}

int mixer_group_read(mixer *handle, mixer_group *group)
{
    if (handle == nullptr || group == nullptr)
        return fail(EINVAL);
    if (!names_group(group->gid))
        return fail(ENXIO);
    mixer_levels &levels = *handle->levels;
    const std::lock_guard lock(levels.lock);
    group->min = Mixer_Min;
    group->max = Mixer_Max;
    group->volume[0] = levels.volume[0];
    group->volume[1] = levels.volume[1];
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
    if (eventfd_write(handle->event_fd, 1) < 0)
        return fail(errno);
    return 0;
}

int mixer_file_descriptor(mixer *handle)
{
    return handle != nullptr ? handle->event_fd : fail(EINVAL);
}

int mixer_read(mixer *handle, const mixer_callbacks *callbacks)
{
    if (handle == nullptr)
        return fail(EINVAL);
    eventfd_t count = 0;
    if (eventfd_read(handle->event_fd, &count) < 0)
        return errno == EAGAIN ? 0 : fail(errno);
    if (callbacks != nullptr && callbacks->group != nullptr) {
        for (eventfd_t i = 0; i < count; ++i)
            callbacks->group(callbacks->private_data, Mixer_GroupChanged, &Identity);
    }
    return static_cast<int>(std::min<eventfd_t>(count, 0x7FFFFFFF));
}

std::array<std::int32_t, 2> mixer_gains(const mixer *handle) noexcept
{
    if (handle == nullptr)
        return {Mixer_UnityGain, Mixer_UnityGain};
    const auto &gain = handle->levels->gain;
    return {gain[0].load(std::memory_order_relaxed), gain[1].load(std::memory_order_relaxed)};
}
