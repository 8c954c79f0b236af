// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/desktop/mpris.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QGuiApplication>
#include <QTimer>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>

#include "platform/desktop/app_interface.h"
#include "platform/desktop/bus_probe.h"
#include "platform/desktop/file_uri.h"
#include "platform/desktop/remote.h"
#include "platform/widgets/ab.h"
#include "platform/widgets/text.h"

namespace {

constexpr char ObjectPath[] = "/org/mpris/MediaPlayer2";
constexpr char PlayerInterface[] = "org.mpris.MediaPlayer2.Player";
// A client that sends presses faster than songs can start loses the excess,
// as a flood of signals does, rather than the user a Stop pressed behind
// them: each start waits for the decode thread of the song before it.
constexpr std::size_t MaxPending = 8;

QString status_text(RemoteStatus status)
{
    switch (status) {
    case RemoteStatus::Playing: return QStringLiteral("Playing");
    case RemoteStatus::Paused: return QStringLiteral("Paused");
    case RemoteStatus::Stopped: break;
    }
    return QStringLiteral("Stopped");
}

const QString LoopNames[] = {QStringLiteral("None"), QStringLiteral("Playlist"), QStringLiteral("Track")};

QString track_id(unsigned start)
{
    return QStringLiteral("/org/tonra/Tonra/track/%1").arg(start);
}

// The song's tag decoded as the playlist shows it (D-Bus takes only valid
// UTF-8); a song without a title is known by its file name.
QVariantMap metadata_of(const std::string &path, unsigned start)
{
    QVariantMap data;
    if (start == 0)
        return data;
    data.insert(QStringLiteral("mpris:trackid"), QVariant::fromValue(QDBusObjectPath(track_id(start))));
    if (const std::int64_t length = remote_length_us(); length >= 0)
        data.insert(QStringLiteral("mpris:length"), qlonglong{length});
    const RemoteControl &control = remote_control();
    RemoteTags tags;
    QString title, artist;
    if (control.tags(path, tags)) {
        title = display_text(tags.title);
        artist = display_text(tags.artist);
    }
    if (title.isEmpty())
        title = display_text(control.file_name(path));
    data.insert(QStringLiteral("xesam:title"), title);
    if (!artist.isEmpty())
        data.insert(QStringLiteral("xesam:artist"), QStringList{artist});
    std::error_code error;
    const std::string absolute = path.starts_with('/') ? path : std::filesystem::absolute(path, error).string();
    data.insert(QStringLiteral("xesam:url"),
                QString::fromLatin1("file://" + QByteArray::fromStdString(absolute).toPercentEncoding("/")));
    return data;
}

class MprisObject final : public QObject, protected QDBusContext {
    Q_OBJECT
public:
    explicit MprisObject(QObject *parent) : QObject(parent)
    {
        presses_.setInterval(0);
        connect(&presses_, &QTimer::timeout, this, [this] {
            if (!pending_.empty()) {
                const auto action = std::move(pending_.front());
                pending_.pop_front();
                action();
            }
            if (pending_.empty())
                presses_.stop();
        });
    }

    void queue(std::function<void()> action)
    {
        if (pending_.size() >= MaxPending)
            return;
        pending_.push_back(std::move(action));
        presses_.start();
    }

    void fail(const QString &message)
    {
        if (calledFromDBus())
            sendErrorReply(QDBusError::InvalidArgs, message);
    }

    const QVariantMap &metadata()
    {
        const unsigned song = remote_control().song_starts();
        if (song != metadata_song_) {
            metadata_ = metadata_of(remote_control().song_path(), song);
            metadata_song_ = song;
        }
        return metadata_;
    }

    // What changed since the last look goes out in one signal.
    void publish(QDBusConnection bus)
    {
        const RemoteState now = remote_state();
        if (now == last_)
            return;
        QVariantMap changed;
        if (now.status != last_.status)
            changed.insert(QStringLiteral("PlaybackStatus"), status_text(now.status));
        if (now.can_play != last_.can_play)
            changed.insert(QStringLiteral("CanPlay"), now.can_play);
        if (now.can_pause != last_.can_pause)
            changed.insert(QStringLiteral("CanPause"), now.can_pause);
        if (now.can_next != last_.can_next)
            changed.insert(QStringLiteral("CanGoNext"), now.can_next);
        if (now.can_previous != last_.can_previous)
            changed.insert(QStringLiteral("CanGoPrevious"), now.can_previous);
        if (now.repeat != last_.repeat)
            changed.insert(QStringLiteral("LoopStatus"), LoopNames[now.repeat]);
        if (now.volume != last_.volume)
            changed.insert(QStringLiteral("Volume"), now.volume);
        if (now.song != last_.song)
            changed.insert(QStringLiteral("Metadata"), metadata());
        if (now.can_seek != last_.can_seek)
            changed.insert(QStringLiteral("CanSeek"), now.can_seek);
        const bool seeked = now.seeks != last_.seeks;
        last_ = now;
        if (seeked) {
            QDBusMessage signal = QDBusMessage::createSignal(QString::fromLatin1(ObjectPath),
                                                             QString::fromLatin1(PlayerInterface),
                                                             QStringLiteral("Seeked"));
            signal << qlonglong{remote_position_us()};
            bus.send(signal);
            if (changed.isEmpty())
                return;
        }
        QDBusMessage signal = QDBusMessage::createSignal(QString::fromLatin1(ObjectPath),
                                                         QStringLiteral("org.freedesktop.DBus.Properties"),
                                                         QStringLiteral("PropertiesChanged"));
        signal << QString::fromLatin1(PlayerInterface) << changed << QStringList();
        bus.send(signal);
    }

    void start_from(const RemoteState &state) { last_ = state; }

private:
    QTimer presses_;
    std::deque<std::function<void()>> pending_;
    RemoteState last_;
    QVariantMap metadata_;
    unsigned metadata_song_ = 0;
};

class MprisRoot final : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2")
    Q_PROPERTY(QString Identity READ identity)
    Q_PROPERTY(QString DesktopEntry READ desktop_entry)
    Q_PROPERTY(bool CanQuit READ yes)
    Q_PROPERTY(bool CanRaise READ yes)
    Q_PROPERTY(bool HasTrackList READ no)
    Q_PROPERTY(QStringList SupportedUriSchemes READ schemes)
    Q_PROPERTY(QStringList SupportedMimeTypes READ mime_types)
public:
    explicit MprisRoot(MprisObject *object) : QDBusAbstractAdaptor(object), object_(object) {}
    QString identity() const { return QStringLiteral("Tonra"); }
    QString desktop_entry() const { return QGuiApplication::desktopFileName(); }
    bool yes() const { return true; }
    bool no() const { return false; }
    QStringList schemes() const { return {QStringLiteral("file")}; }
    // Those of the desktop entry.
    QStringList mime_types() const
    {
        return {QStringLiteral("audio/mpeg"), QStringLiteral("audio/x-mpeg"), QStringLiteral("audio/mp3"),
                QStringLiteral("audio/x-mp3"), QStringLiteral("audio/x-mp2"), QStringLiteral("audio/mp2")};
    }

public Q_SLOTS:
    void Raise() { object_->queue(remote_raise); }
    void Quit() { object_->queue(remote_quit); }

private:
    MprisObject *object_;
};

class MprisPlayer final : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2.Player")
    Q_PROPERTY(QString PlaybackStatus READ playback_status)
    Q_PROPERTY(QString LoopStatus READ loop_status WRITE set_loop_status)
    Q_PROPERTY(double Rate READ rate)
    Q_PROPERTY(double MinimumRate READ rate)
    Q_PROPERTY(double MaximumRate READ rate)
    Q_PROPERTY(bool Shuffle READ no)
    Q_PROPERTY(QVariantMap Metadata READ metadata)
    Q_PROPERTY(double Volume READ volume WRITE set_volume)
    Q_PROPERTY(qlonglong Position READ position)
    Q_PROPERTY(bool CanGoNext READ can_next)
    Q_PROPERTY(bool CanGoPrevious READ can_previous)
    Q_PROPERTY(bool CanPlay READ can_play)
    Q_PROPERTY(bool CanPause READ can_pause)
    Q_PROPERTY(bool CanSeek READ can_seek)
    Q_PROPERTY(bool CanControl READ yes)
public:
    explicit MprisPlayer(MprisObject *object) : QDBusAbstractAdaptor(object), object_(object) {}
    QString playback_status() const { return status_text(remote_state().status); }
    QString loop_status() const { return LoopNames[remote_state().repeat]; }
    void set_loop_status(const QString &name)
    {
        for (int value = 0; value < 3; ++value)
            if (name == LoopNames[value])
                remote_set_repeat(value);
    }
    double rate() const { return 1.0; }
    bool no() const { return false; }
    bool yes() const { return true; }
    QVariantMap metadata() const { return object_->metadata(); }
    double volume() const { return remote_state().volume; }
    void set_volume(double fraction) { remote_set_volume(fraction); }
    qlonglong position() const { return remote_position_us(); }
    bool can_seek() const { return remote_state().can_seek; }
    bool can_next() const { return remote_state().can_next; }
    bool can_previous() const { return remote_state().can_previous; }
    bool can_play() const { return remote_state().can_play; }
    bool can_pause() const { return remote_state().can_pause; }

public Q_SLOTS:
    void Play() { press(RemoteAction::Play); }
    void Pause() { press(RemoteAction::Pause); }
    void PlayPause() { press(RemoteAction::PlayPause); }
    void Stop() { press(RemoteAction::Stop); }
    void Next() { press(RemoteAction::Next); }
    void Previous() { press(RemoteAction::Previous); }
    void Seek(qlonglong offset)
    {
        object_->queue([offset] { (void)remote_seek_by(offset); });
    }
    // A stale track id or a place outside the song is ignored, as the
    // interface says.
    void SetPosition(const QDBusObjectPath &track, qlonglong position)
    {
        const unsigned song = remote_control().song_starts ? remote_control().song_starts() : 0;
        if (song == 0 || track.path() != track_id(song) || position < 0 || position > remote_length_us())
            return;
        object_->queue([position] { (void)remote_seek_to(position); });
    }
    void OpenUri(const QString &uri)
    {
        // Refused before any work: the bus hands over what it is sent.
        if (static_cast<std::size_t>(uri.size()) > FileUriLimit) {
            object_->fail(QStringLiteral("URI too long"));
            return;
        }
        const auto path = file_uri_path(uri.toStdString());
        if (!path) {
            object_->fail(QStringLiteral("Only file:// URIs can be opened"));
            return;
        }
        if (!remote_control().song_file(path->c_str())) {
            object_->fail(QStringLiteral("Cannot read ") + display_text(*path));
            return;
        }
        object_->queue([path = *path] { (void)remote_open(path); });
    }

Q_SIGNALS:
    void Seeked(qlonglong position);

private:
    void press(RemoteAction action)
    {
        object_->queue([action] { remote_press(action); });
    }
    MprisObject *object_;
};

MprisObject *Object;

// Tests and tools end through exit(): the objects leave the bus on this
// thread before the bus library's own teardown, on its thread, would.
void close_at_exit()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.unregisterObject(QString::fromLatin1(ObjectPath));
    bus.unregisterObject(QString::fromLatin1(AppInterfacePath));
    delete Object;
    Object = nullptr;
}

// Back on the user-interface thread once the bus has answered: from here on
// every change goes out.
void start_publishing(MprisObject *object)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    object->start_from(remote_state());
    Object = object;
    std::atexit(close_at_exit);
    // After every batch of events the state is compared with the last one
    // sent: wherever a change came from (a button, a service event, an
    // outside change of the group), it goes out once.
    QObject::connect(QAbstractEventDispatcher::instance(qApp->thread()), &QAbstractEventDispatcher::aboutToBlock,
                     object, [object, bus] { object->publish(bus); });
}

// Runs on a thread of its own: connecting and asking for names wait for the
// bus daemon, which may be slow or hung, and the window must not. The
// objects exist already and nothing else touches them until they answer.
void join_bus(MprisObject *object, QObject *application, std::shared_ptr<BusProbe> probe, std::string address)
{
    // Until the daemon answers, the toolkit's bus thread stays free for the
    // connections of others.
    if (!bus_probe_wait(*probe, address))
        return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    const QString name = QStringLiteral("org.mpris.MediaPlayer2.tonra");
    if (!bus.registerObject(QString::fromLatin1(ObjectPath), object, QDBusConnection::ExportAdaptors) ||
        (!bus.registerService(name) && !bus.registerService(name + QStringLiteral(".instance%1").arg(getpid())))) {
        bus.unregisterObject(QString::fromLatin1(ObjectPath));
        return;  // the objects stay idle: nothing reaches them
    }
    // Only the first player takes the desktop's name; another one started
    // from a shell keeps to its own window.
    if (bus.registerObject(QString::fromLatin1(AppInterfacePath), application, QDBusConnection::ExportAdaptors) &&
        !bus.registerService(QString::fromLatin1(AppInterfaceService)))
        bus.unregisterObject(QString::fromLatin1(AppInterfacePath));
    // The layer's hand-over, whose ordering the race checker can see.
    ab_locked([object] { start_publishing(object); });
}

} // namespace

void mpris_open()
{
    static bool opened = false;
    const char *address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    // Without an address the bus library would try to start a bus of its own;
    // without the application's remote control there is nothing to answer.
    if (opened || address == nullptr || *address == '\0' || qApp == nullptr || remote_control().state == nullptr)
        return;
    opened = true;
    auto *object = new MprisObject(qApp);  // owned by the application
    new MprisRoot(object);
    new MprisPlayer(object);
    QObject *application = app_interface_create(qApp);
    const auto probe = bus_probe_create();
    // Detached: a hung bus keeps it waiting, and the process may end first.
    std::thread(join_bus, object, application, probe, std::string(address)).detach();
    // A bus that answers does so in milliseconds; this wait is all a hung
    // one costs the window.
    bus_probe_settle(*probe, std::chrono::milliseconds(300));
}

#include "mpris.moc"
