// The menus of the interface layer: the menu buttons' drop-down menus and
// the list's context menu, built from the menus' item tables.
#include <QAbstractButton>
#include <QMenu>
#include <QPointer>
#include <QShortcut>
#include <cctype>
#include <cstring>

#include "platform/ab_qt.h"

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

} // namespace

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
    popup->popup(at);
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
