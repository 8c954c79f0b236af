// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/desktop/media_keys.h"

#include <QApplication>
#include <QKeyEvent>
#include <QWidget>
#include <optional>

#include "platform/desktop/remote.h"
#include "platform/widgets/ab.h"

namespace {

std::optional<RemoteAction> action_of(int key)
{
    switch (key) {
    // Many keyboards have one play/pause key that sends XF86AudioPlay (or
    // XF86AudioPause): it must hold a playing song, not press the disabled
    // Play button.
    case Qt::Key_MediaPlay:
    case Qt::Key_MediaPause:
    case Qt::Key_MediaTogglePlayPause: return RemoteAction::PlayPause;
    case Qt::Key_MediaStop: return RemoteAction::Stop;
    case Qt::Key_MediaNext: return RemoteAction::Next;
    case Qt::Key_MediaPrevious: return RemoteAction::Previous;
    default: return std::nullopt;
    }
}

// Watches the whole application rather than the window, so that the key
// works whichever of the window's widgets has the focus; a dialog's keys
// stay the dialog's.
class MediaKeys final : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject *object, QEvent *event) override
    {
        if (event->type() != QEvent::KeyPress)
            return false;
        const auto *key = static_cast<QKeyEvent *>(event);
        const auto action = action_of(key->key());
        auto *widget = qobject_cast<QWidget *>(object);
        QWidget *main = ab_main_window();
        if (!action || widget == nullptr || main == nullptr || widget->window() != main)
            return false;
        if (!key->isAutoRepeat())
            remote_press(*action);
        return true;
    }
};

} // namespace

void media_keys_install()
{
    static MediaKeys *keys = nullptr;
    if (keys != nullptr || qApp == nullptr)
        return;
    keys = new MediaKeys(qApp);  // owned by the application
    qApp->installEventFilter(keys);
}
