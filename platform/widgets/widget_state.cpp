// SPDX-License-Identifier: GPL-3.0-or-later
// Widget state as the modules see it: flag words under a mask, texts,
// values and areas. Programmatic changes never run a widget's handlers.
#include <QAbstractButton>
#include <QAbstractSlider>
#include <QEvent>
#include <QLabel>
#include <QProgressBar>
#include <QSignalBlocker>
#include <QPointer>
#include <QStringDecoder>
#include <QTimer>

#include "platform/widgets/ab.h"
#include "platform/widgets/ab_qt.h"
#include "platform/widgets/text.h"

std::uint32_t ab_get_flags(Widget *w)
{
    if (w == nullptr)
        return 0;
    std::uint32_t flags = w->property("ab_flags").isValid() ? w->property("ab_flags").toUInt()
                                                             : (w->isEnabled() ? Flag_Selectable : Flag_Blocked);
    flags &= ~(Flag_Set | Flag_Toggle);
    if (auto *button = qobject_cast<QAbstractButton *>(w)) {
        if (button->isCheckable())
            flags |= Flag_Toggle;
        if (button->isChecked())
            flags |= Flag_Set;
    }
    return flags;
}

void ab_set_flags(Widget *w, std::uint32_t value, std::uint32_t mask)
{
    if (w == nullptr)
        return;
    const std::uint32_t flags = (ab_get_flags(w) & ~mask) | (value & mask);
    w->setProperty("ab_flags", flags);
    w->setEnabled((flags & Flag_Selectable) && !(flags & Flag_Blocked));
    if (auto *button = qobject_cast<QAbstractButton *>(w)) {
        const QSignalBlocker quiet(button);
        button->setCheckable(flags & Flag_Toggle);
        button->setChecked(flags & Flag_Set);
    }
}

QString ab_text_from_bytes(std::string_view bytes) { return display_text(bytes); }

std::string ab_field_text(std::string_view field) { return display_text(field).toStdString(); }

void ab_set_text(Widget *w, const char *text)
{
    const QString t = ab_text_from_bytes(text ? text : "");
    if (auto *label = qobject_cast<QLabel *>(w))
        label->setText(t);
    else if (auto *button = qobject_cast<QAbstractButton *>(w))
        button->setText(t);
    else if (w)
        w->setWindowTitle(t);
}

std::string ab_get_text(Widget *w)
{
    if (auto *label = qobject_cast<QLabel *>(w))
        return label->text().toStdString();
    if (auto *button = qobject_cast<QAbstractButton *>(w))
        return button->text().toStdString();
    return w ? w->windowTitle().toStdString() : std::string();
}

void ab_set_title(Widget *w, const char *title)
{
    if (w)
        w->setWindowTitle(ab_text_from_bytes(title ? title : ""));
}

std::string ab_get_title(Widget *w) { return w ? w->windowTitle().toStdString() : std::string(); }

int ab_get_value(Widget *w)
{
    if (auto *slider = qobject_cast<QAbstractSlider *>(w))
        return slider->value();
    if (auto *bar = qobject_cast<QProgressBar *>(w))
        return bar->value();
    return 0;
}

void ab_set_value(Widget *w, int value)
{
    const QSignalBlocker quiet(w);
    if (auto *slider = qobject_cast<QAbstractSlider *>(w))
        slider->setValue(value);
    else if (auto *bar = qobject_cast<QProgressBar *>(w); bar != nullptr && bar->value() != value) {
        bar->setValue(value);
        // The bar repaints by itself only when a whole chunk of its style
        // fills: below that it would lag behind its value.
        bar->update();
    }
}

Area ab_get_area(Widget *w)
{
    if (w == nullptr)
        return {};
    const QRect g = w->isWindow() ? QRect(w->pos(), w->size()) : w->geometry();
    return {static_cast<std::int16_t>(g.x()), static_cast<std::int16_t>(g.y()),
            static_cast<std::uint16_t>(g.width()), static_cast<std::uint16_t>(g.height())};
}

void ab_set_area(Widget *w, Area area)
{
    if (w == nullptr)
        return;
    if (w->isWindow()) {
        // A maximized or full-screen window keeps the size its state gives
        // it; resizing would take it out of that state.
        if (w->windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen))
            return;
        w->resize(area.w, area.h);
        // Moved only when asked to: a move to where it already is can make
        // the window manager place it anew.
        if (w->pos() != QPoint(area.x, area.y))
            w->move(area.x, area.y);
    } else {
        w->setGeometry(area.x, area.y, area.w, area.h);
    }
}

void ab_set_shown(Widget *w, bool shown)
{
    if (w == nullptr)
        return;
    w->setProperty("hidden_by_module", !shown);
    ab_relayout(w->parentWidget());
}

namespace {

constexpr char PendingSize[] = "ab_normal_size";
constexpr char SizeWatched[] = "ab_normal_size_watched";

bool enlarged(const QWidget *w) { return (w->windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen)) != 0; }

// Gives a window, as it leaves the maximized or full-screen state, the size
// set for it meanwhile; after the platform's own restoring, which would
// otherwise win.
class NormalSize final : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject *object, QEvent *event) override
    {
        auto *w = static_cast<QWidget *>(object);
        if (event->type() != QEvent::WindowStateChange || enlarged(w) || !w->property(PendingSize).isValid())
            return false;
        const QSize size = w->property(PendingSize).toSize();
        w->setProperty(PendingSize, QVariant());
        QPointer<QWidget> window(w);
        QTimer::singleShot(0, w, [window, size] {
            if (window && !enlarged(window))
                window->resize(size);
        });
        return false;
    }
};

} // namespace

Area ab_get_normal_area(Widget *w)
{
    if (w == nullptr || !w->isWindow() || !enlarged(w))
        return ab_get_area(w);
    const QVariant pending = w->property(PendingSize);
    const QRect normal = w->normalGeometry();
    const QSize size = pending.isValid() ? pending.toSize() : normal.size();
    return {static_cast<std::int16_t>(normal.x()), static_cast<std::int16_t>(normal.y()),
            static_cast<std::uint16_t>(size.width()), static_cast<std::uint16_t>(size.height())};
}

void ab_set_normal_area(Widget *w, Area area)
{
    if (w == nullptr || !w->isWindow() || !enlarged(w)) {
        ab_set_area(w, area);
        return;
    }
    if (!w->property(SizeWatched).toBool()) {
        w->installEventFilter(new NormalSize(w));
        w->setProperty(SizeWatched, true);
    }
    w->setProperty(PendingSize, QSize(area.w, area.h));
}
