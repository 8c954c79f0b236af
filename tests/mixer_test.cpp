// SPDX-License-Identifier: GPL-3.0-or-later
// The software mixer group of a stream, and the opening of the stream and
// its group in the audio device record.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <poll.h>

#include "madthread.h"
#include "platform/sound/mixer.h"
#include "platform/sound/output.h"
#include "support/engine_support.h"
#include "tonra.h"

using namespace engine_test;

namespace {

mixer_group named_group(const char *name = Mixer_GroupName, int index = Mixer_GroupIndex)
{
    mixer_group group{};
    std::strncpy(group.gid.name, name, sizeof group.gid.name - 1);
    group.gid.index = index;
    return group;
}

bool readable(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

class Group : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(mixer_open(&handle, &levels), 0); }
    void TearDown() override { mixer_close(handle); }
    mixer_group read()
    {
        mixer_group group = named_group();
        EXPECT_EQ(mixer_group_read(handle, &group), 0);
        return group;
    }

    mixer_levels levels;
    mixer *handle = nullptr;
};

TEST_F(Group, StartsAtFullVolumeOverZeroToHundred)
{
    const auto group = read();
    EXPECT_EQ(group.min, 0);
    EXPECT_EQ(group.max, 100);
    EXPECT_EQ(group.volume[0], 100);
    EXPECT_EQ(group.volume[1], 100);
    EXPECT_EQ(group.mute, 0U);
    EXPECT_EQ(mixer_gains(handle), (std::array<std::int32_t, 2>{Mixer_UnityGain, Mixer_UnityGain}));
}

TEST_F(Group, WritesAreClampedToTheRangeAndSetTheGains)
{
    auto group = named_group();
    group.volume[0] = 150;
    group.volume[1] = -5;
    EXPECT_EQ(mixer_group_write(handle, &group), 0);
    group = read();
    EXPECT_EQ(group.volume[0], 100);
    EXPECT_EQ(group.volume[1], 0);
    EXPECT_EQ(mixer_gains(handle), (std::array<std::int32_t, 2>{Mixer_UnityGain, 0}));

    group.volume[1] = 100;
    group.mute = Mixer_MuteLeft;
    EXPECT_EQ(mixer_group_write(handle, &group), 0);
    EXPECT_EQ(read().mute, Mixer_MuteLeft);
    EXPECT_EQ(mixer_gains(handle), (std::array<std::int32_t, 2>{0, Mixer_UnityGain}));
}

TEST_F(Group, OnlyItsOwnIdentityIsKnown)
{
    for (auto group : {named_group("Master"), named_group(Mixer_GroupName, 1), named_group("pcm subchannel")}) {
        group.volume[0] = group.volume[1] = 10;
        errno = 0;
        EXPECT_EQ(mixer_group_read(handle, &group), -ENXIO);
        EXPECT_EQ(errno, ENXIO);
        EXPECT_EQ(mixer_group_write(handle, &group), -ENXIO);
    }
    EXPECT_EQ(read().volume[0], 100);
}

TEST_F(Group, OnlyOutsideChangesAreAnnouncedEachWithItsIdentity)
{
    const int fd = mixer_file_descriptor(handle);
    ASSERT_GE(fd, 0);
    auto group = named_group();
    group.volume[0] = group.volume[1] = 40;
    EXPECT_EQ(mixer_group_write(handle, &group), 0);
    EXPECT_FALSE(readable(fd));

    group.volume[0] = 30;
    EXPECT_EQ(mixer_group_write_external(handle, &group), 0);
    group.volume[0] = 20;
    EXPECT_EQ(mixer_group_write_external(handle, &group), 0);
    EXPECT_TRUE(readable(fd));

    struct Seen {
        mixer *handle;
        std::vector<int> codes;
        std::vector<std::string> names;
        std::vector<std::int32_t> levels;
    } seen{handle, {}, {}, {}};
    const mixer_callbacks callbacks{&seen, [](void *data, int code, const mixer_gid *gid) {
                                        auto &s = *static_cast<Seen *>(data);
                                        s.codes.push_back(code);
                                        s.names.emplace_back(gid->name);
                                        // The callback may read the group it is told about.
                                        mixer_group now = named_group();
                                        EXPECT_EQ(mixer_group_read(s.handle, &now), 0);
                                        s.levels.push_back(now.volume[0]);
                                        EXPECT_EQ(gid->index, 0);
                                    }};
    EXPECT_EQ(mixer_read(handle, &callbacks), 2);
    EXPECT_EQ(seen.codes, (std::vector<int>{6, 6}));
    EXPECT_EQ(seen.names, (std::vector<std::string>{"PCM Subchannel", "PCM Subchannel"}));
    EXPECT_EQ(seen.levels, (std::vector<std::int32_t>{20, 20}));
    EXPECT_FALSE(readable(fd));
    EXPECT_EQ(mixer_read(handle, &callbacks), 0);
}

TEST_F(Group, SettingsCarryOverToTheNextStreamsGroup)
{
    auto group = named_group();
    group.volume[0] = 30;
    group.volume[1] = 40;
    group.mute = Mixer_MuteRight;
    EXPECT_EQ(mixer_group_write(handle, &group), 0);
    const int fd = mixer_file_descriptor(handle);
    const int fds = open_descriptors();
    mixer_close(handle);
    EXPECT_EQ(open_descriptors(), fds) << "the descriptor is the run's, not the stream's";
    ASSERT_EQ(mixer_open(&handle, &levels), 0);
    EXPECT_EQ(mixer_file_descriptor(handle), fd);
    group = read();
    EXPECT_EQ(group.volume[0], 30);
    EXPECT_EQ(group.volume[1], 40);
    EXPECT_EQ(group.mute, Mixer_MuteRight);
    EXPECT_EQ(mixer_gains(handle)[1], 0);
}

TEST(GroupGain, FollowsACubeFromSilenceToUnity)
{
    EXPECT_EQ(mixer_gain_of(0), 0);
    EXPECT_EQ(mixer_gain_of(50), Mixer_UnityGain / 8);
    EXPECT_EQ(mixer_gain_of(10), Mixer_UnityGain / 1000);
    EXPECT_EQ(mixer_gain_of(100), Mixer_UnityGain);
    for (int v = 1; v <= 100; ++v)
        EXPECT_GT(mixer_gain_of(v), mixer_gain_of(v - 1)) << v;
}

// Opening the stream for a format, and its group, through ALSA.
class AudioDevice : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (audio.mixer_handle.load() != nullptr)
            tonra_close_mixer(&audio);
        if (audio.pcm_handle.load() != nullptr)
            tonra_close_audio_playback(&audio);
    }
    audio_device audio;
};

TEST_F(AudioDevice, OneVoiceForASingleChannelTwoForEveryOtherMode)
{
    for (const auto mode : {MAD_MODE_SINGLE_CHANNEL, MAD_MODE_DUAL_CHANNEL, MAD_MODE_JOINT_STEREO, MAD_MODE_STEREO}) {
        const AlsaDevice device(AlsaDevice::Kind::WaveFile);
        ASSERT_EQ(tonra_open_audio_playback(&audio, FragmentSize, 32000, mode), 0);
        const std::int16_t silence[4] = {};
        ASSERT_EQ(output_write(audio.pcm_handle.load(), silence, sizeof silence), static_cast<long>(sizeof silence));
        tonra_close_audio_playback(&audio);
        EXPECT_EQ(audio.pcm_handle.load(), nullptr);

        std::ifstream wav(device.output(), std::ios::binary);
        unsigned char head[28] = {};
        wav.read(reinterpret_cast<char *>(head), sizeof head);
        EXPECT_EQ(head[22], mode == MAD_MODE_SINGLE_CHANNEL ? 1 : 2) << "mode " << mode;
        EXPECT_EQ(head[24] | head[25] << 8, 32000);
    }
}

TEST_F(AudioDevice, FailedStepsAreNamedWithTheSystemsText)
{
    {
        const AlsaDevice device(AlsaDevice::Kind::Missing);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(tonra_open_audio_playback(&audio, FragmentSize, 44100, MAD_MODE_STEREO), -1);
        const std::string printed = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(printed.find("../tonra: snd_pcm_open_preferred() failed: No such file or directory\n"),
                  std::string::npos)
            << printed;
        EXPECT_EQ(audio.pcm_handle.load(), nullptr);
    }
    const AlsaDevice device(AlsaDevice::Kind::File);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(tonra_open_audio_playback(&audio, FragmentSize, 0, MAD_MODE_STEREO), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "../tonra: snd_pcm_plugin_params() failed: Invalid argument\n");
    // The stream that did open stays for the stop to close.
    EXPECT_NE(audio.pcm_handle.load(), nullptr);
}

TEST_F(AudioDevice, GroupOpensOnlyOverAnOpenStream)
{
    EXPECT_EQ(tonra_open_mixer(&audio), -1);
    EXPECT_EQ(audio.mixer_handle.load(), nullptr);

    const AlsaDevice device(AlsaDevice::Kind::Null);
    ASSERT_EQ(tonra_open_audio_playback(&audio, FragmentSize, 44100, MAD_MODE_STEREO), 0);
    EXPECT_EQ(tonra_open_mixer(&audio), 0);
    EXPECT_STREQ(audio.mixer_group.gid.name, "PCM Subchannel");
    EXPECT_EQ(audio.mixer_group.gid.index, 0);
    mixer *handle = audio.mixer_handle.load();
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(mixer_group_read(handle, &audio.mixer_group), 0);
    EXPECT_EQ(tonra_close_mixer(&audio), 0);
    EXPECT_EQ(audio.mixer_handle.load(), nullptr);
}

}  // namespace
