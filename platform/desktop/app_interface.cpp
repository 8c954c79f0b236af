// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/desktop/app_interface.h"

#include <QDBusAbstractAdaptor>
#include <QDBusContext>
#include <QDBusMessage>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>
#include <string>
#include <vector>

#include "platform/desktop/file_uri.h"
#include "platform/desktop/remote.h"

namespace {

class AppObject final : public QObject, protected QDBusContext {
    Q_OBJECT
public:
    using QObject::QObject;

    // The caller gets its answer at once; the work waits for the event loop,
    // as a click does, so a window a song's start blocks never holds the bus.
    template <typename Work> void later(Work work) { QTimer::singleShot(0, this, std::move(work)); }

    void fail(const QString &message)
    {
        if (calledFromDBus())
            sendErrorReply(QDBusError::InvalidArgs, message);
    }
};

class Application final : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")
public:
    explicit Application(AppObject *object) : QDBusAbstractAdaptor(object), object_(object) {}

public Q_SLOTS:
    void Activate(const QVariantMap &) { object_->later(remote_raise); }

    // Songs as the command line gives them: each readable one at the top,
    // then the first of them plays.
    void Open(const QStringList &uris, const QVariantMap &)
    {
        std::vector<std::string> paths;
        for (const QString &uri : uris) {
            const auto path = file_uri_path(uri.toStdString());
            if (!path) {
                object_->fail(QStringLiteral("Not a local file: ") + uri.left(200));
                return;
            }
            paths.push_back(*path);
        }
        object_->later([paths = std::move(paths)] {
            remote_raise();
            (void)remote_open_all(paths);
        });
    }

    // The desktop entry names no actions.
    void ActivateAction(const QString &name, const QVariantList &, const QVariantMap &)
    {
        object_->fail(QStringLiteral("No such action: ") + name.left(200));
    }

private:
    AppObject *object_;
};

} // namespace

QObject *app_interface_create(QObject *parent)
{
    auto *object = new AppObject(parent);
    new Application(object);  // owned by the object
    return object;
}

#include "app_interface.moc"
