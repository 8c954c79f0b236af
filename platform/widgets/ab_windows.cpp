// SPDX-License-Identifier: GPL-3.0-or-later
// Window blocking (input held off a window under a busy cursor) and
// redrawing (held, released, forced). User-interface thread only.
#include <QAbstractItemView>
#include <QApplication>
#include <QEvent>
#include <QPointer>
#include <map>

#include "platform/widgets/ab_qt.h"

namespace {

struct Block {
    QPointer<QWidget> window;
};
std::map<int, Block> Blocks;
int NextBlock = 1;

class BlockFilter final : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject *object, QEvent *event) override
    {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::Wheel:
            break;
        default:
            return false;
        }
        auto *w = qobject_cast<QWidget *>(object);
        if (w == nullptr)
            return false;
        for (auto &[handle, block] : Blocks)
            if (block.window && (block.window == w || block.window->isAncestorOf(w)))
                return true;
        return false;
    }
};
BlockFilter *Blocker;

} // namespace

void ab_blocking_install(QApplication *application)
{
    if (Blocker)
        return;
    Blocker = new BlockFilter(application);  // owned by the application
    application->installEventFilter(Blocker);
}

void ab_blocking_shutdown() { Blocks.clear(); }

int ab_block_window(Widget *window)
{
    const int handle = NextBlock++;
    Blocks[handle] = Block{window};
    QApplication::setOverrideCursor(Qt::BusyCursor);
    return handle;
}

void ab_unblock_windows(int handle)
{
    if (Blocks.erase(handle))
        QApplication::restoreOverrideCursor();
}

bool ab_window_blocked(Widget *window)
{
    for (auto &[handle, block] : Blocks)
        if (block.window == window)
            return true;
    return false;
}

void ab_set_busy(Widget *window, bool busy)
{
    if (window == nullptr)
        return;
    if (busy)
        window->setCursor(Qt::BusyCursor);
    else
        window->unsetCursor();
}

void ab_start_flux(Widget *w)
{
    if (w)
        w->setUpdatesEnabled(false);
}

void ab_end_flux(Widget *w)
{
    if (w)
        w->setUpdatesEnabled(true);
}

void ab_damage(Widget *w)
{
    if (auto *view = qobject_cast<QAbstractItemView *>(w))
        view->viewport()->update();
    else if (w)
        w->update();
}
