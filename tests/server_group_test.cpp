// SPDX-License-Identifier: GPL-3.0-or-later
// The song through the sound server as a stream of the program's own: a
// private PulseAudio server with two null sinks (44.1 kHz stereo and 8 kHz
// mono), parec recording what the server played (a sink's monitor), and
// pactl showing the stream as volume mixers do.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QSlider>
#include <QTest>
#include <QtGlobal>
#include <algorithm>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "abmain.h"
#include "output.h"
#include "platform/desktop/remote.h"
#include "platform/sound/mixer.h"
#include "platform/widgets/ab.h"
#include "player.h"
#include "support/app.h"
#include "support/child.h"
#include "support/engine_support.h"
#include "support/sound_server.h"
#include "tonra.h"

extern char **environ;
using namespace engine_test;

namespace {

void end(pid_t &pid) { (void)end_child(pid); }

void click(int index) { QTest::mouseClick(qobject_cast<QAbstractButton *>(AbWidgets[index]), Qt::LeftButton); }
bool pressed(int index) { return (ab_get_flags(AbWidgets[index]) & Flag_Set) != 0; }
void slide(int value) { qobject_cast<QSlider *>(AbWidgets[ABN_volume])->setValue(value); }
int slider() { return ab_get_value(AbWidgets[ABN_volume]); }

// Our stream as the server lists it: index, first channel's volume (0 to
// 65536), mute, name.
struct Listed {
    int index = -1;
    long volume = -1;
    bool muted = false;
    std::string name;
    int count = 0;  // of our streams
};
Listed our_stream()
{
    const std::string text = shell("pactl list sink-inputs 2>/dev/null");
    const std::string pid = "application.process.id = \"" + std::to_string(getpid()) + "\"";
    Listed found;
    for (std::size_t at = text.find("Sink Input #"); at != std::string::npos;) {
        const std::size_t next = text.find("Sink Input #", at + 1);
        const std::string block = text.substr(at, next - at);
        if (block.find(pid) != std::string::npos) {
            ++found.count;
            found.index = std::atoi(block.c_str() + 12);
            const std::size_t v = block.find("front-left: ");
            const std::size_t m = block.find("mono: ");
            found.volume = v != std::string::npos   ? std::atol(block.c_str() + v + 12)
                           : m != std::string::npos ? std::atol(block.c_str() + m + 6)
                                                    : -1;
            found.muted = block.find("Mute: yes") != std::string::npos;
            if (const std::size_t n = block.find("media.name = \""); n != std::string::npos)
                found.name = block.substr(n + 14, block.find('"', n + 14) - n - 14);
        }
        at = next;
    }
    return found;
}

// The server's volume for a slider value, as the group sets it.
long server_volume_for(int value)
{
    mixer_group g{};
    g.max = Mixer_Max;
    volume_slider_to_mixer(value, g);
    return (g.volume[0] * 65536L + Mixer_Max / 2) / Mixer_Max;
}

// Samples louder than the least step of a quiet tone: sound, not silence.
long first_sound(const std::vector<std::int16_t> &s, long from, long to)
{
    for (long i = std::max(from, 0L); i < std::min<long>(to, static_cast<long>(s.size())); ++i)
        if (std::abs(s[static_cast<std::size_t>(i)]) > 16)
            return i;
    return -1;
}

// Where the monitor holds a sample that is not the reference's, or -1; one
// channel's samples each. Recorded in real time on a loaded machine, a late
// writer or recorder costs the recording gaps (the server's silence in place
// of a stretch, on one channel or all), never a changed sample: so the sound
// between gaps must be the reference's own samples, bit for bit, each stretch
// further on than the last. `matched` counts the samples found in place.
long first_foreign(const std::vector<std::int16_t> &monitor, const std::vector<std::int16_t> &reference, long &matched)
{
    constexpr std::size_t Probe = 64;  // samples of sound: none match by chance
    matched = 0;
    std::size_t j = 0;
    for (std::size_t i = 0; i < monitor.size();) {
        if (j < reference.size() && monitor[i] == reference[j]) {
            ++i, ++j, ++matched;
        } else if (monitor[i] == 0) {
            ++i;
        } else if (monitor.size() - i < Probe) {
            break;  // too short a stretch to place
        } else {
            const auto probe = monitor.begin() + static_cast<std::ptrdiff_t>(i);
            const auto found = std::search(reference.begin() + static_cast<std::ptrdiff_t>(j), reference.end(), probe,
                                           probe + Probe);
            if (found == reference.end())
                return static_cast<long>(i);
            j = static_cast<std::size_t>(found - reference.begin());
        }
    }
    return -1;
}

// Channel `c` of interleaved samples, `frames` from frame `from`.
std::vector<std::int16_t> channel_of(const std::vector<std::int16_t> &s, int channels, int c, long from, long frames)
{
    std::vector<std::int16_t> out;
    for (long f = from; f < from + frames && (f + 1) * channels <= static_cast<long>(s.size()); ++f)
        out.push_back(s[static_cast<std::size_t>(f * channels + c)]);
    return out;
}

class ServerGroup : public ::testing::Test {
protected:
    static inline std::optional<TempDir> Dir;
    static inline std::optional<SoundServer> Server;

    static bool start_server()
    {
        Server.emplace();
        setenv("PULSE_SERVER", ("unix:" + Server->socket()).c_str(), 1);
        // A second sink at the slowest format, so that an 8 kHz mono song
        // reaches a monitor unconverted.
        return Server->running() &&
               shell("pactl load-module module-null-sink sink_name=tonra8k rate=8000 channels=1 >/dev/null && "
                     "pactl set-default-sink tonra && echo up").size() > 0;
    }
    static void SetUpTestSuite()
    {
        if (SoundServer::available() && on_path("parec") && on_path("pactl"))
            Dir.emplace();
        // The server is found as a desktop's would be: nothing forces it.
        unsetenv("TONRA_AUDIO");
    }
    static void TearDownTestSuite() { Server.reset(); }
    // Why a song could not reach the server: whether it still runs, and the
    // end of what it said.
    static std::string server_fate() { return Server ? Server->fate() : "no server"; }

    fs::path heard;
    pid_t recorder = -1;

    void SetUp() override
    {
        if (!Dir)
            GTEST_SKIP() << "needs parec and pactl; " << SoundServer::missing();
        if (!Server || !Server->running()) {
            ASSERT_TRUE(start_server()) << server_fate();
        }
        open_main_window();
        listen("tonra", 44100, 2);
    }
    void TearDown() override
    {
        if (!Dir)
            return;
        player_stop_song();
        end(recorder);
        close_main_window();
    }
    // Records the sink's monitor from now on, at the sink's own format.
    void listen(const std::string &sink, int rate, int channels)
    {
        end(recorder);
        heard = *Dir / (sink + ".raw");
        ChildIo io;
        io.out = heard;
        recorder = spawn_child({"parec", "-d", sink + ".monitor", "--raw", "--format=s16le", "--rate=" + std::to_string(rate),
                                "--channels=" + std::to_string(channels), "--latency-msec=5"},
                               {}, io);
        // The monitor runs silent until a song plays: recording has begun
        // once that silence arrives.
        ASSERT_TRUE(wait_until([this] { return heard_samples() > 0; }, 10000));
    }
    // The recording's length in samples, as the server has delivered it.
    long heard_samples() { return static_cast<long>(fs::exists(heard) ? fs::file_size(heard) / 2 : 0); }
    std::vector<std::int16_t> since(long from)
    {
        auto all = read_samples(heard);
        return {all.begin() + std::clamp<long>(from, 0, static_cast<long>(all.size())), all.end()};
    }
    bool in_server()
    {
        const std::lock_guard lock(player_audio()->mixer_lock);
        return mixer_in_server(player_audio()->mixer_handle.load()) &&
               output_backend(player_audio()->pcm_handle.load()) == "pulse";
    }
    void play(const fs::path &song)
    {
        player_play_song(song.c_str());
        ASSERT_TRUE(wait_until([] { return player_mixer_fd() > 0; })) << server_fate();
        ASSERT_TRUE(in_server()) << server_fate();
    }
    // Whether sound arrives, then silence holds for a good while, after `from`.
    bool sounds_after(long from) { return first_sound(since(from), 0, 1L << 40) >= 0; }
    // Silence over the last half second heard: what a mute sounds like once
    // it has taken effect (how soon is a benchmark's business).
    bool silent_lately()
    {
        const long now = heard_samples();
        const auto got = since(now - 44100);
        return now > 44100 && first_sound(got, 0, static_cast<long>(got.size())) == -1;
    }
};

TEST_F(ServerGroup, TheServerPlaysTheDecodeUntouchedAtEveryRate)
{
    for (const bool mono : {false, true}) {
        SCOPED_TRACE(mono ? "8 kHz mono" : "44.1 kHz stereo");
        // PipeWire runs all its sinks at one rate: 8 kHz reaches a monitor
        // resampled there.
        if (mono && SoundServer::kind() == "pipewire")
            break;
        const fs::path song = mono ? mp3_song(8000, 1, "m", 32, 1.5) : mp3_song(44100, 2, "j", 128, 1.5);
        if (mono) {
            shell("pactl set-default-sink tonra8k");
            listen("tonra8k", 8000, 1);
        }
        const auto reference = reference_samples(song);
        const long lead = first_sound(reference, 0, static_cast<long>(reference.size()));
        const long length = static_cast<long>(reference.size()) - lead;
        play(song);
        std::vector<std::int16_t> got;
        long at = -1;
        ASSERT_TRUE(wait_until(
            [&] {
                got = read_samples(heard);
                at = first_sound(got, 0, static_cast<long>(got.size()));
                return at >= 0 && static_cast<long>(got.size()) - at >= length;
            },
            20000))
            << server_fate();
        const int channels = mono ? 1 : 2;
        const long frames = length / channels;
        for (int c = 0; c < channels; ++c) {
            long matched = 0;
            const long foreign = first_foreign(channel_of(got, channels, c, at / channels, frames),
                                               channel_of(reference, channels, c, lead / channels, frames), matched);
            EXPECT_EQ(foreign, -1) << "channel " << c << " has a sample not in the song at frame " << foreign
                                   << " (the song's sound begins at sample " << at << ")";
            EXPECT_GT(matched, frames / 2) << "channel " << c;
        }
        // One stream, named after the song as the title bar names it.
        const Listed listed = our_stream();
        EXPECT_EQ(listed.count, 1);
        EXPECT_EQ("Tonra - " + listed.name, ab_get_title(AbWidgets[ABN_base]));
        player_stop_song();
    }
    shell("pactl set-default-sink tonra");
}

// How soon a mute is heard is measured in bench/mute_bench.cpp; here only
// what is heard, and in which order.
TEST_F(ServerGroup, MuteAndVolumeHoldOnOneStreamAcrossAPause)
{
    play(mp3_song(44100, 2, "j", 128, 20));
    ASSERT_TRUE(wait_until([&] { return sounds_after(heard_samples() - 4410); })) << server_fate();
    const int stream = our_stream().index;

    click(ABN_mute);
    EXPECT_TRUE(wait_until([&] { return our_stream().muted && silent_lately(); }));
    click(ABN_mute);
    EXPECT_TRUE(wait_until([&] { return !our_stream().muted && sounds_after(heard_samples() - 4410); }));

    // Long enough for the stream to run dry: it stays the same stream, and
    // the group keeps reaching it.
    click(ABN_pause);
    const long paused = heard_samples();
    ASSERT_TRUE(wait_until([&] { return heard_samples() > paused + 2 * 44100 * 2; }));
    click(ABN_pause);
    EXPECT_TRUE(wait_until([&] { return sounds_after(heard_samples() - 4410); }));
    EXPECT_EQ(our_stream().index, stream);
    slide(37);
    EXPECT_TRUE(wait_until([] { return our_stream().volume == server_volume_for(37); }));
    click(ABN_mute);
    EXPECT_TRUE(wait_until([&] { return our_stream().muted && silent_lately(); }));
    click(ABN_mute);
    // Our own writes are not taken for outside changes.
    pump(300);
    EXPECT_EQ(slider(), 37);
    EXPECT_EQ(our_stream().count, 1);
    slide(100);
}

TEST_F(ServerGroup, OthersMoveTheSliderAndTheLevelReadsBackExactly)
{
    play(mp3_song(44100, 2, "j", 128, 10));
    const int index = our_stream().index;
    shell("pactl set-sink-input-volume " + std::to_string(index) + " 40%");
    EXPECT_TRUE(wait_until([] { return slider() == 40; }));
    EXPECT_DOUBLE_EQ(remote_state().volume, 0.40);
    // Their mute reaches the group and leaves the button alone.
    shell("pactl set-sink-input-mute " + std::to_string(index) + " 1");
    EXPECT_TRUE(wait_until([] { return player_audio()->mixer_group.mute != 0; })) << "the group learns of it";
    EXPECT_FALSE(pressed(ABN_mute));
    EXPECT_EQ(slider(), 40);
    shell("pactl set-sink-input-mute " + std::to_string(index) + " 0");
    EXPECT_TRUE(wait_until([] { return player_audio()->mixer_group.mute == 0; }));

    // The remote control's level, as a desktop's media widget sets it.
    remote_set_volume(0.4);
    EXPECT_TRUE(wait_until([] { return slider() == 40 && our_stream().volume == server_volume_for(40); }));
    EXPECT_DOUBLE_EQ(remote_state().volume, 0.40);
    slide(100);
}

TEST_F(ServerGroup, ALevelSetWithoutAStreamReachesTheNextOne)
{
    const fs::path song = mp3_song(44100, 2, "j", 128, 10);
    // Set while the first stream plays, then the song replaced before the
    // window took the change in: the next stream starts at it all the same.
    play(song);
    remote_set_volume(0.6);
    player_stop_song();
    play(song);
    EXPECT_TRUE(wait_until([] { return our_stream().volume == server_volume_for(60) && slider() == 60; }));
    EXPECT_DOUBLE_EQ(remote_state().volume, 0.60);
    player_stop_song();

    // Between songs, a muted button and a lowered slider: the stream is
    // muted from its first sample, so nothing is heard.
    slide(29);
    click(ABN_mute);
    // What the first song played before its stop may still be on its way
    // to a recorder that runs late: count from when the recording went quiet.
    ASSERT_TRUE(wait_until([&] { return silent_lately(); }));
    const long before = heard_samples();
    const fs::path song2 = concatenated({mp3_song(44100, 2, "j", 128, 1), mp3_song(22050, 2, "j", 64, 1)});
    player_play_song(song2.c_str());
    ASSERT_TRUE(wait_until([] { return player_mixer_fd() > 0; }));
    // A rate change in the song makes a new stream, at the same level.
    const int first = our_stream().index;
    ASSERT_TRUE(wait_until([&] { const auto s = our_stream(); return s.index >= 0 && s.index != first; }, 10000));
    EXPECT_TRUE(wait_until([&] {
        const auto s = our_stream();
        return s.index != first && s.volume == server_volume_for(29) && s.muted;
    }));
    EXPECT_FALSE(sounds_after(before)) << "a muted song was heard";
    player_stop_song();
    click(ABN_mute);
    slide(100);
}

TEST_F(ServerGroup, AServerGoneLeavesALSAAndARestartedOneTakesTheNextSong)
{
    play(mp3_song(44100, 2, "j", 128, 10));
    ASSERT_TRUE(wait_until([&] { return heard_samples() > 44100; }));
    end(recorder);
    Server->kill();
    pump(300);
    player_stop_song();

    // No server: ALSA, with the group in software.
    const fs::path song = mp3_song(44100, 2, "j", 128, 0.5);
    {
        const AlsaDevice device(AlsaDevice::Kind::File);
        unsetenv("TONRA_AUDIO");
        slide(50);
        player_play_song(song.c_str());
        ASSERT_TRUE(wait_until([] { return player_mixer_fd() > 0; }));
        EXPECT_FALSE(in_server());
        EXPECT_EQ(output_backend(player_audio()->pcm_handle.load()), "alsa");
        auto reference = reference_samples(song);
        ASSERT_TRUE(wait_until([&] { return read_samples(device.output()).size() >= 4096; }));
        player_stop_song();
        const auto written_here = read_samples(device.output());
        reference.resize(written_here.size());
        auto rms = [](const std::vector<std::int16_t> &s) {
            double sum = 0;
            for (auto v : s)
                sum += double(v) * v;
            return std::sqrt(sum / double(s.size()));
        };
        const double gain = double(mixer_gain_of(50)) / Mixer_UnityGain;
        EXPECT_NEAR(rms(written_here) / rms(reference), gain, gain * 0.05);
    }
    unsetenv("TONRA_AUDIO");

    // The server back: the next song is its stream again, at the level.
    ASSERT_TRUE(start_server());
    listen("tonra", 44100, 2);
    play(mp3_song(44100, 2, "j", 128, 5));
    EXPECT_TRUE(wait_until([&] { return our_stream().volume == server_volume_for(50) && sounds_after(0); }));
    slide(100);
}

// Not the server's: the group's descriptor while the format changes fifty
// times, with the file device and the software group.
std::vector<std::string> Warnings;
void keep_warning(QtMsgType, const QMessageLogContext &, const QString &text) { Warnings.push_back(text.toStdString()); }

TEST(GroupDescriptor, StaysValidAcrossFiftyFormatChanges)
{
    open_main_window();
    std::vector<fs::path> parts;
    for (int i = 0; i < 50; ++i)
        parts.push_back(mp3_song(i % 2 ? 48000 : 44100, 2, "j", 128, 0.1));
    const fs::path song = concatenated(parts);
    const auto reference = reference_samples(song);
    const AlsaDevice device(AlsaDevice::Kind::AppendFile);
    ASSERT_EQ(read_samples(device.output()).size(), 0u);
    // 29 sets the group to 28, which reads back as 28: an outside-change
    // event that was none would move the slider.
    slide(29);
    Warnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(keep_warning);
    player_play_song(song.c_str());
    // The device holds on to the last part until the stop.
    const std::size_t before_last = reference.size() - reference_samples(parts.back()).size();
    const bool done = wait_until([&] { return read_samples(device.output()).size() >= before_last; }, 60000);
    pump(100);
    qInstallMessageHandler(previous);
    EXPECT_TRUE(done);
    for (const auto &w : Warnings)
        EXPECT_EQ(w.find("Invalid socket"), std::string::npos) << w;
    EXPECT_EQ(slider(), 29);
    EXPECT_EQ(ab_fd_watch_count(), 1);
    player_stop_song();
    EXPECT_EQ(read_samples(device.output()).size(), reference.size());
    slide(100);
    close_main_window();
}

}  // namespace
