// SPDX-License-Identifier: GPL-3.0-or-later
// The real binary on a real X server, driven from outside as a user would:
// xdotool clicks and keys, xprop and xwininfo read the window, and a
// PulseAudio null sink plays in real time while ALSA's file plugin records
// what the player wrote.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/child.h"
#include "support/desktop_servers.h"
#include "support/engine_support.h"
#include "support/sound_server.h"

using namespace engine_test;
using namespace std::chrono_literals;

extern char **environ;

namespace {

bool have(const char *tool) { return shell(std::string("command -v ") + tool + " 2>/dev/null").size() > 0; }

// One X server and one sound server for the whole suite.
class Desktop : public ::testing::Test {
protected:
    static inline std::optional<TempDir> Dir;
    static inline std::string Display;
    static inline pid_t Xvfb = -1;
    static inline std::optional<SoundServer> Pulse;

    static void SetUpTestSuite()
    {
        if (!have("Xvfb") || !have("xdotool") || !SoundServer::available() || !have("xwininfo") || !have("xprop"))
            return;
        Dir.emplace();
        Xvfb = start_xvfb(Display);
        if (Display.empty())
            return;
        make_runtime_dir(Dir->path());
        Pulse.emplace("norewinds=1");
    }
    static void TearDownTestSuite()
    {
        Pulse.reset();
        (void)end_child(Xvfb);
        // A suite that follows in this process starts its own.
        Display.clear();
        Dir.reset();
    }

    fs::path recording, errors;
    pid_t tonra = -1;
    TempDir songs;
    std::vector<std::string> more_env;  // for the next start

    void SetUp() override
    {
        if (Display.empty())
            GTEST_SKIP() << "needs Xvfb, xdotool, xprop and xwininfo; " << SoundServer::missing();
        ASSERT_TRUE(Pulse->running()) << Pulse->fate();
        static int count = 0;
        recording = Dir->path() / ("rec" + std::to_string(++count) + ".raw");
        errors = Dir->path() / ("err" + std::to_string(count) + ".txt");
        std::ofstream(Dir->path() / "asound.conf")
            << "pcm.!default { type file slave.pcm { type pulse server \"unix:" << Pulse->socket()
            << "\" } file \"|cat >> " << recording.string() << "\" format \"raw\" }\n";
    }
    void TearDown() override
    {
        if (tonra > 0) {
            kill(tonra, SIGKILL);
            waitpid(tonra, nullptr, 0);
        }
    }

    void start(std::vector<std::string> args, unsigned closed_streams = 0)
    {
        args.insert(args.begin(), TONRA_BINARY);
        ChildIo io;
        io.err = errors;
        io.closed = closed_streams;
        std::vector<std::string> env{"DISPLAY=" + Display, "QT_QPA_PLATFORM=xcb",
                                     "ALSA_CONFIG_PATH=" + (Dir->path() / "asound.conf").string(),
                                     "XDG_RUNTIME_DIR=" + (Dir->path() / "run").string(), "HOME=" + songs.path().string()};
        env.insert(env.end(), more_env.begin(), more_env.end());
        tonra = spawn_child(args, env, io);
        ASSERT_GT(tonra, 0);
        // Generous: a sanitizer build on a loaded machine starts slowly.
        ASSERT_TRUE(eventually([this] { return !window().empty(); }, 60s)) << "no window; it said: " << stderr_text();
    }
    std::string x(const std::string &command) { return shell("DISPLAY=" + Display + " " + command + " 2>/dev/null"); }
    std::string window()
    {
        std::string id = x("xdotool search --onlyvisible --pid " + std::to_string(tonra) + " --name '^Tonra'");
        return id.substr(0, id.find('\n'));
    }
    std::string title()
    {
        const std::string line = x("xprop -id " + window() + " _NET_WM_NAME");
        const auto q = line.find('"');
        return q == std::string::npos ? "" : line.substr(q + 1, line.rfind('"') - q - 1);
    }
    int geometry(const char *field)
    {
        const std::string info = x("xwininfo -id " + window());
        const auto at = info.find(field);
        return at == std::string::npos ? -1 : std::atoi(info.c_str() + at + std::strlen(field));
    }
    void click(int cx, int cy)
    {
        x("xdotool mousemove --window " + window() + " " + std::to_string(cx) + " " + std::to_string(cy) + " click 1");
    }
    std::size_t windows_shown()
    {
        const std::string ids = x("xdotool search --onlyvisible --pid " + std::to_string(tonra) + " ''");
        return static_cast<std::size_t>(std::count(ids.begin(), ids.end(), '\n'));
    }
    std::uintmax_t recorded() { return fs::exists(recording) ? fs::file_size(recording) : 0; }
    bool growing()
    {
        const auto before = recorded();
        std::this_thread::sleep_for(400ms);
        return recorded() > before;
    }
    bool stalled()
    {
        // What the device already held plays out first.
        return eventually([this] {
            const auto before = recorded();
            std::this_thread::sleep_for(300ms);
            return recorded() == before;
        });
    }
    std::string stderr_text()
    {
        std::ifstream in(errors);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    // Long enough to play on while a test acts.
    fs::path twenty_seconds()
    {
        const fs::path wav = songs / "long.wav", mp3 = songs / "long.mp3";
        shell("sox -q -n -r 22050 -c 1 -b 16 '" + wav.string() + "' synth 20 sine 900 gain -6");
        shell("lame --quiet -m m -b 64 '" + wav.string() + "' '" + mp3.string() + "'");
        return mp3;
    }

    // A one-second tone with a tag naming it.
    fs::path tone(const std::string &name, int hz)
    {
        const fs::path wav = songs / (name + ".wav"), mp3 = songs / (name + ".mp3");
        shell("sox -q -n -r 22050 -c 1 -b 16 '" + wav.string() + "' synth 1.0 sine " + std::to_string(hz) + " gain -6");
        shell("lame --quiet -m m -b 64 '" + wav.string() + "' '" + mp3.string() + "'");
        char tag[128] = {};
        std::memcpy(tag, "TAG", 3);
        std::memcpy(tag + 3, name.data(), name.size());
        std::memcpy(tag + 33, "Tones", 5);
        std::ofstream(mp3, std::ios::binary | std::ios::app).write(tag, 128);
        return mp3;
    }
};

// The tone of each tenth of a second of a mono 16-bit recording, by zero crossings.
std::vector<int> tones(const fs::path &raw)
{
    const std::vector<std::int16_t> s = read_samples(raw);
    std::vector<int> hz;
    constexpr std::size_t block = 2205;
    for (std::size_t at = 0; at + block <= s.size(); at += block) {
        int crossings = 0;
        for (std::size_t i = at + 1; i < at + block; ++i)
            crossings += (s[i - 1] < 0) != (s[i] < 0);
        hz.push_back(crossings * 5);  // crossings per 0.1 s, two per period
    }
    return hz;
}

// The tones in the order they were heard, each once: a tone counts once it
// holds for three blocks, so that the quiet edges of a song (encoder delay
// and padding, where low noise crosses zero at any rate) count for nothing.
std::vector<int> order(const std::vector<int> &hz, std::initializer_list<int> known)
{
    std::vector<int> seen;
    int run_tone = 0, run = 0;
    for (int h : hz) {
        int tone = 0;
        for (int k : known)
            if (std::abs(h - k) < k / 10)
                tone = k;
        run = tone != 0 && tone == run_tone ? run + 1 : 1;
        run_tone = tone;
        if (tone != 0 && run == 3 && (seen.empty() || seen.back() != tone))
            seen.push_back(tone);
    }
    return seen;
}

TEST_F(Desktop, SongsOfTheCommandLinePlayLastFirst)
{
    const fs::path a = tone("a", 300), b = tone("b", 600), c = tone("c", 1200);
    start({a.string(), b.string(), c.string()});
    ASSERT_TRUE(eventually([this] { return title() == "Tonra - Tones / c"; })) << title();
    ASSERT_TRUE(eventually([this] { return recorded() > 22050 * 2 * 2.6; }));
    EXPECT_EQ(order(tones(recording), {300, 600, 1200}), (std::vector<int>{1200, 600, 300}));
}

TEST_F(Desktop, WindowOptionsPlaceAndSize)
{
    start({"-x10", "-y10", "-h200", "-w300"});
    EXPECT_EQ(geometry("Absolute upper-left X:"), 10);
    EXPECT_EQ(geometry("Absolute upper-left Y:"), 10);
    EXPECT_EQ(geometry("Width:"), 300);
    EXPECT_EQ(geometry("Height:"), 200);
    EXPECT_EQ(title(), "Tonra");
}

TEST_F(Desktop, MaximisedWindow)
{
    start({"-S", "m"});
    // With no window manager to carry it out, the request stands in the
    // window's state, where any window manager that comes along reads it.
    const std::string state = x("xprop -id " + window() + " _NET_WM_STATE");
    EXPECT_NE(state.find("_NET_WM_STATE_MAXIMIZED_HORZ"), std::string::npos) << state;
    EXPECT_NE(state.find("_NET_WM_STATE_MAXIMIZED_VERT"), std::string::npos) << state;
}

TEST_F(Desktop, SignalsStopAndSkip)
{
    const fs::path a = tone("a", 300), b = tone("b", 600);
    const fs::path long_song = twenty_seconds();
    start({a.string(), long_song.string()});
    ASSERT_TRUE(eventually([this] { return growing(); }));
    kill(tonra, SIGUSR1);
    EXPECT_TRUE(stalled()) << "SIGUSR1 stops playback";
    EXPECT_EQ(title(), "Tonra - long.mp3") << "the title stays";
    kill(tonra, SIGUSR2);
    EXPECT_TRUE(eventually([this] { return growing(); })) << "SIGUSR2 plays again";
    (void)b;
}

TEST_F(Desktop, PauseAndFoldByClicking)
{
    const fs::path long_song = twenty_seconds();
    start({long_song.string()});
    ASSERT_TRUE(eventually([this] { return growing(); }));
    click(87 + 8, 263 + 4 + 8);  // pause
    EXPECT_TRUE(stalled()) << "paused";
    click(87 + 8, 263 + 4 + 8);
    EXPECT_TRUE(eventually([this] { return growing(); })) << "resumed";

    click(6 + 6, 4 + 10);  // the fold toggle
    EXPECT_TRUE(eventually([this] { return geometry("Height:") == 54; })) << geometry("Height:");
    click(6 + 6, 4 + 10);
    EXPECT_TRUE(eventually([this] { return geometry("Height:") == 289; })) << geometry("Height:");
}

// The player's stream on the server, as a volume mixer lists it.
struct Listed {
    int count = 0;
    int index = -1;
    int percent = -1;
    bool muted = false;
    std::string name;
};

TEST_F(Desktop, PlaysAsAStreamOfItsOwnOnTheSoundServer)
{
    const std::string server = "PULSE_SERVER=unix:" + Pulse->socket();
    const auto listed = [&] {
        const std::string text = shell(server + " pactl list sink-inputs 2>/dev/null");
        Listed l;
        for (std::size_t at = text.find("Sink Input #"); at != std::string::npos;) {
            const std::size_t next = text.find("Sink Input #", at + 1);
            const std::string block = text.substr(at, next - at);
            if (block.find("application.process.id = \"" + std::to_string(tonra) + "\"") != std::string::npos) {
                ++l.count;
                l.index = std::atoi(block.c_str() + 12);
                l.percent = std::atoi(block.c_str() + block.find("/ ", block.find("Volume:")) + 2);
                l.muted = block.find("Mute: yes") != std::string::npos;
                const std::size_t n = block.find("media.name = \"");
                l.name = n == std::string::npos ? "" : block.substr(n + 14, block.find('"', n + 14) - n - 14);
            }
            at = next;
        }
        return l;
    };
    // What the server's sink played, as parec records its monitor.
    const fs::path heard = Dir->path() / "monitor.raw";
    ChildIo io;
    io.out = heard;
    pid_t recorder = spawn_child({"parec", "-d", "tonra.monitor", "--raw", "--format=s16le", "--rate=44100",
                                  "--channels=2", "--latency-msec=20"},
                                 {server}, io);
    const auto size = [&] { return fs::exists(heard) ? fs::file_size(heard) : 0; };
    const auto loud_lately = [&](std::uintmax_t bytes) {
        std::ifstream in(heard, std::ios::binary);
        in.seekg(-static_cast<std::streamoff>(std::min(bytes, size())), std::ios::end);
        std::vector<std::int16_t> s(bytes / 2);
        in.read(reinterpret_cast<char *>(s.data()), static_cast<std::streamsize>(bytes));
        s.resize(static_cast<std::size_t>(in.gcount()) / 2);
        return std::any_of(s.begin(), s.end(), [](std::int16_t v) { return std::abs(v) > 16; });
    };
    constexpr std::uintmax_t Tenth = 44100 * 4 / 10;
    const auto sounds = [&] { return eventually([&] { return size() > 2 * Tenth && loud_lately(Tenth); }); };
    // Quiet for longer than the stream's buffer lasts: it ran dry.
    const auto ran_dry = [&] { return eventually([&] { return size() > 8 * Tenth && !loud_lately(8 * Tenth); }); };

    more_env = {server};
    start({twenty_seconds().string()});
    ASSERT_TRUE(eventually([&] { const Listed l = listed(); return l.count == 1 && l.name == "long.mp3"; }));
    ASSERT_TRUE(sounds()) << stderr_text();
    const int stream = listed().index;
    const auto mute_works = [&] {
        click(290 + 10, 263 + 1 + 10);
        const bool muted = eventually([&] { return listed().muted; }) && ran_dry();
        click(290 + 10, 263 + 1 + 10);
        return muted && eventually([&] { return !listed().muted; }) && sounds();
    };
    EXPECT_TRUE(mute_works());

    click(87 + 8, 263 + 4 + 8);  // pause, long enough to run dry
    EXPECT_TRUE(ran_dry());
    click(87 + 8, 263 + 4 + 8);
    EXPECT_TRUE(sounds()) << "resumed";
    kill(tonra, SIGSTOP);  // the whole player, until the stream has run dry
    EXPECT_TRUE(ran_dry());
    kill(tonra, SIGCONT);
    EXPECT_TRUE(sounds()) << "went on";

    // Still the one stream, still ours to mute; another program's level
    // holds through it.
    EXPECT_EQ(listed().index, stream);
    shell(server + " pactl set-sink-input-volume " + std::to_string(stream) + " 25%");
    EXPECT_TRUE(mute_works());
    EXPECT_EQ(listed().percent, 25);
    EXPECT_EQ(listed().count, 1);
    (void)end_child(recorder);
}

TEST_F(Desktop, ExitFromTheFileMenuEndsWithStatusZero)
{
    const fs::path long_song = twenty_seconds();
    start({long_song.string()});
    ASSERT_TRUE(eventually([this] { return growing(); }));
    const std::size_t shown = windows_shown();
    click(24 + 18, 4 + 10);  // "File"
    ASSERT_TRUE(eventually([&] { return windows_shown() > shown; })) << "the menu opens";
    x("xdotool key x");  // the key letter of "Exit"
    int status = -1;
    const bool ended = eventually([&] { return waitpid(tonra, &status, WNOHANG) == tonra; });
    ASSERT_TRUE(ended);
    tonra = -1;
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(stalled()) << "the sound ends with the process";
}

// Started with its standard streams closed, the program's error lines go
// nowhere: were a stream's number taken by the display's connection, the
// first line (here the empty song's) would wedge the window for good.
TEST_F(Desktop, ClosedStandardStreamsLeaveTheWindowAnswering)
{
    const fs::path empty = songs / "empty.mp3";
    std::ofstream{empty};
    const fs::path long_song = twenty_seconds();
    // tonra empty.mp3 >&- 2>&-; tonra empty.mp3 >&- 2>&- <&-; tonra long.mp3 >&- 2>&-
    for (const auto &[song, closed] : {std::pair{empty, 6u}, std::pair{empty, 7u}, std::pair{long_song, 6u}}) {
        start({song.string()}, closed);
        for (int fd = 0; fd <= 2; ++fd)
            if (closed >> fd & 1) {
                EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(tonra) + "/fd/" + std::to_string(fd)), "/dev/null") << fd;
            }
        if (song == long_song) {
            ASSERT_TRUE(eventually([this] { return growing(); })) << "the song plays";
        }
        const std::size_t shown = windows_shown();
        click(24 + 18, 4 + 10);  // "File"
        ASSERT_TRUE(eventually([&] { return windows_shown() > shown; })) << "the menu opens: " << song;
        x("xdotool key x");  // "Exit"
        int status = -1;
        ASSERT_TRUE(eventually([&] { return waitpid(tonra, &status, WNOHANG) == tonra; })) << song;
        tonra = -1;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << song;
    }
}

// The other ways to "Exit": its own Alt+X, Ctrl+Q as on Linux, and the
// File menu's key letter, then Exit's.
class ExitKeys : public Desktop, public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(ExitKeys, EndThePlayingProgramWithStatusZero)
{
    const fs::path long_song = twenty_seconds();
    start({long_song.string()});
    ASSERT_TRUE(eventually([this] { return growing(); }));
    x("xdotool windowfocus --sync " + window());
    for (const std::string &keys : GetParam()) {
        const std::size_t shown = windows_shown();
        x("xdotool key " + keys);
        // After a key that opens the menu, the next goes to the menu.
        eventually([&] { return windows_shown() != shown; });
    }
    int status = -1;
    ASSERT_TRUE(eventually([&] { return waitpid(tonra, &status, WNOHANG) == tonra; }));
    tonra = -1;
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(stalled()) << "the sound ends with the process";
}

INSTANTIATE_TEST_SUITE_P(Keys, ExitKeys,
                         ::testing::Values(std::vector<std::string>{"ctrl+q"}, std::vector<std::string>{"alt+x"},
                                           std::vector<std::string>{"alt+f", "x"}),
                         [](const auto &info) {
                             std::string name;
                             for (const std::string &keys : info.param)
                                 for (char c : keys)
                                     name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name;
                         });

TEST_F(Desktop, WindowCarriesTheLargeAndTheSmallIcon)
{
    start({});
    const std::string icons = x("xprop -id " + window() + " _NET_WM_ICON");
    EXPECT_NE(icons.find("Icon (43 x 43)"), std::string::npos) << icons.substr(0, 200);
    EXPECT_NE(icons.find("Icon (15 x 15)"), std::string::npos) << icons.substr(0, 200);
}

TEST_F(Desktop, MissingAndDeletedSongs)
{
    const fs::path a = tone("a", 300), b = tone("b", 600);
    start({(songs / "missing.mp3").string(), a.string(), b.string()});
    ASSERT_TRUE(eventually([this] { return title() == "Tonra - Tones / b"; }));
    EXPECT_EQ(stderr_text().find("missing.mp3"), std::string::npos) << "a missing path is skipped quietly";
    fs::remove(a);
    kill(tonra, SIGUSR2);  // next: the deleted song
    ASSERT_TRUE(eventually([this] { return stderr_text().find("player_play_song: madthread_start") != std::string::npos; }));
    const std::string err = stderr_text();
    EXPECT_NE(err.find("Failed to open mp3 file " + a.string() + "\n"), std::string::npos) << err;
    EXPECT_NE(err.find("player_play_song: madthread_start: No such file or directory\n"), std::string::npos) << err;
    EXPECT_EQ(waitpid(tonra, nullptr, WNOHANG), 0) << "still running";
    // Moving on by itself, the player steps over the song that would not
    // start, round the list to b again.
    EXPECT_TRUE(eventually([this] { return title() == "Tonra - Tones / b"; }));
}

} // namespace
