// SPDX-License-Identifier: GPL-3.0-or-later
// The mixer group as the sound server's stream volume: a private PulseAudio
// server with a null sink, ALSA's file plugin in front of the server's
// plugin recording what the program wrote, and parec recording what the
// server played (the sink's monitor).
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QSlider>
#include <QTest>
#include <QtGlobal>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "abmain.h"
#include "platform/ab.h"
#include "platform/mixer.h"
#include "platform/pulse_group.h"
#include "player.h"
#include "support/app.h"
#include "support/child.h"
#include "support/engine_support.h"
#include "support/sound_server.h"
#include "tonra.h"

extern char **environ;
using namespace engine_test;

namespace {

std::string shell(const std::string &command)
{
    std::string out;
    if (FILE *p = popen(command.c_str(), "r")) {
        char buf[4096];
        for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;)
            out.append(buf, n);
        pclose(p);
    }
    return out;
}

pid_t spawn(const std::vector<std::string> &args, const fs::path &out)
{
    ChildIo io;
    io.out = out;
    return spawn_child(args, {}, io);
}

void end(pid_t &pid) { (void)end_child(pid); }

void click(int index) { QTest::mouseClick(qobject_cast<QAbstractButton *>(AbWidgets[index]), Qt::LeftButton); }
bool pressed(int index) { return (ab_get_flags(AbWidgets[index]) & Flag_Set) != 0; }
void slide(int value) { qobject_cast<QSlider *>(AbWidgets[ABN_volume])->setValue(value); }

// Our stream as the server lists it: index, first channel's volume, mute.
struct Listed {
    int index = -1;
    long volume = -1;
    bool muted = false;
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
            found.index = std::atoi(block.c_str() + 12);
            const std::size_t v = block.find("front-left: ");
            found.volume = v == std::string::npos ? -1 : std::atol(block.c_str() + v + 12);
            found.muted = block.find("Mute: yes") != std::string::npos;
        }
        at = next;
    }
    return found;
}

std::vector<std::string> Warnings;
void keep_warning(QtMsgType, const QMessageLogContext &, const QString &text) { Warnings.push_back(text.toStdString()); }

int slider_for(std::int32_t volume, std::int32_t max)
{
    mixer_group g{};
    g.max = max;
    g.volume[0] = g.volume[1] = volume;
    return volume_mixer_to_slider(g);
}

class ServerGroup : public ::testing::Test {
protected:
    static inline std::optional<TempDir> Dir;
    static inline std::optional<SoundServer> Server;

    static bool start_server()
    {
        Server.emplace();
        setenv("PULSE_SERVER", ("unix:" + Server->socket()).c_str(), 1);
        return Server->running();
    }
    static void SetUpTestSuite()
    {
        if (SoundServer::available() && on_path("parec") && on_path("pactl"))
            Dir.emplace();
    }
    static void TearDownTestSuite() { Server.reset(); }
    // Why a song could not reach the server: whether it still runs, and the
    // end of what it said.
    static std::string server_fate() { return Server ? Server->fate() : "no server"; }

    fs::path written, heard;
    pid_t recorder = -1;

    void SetUp() override
    {
        if (!Dir)
            GTEST_SKIP() << "needs parec and pactl; " << SoundServer::missing();
        if (!Server || !Server->running()) {
            ASSERT_TRUE(start_server()) << server_fate();
        }
        open_main_window();
        written = *Dir / "written.raw";
        heard = *Dir / "heard.raw";
        std::ofstream(*Dir / "asound.conf") << "pcm.!default { type file slave.pcm { type pulse } file \"" << written.string()
                                            << "\" format \"raw\" }\n";
        setenv("ALSA_CONFIG_PATH", (*Dir / "asound.conf").c_str(), 1);
        recorder = spawn({"parec", "-d", "tonra.monitor", "--raw", "--format=s16le", "--rate=44100", "--channels=2",
                          "--latency-msec=5"},
                         heard);
        // The monitor runs silent until a song plays: recording has begun
        // once that silence arrives.
        ASSERT_TRUE(wait_until([this] { return heard_samples() > 0; }, 10000));
    }
    void TearDown() override
    {
        if (!Dir)
            return;
        player_stop_song();
        end(recorder);
        close_main_window();
        unsetenv("ALSA_CONFIG_PATH");
    }
    // The recording's length in samples, as the server has delivered it.
    long heard_samples() { return static_cast<long>(fs::exists(heard) ? fs::file_size(heard) / 2 : 0); }
    bool in_server()
    {
        const std::lock_guard lock(player_audio()->mixer_lock);
        return mixer_in_server(player_audio()->mixer_handle.load());
    }
    void play(const fs::path &song)
    {
        player_play_song(song.c_str());
        ASSERT_TRUE(wait_until([] { return player_mixer_fd() > 0; })) << server_fate();
        ASSERT_TRUE(in_server());
    }
};

// Samples louder than the least step of a quiet tone: sound, not silence.
long first_sound(const std::vector<std::int16_t> &s, long from, long to)
{
    for (long i = std::max(from, 0L); i < std::min<long>(to, static_cast<long>(s.size())); ++i)
        if (std::abs(s[static_cast<std::size_t>(i)]) > 16)
            return i;
    return -1;
}

std::int32_t server_volume_for(int slider)
{
    mixer_group g{};
    g.max = Pulse_VolumeNorm;
    volume_slider_to_mixer(slider, g);
    return g.volume[0];
}

TEST_F(ServerGroup, TheServerHoldsTheLevelAndTheSamplesPassUntouched)
{
    const fs::path song = mp3_song(44100, 2, "j", 128, 1.5);
    const auto reference = reference_samples(song);
    const long lead = first_sound(reference, 0, static_cast<long>(reference.size()));
    const long length = static_cast<long>(reference.size()) - lead;

    // At 100 the server plays the decode as it is.
    play(song);
    std::vector<std::int16_t> got;
    long at = -1;
    ASSERT_TRUE(wait_until(
        [&] {
            got = read_samples(heard);
            at = first_sound(got, 0, static_cast<long>(got.size()));
            return at >= 0 && static_cast<long>(got.size()) - at >= length;
        },
        20000));
    const std::vector<std::int16_t> monitor(got.begin() + at, got.begin() + at + length);
    const long diff = first_difference(monitor, std::vector<std::int16_t>(reference.begin() + lead, reference.end()));
    EXPECT_EQ(diff, -1) << "the monitor differs at " << diff << " (the song's sound begins at " << at << ")";
    player_stop_song();

    // At 50 the server holds the level; the program writes the decode as is.
    slide(50);
    const long started = heard_samples();
    play(song);
    EXPECT_TRUE(wait_until([] { return our_stream().volume == server_volume_for(50); }));
    // Played out in real time, with time to spare; the stop drains the rest.
    ASSERT_TRUE(wait_until([&] { return heard_samples() > started + static_cast<long>(reference.size()) + 44100; }, 20000));
    player_stop_song();
    EXPECT_EQ(first_difference(read_samples(written), reference), -1);
    slide(100);
}

TEST_F(ServerGroup, MuteActsAtOnceAndOthersMoveOnlyTheSlider)
{
    play(mp3_song(44100, 2, "j", 128, 10));
    constexpr long Within = 44100 * 2 * 50 / 1000;  // 50 ms of samples
    constexpr long Watch = 44100 * 2 * 300 / 1000;
    ASSERT_TRUE(wait_until([&] { return first_sound(read_samples(heard), heard_samples() - 1000, heard_samples()) >= 0; }));

    // What parec has received at the click lags the monitor, which only
    // makes these bounds stricter.
    const long muted_at = heard_samples();
    click(ABN_mute);
    ASSERT_TRUE(wait_until([&] { return heard_samples() >= muted_at + Watch; }));
    auto got = read_samples(heard);
    EXPECT_EQ(first_sound(got, muted_at + Within, static_cast<long>(got.size())), -1) << "sound 50 ms after mute";
    const long unmuted_at = heard_samples();
    click(ABN_mute);
    ASSERT_TRUE(wait_until([&] { return heard_samples() >= unmuted_at + Watch; }));
    got = read_samples(heard);
    const long back = first_sound(got, unmuted_at, static_cast<long>(got.size()));
    EXPECT_TRUE(back >= 0 && back <= unmuted_at + Within) << "sound back after " << (back - unmuted_at) << " samples";

    // Our own writes are not taken for outside changes: 37 would read back
    // from the server as 36.
    slide(37);
    ASSERT_TRUE(wait_until([] { return our_stream().volume == server_volume_for(37); }));
    pump(300);
    EXPECT_EQ(ab_get_value(AbWidgets[ABN_volume]), 37);

    // Others move the slider; their mute leaves the button as it is.
    const int index = our_stream().index;
    shell("pactl set-sink-input-volume " + std::to_string(index) + " 25%");
    ASSERT_TRUE(wait_until([] { return our_stream().volume != server_volume_for(37); }));
    const int expected = slider_for(static_cast<std::int32_t>(our_stream().volume), Pulse_VolumeNorm);
    EXPECT_TRUE(wait_until([&] { return ab_get_value(AbWidgets[ABN_volume]) == expected; }));
    shell("pactl set-sink-input-mute " + std::to_string(index) + " 1");
    EXPECT_TRUE(wait_until([] { return player_audio()->mixer_group.mute != 0; })) << "the group learns of it";
    EXPECT_FALSE(pressed(ABN_mute));
    EXPECT_EQ(ab_get_value(AbWidgets[ABN_volume]), expected);
    player_stop_song();
    click(ABN_mute);
    click(ABN_mute);
    slide(100);
}

TEST_F(ServerGroup, ANewStreamStartsAtTheUsersLevelAndMute)
{
    // A rate change in the song makes a new stream in the server.
    slide(29);
    click(ABN_mute);
    const fs::path song = concatenated({mp3_song(44100, 2, "j", 128, 1), mp3_song(22050, 2, "j", 64, 1)});
    play(song);
    const int first = our_stream().index;
    ASSERT_TRUE(wait_until([&] { const auto s = our_stream(); return s.index >= 0 && s.index != first; }, 10000));
    EXPECT_TRUE(wait_until([&] {
        const auto s = our_stream();
        return s.index != first && s.volume == server_volume_for(29) && s.muted;
    }));
    EXPECT_TRUE(in_server());
    const auto got = read_samples(heard);
    EXPECT_EQ(first_sound(got, 0, static_cast<long>(got.size())), -1) << "a muted song was heard";
    player_stop_song();
    click(ABN_mute);
    slide(100);
}

TEST_F(ServerGroup, AServerGoneLeavesTheSoftwareGroupForTheNextSong)
{
    play(mp3_song(44100, 2, "j", 128, 10));
    ASSERT_TRUE(wait_until([&] { return heard_samples() > 44100; }));
    Server->kill();
    pump(300);
    player_stop_song();

    const fs::path song = mp3_song(44100, 2, "j", 128, 0.5);
    const AlsaDevice device(AlsaDevice::Kind::File);
    slide(50);
    player_play_song(song.c_str());
    ASSERT_TRUE(wait_until([] { return player_mixer_fd() > 0; }));
    EXPECT_FALSE(in_server());
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
    slide(100);
}

// Not the server's: the group's descriptor while the format changes fifty
// times, with the file device and the software group.
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
    EXPECT_EQ(ab_get_value(AbWidgets[ABN_volume]), 29);
    EXPECT_EQ(ab_fd_watch_count(), 1);
    player_stop_song();
    EXPECT_EQ(read_samples(device.output()).size(), reference.size());
    slide(100);
    close_main_window();
}

}  // namespace
