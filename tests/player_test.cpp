// SPDX-License-Identifier: GPL-3.0-or-later
// Player control through the real window, the real engine and ALSA's file
// device: the control states, titles, progress, the end of a song, the
// signals, volume and mute, and a playlist no device will play.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QSlider>
#include <QTest>
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fstream>
#include <random>
#include <regex>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "abmain.h"
#include "madthread.h"
#include "output.h"
#include "platform/sound/mixer.h"
#include "platform/widgets/ab.h"
#include "platform/widgets/list.h"
#include "player.h"
#include "playlist.h"
#include "support/app.h"
#include "support/engine_support.h"
#include "tonra.h"

using namespace engine_test;

namespace {

// A copy of a song with an ID3 version 1 tag at its end.
fs::path tagged_copy(const fs::path &song, const fs::path &to, const std::string &title, const std::string &artist)
{
    fs::copy_file(song, to, fs::copy_options::overwrite_existing);
    char tag[128] = {};
    std::memcpy(tag, "TAG", 3);
    std::memcpy(tag + 3, title.data(), std::min<std::size_t>(title.size(), 30));
    std::memcpy(tag + 33, artist.data(), std::min<std::size_t>(artist.size(), 30));
    std::ofstream(to, std::ios::binary | std::ios::app).write(tag, sizeof tag);
    return to;
}

bool enabled(int index) { return AbWidgets[index]->isEnabled(); }
bool pressed(int index) { return (ab_get_flags(AbWidgets[index]) & Flag_Set) != 0; }
void click(int index) { QTest::mouseClick(qobject_cast<QAbstractButton *>(AbWidgets[index]), Qt::LeftButton); }
std::string title() { return ab_get_title(AbWidgets[ABN_base]); }
std::string thread_name(int id)
{
    std::string name;
    std::getline(std::ifstream("/proc/self/task/" + std::to_string(id) + "/comm"), name);
    return name;
}
// Whether the engine's threads started since `others` was taken have ended:
// the song has come to its end. They keep the program's name; Qt names its own.
bool song_over(const std::set<int> &others)
{
    return std::ranges::none_of(thread_ids(), [&](int id) { return !others.contains(id) && thread_name(id) == thread_name(getpid()); });
}

// The controls as they stand: play, stop, pause (enabled, pressed), previous, next.
std::string controls()
{
    std::string s;
    for (int i : {ABN_play, ABN_stop, ABN_pause, ABN_previous, ABN_next})
        s += enabled(i) ? 'E' : '-';
    s += pressed(ABN_pause) ? 'P' : 'r';
    return s;
}
const std::string Idle = "E----r", Started = "-EEEEr";

void service(std::uint16_t code)
{
    CallbackInfo cb;
    cb.event_type = Event_Service;
    cb.event_subtype = code;
    service_event(AbWidgets[ABN_base], nullptr, &cb);
}

class Player : public ::testing::Test {
protected:
    TempDir dir;
    void SetUp() override { open_main_window(); }
    void TearDown() override
    {
        player_stop_song();
        new_playlist(nullptr, nullptr, nullptr);
        close_main_window();
    }
    // Songs with tones of their own, tagged with their name as title.
    fs::path song(const std::string &name, double seconds = 0.5)
    {
        return tagged_copy(mp3_song(44100, 2, "j", 128, seconds), dir / (name + ".mp3"), name, "Tester");
    }
    void set_repeat(int index) { click(index); }
};

TEST_F(Player, PlayOnAnEmptyPlaylistDoesNothing)
{
    click(ABN_play);
    pump(20);
    EXPECT_EQ(controls(), Idle);
    EXPECT_EQ(title(), "Tonra");
    EXPECT_FALSE(player_is_playing());
}

TEST_F(Player, TheControlsFollowStartPauseAndStop)
{
    AlsaDevice device(AlsaDevice::Kind::Null);
    playlist_add_filename(song("one", 3).c_str());
    click(ABN_play);
    EXPECT_TRUE(player_is_playing());
    EXPECT_EQ(controls(), Started);
    EXPECT_EQ(title(), "Tonra - Tester / one");

    click(ABN_pause);
    EXPECT_EQ(controls(), "-EE--P") << "paused: previous and next disabled, stop still usable";

    click(ABN_pause);
    EXPECT_EQ(controls(), Started);

    click(ABN_pause);
    click(ABN_stop);  // stop while paused
    EXPECT_EQ(controls(), Idle);
    EXPECT_FALSE(player_is_playing());
    EXPECT_EQ(ab_get_value(AbWidgets[ABN_song_progress]), 0);
    EXPECT_EQ(title(), "Tonra - Tester / one") << "the title keeps naming the last song";
}

TEST_F(Player, PauseAfterAFailedStartTouchesNoThread)
{
    playlist_add_filename((dir / "gone.mp3").c_str());
    std::ofstream(dir / "gone.mp3") << "x";
    fs::remove(dir / "gone.mp3");
    testing::internal::CaptureStderr();
    player_play_song((dir / "gone.mp3").c_str());
    (void)testing::internal::GetCapturedStderr();
    ASSERT_EQ(controls(), Started);
    click(ABN_pause);
    EXPECT_EQ(controls(), Started) << "nothing to hold: the press is undone";
}

TEST_F(Player, TitlesNameTheSong)
{
    AlsaDevice device(AlsaDevice::Kind::Null);
    const fs::path plain = mp3_song(22050, 1, "m", 64, 0.3);
    player_play_song(tagged_copy(plain, dir / "t.mp3", "Only Title", "").c_str());
    EXPECT_EQ(title(), "Tonra -  / Only Title");
    player_play_song(tagged_copy(plain, dir / "a.mp3", "", "Only Artist").c_str());
    EXPECT_EQ(title(), "Tonra - Only Artist / ");
    fs::copy_file(plain, dir / "a b.mp3");
    player_play_song((dir / "a b.mp3").c_str());
    EXPECT_EQ(title(), "Tonra - a b.mp3");
    player_play_song(tagged_copy(plain, dir / "empty tag.mp3", "", "").c_str());
    EXPECT_EQ(title(), "Tonra - empty tag.mp3");

    // A path longer than any buffer: the title is cut, the caller's string kept.
    std::string longpath = "/" + std::string(2000, 'x') + ".mp3";
    const std::string before = longpath;
    testing::internal::CaptureStderr();
    player_play_song(longpath.c_str());
    (void)testing::internal::GetCapturedStderr();
    EXPECT_EQ(longpath, before);
    EXPECT_EQ(title().size(), 1023u);
}

TEST_F(Player, ADeletedSongShowsItsTitleAndBothMessages)
{
    const fs::path gone = song("gone");
    playlist_add_filename(gone.c_str());
    fs::remove(gone);
    testing::internal::CaptureStderr();
    click(ABN_play);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Failed to open mp3 file " + gone.string() + "\nplayer_play_song: madthread_start: No such file or directory\n");
    EXPECT_EQ(title(), "Tonra - gone.mp3");
    EXPECT_EQ(controls(), Started);
    EXPECT_FALSE(player_is_playing());

    // Chosen directly, it stays; Next does not try it again, and in a list of
    // one there is nothing else to try.
    testing::internal::CaptureStderr();
    click(ABN_next);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(controls(), Started);
    click(ABN_stop);
    EXPECT_EQ(controls(), Idle);
}

TEST_F(Player, ProgressIsConsumedOverTotal)
{
    std::atomic<std::int64_t> *stats = player_stats();
    stats[0] = 1000000;
    stats[1] = 333333;
    service(Event_Progress);
    EXPECT_EQ(ab_get_value(AbWidgets[ABN_song_progress]), 33);
    stats[0] = 50000000;
    stats[1] = 30000000;  // the product overflows 32 bits
    service(Event_Progress);
    EXPECT_EQ(ab_get_value(AbWidgets[ABN_song_progress]), 60);
    stats[0] = std::int64_t{3} << 30;  // past 32 bits
    stats[1] = std::int64_t{3} << 29;
    service(Event_Progress);
    EXPECT_EQ(ab_get_value(AbWidgets[ABN_song_progress]), 50);
    stats[0] = std::int64_t{5} << 30;
    stats[1] = std::int64_t{3} << 30;
    service(Event_Progress);
    EXPECT_EQ(ab_get_value(AbWidgets[ABN_song_progress]), 60);
    stats[0] = 0;
    stats[1] = 5;
    service(Event_Progress);
    EXPECT_EQ(ab_get_value(AbWidgets[ABN_song_progress]), 60) << "no total: ignored";
    const std::string before = controls();
    service(Event_Unused);
    service(0x0001);
    EXPECT_EQ(controls(), before);
    EXPECT_EQ(ab_get_value(AbWidgets[ABN_song_progress]), 60);
    stats[0] = 0;
    stats[1] = 0;
}

TEST_F(Player, SongsFollowEachOtherInPlaylistOrder)
{
    const fs::path a = song("a", 0.4), b = song("b", 0.6);
    AlsaDevice device(AlsaDevice::Kind::AppendFile);
    playlist_add_filename(b.c_str());
    playlist_add_filename(a.c_str());  // the list reads a, b
    click(ABN_repeat_none);
    const auto others = thread_ids();
    click(ABN_play);
    ASSERT_TRUE(wait_until([] { return title() == "Tonra - Tester / b"; }));
    ASSERT_TRUE(wait_until([&] { return song_over(others); }));
    // After the last song under "None": nothing more plays, stop stays usable.
    pump(100);
    EXPECT_TRUE(enabled(ABN_stop));
    EXPECT_EQ(title(), "Tonra - Tester / b");
    player_stop_song();  // drains and closes, so the recording is complete
    std::vector<std::int16_t> expected = reference_samples(a);
    const std::vector<std::int16_t> second = reference_samples(b);
    expected.insert(expected.end(), second.begin(), second.end());
    const std::vector<std::int16_t> heard = read_samples(device.output());
    EXPECT_EQ(heard.size(), expected.size());
    EXPECT_EQ(first_difference(heard, expected), -1) << "both songs, back to back, bit-exact";
}

TEST_F(Player, SignalsStopAndStartTheMarkedSong)
{
    AlsaDevice device(AlsaDevice::Kind::Null);
    playlist_add_filename(song("x", 5).c_str());
    kill(getpid(), SIGUSR1);
    pump(50);
    EXPECT_EQ(controls(), Idle);
    kill(getpid(), SIGUSR2);
    ASSERT_TRUE(wait_until([] { return player_is_playing() != 0; }));
    EXPECT_EQ(title(), "Tonra - Tester / x");
    kill(getpid(), SIGUSR1);
    ASSERT_TRUE(wait_until([] { return player_is_playing() == 0; }));
    EXPECT_EQ(controls(), Idle);
    EXPECT_EQ(ab_get_value(AbWidgets[ABN_song_progress]), 0);
}

TEST(VolumeScale, SliderToMixer)
{
    struct Case {
        int min, max, slider, mixer;
    };
    for (const Case c : {Case{0, 100, 1, 0}, {0, 100, 29, 28}, {0, 100, 50, 50}, {0, 100, 57, 56},
                         {0, 100, 100, 100}, {0, 255, 1, 2}, {0, 255, 50, 127}, {0, 255, 100, 255},
                         {-10, 90, 0, -10}, {-10, 90, 50, 40}, {-10, 90, 100, 90}}) {
        mixer_group g{};
        g.min = c.min;
        g.max = c.max;
        volume_slider_to_mixer(c.slider, g);
        EXPECT_EQ(g.volume[0], c.mixer) << c.min << ".." << c.max << " slider " << c.slider;
        EXPECT_EQ(g.volume[1], c.mixer);
    }
}

TEST(VolumeScale, MixerToSlider)
{
    struct Case {
        int min, max, left, right, slider;
    };
    for (const Case c : {Case{0, 100, 40, 60, 60}, {0, 100, 0, 50, 0}, {0, 100, 28, 28, 28},
                         {0, 255, 127, 127, 49}, {-10, 90, 40, 40, 40}}) {
        mixer_group g{};
        g.min = c.min;
        g.max = c.max;
        g.volume[0] = c.left;
        g.volume[1] = c.right;
        EXPECT_EQ(volume_mixer_to_slider(g), c.slider) << c.left << "/" << c.right;
    }
}

double rms(const std::vector<std::int16_t> &s)
{
    double sum = 0;
    for (auto v : s)
        sum += double(v) * v;
    return s.empty() ? 0 : std::sqrt(sum / double(s.size()));
}

TEST_F(Player, MuteAndVolumeReachTheSongsSamples)
{
    const fs::path s = song("loud", 0.5);
    const auto expected = reference_samples(s);
    {
        // Muted while idle: the next song's group is muted, its output silent.
        AlsaDevice device(AlsaDevice::Kind::File);
        click(ABN_mute);
        const auto others = thread_ids();
        player_play_song(s.c_str());
        ASSERT_TRUE(wait_until([] { return player_mixer_fd() > 0; }));
        EXPECT_EQ(player_audio()->mixer_group.mute, Mute_All);
        EXPECT_TRUE(wait_until([&] { return song_over(others); }));
        player_stop_song();
        const auto heard = read_samples(device.output());
        EXPECT_EQ(heard.size(), expected.size());
        EXPECT_EQ(rms(heard), 0.0);
        click(ABN_mute);
    }
    {
        AlsaDevice device(AlsaDevice::Kind::File);
        qobject_cast<QSlider *>(AbWidgets[ABN_volume])->setValue(50);  // moved by the user while idle
        const auto others = thread_ids();
        player_play_song(s.c_str());
        EXPECT_TRUE(wait_until([&] { return song_over(others); }));
        player_stop_song();
        const auto heard = read_samples(device.output());
        ASSERT_EQ(heard.size(), expected.size());
        const double ratio = rms(heard) / rms(expected);
        const double gain = double(mixer_gain_of(50)) / Mixer_UnityGain;
        EXPECT_NEAR(ratio, gain, gain * 0.05) << "the volume scales the samples on its curve";
        qobject_cast<QSlider *>(AbWidgets[ABN_volume])->setValue(100);
    }
}

TEST_F(Player, OutsideChangesMoveTheSliderNeverTheMute)
{
    AlsaDevice device(AlsaDevice::Kind::Null);
    player_play_song(song("held", 10).c_str());
    ASSERT_TRUE(wait_until([] { return player_mixer_fd() > 0; }));
    audio_device *audio = player_audio();
    {
        const std::lock_guard lock(audio->mixer_lock);
        mixer_group g = audio->mixer_group;
        g.volume[0] = 30;
        g.volume[1] = 20;
        g.mute = Mute_All;
        ASSERT_GE(mixer_group_write_external(audio->mixer_handle.load(), &g), 0);
    }
    ASSERT_TRUE(wait_until([] { return ab_get_value(AbWidgets[ABN_volume]) == 30; }));
    EXPECT_FALSE(pressed(ABN_mute));

    // The slider, moved by the user, sets the group.
    auto *slider = qobject_cast<QSlider *>(AbWidgets[ABN_volume]);
    slider->setValue(60);  // as a drag does: the moved callback runs
    {
        const std::lock_guard lock(audio->mixer_lock);
        mixer_group g = audio->mixer_group;
        ASSERT_GE(mixer_group_read(audio->mixer_handle.load(), &g), 0);
        EXPECT_EQ(g.volume[0], 60);
        EXPECT_EQ(g.volume[1], 60);
    }
    click(ABN_mute);
    click(ABN_mute);  // pressed and released while playing: the group is unmuted
    {
        const std::lock_guard lock(audio->mixer_lock);
        mixer_group g = audio->mixer_group;
        ASSERT_GE(mixer_group_read(audio->mixer_handle.load(), &g), 0);
        EXPECT_EQ(g.mute, 0u);
    }
    player_stop_song();
    EXPECT_EQ(player_mixer_fd(), -1);
    EXPECT_EQ(ab_fd_watch_count(), 0) << "the watch goes with the song";
    slider->setValue(100);  // as the user would: later songs start at the full level again
}

// Songs that will not start are stepped over when the player moves on by
// itself, each with its message; a whole pass of them stops the player.
TEST_F(Player, ASongThatWillNotStartIsSteppedOver)
{
    const fs::path a = song("a", 0.4), b = song("b", 0.4), gone = song("gone");
    const fs::path empty = dir / "empty.mp3";
    std::ofstream{empty};
    AlsaDevice device(AlsaDevice::Kind::AppendFile);
    for (const auto &p : {b, gone, empty, a})
        playlist_add_filename(p.c_str());  // the list reads a, empty, gone, b
    fs::remove(gone);
    int endings = 0;
    ab_set_link_observer([&endings](const EventLink &link, Widget *, const CallbackInfo &cb) {
        endings += link.category == Category_RawEvent && cb.event_subtype == Event_SongEnded;
    });
    click(ABN_repeat_none);
    testing::internal::CaptureStderr();
    click(ABN_play);
    const bool both_ended = wait_until([&endings] { return endings == 2; }, 10000);
    player_stop_song();  // drains and closes, so the recording is complete
    std::string err = testing::internal::GetCapturedStderr();
    ab_set_link_observer({});
    ASSERT_TRUE(both_ended);
    EXPECT_EQ(title(), "Tonra - Tester / b");
    auto failures = [](const std::string &text) {
        std::size_t n = 0;
        for (std::size_t at = 0; (at = text.find("player_play_song: madthread_start", at)) != std::string::npos; ++at)
            ++n;
        return n;
    };
    EXPECT_EQ(failures(err), 2u) << err;
    std::vector<std::int16_t> expected = reference_samples(a);
    const std::vector<std::int16_t> second = reference_samples(b);
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(first_difference(read_samples(device.output()), expected), -1) << "a, then b, nothing between";

    // Nothing in the list will start: SIGUSR2 tries each once and stops.
    new_playlist(nullptr, nullptr, nullptr);
    click(ABN_repeat_list);
    for (const auto &p : {gone, empty})
        playlist_add_filename(p.c_str());
    testing::internal::CaptureStderr();
    kill(getpid(), SIGUSR2);
    const bool idle = wait_until([] { return controls() == Idle; }, 5000);
    pump(100);
    err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(idle);
    EXPECT_EQ(failures(err), 2u) << err;
}

// Files whose output opens but that give no sound worth the name: every
// frame fails its checksum, no frame at all, 4 KB of noise. A whole pass of
// them stops the player, with the empty file's lines once.
TEST_F(Player, BrokenSongsStopAfterOnePass)
{
    const fs::path wav = dir / "crc.wav", bad_crc = dir / "crc.mp3", empty = dir / "empty.mp3", noise = dir / "noise.mp3";
    ASSERT_EQ(std::system(("sox -q -n -r 44100 -c 2 -b 16 '" + wav.string() + "' synth 1 sine 440 && lame --quiet -t -p -b 128 '" +
                           wav.string() + "' '" + bad_crc.string() + "'").c_str()), 0);
    std::string bytes(std::istreambuf_iterator<char>(std::ifstream(bad_crc, std::ios::binary).rdbuf()), {});
    int frames = 0;
    // An MPEG-1 layer III header with its checksum: the two bytes after it.
    for (std::size_t at = 0; (at = bytes.find("\xFF\xFA", at)) != std::string::npos && at + 6 <= bytes.size(); at += 2, ++frames)
        bytes[at + 4] = static_cast<char>(~bytes[at + 4]);
    ASSERT_GT(frames, 30);
    std::ofstream(bad_crc, std::ios::binary | std::ios::trunc) << bytes;
    std::ofstream{empty};
    std::string noise_bytes(4096, '\0');
    std::ranges::generate(noise_bytes, std::mt19937(30));
    std::ofstream(noise, std::ios::binary) << noise_bytes;

    AlsaDevice device(AlsaDevice::Kind::File);
    for (const auto &p : {bad_crc, empty, noise})
        playlist_add_filename(p.c_str());
    ASSERT_TRUE(pressed(ABN_repeat_list));
    const unsigned starts = player_song_starts();
    testing::internal::CaptureStderr();
    click(ABN_play);
    const bool idle = wait_until([] { return controls() == Idle; });
    pump(200);
    // Without real-time rights the decode thread says once that it plays at
    // the inherited priority: a line about the thread, not the songs.
    const std::string err = std::regex_replace(testing::internal::GetCapturedStderr(),
                                               std::regex("madthread_start: FIFO priority [0-9]+ refused[^\\n]*\\n"), "");
    ASSERT_TRUE(idle) << "the player must give up, not go round";
    EXPECT_EQ(player_song_starts() - starts, 3u);
    EXPECT_EQ(err, "The mp3 file appears to be emptyplayer_play_song: madthread_start: No data available\n");
}

// A pipe's bytes all go to the engine: the tag reader leaves it alone, and
// the list and title show its name.
TEST_F(Player, APipedSongIsPlayedWhole)
{
    const fs::path a = song("piped", 0.5);
    std::string bytes(std::istreambuf_iterator<char>(std::ifstream(a, std::ios::binary).rdbuf()), {});
    const fs::path fifo = dir / "named.mp3";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int anonymous[2];
    ASSERT_EQ(pipe(anonymous), 0);
    // The test's own reader keeps the named pipe's bytes while no other
    // reader has it open; the song is shorter than a pipe's buffer.
    const int named_read = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    const int named_write = open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(named_read, 0);
    ASSERT_GE(named_write, 0);
    const std::string proc = "/dev/fd/" + std::to_string(anonymous[0]);

    AlsaDevice device(AlsaDevice::Kind::File);
    click(ABN_repeat_none);
    for (const auto &[path, writer] : {std::pair{proc, anonymous[1]}, std::pair{fifo.string(), named_write}}) {
        ASSERT_EQ(write(writer, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        new_playlist(nullptr, nullptr, nullptr);
        playlist_add_filename(path.c_str());
        const std::string name(playlist_file_name(path));
        EXPECT_EQ(tree_items(AbWidgets[ABN_playlist]).at(0).text, name + "\t\t" + path);
        int endings = 0;
        ab_set_link_observer([&endings](const EventLink &link, Widget *, const CallbackInfo &cb) {
            endings += link.category == Category_RawEvent && cb.event_subtype == Event_SongEnded;
        });
        click(ABN_play);
        // As a writer does, once the player reads: its end is the song's.
        close(writer);
        EXPECT_EQ(title(), "Tonra - " + name);
        const bool ended = wait_until([&endings] { return endings == 1; });
        player_stop_song();
        ab_set_link_observer({});
        ASSERT_TRUE(ended) << path;
        EXPECT_EQ(first_difference(read_samples(device.output()), reference_samples(a)), -1) << path;
    }
    close(anonymous[0]);
    close(named_read);
}

TEST_F(Player, NoDeviceStopsAfterOnePass)
{
    const fs::path a = song("na"), b = song("nb"), c = song("nc");
    AlsaDevice device(AlsaDevice::Kind::Missing);
    for (const auto &p : {a, b, c})
        playlist_add_filename(p.c_str());
    ASSERT_TRUE(pressed(ABN_repeat_list));
    testing::internal::CaptureStderr();
    click(ABN_play);
    const bool idle = wait_until([] { return controls() == Idle; });
    pump(200);
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(idle) << "the player must give up, not spin";
    std::size_t failures = 0;
    for (std::size_t at = 0; (at = err.find("snd_pcm_open_preferred() failed", at)) != std::string::npos; ++at)
        ++failures;
    EXPECT_EQ(failures, 3u) << err;
}

} // namespace

namespace {

TEST_F(Player, ALateEndOfSongChangesNothing)
{
    AlsaDevice device(AlsaDevice::Kind::Null);
    playlist_add_filename(song("p", 0.3).c_str());
    // Long enough that it is still being decoded when the pause holds it
    // (the null device does not pace, so a short song would really end).
    const fs::path q = tagged_copy(mp3_song(22050, 1, "m", 32, 120), dir / "q.mp3", "q", "Tester");
    playlist_add_filename(q.c_str());  // the list reads q, p
    // Started and held at once, with no event handled in between: a click
    // would let the loop run, and q could end meanwhile.
    ASSERT_EQ(player_play_song(q.c_str()), 0);
    ab_set_flags(AbWidgets[ABN_pause], Flag_Set, Flag_Set);
    player_pause(AbWidgets[ABN_pause], nullptr, nullptr);
    ASSERT_EQ(title(), "Tonra - Tester / q");
    // An end of song handled while q is held (posted by a song since
    // replaced) must not skip q.
    service(Event_SongEnded);
    EXPECT_EQ(title(), "Tonra - Tester / q");
    EXPECT_TRUE(player_is_playing());
    // Nor restart anything after a stop.
    click(ABN_stop);
    service(Event_SongEnded);
    EXPECT_EQ(controls(), Idle);
    EXPECT_FALSE(player_is_playing());
}

} // namespace
