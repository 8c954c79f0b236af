// SPDX-License-Identifier: GPL-3.0-or-later
// Link dispatch: binds each row of a module's link table to the signal of
// the widget it names, and runs a link that fires (the observer, the
// handler, then the module it opens or closes). User-interface thread only.
#include <QAbstractButton>
#include <QAbstractSlider>
#include <QContextMenuEvent>
#include <QCursor>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>
#include <QKeyEvent>
#include <QPointer>
#include <QTreeView>
#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>
#include <utility>

#include "platform/desktop/file_uri.h"
#include "platform/widgets/ab_qt.h"

namespace {

LinkObserver Observer;

// A menu opens at `at` when given (a menu asked for from the keyboard),
// otherwise by its placement.
void fire(const EventLink &link, QWidget *widget, QWidget *module_widget, CallbackInfo cb,
          std::optional<QPoint> at = std::nullopt)
{
    cb.reason = link.reason;
    if (Observer)
        Observer(link, widget, cb);
    if (link.handler != nullptr) {
        LinkInfo info{&link, module_widget};
        link.handler(widget, &info, &cb);
    }
    switch (link.kind) {
    case Link_Dialog:
    case Link_Window:
        if (link.module)
            ab_open_module(*link.module, widget, link.placement);
        break;
    case Link_Menu:
        if (link.module)
            menu_open(*link.module, widget, module_widget, link.placement, at.value_or(QCursor::pos()));
        break;
    case Link_Done:
    case Link_Cancel:
        if (module_widget)
            ab_destroy(module_widget);
        break;
    case Link_Code:
    case Link_Picture:
    case Link_End:
        break;  // the handler was all
    }
}

class ListKeys final : public QObject {
public:
    ListKeys(QObject *parent, const EventLink *link, QWidget *top) : QObject(parent), link_(link), top_(top) {}
    bool eventFilter(QObject *object, QEvent *event) override
    {
        if (event->type() != QEvent::KeyPress)
            return false;
        const int key = static_cast<QKeyEvent *>(event)->key();
        auto *view = qobject_cast<QTreeView *>(object);
        if ((key == Qt::Key_Return || key == Qt::Key_Enter) && view && view->currentIndex().isValid()) {
            CallbackInfo cb;
            cb.click_count = 2;
            cb.item = tree_item_row(view, view->currentIndex().row());
            fire(*link_, view, top_, cb);
            return true;
        }
        return false;
    }

private:
    const EventLink *link_;
    QPointer<QWidget> top_;
};

// A hotkey link: its key, unmodified, while the widget has the focus.
class Hotkey final : public QObject {
public:
    Hotkey(QWidget *widget, const EventLink *link, QWidget *top) : QObject(widget), link_(link), top_(top) {}
    bool eventFilter(QObject *object, QEvent *event) override
    {
        if (event->type() != QEvent::KeyPress || !top_)
            return false;
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() != qt_key(link_->event_mask) || (key->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier)
            return false;
        fire(*link_, static_cast<QWidget *>(object), top_, CallbackInfo{});
        return true;
    }

private:
    static int qt_key(std::uint32_t symbol) { return symbol == Key_Delete ? Qt::Key_Delete : 0; }
    const EventLink *link_;
    QPointer<QWidget> top_;
};

// The Menu key and Shift+F10 open a list's menu beside its current row, not
// at the pointer, which may be anywhere on the screen. Under X11 the Menu
// key first arrives as a keyboard context-menu request (placed at the
// pointer by the toolkit) and then as the key itself; elsewhere only as the
// key. Whichever comes first opens the menu and the key that follows a
// request is spent.
class MenuKey final : public QObject {
public:
    MenuKey(QAbstractItemView *view, const EventLink *link, QWidget *top) : QObject(view), view_(view), link_(link), top_(top) {}
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (!top_)
            return false;
        if (event->type() == QEvent::ContextMenu &&
            static_cast<QContextMenuEvent *>(event)->reason() == QContextMenuEvent::Keyboard) {
            request_pending_ = true;
            open_beside_current();
            return true;
        }
        if (event->type() != QEvent::KeyPress)
            return false;
        const auto *key = static_cast<QKeyEvent *>(event);
        const bool menu_key = key->key() == Qt::Key_Menu && key->modifiers() == Qt::NoModifier;
        const bool shift_f10 = key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier;
        if (!menu_key && !shift_f10)
            return false;
        if (!(menu_key && std::exchange(request_pending_, false)))
            open_beside_current();
        return true;
    }

private:
    void open_beside_current()
    {
        QPoint at(0, 0);
        if (const QModelIndex current = view_->currentIndex(); current.isValid()) {
            view_->scrollTo(current);
            const QRect row = view_->visualRect(current);
            at = QPoint(std::max(row.left(), 0) + 8, row.center().y());
        }
        fire(*link_, view_, top_, CallbackInfo{}, view_->viewport()->mapToGlobal(at));
    }

    QAbstractItemView *view_;
    const EventLink *link_;
    QPointer<QWidget> top_;
    bool request_pending_ = false;
};

// Files dragged from a file manager: the local ones are taken, by the bytes
// the file system knows them by, and handed over in the order dropped.
class Drops final : public QObject {
public:
    Drops(QAbstractItemView *view, const EventLink *link, QWidget *top) : QObject(view), view_(view), link_(link), top_(top) {}
    bool eventFilter(QObject *, QEvent *event) override
    {
        switch (event->type()) {
        case QEvent::DragEnter:
        case QEvent::DragMove: {
            auto *drag = static_cast<QDropEvent *>(event);
            if (!top_ || !drag->mimeData()->hasUrls())
                return false;
            drag->acceptProposedAction();
            return true;
        }
        case QEvent::Drop: {
            auto *drop = static_cast<QDropEvent *>(event);
            if (!top_ || !drop->mimeData()->hasUrls())
                return false;
            std::vector<std::string> paths;
            for (const QUrl &url : drop->mimeData()->urls())
                if (const auto path = file_uri_path(url.toEncoded().toStdString()))
                    paths.push_back(*path);
            drop->acceptProposedAction();
            CallbackInfo cb;
            cb.paths = paths;
            fire(*link_, view_, top_, cb);
            return true;
        }
        default:
            return false;
        }
    }

private:
    QAbstractItemView *view_;
    const EventLink *link_;
    QPointer<QWidget> top_;
};

} // namespace

QWidget *ab_find_instance(QWidget *top, const char *instance)
{
    if (instance == nullptr)
        return nullptr;
    if (top->objectName() == QLatin1String(instance))
        return top;
    return top->findChild<QWidget *>(QLatin1String(instance));
}

void ab_bind(const EventLink &link, QWidget *top)
{
    QWidget *w = ab_find_instance(top, link.instance);
    if (w == nullptr) {
        std::fprintf(stderr, "tonra: no widget %s for its link\n", link.instance ? link.instance : "(none)");
        return;
    }
    QPointer<QWidget> owner(top);
    auto run = [&link, owner](QWidget *widget, CallbackInfo cb = {}) {
        if (owner)
            fire(link, widget, owner, cb);
    };
    if (link.category == Category_Hotkey) {
        w->installEventFilter(new Hotkey(w, &link, top));
        return;
    }
    if (link.category == Category_Function) {
        if (link.reason == Resource_ItemImageFunction)
            tree_attach(w, &link);
        return;
    }
    switch (link.reason) {
    case Reason_Activate:
        if (auto *button = qobject_cast<QAbstractButton *>(w)) {
            QObject::connect(button, &QAbstractButton::clicked, button, [run, button] { run(button); });
        } else {
            // A group: the member that was activated is the widget passed.
            for (auto *member : w->findChildren<QAbstractButton *>())
                QObject::connect(member, &QAbstractButton::clicked, member, [run, member] { run(member); });
        }
        break;
    case Reason_Arm:
        if (auto *button = qobject_cast<QAbstractButton *>(w)) {
            QObject::connect(button, &QAbstractButton::pressed, button, [run, button] { run(button); });
            if (link.kind == Link_Menu && link.placement == Place_Below)
                menu_bar_button(button, &link, top);
        }
        break;
    case Reason_SliderMoved:
        if (auto *slider = qobject_cast<QAbstractSlider *>(w))
            QObject::connect(slider, &QAbstractSlider::valueChanged, slider, [run, slider] { run(slider); });
        break;
    case Reason_Selection:
        if (auto *view = qobject_cast<QTreeView *>(w)) {
            QObject::connect(view, &QAbstractItemView::clicked, view, [run, view](const QModelIndex &index) {
                CallbackInfo cb;
                cb.click_count = 1;
                cb.item = tree_item_row(view, index.row());
                run(view, cb);
            });
            QObject::connect(view, &QAbstractItemView::doubleClicked, view, [run, view](const QModelIndex &index) {
                CallbackInfo cb;
                cb.click_count = 2;
                cb.item = tree_item_row(view, index.row());
                run(view, cb);
            });
            view->installEventFilter(new ListKeys(view, &link, top));
        }
        break;
    case Reason_MenuRequest:
        w->setContextMenuPolicy(Qt::CustomContextMenu);
        if (auto *view = qobject_cast<QAbstractItemView *>(w)) {
            auto *keys = new MenuKey(view, &link, top);
            view->installEventFilter(keys);
            view->viewport()->installEventFilter(keys);
        }
        // The pointer's request: the menu opens where it was made (a scroll
        // area's position is its viewport's).
        QObject::connect(w, &QWidget::customContextMenuRequested, w, [&link, owner, w](const QPoint &at) {
            const auto *area = qobject_cast<QAbstractScrollArea *>(w);
            if (owner)
                fire(link, w, owner, CallbackInfo{}, (area ? area->viewport() : w)->mapToGlobal(at));
        });
        break;
    case Reason_Dropped:
        if (auto *view = qobject_cast<QAbstractItemView *>(w)) {
            view->setAcceptDrops(true);
            view->setDropIndicatorShown(false);
            auto *drops = new Drops(view, &link, top);
            view->viewport()->installEventFilter(drops);
        }
        break;
    case Reason_RawEvent:
    case Reason_Realized:
    case Reason_Destroyed:
        break;  // run by the layer itself: service events, opening, closing
    case Reason_None:
    case Resource_ItemImageFunction:
        break;  // nothing to connect: the link only opens its module, or is a function
    }
}

void ab_fire_reason(const Module &module, QWidget *top, Reason reason, CallbackInfo cb)
{
    for (const EventLink *l = module.links; l && l->kind != Link_End; ++l)
        if (l->reason == reason && l->category != Category_Function && l->category != Category_Hotkey)
            if (QWidget *w = ab_find_instance(top, l->instance))
                fire(*l, w, top, cb);
}

void ab_fire(const EventLink &link, QWidget *widget, QWidget *module_widget, CallbackInfo cb)
{
    fire(link, widget, module_widget, cb);
}

void ab_set_link_observer(LinkObserver observer) { Observer = std::move(observer); }
