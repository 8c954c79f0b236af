// SPDX-License-Identifier: GPL-3.0-or-later
// The modules: opening a window or dialog from its definition in ui/,
// keeping the widget table the application registered, placing dialogs,
// closing modules, handing service events to the main window, and the
// picture modules. User-interface thread only.
#include <QAbstractButton>
#include <QCursor>
#include <QDialog>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QPointer>
#include <QScreen>
#include <QTreeView>
#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <vector>

#include "platform/widgets/ab_qt.h"
#include "platform/widgets/service_events.h"

namespace {

AbApplication Application;

// An open window or dialog: its module and the widgets its links name.
struct OpenModule {
    const Module *module;
    QPointer<QWidget> top;
    bool closing = false;
};
std::vector<std::unique_ptr<OpenModule>> Open;
std::map<std::pair<const Module *, std::string>, std::unique_ptr<Picture>> PictureCache;
std::map<const Module *, std::unique_ptr<QWidget>> PictureModules;

OpenModule *module_of(QWidget *w)
{
    while (w != nullptr) {
        for (auto &open : Open)
            if (open->top == w && !open->closing)
                return open.get();
        w = w->parentWidget();
    }
    return nullptr;
}

class CloseWatch final : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject *object, QEvent *event) override
    {
        if (event->type() == QEvent::Close) {
            if (auto *w = qobject_cast<QWidget *>(object); w && module_of(w) && !module_of(w)->closing) {
                event->ignore();
                ab_destroy(w);
                return true;
            }
        }
        return false;
    }
};
CloseWatch *CloseFilter;

void fill_slots(QWidget *top)
{
    for (std::size_t i = 0; i < std::min(Application.widgets.size(), Application.widget_names.size()); ++i)
        if (QWidget *w = ab_find_instance(top, Application.widget_names[i]))
            Application.widgets[i] = w;
}

void clear_slots(QWidget *top)
{
    for (auto &slot : Application.widgets)
        if (slot && (slot == top || top->isAncestorOf(slot)))
            slot = nullptr;
}

void place(QWidget *top, QWidget *from, int placement)
{
    QWidget *main = ab_main_window();
    // Its frame is not there before it is shown: the main window's stands in.
    QSize outer = top->size();
    if (main && main != top)
        outer += main->frameGeometry().size() - main->size();
    QPoint at;
    if (placement == Place_Centred && main && main != top) {
        const QRect m = main->frameGeometry();
        at = m.center() - QPoint(outer.width() / 2, outer.height() / 2);
    } else if (placement == Place_Pointer) {
        at = QCursor::pos();
    } else if (placement == Place_Below && from) {
        at = from->mapToGlobal(QPoint(0, from->height()));
    } else {
        return;
    }
    // A dialog opened at the pointer near the edge of the screen would
    // otherwise hang off it, its buttons out of reach.
    QScreen *screen = QGuiApplication::screenAt(at);
    if (screen == nullptr)
        screen = QGuiApplication::primaryScreen();
    if (screen) {
        const QRect s = screen->availableGeometry();
        at.setX(std::max(s.left(), std::min(at.x(), s.right() + 1 - outer.width())));
        at.setY(std::max(s.top(), std::min(at.y(), s.bottom() + 1 - outer.height())));
    }
    top->move(at);
}

bool takes_service_events(const EventLink &link)
{
    return link.category == Category_RawEvent && (link.event_mask & Event_Service);
}

} // namespace

void ab_register(const AbApplication &application) { Application = application; }

const AbApplication &ab_application() { return Application; }

QWidget *ab_main_window()
{
    const auto slot = static_cast<std::size_t>(Application.main_window);
    return slot < Application.widgets.size() ? Application.widgets[slot] : nullptr;
}

void ab_modules_install(QObject *application)
{
    if (!CloseFilter)
        CloseFilter = new CloseWatch(application);  // owned by the application
}

QWidget *ab_open_module(const Module &module, QWidget *from, int placement)
{
    if (module.kind == ModuleKind::Menu) {
        menu_open(module, from, from ? from->window() : nullptr, placement, QCursor::pos());
        return nullptr;
    }
    // A dialog that is already open is brought to the front, not doubled:
    // its widget-table slots can name only one instance.
    for (auto &open : Open)
        if (open->module == &module && open->top && !open->closing) {
            open->top->raise();
            open->top->activateWindow();
            return open->top;
        }
    QWidget *top = ui_create_module(module.resource);
    if (top == nullptr) {
        std::fprintf(stderr, "tonra: no definition for %s\n", module.resource);
        return nullptr;
    }
    const bool main_window = module.kind == ModuleKind::Window;
    if (!main_window && ab_main_window() && top->parentWidget() == nullptr)
        top->setParent(ab_main_window(), Qt::Dialog);
    auto open = std::make_unique<OpenModule>(OpenModule{&module, top});
    OpenModule &ref = *open;
    Open.push_back(std::move(open));

    ab_record_anchors(top);
    // The desktop theme's pictures where it has them, our own otherwise.
    for (auto *button : top->findChildren<QAbstractButton *>())
        if (const QString name = button->property("themeIcon").toString(); !name.isEmpty() && QIcon::hasThemeIcon(name))
            button->setIcon(QIcon::fromTheme(name));
    fill_slots(top);
    // Lists get their model whether or not a link names a picture function.
    for (auto *view : top->findChildren<QTreeView *>())
        if (!view->model())
            tree_attach(view, nullptr);
    for (const EventLink *l = module.links; l && l->kind != Link_End; ++l)
        ab_bind(*l, top);
    top->installEventFilter(CloseFilter);
    // Escape rejects a QDialog, which only hides it: the module would stay
    // open unseen, its destroyed handlers never run and the link that opens
    // it would only raise the hidden window.
    if (auto *dialog = qobject_cast<QDialog *>(top))
        QObject::connect(dialog, &QDialog::finished, dialog, [dialog] { ab_destroy(dialog); });

    if (main_window) {
        for (const EventLink *l = module.links; l && l->kind != Link_End; ++l)
            if (l->kind == Link_Menu && l->module)
                menu_install_shortcuts(top, *l->module);
        ab_show_main_window(top);
        for (const EventLink *l = module.links; l && l->kind != Link_End; ++l)
            if (takes_service_events(*l)) {
                ab_discard_pending_signals();
                svc_set_target(top);
            }
    } else {
        // A dialog whose widgets keep no anchors is laid out for its one
        // size: the window manager offers no resizing or maximizing.
        const auto children = top->findChildren<QWidget *>();
        if (std::none_of(children.begin(), children.end(), [](QWidget *w) { return w->property("anchors").isValid(); }))
            top->setFixedSize(top->size());
        place(top, from, placement);
        top->show();
    }
    ab_fire_reason(*ref.module, ref.top, Reason_Realized);
    return top;
}

void ab_link_window(Widget *parent, const EventLink *links)
{
    for (const EventLink *l = links; l && l->kind != Link_End; ++l)
        if (l->kind == Link_Window && l->module)
            ab_open_module(*l->module, parent, l->placement);
}

void ab_destroy(Widget *widget)
{
    OpenModule *open = module_of(widget);
    if (open == nullptr)
        return;
    QWidget *top = open->top;
    ab_fire_reason(*open->module, open->top, Reason_Destroyed);
    open->closing = true;
    clear_slots(top);
    if (svc_target() == top)
        svc_set_target(nullptr);
    const bool main_window = open->module->kind == ModuleKind::Window;
    top->hide();
    top->deleteLater();
    std::erase_if(Open, [top](const auto &o) { return o->top == top || o->top.isNull(); });
    if (main_window)
        QCoreApplication::quit();
}

// One batch per turn of the event loop, never "until the pipe is empty":
// handling an event can post the next one (a song that cannot be heard ends
// at once and asks for the next), and draining would then run a whole
// playlist without ever letting the window paint or take input. The
// notifier fires again while codes are left.
void ab_deliver_service_events()
{
    std::uint16_t codes[256];
    const std::size_t n = svc_read(codes, std::size(codes));
    for (std::size_t i = 0; i < n; ++i) {
        QWidget *target = svc_target();
        OpenModule *open = target ? module_of(target) : nullptr;
        if (open == nullptr)
            continue;
        for (const EventLink *l = open->module->links; l && l->kind != Link_End; ++l)
            if (takes_service_events(*l)) {
                CallbackInfo cb;
                cb.event_type = Event_Service;
                cb.event_subtype = codes[i];
                ab_fire(*l, target, target, cb);
            }
    }
}

void ab_modules_shutdown()
{
    for (auto &open : Open)
        if (open->top)
            delete open->top.data();
    Open.clear();
    PictureCache.clear();
    PictureModules.clear();
}

const Picture *ab_get_picture(const Module &database, const char *name)
{
    auto &module = PictureModules[&database];
    if (!module) {
        module.reset(ui_create_module(database.resource));
        if (!module)
            return nullptr;
    }
    auto *label = module->findChild<QLabel *>(QLatin1String(name));
    if (label == nullptr)
        return nullptr;
    auto &picture = PictureCache[{&database, name}];
    if (!picture)
        picture = std::make_unique<Picture>(Picture{label->pixmap()});
    return picture.get();
}
