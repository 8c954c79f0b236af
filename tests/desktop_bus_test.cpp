// SPDX-License-Identifier: GPL-3.0-or-later
// The real binary as the desktop starts and reaches it: a private X server
// and a private session bus that knows the player's service file, so the
// bus starts the player for org.freedesktop.Application calls; the window's
// marks as a dock reads them; and a start beside a bus that does not answer.
#include <gtest/gtest.h>

#include <QByteArray>
#include <chrono>
#include <csignal>
#include <fstream>
#include <optional>
#include <regex>
#include <set>
#include <vector>
#include <thread>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/child.h"
#include "support/desktop_servers.h"
#include "support/engine_support.h"
#include "support/sound_server.h"

using namespace engine_test;
using namespace std::chrono_literals;

namespace {

void end(pid_t &pid)
{
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    pid = -1;
}

} // namespace

class DesktopBus : public ::testing::Test {
protected:
    static inline std::optional<TempDir> Dir;
    static inline std::optional<SoundServer> Pulse;
    static inline pid_t Xvfb = -1;
    static inline fs::path Song, Other;

    pid_t bus = -1, tonra = -1;

    static void SetUpTestSuite()
    {
        for (const char *tool : {"Xvfb", "xdotool", "xprop", "dbus-daemon", "gdbus"})
            if (!on_path(tool))
                return;
        if (!SoundServer::available())
            return;
        Dir.emplace();
        std::string display;
        Xvfb = start_xvfb(display);
        if (display.empty()) {
            Dir.reset();
            return;
        }
        const fs::path run = make_runtime_dir(Dir->path());
        setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
        Pulse.emplace();
        std::ofstream(*Dir / "asound.conf") << "pcm.!default { type pulse server \"unix:" << Pulse->socket() << "\" }\n";
        // What the bus hands to the players it starts, and the test to its own.
        setenv("ALSA_CONFIG_PATH", (*Dir / "asound.conf").c_str(), 1);
        setenv("DISPLAY", display.c_str(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        fs::create_directories(*Dir / "services");
        std::ofstream(*Dir / "services" / "org.tonra.Tonra.service")
            << "[D-BUS Service]\nName=org.tonra.Tonra\nExec=" TONRA_BINARY "\n";
        std::ofstream(*Dir / "bus.conf")
            << "<busconfig><type>session</type><listen>unix:dir=" << run.string() << "</listen>"
            << "<servicedir>" << (*Dir / "services").string() << "</servicedir>"
            << "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
            << "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
        Song = *Dir / "a song.mp3";
        Other = *Dir / "caf\xe9.mp3";
        fs::copy_file(mp3_song(44100, 2, "j", 128, 30.0), Song, fs::copy_options::overwrite_existing);
        fs::copy_file(mp3_song(44100, 2, "j", 128, 30.0), Other, fs::copy_options::overwrite_existing);
    }
    static void TearDownTestSuite()
    {
        Pulse.reset();
        (void)end_child(Xvfb);
        Dir.reset();
    }
    void SetUp() override
    {
        if (!Dir)
            GTEST_SKIP() << "needs Xvfb, xdotool, xprop, dbus-daemon and gdbus; " << SoundServer::missing();
        std::string address;
        bus = start_session_bus(address, *Dir / "bus.conf");
        ASSERT_FALSE(address.empty());
        setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    }
    void TearDown() override
    {
        // A player the bus started is the bus's child: it goes by its pid.
        if (const pid_t started = owner("org.tonra.Tonra"); started > 0 && started != tonra)
            kill(started, SIGKILL);
        end(tonra);
        end(bus);
    }

    static std::string gdbus(const std::string &arguments) { return shell("gdbus call --session " + arguments + " 2>&1"); }
    static pid_t owner(const std::string &name)
    {
        const std::string out = gdbus("-d org.freedesktop.DBus -o /org/freedesktop/DBus -m "
                                      "org.freedesktop.DBus.GetConnectionUnixProcessID " + name);
        return out.starts_with("(uint32 ") ? std::atoi(out.c_str() + 8) : -1;
    }
    static std::string player(const std::string &property)
    {
        return gdbus("-d org.mpris.MediaPlayer2.tonra -o /org/mpris/MediaPlayer2 -m org.freedesktop.DBus.Properties.Get "
                     "org.mpris.MediaPlayer2.Player " + property);
    }
    static bool plays(const std::string &url_end)
    {
        return player("PlaybackStatus").find("Playing") != std::string::npos &&
               player("Metadata").find(url_end + "'") != std::string::npos;
    }
    static std::string open_call(const fs::path &song)
    {
        return gdbus("-d org.tonra.Tonra -o /org/tonra/Tonra -m org.freedesktop.Application.Open \"['file://" +
                     std::string(QByteArray::fromStdString(song.string()).toPercentEncoding("/").constData()) + "']\" {}");
    }
    std::string window() const
    {
        const std::string id = shell("xdotool search --onlyvisible --pid " + std::to_string(tonra) + " --name '^Tonra' 2>/dev/null");
        return id.substr(0, id.find('\n'));
    }
};

// "Open With" reaches the player that runs; none runs, and the bus starts one.
TEST_F(DesktopBus, OpenReachesTheRunningPlayerOrStartsOne)
{
    tonra = spawn_child({TONRA_BINARY, Song.string()});
    ASSERT_TRUE(eventually([this] { return owner("org.tonra.Tonra") == tonra; }));
    ASSERT_TRUE(eventually([] { return plays("a%20song.mp3"); }));
    EXPECT_EQ(open_call(Other), "()\n");
    EXPECT_TRUE(eventually([] { return plays("caf%E9.mp3"); })) << player("Metadata");
    EXPECT_EQ(owner("org.mpris.MediaPlayer2.tonra"), tonra) << "no second player";
    // A second player from a shell has a window of its own, not the name.
    pid_t second = spawn_child({TONRA_BINARY});
    EXPECT_TRUE(eventually([second] { return owner("org.mpris.MediaPlayer2.tonra.instance" + std::to_string(second)) == second; }));
    EXPECT_EQ(owner("org.tonra.Tonra"), tonra);
    end(second);
    end(tonra);

    ASSERT_TRUE(eventually([] { return owner("org.tonra.Tonra") < 0; }));
    EXPECT_EQ(open_call(Song), "()\n");
    EXPECT_GT(owner("org.tonra.Tonra"), 0) << "the bus started a player";
    EXPECT_TRUE(eventually([] { return plays("a%20song.mp3"); })) << player("Metadata");
}

// Docks and task switchers group the window with its entry.
TEST_F(DesktopBus, WindowNamesItsDesktopEntry)
{
    tonra = spawn_child({TONRA_BINARY});
    std::string id;
    ASSERT_TRUE(eventually([&] { return !(id = window()).empty(); }));
    const std::string marks = shell("xprop -id " + id + " WM_CLASS _GTK_APPLICATION_ID");
    std::smatch klass;
    ASSERT_TRUE(std::regex_search(marks, klass, std::regex("WM_CLASS\\(STRING\\) = \"[^\"]*\", \"([^\"]*)\""))) << marks;
    EXPECT_NE(marks.find("_GTK_APPLICATION_ID(UTF8_STRING) = \"org.tonra.Tonra\""), std::string::npos) << marks;
    std::ifstream entry(fs::path(TONRA_TEST_DIR) / ".." / "data" / "org.tonra.Tonra.desktop");
    const std::string text{std::istreambuf_iterator<char>(entry), std::istreambuf_iterator<char>()};
    EXPECT_NE(text.find("\nStartupWMClass=" + klass[1].str() + "\n"), std::string::npos);
    EXPECT_NE(text.find("\nDBusActivatable=true\n"), std::string::npos);
    if (!shell("command -v desktop-file-validate").empty()) {
        EXPECT_EQ(shell("desktop-file-validate " TONRA_TEST_DIR "/../data/org.tonra.Tonra.desktop 2>&1"), "");
    }
}

// A bus that does not answer holds neither the window nor the song; the
// remote control comes once the bus answers again.
TEST_F(DesktopBus, AHungBusHoldsNothing)
{
    kill(bus, SIGSTOP);
    tonra = spawn_child({TONRA_BINARY, Song.string()});
    // As long as any start may take on a loaded machine; a start that waits
    // for the bus waits for minutes.
    const bool shown = eventually([this] { return !window().empty(); }, 60s);
    kill(bus, SIGCONT);
    EXPECT_TRUE(shown) << "the window came while the bus was stopped";
    EXPECT_TRUE(eventually([this] { return owner("org.mpris.MediaPlayer2.tonra") == tonra; }));
    EXPECT_TRUE(eventually([] { return plays("a%20song.mp3"); }));
}

// A screen reader's view: the accessibility bus the desktop starts, and the
// tree of the window as the toolkit's bridge publishes it there.
TEST_F(DesktopBus, ScreenReadersFindEveryControlNamed)
{
    const std::string launcher = "/usr/libexec/at-spi-bus-launcher";
    if (!fs::exists(launcher))
        GTEST_SKIP() << "needs at-spi2-core";
    pid_t a11y_bus = spawn_child({launcher, "--launch-immediately"});
    ASSERT_TRUE(eventually([] { return owner("org.a11y.Bus") > 0; }));
    std::smatch found;
    const std::string reply = gdbus("-d org.a11y.Bus -o /org/a11y/bus -m org.a11y.Bus.GetAddress");
    ASSERT_TRUE(std::regex_search(reply, found, std::regex("'([^']+)'"))) << reply;
    const std::string address = found[1];
    setenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1", 1);
    tonra = spawn_child({TONRA_BINARY});
    unsetenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON");
    ASSERT_TRUE(eventually([this] { return !window().empty(); }));
    const auto ask = [&](const std::string &name, const std::string &path, const std::string &call) {
        return shell("gdbus call --address '" + address + "' -d " + name + " -o " + path + " -m " + call + " 2>&1");
    };
    const auto name_of = [&](const std::string &app, const std::string &path) {
        const std::string out = ask(app, path, "org.freedesktop.DBus.Properties.Get org.a11y.atspi.Accessible Name");
        std::smatch text;
        return std::regex_search(out, text, std::regex("<'(.*)'>")) ? text[1].str() : std::string();
    };
    std::string app;
    ASSERT_TRUE(eventually([&] {
        const std::string names = ask("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus.ListNames");
        const std::regex unique("':1\\.[0-9]+'");
        for (std::sregex_iterator it(names.begin(), names.end(), unique), none; it != none; ++it) {
            const std::string candidate = it->str().substr(1, it->str().size() - 2);
            if (name_of(candidate, "/org/a11y/atspi/accessible/root") == "tonra")
                app = candidate;
        }
        return !app.empty();
    }));
    const std::set<std::string> controls{"push button", "check box", "radio button", "slider", "progress bar", "tree"};
    std::set<std::string> named;
    std::vector<std::string> paths{"/org/a11y/atspi/accessible/root"};
    const std::regex child("'(/org/a11y/atspi/accessible/[0-9]+)'");
    for (std::size_t at = 0; at < paths.size() && at < 200; ++at) {
        std::smatch role;
        const std::string role_reply = ask(app, paths[at], "org.a11y.atspi.Accessible.GetRoleName");
        const std::string name = name_of(app, paths[at]);
        if (std::regex_search(role_reply, role, std::regex("'([^']*)'")) && controls.contains(role[1].str())) {
            EXPECT_FALSE(name.empty()) << role[1].str() << " at " << paths[at];
            named.insert(name);
        }
        const std::string children = ask(app, paths[at], "org.a11y.atspi.Accessible.GetChildren");
        for (std::sregex_iterator it(children.begin(), children.end(), child), none; it != none; ++it)
            paths.push_back((*it)[1]);
    }
    for (const char *name : {"Previous", "Next", "Stop", "Pause", "Play", "Mute", "Volume", "Song progress", "Playlist",
                             "Show or hide the playlist", "Repeat none", "Repeat list", "Repeat song"})
        EXPECT_TRUE(named.contains(name)) << name;
    end(tonra);
    kill(a11y_bus, SIGTERM);
    waitpid(a11y_bus, nullptr, 0);
}
