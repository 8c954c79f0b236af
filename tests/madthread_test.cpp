// SPDX-License-Identifier: GPL-3.0-or-later
// The decode engine played through real libasound into ALSA's file device,
// checked against an independent decode of the same song.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "madthread.h"
#include "platform/sound/mixer.h"
#include "platform/sound/output.h"
#include "support/engine_support.h"
#include "tonra.h"

using namespace engine_test;
using namespace std::chrono_literals;

namespace {

constexpr auto SongTimeout = 20s;
// No FIFO priority is this low, so the decode thread gets the test's own
// scheduling: a real-time decoder that never waits for a device could keep
// the test thread off its core until the song is over, and a pause or stop
// meant for a running song would come too late.
constexpr int InheritedPriority = -100;

// A long song: decoding it takes long enough that a stop or a pause right
// after the start meets it running; it also wraps the ring several times.
fs::path long_song()
{
    return mp3_song(44100, 2, "j", 320, 20);
}

fs::path short_stereo()
{
    return mp3_song(44100, 2, "s", 192, 3);
}

long song_bytes(const fs::path &p)
{
    return static_cast<long>(fs::file_size(p));
}

std::vector<std::int16_t> channel(const std::vector<std::int16_t> &interleaved, int which)
{
    std::vector<std::int16_t> out;
    for (std::size_t i = static_cast<std::size_t>(which); i < interleaved.size(); i += 2)
        out.push_back(interleaved[i]);
    return out;
}

double rms(const std::vector<std::int16_t> &v)
{
    double sum = 0;
    for (const auto s : v)
        sum += static_cast<double>(s) * s;
    return std::sqrt(sum / static_cast<double>(v.size()));
}

class Engine : public ::testing::Test {
protected:
    void SetUp() override
    {
        drop_events();
        notify = event_window();
        // A sanitizer starts a thread of its own with the first thread
        // created: let that happen before counting.
        std::thread([] {}).join();
        threads_before = running_threads();
        fds_before = open_descriptors();
    }
    void TearDown() override
    {
        madthread_stop(&handle);
        EXPECT_TRUE(device_given_back(audio));
    }

    int start(const fs::path &song, int base_priority = 0)
    {
        threads_before_start = thread_ids();
        return madthread_start(&handle, song.c_str(), base_priority, &audio, stats, notify);
    }

    // Plays the song until it ends by itself and stops it; the events posted.
    std::vector<std::uint16_t> play_to_end(const fs::path &song, int base_priority = 0)
    {
        EXPECT_EQ(start(song, base_priority), 0);
        auto events = collect_events(SongTimeout, Event_SongEnded);
        EXPECT_EQ(madthread_stop(&handle), 0);
        // The threads are gone: whatever they posted, late or on the stop, is in.
        const auto after = collect_events(0ms);
        events.insert(events.end(), after.begin(), after.end());
        return events;
    }

    // Called right after the pause: the song's threads come to rest, the
    // decoder having taken at most the block it was reading when held.
    void expect_held()
    {
        const auto paused_at = stats[AudioStats_Consumed].load();
        EXPECT_TRUE(holds_within(SongTimeout, [&] { return at_rest_but(threads_before_start); })) << "never held";
        EXPECT_LE(stats[AudioStats_Consumed].load(), paused_at + StreamBufferSize);
    }

    // Everything a song took is given back once it is stopped.
    void expect_all_given_back()
    {
        EXPECT_EQ(handle, nullptr);
        EXPECT_EQ(running_threads(), threads_before);
        EXPECT_EQ(open_descriptors(), fds_before);
        EXPECT_EQ(audio.pcm_handle.load(), nullptr);
        EXPECT_EQ(audio.mixer_handle.load(), nullptr);
    }

    audio_device audio;
    audio_stats stats{};
    madthread_data *handle = nullptr;
    Widget *notify = nullptr;
    int threads_before = 0;
    std::set<int> threads_before_start;
    int fds_before = 0;
};

struct Song {
    const char *name;
    fs::path (*make)();
    Format format;
    // mpg123 clips where the quantiser carries the excess on: no comparison.
    bool clips = false;
};

void PrintTo(const Song &song, std::ostream *out)
{
    *out << song.name;
}

class EngineBitExact : public Engine, public ::testing::WithParamInterface<Song> {};

TEST_P(EngineBitExact, WritesLibmadSamplesQuantisedByTheRule)
{
    const fs::path song = GetParam().make();
    const AlsaDevice device(AlsaDevice::Kind::File);
    const auto events = play_to_end(song);

    EXPECT_EQ(count_of(events, Event_SongEnded), 1);
    EXPECT_EQ(count_of(events, Event_MixerReady), 1);
    EXPECT_GE(count_of(events, Event_Progress), song_bytes(song) / StreamBufferSize);
    EXPECT_EQ(stats[AudioStats_Total].load(), song_bytes(song));
    EXPECT_EQ(stats[AudioStats_Consumed].load(), stats[AudioStats_Total].load());

    std::vector<Format> formats;
    const auto expected = reference_samples(song, &formats);
    ASSERT_EQ(formats, std::vector<Format>{GetParam().format});
    const auto written = read_samples(device.output());
    EXPECT_EQ(written.size(), expected.size());
    EXPECT_EQ(first_difference(written, expected), -1);
    if (!GetParam().clips) {
        EXPECT_LE(rms_difference(written, mpg123_samples(song)), 1.0);
    }
    expect_all_given_back();
}

INSTANTIATE_TEST_SUITE_P(
    Songs, EngineBitExact,
    ::testing::Values(Song{"mono_22050", [] { return mp3_song(22050, 1, "m", 64, 3); }, {22050, 1}},
                      Song{"stereo_44100", [] { return short_stereo(); }, {44100, 2}},
                      Song{"joint_stereo_48000", [] { return mp3_song(48000, 2, "j", 160, 3); }, {48000, 2}},
                      Song{"layer_ii_44100", [] { return mp2_song(44100, 2, 192, 3); }, {44100, 2}},
                      Song{"beyond_full_scale", [] { return loud_mp3_song(44100, 2); }, {44100, 2}, true},
                      Song{"longer_than_the_ring", [] { return long_song(); }, {44100, 2}},
                      Song{"one_stream_buffer", [] { return mp3_song(44100, 2, "s", 128, 0.5); }, {44100, 2}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Engine, ReopensOutputAndGroupAtEachChangeOfFormat)
{
    const fs::path song = concatenated({mp3_song(44100, 2, "s", 128, 2), mp3_song(22050, 1, "m", 64, 2),
                                        mp3_song(48000, 2, "j", 160, 2)});
    const AlsaDevice device(AlsaDevice::Kind::AppendFile);
    EXPECT_EQ(start(song), 0);
    const auto events = collect_events(SongTimeout, Event_SongEnded);
    EXPECT_EQ(count_of(events, Event_MixerReady), 3);
    // The song that ended keeps its last output and group until stopped.
    EXPECT_NE(audio.pcm_handle.load(), nullptr);
    EXPECT_NE(audio.mixer_handle.load(), nullptr);
    EXPECT_EQ(madthread_stop(&handle), 0);

    std::vector<Format> formats;
    const auto expected = reference_samples(song, &formats);
    ASSERT_EQ(formats, (std::vector<Format>{{44100, 2}, {22050, 1}, {48000, 2}}));
    EXPECT_EQ(first_difference(read_samples(device.output()), expected), -1);
    expect_all_given_back();
}

TEST_F(Engine, MissingFileIsReportedAndNothingRuns)
{
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(start("/nonexistent/tonra/song.mp3"), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Failed to open mp3 file /nonexistent/tonra/song.mp3\n");
    expect_all_given_back();
}

TEST_F(Engine, EmptyFileIsReportedWithoutLineEnd)
{
    const TempDir dir;
    std::ofstream(dir / "empty.mp3").close();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(start(dir / "empty.mp3"), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "The mp3 file appears to be empty");
    EXPECT_EQ(stats[AudioStats_Total].load(), 0);
    expect_all_given_back();
}

TEST_F(Engine, FileWithoutFramesEndsWithoutOpeningTheOutput)
{
    const TempDir dir;
    {
        std::ofstream text(dir / "text.mp3");
        for (int i = 0; i < 20000; ++i)
            text << "no frame in here\n";
    }
    const AlsaDevice device(AlsaDevice::Kind::File);
    const auto events = play_to_end(dir / "text.mp3");
    EXPECT_EQ(count_of(events, Event_SongEnded), 1);
    EXPECT_EQ(count_of(events, Event_MixerReady), 0);
    EXPECT_FALSE(fs::exists(device.output()));
    EXPECT_EQ(stats[AudioStats_Consumed].load(), song_bytes(dir / "text.mp3"));
    expect_all_given_back();
}

TEST_F(Engine, OutputThatCannotOpenEndsTheSongWithItsReason)
{
    const AlsaDevice device(AlsaDevice::Kind::Missing);
    ::testing::internal::CaptureStderr();
    const auto events = play_to_end(short_stereo());
    const std::string printed = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(count_of(events, Event_SongEnded), 1);
    EXPECT_EQ(count_of(events, Event_MixerReady), 0);
    // ALSA adds lines of its own; ours is one whole line.
    const std::string line = "../tonra: snd_pcm_open_preferred() failed: No such file or directory\n";
    const auto at = printed.find(line);
    ASSERT_NE(at, std::string::npos) << printed;
    EXPECT_TRUE(at == 0 || printed[at - 1] == '\n');
    EXPECT_EQ(printed.find(line, at + 1), std::string::npos);
    expect_all_given_back();
}

TEST_F(Engine, StopWhileRunningPostsNoEndAndWaitsForBothThreads)
{
    const fs::path song = long_song();
    const AlsaDevice device(AlsaDevice::Kind::File);
    EXPECT_EQ(start(song, InheritedPriority), 0);
    EXPECT_EQ(madthread_stop(&handle), 0);
    expect_all_given_back();
    EXPECT_EQ(count_of(collect_events(0ms), Event_SongEnded), 0);
    // Cut short, and right as far as it went.
    const auto written = read_samples(device.output());
    auto expected = reference_samples(song);
    ASSERT_LT(written.size(), expected.size());
    expected.resize(written.size());
    EXPECT_EQ(first_difference(written, expected), -1);
}

TEST_F(Engine, PauseHoldsTheSongUntilStopped)
{
    const AlsaDevice device(AlsaDevice::Kind::File);
    EXPECT_EQ(start(long_song(), InheritedPriority), 0);
    EXPECT_EQ(madthread_pause(handle, 1), 0);
    expect_held();
    EXPECT_LT(stats[AudioStats_Consumed].load(), stats[AudioStats_Total].load());
    EXPECT_EQ(madthread_stop(&handle), 0);
    expect_all_given_back();
    EXPECT_EQ(count_of(collect_events(0ms), Event_SongEnded), 0);
}

TEST_F(Engine, PauseAndResumeAskedTwiceDoNothingMore)
{
    const fs::path song = mp3_song(44100, 2, "j", 320, 8);
    const AlsaDevice device(AlsaDevice::Kind::File);
    EXPECT_EQ(start(song, InheritedPriority), 0);
    EXPECT_EQ(madthread_pause(handle, 1), 0);
    EXPECT_EQ(madthread_pause(handle, 1), 0);
    expect_held();
    EXPECT_EQ(madthread_pause(handle, 0), 0);
    EXPECT_EQ(madthread_pause(handle, 0), 0);
    const auto events = collect_events(SongTimeout, Event_SongEnded);
    EXPECT_EQ(count_of(events, Event_SongEnded), 1);
    EXPECT_EQ(madthread_stop(&handle), 0);
    // A pause loses nothing and repeats nothing.
    EXPECT_EQ(first_difference(read_samples(device.output()), reference_samples(song)), -1);
    expect_all_given_back();
}

TEST_F(Engine, NoSongMeansNothingToPauseOrStop)
{
    EXPECT_EQ(madthread_pause(nullptr, 1), 0);
    EXPECT_EQ(madthread_pause(nullptr, 0), 0);
    EXPECT_EQ(madthread_stop(&handle), 0);
    EXPECT_EQ(handle, nullptr);
}

TEST_F(Engine, ThousandStartsPausesAndStopsFromAnotherThread)
{
    const fs::path song = short_stereo();
    const AlsaDevice device(AlsaDevice::Kind::Null);
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    int failed_starts = 0;
    std::thread caller([&] {
        madthread_data *h = nullptr;
        for (int i = 0; i < 1000; ++i) {
            if (madthread_start(&h, song.c_str(), 0, &audio, stats, notify) != 0)
                ++failed_starts;
            switch (i % 4) {
            case 1:
                madthread_pause(h, 1);
                break;
            case 2:
                madthread_pause(h, 1);
                madthread_pause(h, 0);
                break;
            case 3:
                madthread_pause(h, 0);
                std::this_thread::yield();
                break;
            default:
                break;
            }
            madthread_stop(&h);
            if (i % 64 == 0)
                drop_events();
        }
        const std::lock_guard guard(lock);
        done = true;
        finished.notify_one();
    });
    {
        std::unique_lock guard(lock);
        if (!finished.wait_for(guard, 200s, [&] { return done; })) {
            ADD_FAILURE() << "start, pause and stop deadlocked";
            std::fflush(nullptr);
            std::abort();
        }
    }
    caller.join();
    EXPECT_EQ(failed_starts, 0);
    expect_all_given_back();
}

TEST_F(Engine, ShortWriteIsPreparedAndRepeatedOnce)
{
    const fs::path song = short_stereo();
    const AlsaDevice device(AlsaDevice::Kind::File);
    output_fault_short_writes(5, 1);
    const auto events = play_to_end(song);
    output_fault_short_writes(0, 0);
    EXPECT_EQ(count_of(events, Event_SongEnded), 1);
    EXPECT_EQ(first_difference(read_samples(device.output()), reference_samples(song)), -1);
}

TEST_F(Engine, SecondShortWriteDropsTheFrameAfterAQuarterSecond)
{
    const fs::path song = short_stereo();
    const AlsaDevice device(AlsaDevice::Kind::File);
    output_fault_short_writes(5, 2);
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(start(song), 0);
    const auto events = collect_events(SongTimeout, Event_SongEnded);
    const auto took = std::chrono::steady_clock::now() - began;
    output_fault_short_writes(0, 0);
    EXPECT_EQ(madthread_stop(&handle), 0);
    EXPECT_EQ(count_of(events, Event_SongEnded), 1);
    EXPECT_GE(took, 250ms);

    // Frame 5 (1152 stereo samples) is missing, the rest is intact.
    constexpr std::size_t frame = 2 * 1152;
    auto expected = reference_samples(song);
    expected.erase(expected.begin() + 5 * frame, expected.begin() + 6 * frame);
    EXPECT_EQ(first_difference(read_samples(device.output()), expected), -1);
}

TEST_F(Engine, RefusedRealTimePriorityDecodesAtTheInheritedOneSayingSoOnce)
{
    // No FIFO priority 205 exists, so even root is refused.
    const fs::path song = short_stereo();
    const AlsaDevice device(AlsaDevice::Kind::File);
    ::testing::internal::CaptureStderr();
    const auto first = play_to_end(song, 200);
    const std::string first_printed = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(count_of(first, Event_SongEnded), 1);
    EXPECT_EQ(first_difference(read_samples(device.output()), reference_samples(song)), -1);

    ::testing::internal::CaptureStderr();
    const auto second = play_to_end(song, 200);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(count_of(second, Event_SongEnded), 1);
    // One line at most (none when an earlier song here was refused already).
    EXPECT_LE(std::count(first_printed.begin(), first_printed.end(), '\n'), 1);
}

TEST_F(Engine, EmptyRingWaitsForASlowFileInsteadOfEndingTheSong)
{
    const fs::path song = short_stereo();
    const TempDir dir;
    const fs::path pipe = dir / "slow.mp3";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    std::ifstream in(song, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    // The pipe's writer is there, with a first part, before the song
    // starts: the start waits only briefly for a pipe's first bytes.
    const int fd = open(pipe.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    // A first part the decoder uses up long before the rest comes.
    const std::size_t first = 20000;
    ASSERT_EQ(write(fd, bytes.data(), first), static_cast<ssize_t>(first));
    std::thread writer([&] {
        EXPECT_TRUE(holds_within(SongTimeout, [&] { return stats[AudioStats_Consumed].load() == static_cast<std::int64_t>(first); }));
        std::size_t at = first;
        while (at < bytes.size()) {
            const ssize_t n = write(fd, bytes.data() + at, bytes.size() - at);
            ASSERT_GT(n, 0);
            at += static_cast<std::size_t>(n);
        }
        close(fd);
    });
    const AlsaDevice device(AlsaDevice::Kind::File);
    const auto events = play_to_end(pipe);
    writer.join();
    EXPECT_EQ(count_of(events, Event_SongEnded), 1);
    EXPECT_EQ(stats[AudioStats_Consumed].load(), static_cast<std::int64_t>(bytes.size()));
    EXPECT_EQ(first_difference(read_samples(device.output()), reference_samples(song)), -1);
}

// The group's settings apply before the quantiser and carry over to the
// next song, which therefore starts at them.
class EngineVolume : public Engine {
protected:
    void set_levels(std::int32_t left, std::int32_t right, std::uint32_t mute)
    {
        mixer *group = nullptr;
        ASSERT_EQ(mixer_open(&group, &audio.levels), 0);
        ::mixer_group values{};
        std::copy(std::begin(Mixer_GroupName), std::end(Mixer_GroupName), values.gid.name);
        values.gid.index = Mixer_GroupIndex;
        values.volume[0] = left;
        values.volume[1] = right;
        values.mute = mute;
        EXPECT_EQ(mixer_group_write(group, &values), 0);
        mixer_close(group);
    }
    std::vector<std::int16_t> played(const fs::path &song)
    {
        const AlsaDevice device(AlsaDevice::Kind::File);
        const auto events = play_to_end(song);
        EXPECT_EQ(count_of(events, Event_SongEnded), 1);
        return read_samples(device.output());
    }
};

TEST_F(EngineVolume, LowerVolumeScalesOnACubicCurve)
{
    const fs::path song = short_stereo();
    set_levels(50, 100, 0);
    const auto written = played(song);
    const auto expected = reference_samples(song);
    ASSERT_EQ(written.size(), expected.size());
    EXPECT_NEAR(rms(channel(written, 0)) / rms(channel(expected, 0)), 0.125, 0.002);
    // The right channel is untouched but for the error carried from the left.
    EXPECT_LE(rms_difference(channel(written, 1), channel(expected, 1)), 1.0);
}

TEST_F(EngineVolume, MutedOrSilentChannelIsSilent)
{
    const fs::path song = short_stereo();
    set_levels(100, 100, Mixer_MuteRight);
    auto written = played(song);
    const auto expected = reference_samples(song);
    const auto right = channel(written, 1);
    EXPECT_TRUE(std::all_of(right.begin(), right.end(), [](auto s) { return s == 0; }));
    EXPECT_LE(rms_difference(channel(written, 0), channel(expected, 0)), 1.0);

    set_levels(0, 0, 0);
    written = played(song);
    EXPECT_EQ(written.size(), expected.size());
    EXPECT_TRUE(std::all_of(written.begin(), written.end(), [](auto s) { return s == 0; }));
}

TEST_F(EngineVolume, GroupUsedUnderItsLockWhileTheFormatChangesStaysExact)
{
    // The user-interface side reads and writes the group and drains its
    // notifications as fast as it can while the decode thread replaces the
    // group at every change of format.
    const fs::path song = concatenated({mp3_song(44100, 2, "s", 128, 2), mp3_song(22050, 1, "m", 64, 2),
                                        mp3_song(48000, 2, "j", 160, 2)});
    const auto expected = reference_samples(song);
    std::atomic<bool> stop{false};
    std::atomic<long> uses{0};
    std::thread ui([&] {
        while (!stop.load()) {
            const std::lock_guard lock(audio.mixer_lock);
            mixer *group = audio.mixer_handle.load();
            if (group == nullptr)
                continue;
            ASSERT_EQ(mixer_group_read(group, &audio.mixer_group), 0);
            audio.mixer_group.volume[0] = audio.mixer_group.volume[1] = Mixer_Max;
            ASSERT_EQ(mixer_group_write(group, &audio.mixer_group), 0);
            ASSERT_EQ(mixer_group_write_external(group, &audio.mixer_group), 0);
            const mixer_callbacks callbacks{nullptr, [](void *, int, const mixer_gid *) {}};
            ASSERT_GE(mixer_read(group, &callbacks), 0);
            ++uses;
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 5; ++i) {
        const AlsaDevice device(AlsaDevice::Kind::AppendFile);
        const auto events = play_to_end(song);
        EXPECT_EQ(count_of(events, Event_MixerReady), 3);
        EXPECT_EQ(first_difference(read_samples(device.output()), expected), -1);
    }
    stop = true;
    ui.join();
    EXPECT_GT(uses.load(), 0);
}

}  // namespace
