// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/widgets/seek_controls.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCursor>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QTimer>
#include <QToolTip>
#include <QWidget>
#include <algorithm>
#include <cstdio>

#include "platform/desktop/remote.h"
#include "platform/widgets/ab_qt.h"

namespace {

constexpr std::int64_t KeyStepUs = 5'000'000;
constexpr int TooltipRefreshMs = 250;

class SeekControls final : public QObject {
public:
    SeekControls(QObject *parent, Widget *const *gauge) : QObject(parent), gauge_(gauge)
    {
        refresh_.setInterval(TooltipRefreshMs);
        connect(&refresh_, &QTimer::timeout, this, [this] {
            QWidget *gauge = *gauge_;
            if (gauge == nullptr || dragging_ || !QToolTip::isVisible() || !gauge->underMouse()) {
                refresh_.stop();
                return;
            }
            QToolTip::showText(QCursor::pos(), elapsed_text(), gauge);
        });
    }

    bool eventFilter(QObject *object, QEvent *event) override
    {
        if (event->type() == QEvent::KeyPress)
            return key(object, static_cast<QKeyEvent *>(event));
        QWidget *gauge = *gauge_;
        if (gauge == nullptr || object != gauge)
            return false;
        switch (event->type()) {
        case QEvent::ToolTip: {
            const QString text = elapsed_text();
            if (text.isEmpty())
                return false;
            QToolTip::showText(static_cast<QHelpEvent *>(event)->globalPos(), text, gauge);
            refresh_.start();
            return true;
        }
        case QEvent::MouseButtonPress:
        case QEvent::MouseMove:
        case QEvent::MouseButtonRelease:
            return mouse(gauge, event->type(), static_cast<QMouseEvent *>(event));
        default:
            return false;
        }
    }

private:
    static QString elapsed_text()
    {
        const std::int64_t total = remote_length_us();
        if (total < 0)
            return {};
        return QString::fromStdString(seek_time_text(remote_position_us()) + " / " + seek_time_text(total));
    }

    bool mouse(QWidget *gauge, QEvent::Type type, QMouseEvent *event)
    {
        const std::int64_t total = remote_length_us();
        if (event->button() != Qt::LeftButton && !(type == QEvent::MouseMove && dragging_))
            return false;
        if (total < 0) {
            dragging_ = false;
            return false;
        }
        const double fraction = std::clamp(event->position().x() / std::max(gauge->width(), 1), 0.0, 1.0);
        const auto at = static_cast<std::int64_t>(fraction * static_cast<double>(total));
        if (type == QEvent::MouseButtonRelease) {
            if (dragging_)
                (void)remote_seek_to(at);
            dragging_ = false;
            QToolTip::hideText();
            return true;
        }
        if (type == QEvent::MouseButtonPress)
            dragging_ = true;
        QToolTip::showText(event->globalPosition().toPoint(), QString::fromStdString(seek_time_text(at)), gauge);
        return true;
    }

    static bool key(QObject *object, QKeyEvent *event)
    {
        const int code = event->key();
        if (code != Qt::Key_Left && code != Qt::Key_Right)
            return false;
        const auto modifiers = event->modifiers() & ~Qt::KeypadModifier;
        auto *widget = qobject_cast<QWidget *>(object);
        if (widget == nullptr)
            return false;
        if (modifiers == Qt::NoModifier) {
            // The playlist's and the dialogs' arrows stay theirs.
            QWidget *main = ab_main_window();
            if (main == nullptr || widget->window() != main)
                return false;
            for (QWidget *w = widget; w != nullptr; w = w->parentWidget())
                if (qobject_cast<QAbstractItemView *>(w) != nullptr)
                    return false;
        } else if (modifiers != Qt::ControlModifier) {
            return false;
        }
        return remote_seek_by(code == Qt::Key_Left ? -KeyStepUs : KeyStepUs);
    }

    Widget *const *gauge_;
    QTimer refresh_;
    bool dragging_ = false;
};

} // namespace

std::string seek_time_text(std::int64_t us)
{
    const std::int64_t seconds = std::max<std::int64_t>(us, 0) / 1'000'000;
    char text[32];
    if (seconds >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                      static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                      static_cast<long long>(seconds % 60));
    return text;
}

void seek_controls_install(Widget *const *gauge)
{
    static SeekControls *controls = nullptr;
    if (controls != nullptr || qApp == nullptr)
        return;
    controls = new SeekControls(qApp, gauge);  // owned by the application
    qApp->installEventFilter(controls);
}
