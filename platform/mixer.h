// The mixer group of the playback stream, in software. Linux sound devices
// often have no mixer at all, and a hardware control would change every
// program's sound, so each stream gets a group of its own: "PCM Subchannel",
// index 0, volumes 0 to 100 for front left and front right, and a mute mask.
// The decode thread scales the samples by the group's gains before it
// quantises them; 100 on a channel that is not muted leaves it bit-exact.
//
// Who calls what, from which thread:
//  - the decode thread opens and closes a group (tonra_open_mixer and
//    tonra_close_mixer) and reads mixer_gains once per frame, without a lock
//    and without allocating;
//  - the user-interface thread reads and writes the group, watches its
//    descriptor and calls mixer_read when it becomes readable;
//  - anyone else (remote control, tests) changes it with
//    mixer_group_write_external, which makes the descriptor readable.
// A handle must not be used while another thread closes it; the audio
// device record (tonra.h) has the lock that ensures it.
//
// Results: 0 or a count on success; a negative error number on failure,
// with errno set to the same error, so that perror() tells what went wrong.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

inline constexpr char Mixer_GroupName[] = "PCM Subchannel";
inline constexpr int Mixer_GroupIndex = 0;
inline constexpr std::int32_t Mixer_Min = 0;
inline constexpr std::int32_t Mixer_Max = 100;
// The notification code of a changed group value.
inline constexpr int Mixer_GroupChanged = 6;
inline constexpr std::uint32_t Mixer_MuteLeft = 0x1;
inline constexpr std::uint32_t Mixer_MuteRight = 0x2;
// A gain of 1.0 in libmad's fixed point (28 fraction bits).
inline constexpr std::int32_t Mixer_UnityGain = 0x10000000;

struct mixer_gid {
    char name[32];  // NUL-terminated
    int index;
};

struct mixer_group {
    mixer_gid gid;              // names the group to read or write
    std::int32_t min;
    std::int32_t max;
    std::int32_t volume[2];     // front left, front right
    std::uint32_t mute;         // bit 0 left, bit 1 right
};

// What a group is set to. It outlives the groups of single streams (the
// audio device record holds one for the whole run), so that the next song
// starts at the user's level and mute instead of at full scale for the
// time it takes the user-interface thread to apply them.
struct mixer_levels {
    std::mutex lock;  // orders the writers and the readers of volume and mute
    std::int32_t volume[2] = {Mixer_Max, Mixer_Max};
    std::uint32_t mute = 0;
    // Derived from volume and mute; the decode thread reads them unlocked.
    std::array<std::atomic<std::int32_t>, 2> gain{Mixer_UnityGain, Mixer_UnityGain};
};

struct mixer;

// The group callback: code Mixer_GroupChanged and the group's identity.
struct mixer_callbacks {
    void *private_data;
    void (*group)(void *private_data, int code, const mixer_gid *gid);
};

// Sets the levels while no group is open, so that the next stream starts at
// the user's setting from its first sample.
void mixer_levels_write(mixer_levels *levels, const std::int32_t (&volume)[2], std::uint32_t mute);

// Opens the group of a new stream over levels; *handle stays null on failure.
[[nodiscard]] int mixer_open(mixer **handle, mixer_levels *levels);
// Closes the handle and its descriptor; pending notifications are dropped.
int mixer_close(mixer *handle);

// Fills min, max, volume and mute of the group that group->gid names.
[[nodiscard]] int mixer_group_read(mixer *handle, mixer_group *group);
// Sets volume (clamped to min..max) and mute of the group that group->gid
// names. A write by the user-interface thread is not announced to it.
[[nodiscard]] int mixer_group_write(mixer *handle, const mixer_group *group);
// The same, by a writer other than the user-interface thread: the change is
// queued and the descriptor becomes readable.
[[nodiscard]] int mixer_group_write_external(mixer *handle, const mixer_group *group);

// Readable while changes are queued; valid until the handle is closed.
[[nodiscard]] int mixer_file_descriptor(mixer *handle);
// Reports each queued change to callbacks->group, on the calling thread and
// without holding any lock of the mixer (the callback may read the group);
// returns the number of changes reported.
int mixer_read(mixer *handle, const mixer_callbacks *callbacks);

// The gains of the left and right channel, 0 to Mixer_UnityGain; a mono
// stream uses the left one. No handle: unity.
[[nodiscard]] std::array<std::int32_t, 2> mixer_gains(const mixer *handle) noexcept;
// The gain of a volume on a cubic curve, which sounds even across the range
// where a straight line would crowd the audible change into the lowest part.
[[nodiscard]] constexpr std::int32_t mixer_gain_of(std::int32_t volume) noexcept
{
    const std::int64_t v = (volume < Mixer_Min ? Mixer_Min : volume > Mixer_Max ? Mixer_Max : volume) - Mixer_Min;
    constexpr std::int64_t span = Mixer_Max - Mixer_Min;
    return static_cast<std::int32_t>(v * v * v * Mixer_UnityGain / (span * span * span));
}
static_assert(mixer_gain_of(Mixer_Max) == Mixer_UnityGain);
static_assert(mixer_gain_of(Mixer_Min) == 0);
