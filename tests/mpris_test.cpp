// SPDX-License-Identifier: GPL-3.0-or-later
// The desktop's remote control: a private session bus and a PulseAudio null
// sink (real-time pacing) whose ALSA stream is recorded to a file. The
// player runs in this process and is driven over the bus by a connection of
// its own; the real binary is driven by playerctl under dbus-run-session.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QCoreApplication>
#include <QEventLoop>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QProgressBar>
#include <QTest>
#include <QTimer>
#include <QToolTip>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

#include "abmain.h"
#include "output.h"
#include "platform/widgets/ab.h"
#include "player.h"
#include "playlist.h"
#include "support/app.h"
#include "support/child.h"
#include "support/desktop_servers.h"
#include "support/engine_support.h"
#include "support/sound_server.h"
#include "tonra.h"

using namespace engine_test;

namespace {

const QString Service = QStringLiteral("org.mpris.MediaPlayer2.tonra");
const QString Path = QStringLiteral("/org/mpris/MediaPlayer2");
const QString Player = QStringLiteral("org.mpris.MediaPlayer2.Player");
constexpr std::uintmax_t BytesPerSecond = 44100 * 4;

// Waits in a real event loop, as the program runs: the loop's idle moments
// are when the player announces its changes.
bool wait_for(const std::function<bool()> &condition, int timeout_ms = 15000)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeout_ms)
            return false;
        if (qApp == nullptr) {  // the application is not up yet
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

// A song of the test's signal with an ID3 version 1 tag of these bytes.
fs::path tagged_song(const fs::path &to, std::string_view artist, std::string_view title)
{
    fs::copy_file(mp3_song(44100, 2, "j", 128, 30.0), to, fs::copy_options::overwrite_existing);
    if (!artist.empty() || !title.empty()) {
        std::string tag(128, '\0');
        tag.replace(0, 3, "TAG");
        tag.replace(3, title.size(), title);
        tag.replace(33, artist.size(), artist);
        std::ofstream(to, std::ios::binary | std::ios::app) << tag;
    }
    return to;
}

int left_peak(const std::vector<std::int16_t> &samples, std::size_t from, std::size_t to)
{
    int peak = 0;
    for (std::size_t i = from & ~std::size_t{1}; i < std::min(to, samples.size()); i += 2)
        peak = std::max(peak, std::abs(int{samples[i]}));
    return peak;
}

} // namespace

class Changes : public QObject {
    Q_OBJECT
public:
    std::vector<QVariantMap> seen;
    bool saw(const QString &property, const QVariant &value) const
    {
        return std::any_of(seen.begin(), seen.end(), [&](const QVariantMap &m) { return m.value(property) == value; });
    }
    std::vector<qlonglong> seeked_to;
public Q_SLOTS:
    void changed(const QString &, const QVariantMap &properties, const QStringList &) { seen.push_back(properties); }
    void seeked(qlonglong position) { seeked_to.push_back(position); }
};

class Remote : public ::testing::Test {
protected:
    static inline std::optional<TempDir> Dir;
    static inline fs::path Recording, Songs[3];
    static inline std::string Address;
    static inline pid_t Bus = -1;
    static inline std::optional<SoundServer> Pulse;
    static inline Changes *Seen;

    static void SetUpTestSuite()
    {
        if (shell("for t in dbus-daemon playerctl gdbus; do command -v $t; done | wc -l").find('3') != 0 ||
            !SoundServer::available())
            return;
        Dir.emplace();
        const fs::path run = make_runtime_dir(Dir->path());
        setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
        // Both servers are this process's children, ended and reaped here: a
        // pid of a process no longer ours may, where pids wrap at 32768,
        // name another test's server by the time of the kill.
        Pulse.emplace();
        Bus = start_session_bus(Address);
        Recording = *Dir / "recording.raw";
        std::ofstream(*Dir / "asound.conf") << "pcm.!default { type file slave.pcm { type pulse server \"unix:"
                                            << Pulse->socket() << "\" } file \"" << Recording.string()
                                            << "\" format \"raw\" }\n";
        setenv("ALSA_CONFIG_PATH", (*Dir / "asound.conf").c_str(), 1);
        setenv("DBUS_SESSION_BUS_ADDRESS", Address.c_str(), 1);
        ASSERT_TRUE(Pulse->running());
        ASSERT_FALSE(Address.empty());
        // Played bottom up: Latin-1 tag, UTF-8 tag, no tag.
        Songs[0] = tagged_song(*Dir / "plain song.mp3", "", "");
        Songs[1] = tagged_song(*Dir / "utf8.mp3", "Sigur R\xc3\xb3s", "Hopp\xc3\xadpolla");
        Songs[2] = tagged_song(*Dir / "latin1.mp3", "Mot\xf6rhead", "Caf\xe9");
        open_main_window({"tonra", Songs[0].string(), Songs[1].string(), Songs[2].string()});
        // The player joins the bus off the user-interface thread.
        ASSERT_TRUE(wait_for([] { return client().interface()->isServiceRegistered(Service).value(); }));
        Seen = new Changes;
        client().connect(Service, Path, "org.freedesktop.DBus.Properties", "PropertiesChanged", Seen,
                         SLOT(changed(QString, QVariantMap, QStringList)));
    }
    static void TearDownTestSuite()
    {
        if (Seen != nullptr) {
            client().disconnect(Service, Path, "org.freedesktop.DBus.Properties", "PropertiesChanged", Seen,
                                SLOT(changed(QString, QVariantMap, QStringList)));
            delete Seen;
            call(Player, "Stop");
            close_main_window();
        }
        (void)end_child(Bus);
        Pulse.reset();
    }
    void SetUp() override
    {
        if (!Dir)
            GTEST_SKIP() << "needs dbus-daemon, playerctl and gdbus; " << SoundServer::missing();
    }

    static QDBusConnection client() { return QDBusConnection::connectToBus(QString::fromStdString(Address), "client"); }
    static QDBusMessage call(const QString &interface, const QString &method, const QVariantList &args = {})
    {
        QDBusMessage message = QDBusMessage::createMethodCall(Service, Path, interface, method);
        message.setArguments(args);
        QDBusPendingCall pending = client().asyncCall(message);
        EXPECT_TRUE(wait_for([&] { return pending.isFinished(); })) << method.toStdString();
        return pending.reply();
    }
    static QVariant get(const QString &property, const QString &interface = Player)
    {
        const QDBusMessage reply = call("org.freedesktop.DBus.Properties", "Get", {interface, property});
        return reply.arguments().isEmpty() ? QVariant() : reply.arguments()[0].value<QDBusVariant>().variant();
    }
    static void set(const QString &property, const QVariant &value)
    {
        call("org.freedesktop.DBus.Properties", "Set", {Player, property, QVariant::fromValue(QDBusVariant(value))});
    }
    static QVariantMap metadata() { return qdbus_cast<QVariantMap>(get("Metadata")); }
    static bool status_is(const char *status) { return get("PlaybackStatus").toString() == status; }
    static std::uintmax_t recorded() { return fs::exists(Recording) ? fs::file_size(Recording) : 0; }
    static auto *slider() { return qobject_cast<QAbstractSlider *>(AbWidgets[ABN_volume]); }
};

TEST_F(Remote, NamesItselfOnTheBus)
{
    ASSERT_TRUE(client().interface()->isServiceRegistered(Service));
    const QString root = QStringLiteral("org.mpris.MediaPlayer2");
    EXPECT_EQ(get("Identity", root).toString(), "Tonra");
    // The id of the desktop entry that is installed.
    QString entry;
    for (const auto &file : fs::directory_iterator(fs::path(TONRA_TEST_DIR) / ".." / "data"))
        if (file.path().extension() == ".desktop")
            entry = QString::fromStdString(file.path().stem().string());
    EXPECT_EQ(get("DesktopEntry", root).toString(), entry);
    EXPECT_TRUE(get("CanQuit", root).toBool());
    EXPECT_TRUE(get("CanRaise", root).toBool());
    EXPECT_FALSE(get("HasTrackList", root).toBool());
}

TEST_F(Remote, FollowsAndPressesTheTransportButtons)
{
    ASSERT_TRUE(wait_for([] { return status_is("Playing") && recorded() > 0; }));
    QVariantMap song = metadata();
    EXPECT_EQ(song.value("xesam:title").toString(), QString::fromUtf8("Caf\xc3\xa9"));
    EXPECT_EQ(song.value("xesam:artist").toStringList(), QStringList{QString::fromUtf8("Mot\xc3\xb6rhead")});
    EXPECT_EQ(song.value("xesam:url").toString(), QString::fromStdString("file://" + Dir->path().string() + "/latin1.mp3"));
    set("LoopStatus", "None");
    ASSERT_TRUE(wait_for([] { return RepeatValue == 0; }));
    // The sound server names the stream after the program.
    const std::string streams = shell("PULSE_SERVER=unix:" + Pulse->socket() + " pactl list sink-inputs");
    for (const char *property : {"application.name = \"Tonra\"", "application.icon_name = \"tonra\"", "media.role = \"music\""})
        EXPECT_NE(streams.find(property), std::string::npos) << property << " in " << streams;

    ASSERT_TRUE(wait_for([] { return recorded() > BytesPerSecond; }));
    call(Player, "Pause");
    ASSERT_TRUE(wait_for([] { return status_is("Paused"); }));
    std::uintmax_t size = recorded();
    QElapsedTimer still;
    still.start();
    // Whatever the device had taken drains first; then nothing more comes.
    ASSERT_TRUE(wait_for([&] {
        if (recorded() != size) {
            size = recorded();
            still.restart();
        }
        return still.elapsed() > 600;
    }));
    wait_for([] { return false; }, 1000);
    EXPECT_EQ(recorded(), size);
    call(Player, "PlayPause");
    EXPECT_TRUE(wait_for([&] { return status_is("Playing") && recorded() > size; }));

    call(Player, "Next");
    ASSERT_TRUE(wait_for([] { return metadata().value("xesam:title").toString() == QString::fromUtf8("Hopp\xc3\xadpolla"); }));
    EXPECT_EQ(metadata().value("xesam:artist").toStringList(), QStringList{QString::fromUtf8("Sigur R\xc3\xb3s")});
    call(Player, "Next");
    ASSERT_TRUE(wait_for([] { return metadata().value("xesam:title").toString() == "plain song.mp3"; }));
    EXPECT_EQ(metadata().value("xesam:url").toString(), QString::fromStdString("file://" + Dir->path().string() + "/plain%20song.mp3"));
    const QVariant last = metadata().value("mpris:trackid");
    const std::string title = ab_get_title(AbWidgets[ABN_base]);

    // The last song under repeat None: Next does nothing, and Stop, pressed
    // after it, shows that it was handled.
    call(Player, "Next");
    call(Player, "Stop");
    ASSERT_TRUE(wait_for([] { return status_is("Stopped"); }));
    EXPECT_EQ(metadata().value("mpris:trackid"), last);
    EXPECT_EQ(ab_get_title(AbWidgets[ABN_base]), title);

    // Every change went out; the last one's signal may still be on its way.
    EXPECT_TRUE(wait_for([] { return Seen->saw("PlaybackStatus", "Stopped") && Seen->saw("CanGoNext", false); }));
    for (const char *status : {"Paused", "Playing"})
        EXPECT_TRUE(Seen->saw("PlaybackStatus", status)) << status;
    EXPECT_TRUE(Seen->saw("LoopStatus", "None"));
    EXPECT_TRUE(Seen->saw("CanPause", false));
    for (const QString &title : {QString::fromUtf8("Hopp\xc3\xadpolla"), QStringLiteral("plain song.mp3")})
        EXPECT_TRUE(std::any_of(Seen->seen.begin(), Seen->seen.end(), [&](const QVariantMap &m) {
            return qdbus_cast<QVariantMap>(m.value("Metadata")).value("xesam:title") == title;
        })) << title.toStdString();
}

TEST_F(Remote, VolumeTakesTheOutsideChangePath)
{
    // Idle: the slider moves and the next song starts at its level.
    call(Player, "Stop");
    ASSERT_TRUE(wait_for([] { return status_is("Stopped"); }));
    set("Volume", 0.25);
    EXPECT_EQ(slider()->value(), 25);
    EXPECT_EQ(player_audio()->levels.volume[0], 25);
    set("Volume", 1.7);
    EXPECT_EQ(slider()->value(), 100);

    call(Player, "Play");
    ASSERT_TRUE(wait_for([] { return player_mixer_fd() > 0 && recorded() > BytesPerSecond; }));
    const std::uintmax_t before = recorded();
    set("Volume", 0.5);
    mixer_group fifty{{}, Mixer_Min, Mixer_Max, {50, 50}, 0};
    ASSERT_TRUE(wait_for([&] { return slider()->value() == volume_mixer_to_slider(fifty); }));
    EXPECT_FALSE(AbWidgets[ABN_mute] && qobject_cast<QAbstractButton *>(AbWidgets[ABN_mute])->isChecked());
    const std::uintmax_t changed = recorded();
    ASSERT_TRUE(wait_for([&] { return recorded() > changed + BytesPerSecond; }));
    const auto samples = read_samples(Recording);
    const double ratio = double(left_peak(samples, changed / 2 + BytesPerSecond / 4, samples.size())) /
                         left_peak(samples, 0, before / 2);
    EXPECT_NEAR(ratio, mixer_gain_of(50) / double(Mixer_UnityGain), 0.03);

    slider()->setValue(30);
    EXPECT_DOUBLE_EQ(get("Volume").toDouble(), 0.30);
}

TEST_F(Remote, LoopStatusPressesTheRepeatToggles)
{
    set("LoopStatus", "Track");
    EXPECT_TRUE(qobject_cast<QAbstractButton *>(AbWidgets[ABN_repeat_song])->isChecked());
    EXPECT_EQ(RepeatValue, 2);
    qobject_cast<QAbstractButton *>(AbWidgets[ABN_repeat_none])->click();
    EXPECT_EQ(get("LoopStatus").toString(), "None");
}

TEST_F(Remote, AFloodOfNextLeavesItResponsive)
{
    set("LoopStatus", "Playlist");
    call(Player, "Play");
    ASSERT_TRUE(wait_for([] { return status_is("Playing"); }));
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < 10000; ++i)
        client().send(QDBusMessage::createMethodCall(Service, Path, Player, "Next"));
    // The answers keep coming while the presses run, and a Stop behind
    // them takes effect.
    const auto sent = timer.elapsed();
    EXPECT_TRUE(status_is("Playing"));
    const auto answered = timer.elapsed();
    call(Player, "Stop");
    EXPECT_TRUE(wait_for([] { return status_is("Stopped"); }, 60000));
    std::printf("10000 Next sent in %lld ms, a reading answered at %lld ms, stopped at %lld ms\n",
                static_cast<long long>(sent), static_cast<long long>(answered), static_cast<long long>(timer.elapsed()));
    EXPECT_EQ(std::count_if(tree_items(AbWidgets[ABN_playlist]).begin(), tree_items(AbWidgets[ABN_playlist]).end(),
                            [](const TreeItem &item) { return item.current == 1; }),
              1);
}

TEST_F(Remote, MediaKeysAndOpenUriActAsTheWindowDoes)
{
    // Keys reach whichever widget of the window has the focus.
    const auto key = [](QWidget *widget, Qt::Key code) {
        QKeyEvent press(QEvent::KeyPress, code, Qt::NoModifier);
        QCoreApplication::sendEvent(widget, &press);
    };
    key(AbWidgets[ABN_volume], Qt::Key_MediaPlay);
    EXPECT_EQ(get("PlaybackStatus").toString(), "Playing");
    key(AbWidgets[ABN_playlist], Qt::Key_MediaTogglePlayPause);
    EXPECT_EQ(get("PlaybackStatus").toString(), "Paused");
    key(AbWidgets[ABN_volume], Qt::Key_MediaStop);
    EXPECT_EQ(get("PlaybackStatus").toString(), "Stopped");

    const int songs = tree_count(AbWidgets[ABN_playlist]);
    EXPECT_EQ(call(Player, "OpenUri", {"http://example.org/a.mp3"}).type(), QDBusMessage::ErrorMessage);
    EXPECT_EQ(tree_count(AbWidgets[ABN_playlist]), songs);
    call(Player, "OpenUri", {QString::fromStdString("file://" + Songs[1].string())});
    ASSERT_TRUE(wait_for([] { return status_is("Playing"); }));
    EXPECT_EQ(tree_count(AbWidgets[ABN_playlist]), songs + 1);
    EXPECT_EQ(tree_item(AbWidgets[ABN_playlist], 0)->current, 1);
    EXPECT_EQ(metadata().value("xesam:title").toString(), QString::fromUtf8("Hopp\xc3\xadpolla"));

    // The URL the player publishes for a Latin-1 name opens that file; a
    // URI past 64 KiB is refused whatever it names.
    const fs::path latin1 = *Dir / "caf\xe9.mp3";
    fs::copy_file(Songs[0], latin1, fs::copy_options::overwrite_existing);
    ASSERT_NE(call(Player, "OpenUri", {QString::fromLatin1("file://" + QByteArray::fromStdString(latin1.string()).toPercentEncoding("/"))}).type(),
              QDBusMessage::ErrorMessage);
    ASSERT_TRUE(wait_for([&] { return metadata().value("xesam:url").toString().endsWith("caf%E9.mp3"); }));
    std::string long_way = Dir->path().string();
    while (long_way.size() <= 64 * 1024)
        long_way += "/.";
    EXPECT_EQ(call(Player, "OpenUri", {QString::fromStdString("file://" + long_way + "/caf%E9.mp3")}).type(),
              QDBusMessage::ErrorMessage);
    call(Player, "Stop");
}

// The real binary on a bus of its own: playerctl finds and drives it, a
// second instance takes a name of its own, Quit ends it with status 0.
// Without a bus, or with one that refuses, it plays and says nothing but,
// where real-time scheduling is refused, the line that it decodes without.
TEST_F(Remote, PlayerctlDrivesTheProgram)
{
    const std::string script =
        "export QT_QPA_PLATFORM=offscreen; t=" TONRA_BINARY "; s='" + Songs[2].string() + "'; r='" + Recording.string() +
        "'; await() { for i in $(seq 300); do eval \"$1\" && return 0; sleep 0.1; done; return 1; }; "
        "$t \"$s\" 2>/dev/null & p=$!; "
        "await 'playerctl -l 2>/dev/null | grep -qx tonra && [ \"$(playerctl -p tonra status)\" = Playing ]'; "
        "playerctl -l; playerctl -p tonra play-pause; await '[ \"$(playerctl -p tonra status)\" = Paused ]'; "
        "echo status=$(playerctl -p tonra status); echo title=$(playerctl -p tonra metadata title); "
        "$t 2>/dev/null & q=$!; await 'playerctl -l | grep -qx tonra.instance$q' && echo second=ok; kill $q; "
        "playerctl -p tonra play-pause; gdbus call --session -d org.mpris.MediaPlayer2.tonra "
        "-o /org/mpris/MediaPlayer2 -m org.mpris.MediaPlayer2.Quit >/dev/null; wait $p; echo exit=$?; "
        "for bus in '-u DBUS_SESSION_BUS_ADDRESS' 'DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent'; do "
        "rm -f \"$r\"; env $bus $t \"$s\" 2>\"$r.err\" & n=$!; "
        "await '[ $(stat -c %s \"$r\" 2>/dev/null || echo 0) -gt 176400 ]' && ! grep -v '^madthread_start: FIFO priority [0-9]* refused' \"$r.err\" | grep -q . && echo alone=ok; "
        "kill $n; done";
    setenv("SCRIPT", script.c_str(), 1);
    const std::string out = shell("dbus-run-session -- sh -c \"$SCRIPT\" 2>/dev/null");
    for (const char *line : {"tonra\n", "status=Paused\n", "title=Caf\xc3\xa9\n", "second=ok\n", "exit=0\n", "alone=ok\nalone=ok\n"})
        EXPECT_NE(out.find(line), std::string::npos) << line << " in " << out;
}

// A jump from the bus, the gauge and the keys lands where asked, reads so in
// Position and is announced; a stale track id is ignored.
TEST_F(Remote, SeeksFromTheBusTheGaugeAndTheKeys)
{
    client().connect(Service, Path, Player, "Seeked", Seen, SLOT(seeked(qlonglong)));
    call(Player, "Play");
    ASSERT_TRUE(wait_for([] { return status_is("Playing") && get("CanSeek").toBool(); }));
    const qlonglong length = metadata().value("mpris:length").toLongLong();
    EXPECT_NEAR(static_cast<double>(length), 30e6, 0.3e6);
    const auto position = [] { return get("Position").toLongLong(); };
    const auto near = [&](double seconds) {
        return wait_for([&] { return std::abs(static_cast<double>(position()) - seconds * 1e6) < 1.5e6; });
    };

    const QVariant track = metadata().value("mpris:trackid");
    call(Player, "SetPosition", {track, qlonglong{15'000'000}});
    EXPECT_TRUE(near(15));
    EXPECT_TRUE(wait_for([] { return !Seen->seeked_to.empty(); }));
    call(Player, "SetPosition", {QVariant::fromValue(QDBusObjectPath("/org/tonra/Tonra/track/0")), qlonglong{1'000'000}});
    call(Player, "Seek", {qlonglong{-10'000'000}});
    EXPECT_TRUE(near(5)) << "the stale id moved it to 1 s";
    EXPECT_TRUE(wait_for([] { return Seen->seeked_to.size() >= 2; }));

    auto *gauge = qobject_cast<QProgressBar *>(AbWidgets[ABN_song_progress]);
    ASSERT_NE(gauge, nullptr);
    QTest::mouseClick(gauge, Qt::LeftButton, {}, QPoint(gauge->width() * 3 / 4, gauge->height() / 2));
    EXPECT_TRUE(near(22.5));
    QTest::keyClick(AbWidgets[ABN_base], Qt::Key_Left, Qt::ControlModifier);
    EXPECT_TRUE(near(17.5));
    QTest::keyClick(AbWidgets[ABN_base], Qt::Key_Right);
    EXPECT_TRUE(near(22.5));
    // The playlist's own arrows stay the playlist's.
    QTest::keyClick(AbWidgets[ABN_playlist], Qt::Key_Right);
    EXPECT_TRUE(near(22.5));
    QHelpEvent help(QEvent::ToolTip, QPoint(2, 2), gauge->mapToGlobal(QPoint(2, 2)));
    QCoreApplication::sendEvent(gauge, &help);
    EXPECT_TRUE(QToolTip::text().endsWith(" / 0:30")) << QToolTip::text().toStdString();
    // The gauge shows the new place by the bytes, as between jumps.
    EXPECT_TRUE(wait_for([&] { return gauge->value() >= 70 && gauge->value() <= 80; })) << gauge->value();
    client().disconnect(Service, Path, Player, "Seeked", Seen, SLOT(seeked(qlonglong)));
    call(Player, "Stop");
}

#include "mpris_test.moc"
