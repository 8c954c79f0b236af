// SPDX-License-Identifier: GPL-3.0-or-later
// The mixer group of the playback stream: "PCM Subchannel", index 0, volumes
// for front left and front right from 0 to 100, and a mute mask.
//
// Where the stream has a volume of its own (the sound server's, output.h),
// that is the group, and the samples pass untouched. Elsewhere (ALSA to a
// device or a file) it is a group in software: the decode thread scales the
// samples by its gains before it quantises them; 100 on a channel that is
// not muted leaves it bit-exact.
//
// The levels (mixer_levels) are the one record of what the group is set to,
// kept for the whole run: every change, ours or another program's, lands
// there, with or without a stream open, so the next stream starts at it and
// nothing that reads it (the slider, the remote control) disagrees.
//
// Who calls what, from which thread:
//  - the decode thread opens and closes a group (tonra_open_mixer and
//    tonra_close_mixer), and the closing thread closes it after a stop; the
//    decode thread reads mixer_gains once per frame, without a lock and
//    without allocating;
//  - the user-interface thread reads and writes the group, watches its
//    descriptor and calls mixer_read when it becomes readable;
//  - anyone else (remote control, tests) changes it with
//    mixer_group_write_external, which makes the descriptor readable; so
//    does the sound server when another program changes the stream.
// A handle must not be used while another thread closes it; the audio
// device record has the lock that ensures it.
//
// Results: 0 or a count on success; a negative error number on failure,
// with errno set to the same error, so that perror() tells what went wrong.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/sound/output.h"

inline constexpr char Mixer_GroupName[] = "PCM Subchannel";
inline constexpr int Mixer_GroupIndex = 0;
inline constexpr std::int32_t Mixer_Min = 0;
inline constexpr std::int32_t Mixer_Max = Output_LevelMax;
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

// Every channel muted, as the mute button sets the mask.
inline constexpr std::uint32_t Mute_All = 0xFFFFFFFF;

struct mixer_group {
    mixer_gid gid;              // names the group to read or write
    std::int32_t min;
    std::int32_t max;
    std::int32_t volume[2];     // front left, front right
    std::uint32_t mute;         // bit 0 left, bit 1 right
};

// What a group is set to, for the whole run (the audio device record holds
// it), so that the next song starts at the user's level and mute instead of
// at full scale for the time it takes the user-interface thread to apply
// them, and a change made while no stream is open is kept.
//
// The descriptor that announces outside changes is the levels' too: one for
// the whole run, so a watch on it never outlives it whatever the streams do.
struct mixer_levels {
    mixer_levels();
    ~mixer_levels();
    mixer_levels(const mixer_levels &) = delete;
    mixer_levels &operator=(const mixer_levels &) = delete;

    std::mutex lock;  // orders the writers and the readers of volume and mute
    std::int32_t volume[2] = {Mixer_Max, Mixer_Max};
    std::uint32_t mute = 0;
    // Derived from volume and mute; the decode thread reads them unlocked.
    std::array<std::atomic<std::int32_t>, 2> gain{Mixer_UnityGain, Mixer_UnityGain};
    int event_fd;
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
// The levels as they stand, for a stream about to open.
[[nodiscard]] output_levels mixer_levels_read(mixer_levels *levels);

// The identity of the group of an open output.
[[nodiscard]] int mixer_group_identity(const audio_output *output, mixer_gid *gid);
// Opens the group of a new stream over levels; *handle stays null on failure.
// The output's own volume becomes the group where it has one, set to the
// levels as they are now (they may have changed while it opened).
[[nodiscard]] int mixer_open(mixer **handle, mixer_levels *levels, audio_output *output = nullptr);
// Whether an output's own volume may serve as the group (the default); when
// not, every group is the software one. For measuring the one against the
// other.
void mixer_allow_server_groups(bool allowed);
// Closes the handle; the levels keep what it was set to last.
int mixer_close(mixer *handle);
// Whether the group is the output's own volume.
[[nodiscard]] bool mixer_in_server(const mixer *handle) noexcept;

// Fills min, max, volume and mute of the group that group->gid names.
[[nodiscard]] int mixer_group_read(mixer *handle, mixer_group *group);
// Sets volume (clamped to min..max) and mute of the group that group->gid
// names. A write by the user-interface thread is not announced to it.
[[nodiscard]] int mixer_group_write(mixer *handle, const mixer_group *group);
// The same, by a writer other than the user-interface thread: the change is
// queued and the descriptor becomes readable.
[[nodiscard]] int mixer_group_write_external(mixer *handle, const mixer_group *group);

// Readable while changes are queued; the same descriptor for every group
// over the same levels.
[[nodiscard]] int mixer_file_descriptor(mixer *handle);
// Reports each queued change to callbacks->group, on the calling thread and
// without holding any lock of the mixer (the callback may read the group);
// returns the number of changes reported.
int mixer_read(mixer *handle, const mixer_callbacks *callbacks);

// The gains of the left and right channel, 0 to Mixer_UnityGain; a mono
// stream uses the left one. No handle, or the output's own group: unity.
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
