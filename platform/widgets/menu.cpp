// SPDX-License-Identifier: GPL-3.0-or-later
// The menus of the interface layer: the menu buttons' drop-down menus and
// the list's context menu, built from the menus' item tables.
#include <QAbstractButton>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QPointer>
#include <QShortcut>
#include <QShortcutEvent>
#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "platform/widgets/ab_qt.h"

namespace {

// The key letter of a menu item as its mnemonic. A letter of the same case
// comes first: the "P" of "Open Playlist..." is the one of "Playlist".
QString with_mnemonic(const MenuItem &item)
{
    QString text = QString::fromUtf8(item.text);
    text.replace('&', "&&");
    if (item.key && *item.key) {
        const QLatin1Char key(item.key[0]);
        qsizetype at = text.indexOf(key, 0, Qt::CaseSensitive);
        if (at < 0)
            at = text.indexOf(key, 0, Qt::CaseInsensitive);
        if (at >= 0)
            text.insert(at, '&');
    }
    return text;
}

QKeySequence shortcut_of(const MenuItem &item)
{
    if (!item.key || !*item.key || item.modifier == 0)
        return {};
    const int key = Qt::Key_A + (std::toupper(static_cast<unsigned char>(item.key[0])) - 'A');
    if (item.modifier == Modifier_Ctrl)
        return QKeySequence(Qt::CTRL | key);
    if (item.modifier == Modifier_Alt)
        return QKeySequence(Qt::ALT | key);
    return {};
}

const EventLink *menu_link(const Module &menu, const MenuItem &item)
{
    for (const EventLink *l = menu.links; l && l->kind != 0; ++l)
        if (l->instance && std::strcmp(l->instance, item.instance) == 0)
            return l;
    return nullptr;
}

// The buttons of the menu bar, left to right, with the links that open
// their menus: the keys and the pointer move between them while one is open.
struct BarEntry {
    QPointer<QAbstractButton> button;
    const EventLink *link;
    QPointer<QWidget> window;
};
std::vector<BarEntry> Bar;

int bar_index(const QWidget *button)
{
    for (std::size_t i = 0; i < Bar.size(); ++i)
        if (Bar[i].button == button)
            return static_cast<int>(i);
    return -1;
}

// How the next menu of the bar opens: from the keyboard its first item is
// highlighted, so Enter chooses it; under the pointer nothing is.
enum class Opening { Pointer, Keyboard };
Opening NextOpening = Opening::Pointer;

void open_bar_entry(int index, Opening how)
{
    if (index < 0 || index >= static_cast<int>(Bar.size()))
        return;
    const BarEntry &entry = Bar[static_cast<std::size_t>(index)];
    if (!entry.button || !entry.window || !entry.button->isVisible())
        return;
    NextOpening = how;
    ab_fire(*entry.link, entry.button, entry.window, CallbackInfo{});
    NextOpening = Opening::Pointer;
}

// A bar button's mnemonic or the space bar opens its menu from the
// keyboard, at once: the button's own animated click would leave it
// deaf to its mnemonic until its animation ends.
class BarButtonKeys final : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject *object, QEvent *event) override
    {
        const bool mnemonic =
            event->type() == QEvent::Shortcut && !static_cast<QShortcutEvent *>(event)->isAmbiguous();
        const bool space = event->type() == QEvent::KeyPress &&
                           static_cast<QKeyEvent *>(event)->key() == Qt::Key_Space &&
                           !static_cast<QKeyEvent *>(event)->isAutoRepeat();
        if (!mnemonic && !space)
            return false;
        open_bar_entry(bar_index(static_cast<QWidget *>(object)), Opening::Keyboard);
        return true;
    }
};

// What a bar menu does beyond a plain popup: Left and Right go to the
// neighbouring menu, the pointer over another bar button opens that one,
// and the window's shortcuts still work (the popup holds the keyboard, so
// they would otherwise never reach the window).
class BarMenuKeys final : public QObject {
public:
    BarMenuKeys(QMenu *menu, int index) : QObject(menu), menu_(menu), index_(index) {}
    bool eventFilter(QObject *, QEvent *event) override
    {
        // The items show their shortcuts as the window's: claimed here first,
        // they are not matched twice (by the item and by the window), which
        // would make them ambiguous and do nothing.
        if (event->type() == QEvent::ShortcutOverride && window_shortcut(static_cast<QKeyEvent *>(event))) {
            event->accept();
            return true;
        }
        if (event->type() == QEvent::KeyPress)
            return key(static_cast<QKeyEvent *>(event));
        if (event->type() == QEvent::MouseMove) {
            const QPoint at = static_cast<QMouseEvent *>(event)->globalPosition().toPoint();
            for (std::size_t i = 0; i < Bar.size(); ++i) {
                QAbstractButton *button = Bar[i].button;
                if (static_cast<int>(i) != index_ && button && button->isVisible() &&
                    button->rect().contains(button->mapFromGlobal(at))) {
                    switch_to(static_cast<int>(i), Opening::Pointer);
                    return true;
                }
            }
        }
        return false;
    }

private:
    bool key(QKeyEvent *event)
    {
        const int n = static_cast<int>(Bar.size());
        if (event->modifiers() == Qt::NoModifier && (event->key() == Qt::Key_Left || event->key() == Qt::Key_Right)) {
            if (n > 1)
                switch_to((index_ + (event->key() == Qt::Key_Right ? 1 : n - 1)) % n, Opening::Keyboard);
            return true;
        }
        if (QShortcut *shortcut = window_shortcut(event)) {
            menu_->close();
            emit shortcut->activated();
            return true;
        }
        return false;
    }
    QShortcut *window_shortcut(const QKeyEvent *event) const
    {
        const QKeySequence pressed(event->keyCombination());
        QWidget *window = Bar[static_cast<std::size_t>(index_)].window;
        if (window == nullptr)
            return nullptr;
        for (QShortcut *shortcut : window->findChildren<QShortcut *>())
            if (shortcut->isEnabled() && shortcut->keys().contains(pressed))
                return shortcut;
        return nullptr;
    }
    void switch_to(int index, Opening how)
    {
        menu_->close();
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [index, how] { open_bar_entry(index, how); }, Qt::QueuedConnection);
    }

    QMenu *menu_;
    int index_;
};

} // namespace

void menu_bar_button(QAbstractButton *button, const EventLink *link, QWidget *window)
{
    // One window has the bar: a new main window replaces the old one's.
    std::erase_if(Bar, [window](const BarEntry &e) { return e.button.isNull() || e.window != window; });
    Bar.push_back(BarEntry{button, link, window});
    button->installEventFilter(new BarButtonKeys(button));  // owned by the button
    std::sort(Bar.begin(), Bar.end(),
              [](const BarEntry &a, const BarEntry &b) { return a.button->x() < b.button->x(); });
}

void menu_open(const Module &menu, QWidget *from, QWidget *window, int placement, QPoint at)
{
    auto *popup = new QMenu(window);  // deletes itself on close
    popup->setObjectName(QString::fromUtf8(menu.resource));
    popup->setAttribute(Qt::WA_DeleteOnClose);
    for (const MenuItem *item = menu.items; item && item->level != 0; ++item) {
        if (item->type == Item_Separator) {
            popup->addSeparator();
            continue;
        }
        QAction *action = popup->addAction(with_mnemonic(*item));
        action->setObjectName(QString::fromUtf8(item->instance));
        action->setShortcut(shortcut_of(*item));
        const EventLink *link = menu_link(menu, *item);
        QPointer<QWidget> owner(window);
        QObject::connect(action, &QAction::triggered, popup, [link, owner] {
            if (link && owner)
                ab_fire(*link, owner, owner, CallbackInfo{});
        });
    }
    if (placement == Place_Below && from)
        at = from->mapToGlobal(QPoint(0, from->height()));
    // The popup takes the mouse from the button pressed to open it, which
    // then never sees its release and would stay drawn pressed in.
    if (auto *button = qobject_cast<QAbstractButton *>(from)) {
        QPointer<QAbstractButton> opener(button);
        QObject::connect(popup, &QMenu::aboutToHide, popup, [opener] {
            if (opener)
                opener->setDown(false);
        });
    }
    const int bar = bar_index(from);
    if (bar >= 0)
        popup->installEventFilter(new BarMenuKeys(popup, bar));  // owned by the popup
    popup->popup(at);
    const bool keyboard = NextOpening == Opening::Keyboard;
    NextOpening = Opening::Pointer;
    if (keyboard)
        for (QAction *action : popup->actions())
            if (!action->isSeparator() && action->isEnabled()) {
                popup->setActiveAction(action);
                break;
            }
}

// Every menu item with a modifier answers its key combination while the
// window that opens the menu is active, menu open or not.
void menu_install_shortcuts(QWidget *window, const Module &menu)
{
    for (const MenuItem *item = menu.items; item && item->level != 0; ++item) {
        if (item->type == Item_Separator)
            continue;
        const EventLink *link = menu_link(menu, *item);
        QList<QKeySequence> keys;
        if (const QKeySequence key = shortcut_of(*item); !key.isEmpty())
            keys << key;
        if (link && link->kind == Link_Done && std::strcmp(item->instance, "exit") == 0)
            keys << QKeySequence(Qt::CTRL | Qt::Key_Q);
        for (const QKeySequence &key : keys) {
            auto *shortcut = new QShortcut(key, window);  // owned by the window
            QPointer<QWidget> owner(window);
            QObject::connect(shortcut, &QShortcut::activated, window, [link, owner] {
                if (link && owner)
                    ab_fire(*link, owner, owner, CallbackInfo{});
            });
        }
    }
}
