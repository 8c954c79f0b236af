// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/ab.h"

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QApplication>
#include <QCursor>
#include <QDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMetaObject>
#include <QPointer>
#include <QScreen>
#include <QShortcut>
#include <QSocketNotifier>
#include <QThread>
#include <QTreeView>
#include <algorithm>
#include <climits>
#include <csignal>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "abmain.h"
#include "platform/ab_qt.h"
#include "platform/display.h"
#include "platform/list.h"
#include "platform/service_events.h"

namespace {

std::unique_ptr<QApplication> App;
WindowOptions Options;
int QtArgc = 1;
char *QtArgv[2] = {nullptr, nullptr};

// An open window or dialog: its module and the widgets its links name.
struct OpenModule {
    const Module *module;
    QPointer<QWidget> top;
    bool closing = false;
};
std::vector<std::unique_ptr<OpenModule>> Open;
std::map<std::pair<const Module *, std::string>, std::unique_ptr<Picture>> PictureCache;
std::map<const Module *, std::unique_ptr<QWidget>> PictureModules;

LinkObserver Observer;

// The descriptor the routed signals arrive on.
int SignalFd = -1;

// Signals that came before the main window could take them are dropped, not
// acted on once the loop first runs: a stop sent during start-up would
// otherwise stop the first song before it is heard.
void discard_pending_signals()
{
    signalfd_siginfo info;
    while (SignalFd >= 0 && read(SignalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    }
}

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

QWidget *find_instance(QWidget *top, const char *instance)
{
    if (instance == nullptr)
        return nullptr;
    if (top->objectName() == QLatin1String(instance))
        return top;
    return top->findChild<QWidget *>(QLatin1String(instance));
}

// ---- resizing by anchors --------------------------------------------------
//
// Each widget keeps the distances its "anchors" property names: left, right,
// top, bottom (kept from the parent's edge), or xprop/yprop (moves in
// proportion), topprop/bottomprop (that edge moves in proportion). A parent
// without a "design" size property takes its size at creation as designed.

struct AnchorSpan {
    int pos, size, parent;
};
int anchor_axis(bool lead, bool trail, bool prop, bool lead_prop, bool trail_prop, AnchorSpan d, int parent,
                int &size)
{
    const int trail_gap = d.parent - d.pos - d.size;
    size = d.size;
    if (lead_prop && trail) {
        const int pos = d.parent ? d.pos * parent / d.parent : d.pos;
        size = parent - trail_gap - pos;
        return pos;
    }
    if (lead && trail_prop) {
        size = (d.parent ? (d.pos + d.size) * parent / d.parent : d.pos + d.size) - d.pos;
        return d.pos;
    }
    if (lead && trail) {
        size = parent - d.pos - trail_gap;
        return d.pos;
    }
    if (trail)
        return parent - trail_gap - d.size;
    if (prop)
        return d.parent ? d.pos * parent / d.parent : d.pos;
    return d.pos;
}

class Anchors final : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject *object, QEvent *event) override
    {
        if (event->type() == QEvent::Resize)
            if (auto *w = qobject_cast<QWidget *>(object))
                relayout(w);
        return false;
    }
    static void relayout(QWidget *parent)
    {
        const QSize design = parent->property("design_size").toSize();
        for (QObject *child : parent->children()) {
            auto *w = qobject_cast<QWidget *>(child);
            if (w == nullptr || w->isWindow() || !w->property("design_rect").isValid())
                continue;
            const QRect d = w->property("design_rect").toRect();
            const QString a = w->property("anchors").toString();
            auto has = [&](const char *token) { return a.split('|').contains(QLatin1String(token)); };
            int width, height;
            const int x = anchor_axis(has("left") || !has("right"), has("right"), has("xprop"), has("leftprop"),
                                      has("rightprop"), {d.x(), d.width(), design.width()}, parent->width(), width);
            const int y = anchor_axis(has("top") || !has("bottom"), has("bottom"), has("yprop"), has("topprop"),
                                      has("bottomprop"), {d.y(), d.height(), design.height()}, parent->height(),
                                      height);
            w->setGeometry(x, y, std::max(width, 0), std::max(height, 0));
            // A widget hidden by its module stays hidden; one with a least
            // height hides below it rather than draw its contents over
            // each other.
            const QVariant least = w->property("least_height");
            const bool shown = !w->property("hidden_by_module").toBool() && (!least.isValid() || height >= least.toInt());
            if (w->isVisibleTo(parent) != shown)
                w->setVisible(shown);
        }
    }
};
Anchors *AnchorFilter;

void record_anchors(QWidget *top)
{
    QList<QWidget *> all = top->findChildren<QWidget *>();
    all.prepend(top);
    for (QWidget *w : all) {
        if (!w->property("anchors").isValid())
            continue;
        w->setProperty("design_rect", w->geometry());
        QWidget *parent = w->parentWidget();
        if (parent == nullptr)
            continue;
        if (!parent->property("design_size").isValid())
            parent->setProperty("design_size", parent->size());
        else if (parent->property("design_size").typeId() == QMetaType::QString) {
            const QStringList wh = parent->property("design_size").toString().split('x');
            parent->setProperty("design_size", QSize(wh.value(0).toInt(), wh.value(1).toInt()));
        }
        parent->installEventFilter(AnchorFilter);
    }
}

// ---- dispatch ---------------------------------------------------------------

QWidget *open_module(const Module &module, QWidget *from, int placement);

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
            open_module(*link.module, widget, link.placement);
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
    default:
        break;
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

// The Menu key and Shift+F10 open a list's menu beside its current row, not
// at the pointer, which may be anywhere on the screen.
class MenuKey final : public QObject {
public:
    MenuKey(QAbstractItemView *view, const EventLink *link, QWidget *top) : QObject(view), view_(view), link_(link), top_(top) {}
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() != QEvent::KeyPress || !top_)
            return false;
        const auto *key = static_cast<QKeyEvent *>(event);
        const bool menu_key = key->key() == Qt::Key_Menu && key->modifiers() == Qt::NoModifier;
        const bool shift_f10 = key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier;
        if (!menu_key && !shift_f10)
            return false;
        QPoint at(0, 0);
        if (const QModelIndex current = view_->currentIndex(); current.isValid()) {
            view_->scrollTo(current);
            const QRect row = view_->visualRect(current);
            at = QPoint(std::max(row.left(), 0) + 8, row.center().y());
        }
        fire(*link_, view_, top_, CallbackInfo{}, view_->viewport()->mapToGlobal(at));
        return true;
    }

private:
    QAbstractItemView *view_;
    const EventLink *link_;
    QPointer<QWidget> top_;
};

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

void bind(const EventLink &link, QWidget *top)
{
    QWidget *w = find_instance(top, link.instance);
    if (w == nullptr) {
        std::fprintf(stderr, "tonra: no widget %s for its link\n", link.instance ? link.instance : "(none)");
        return;
    }
    QPointer<QWidget> owner(top);
    auto run = [&link, owner](QWidget *widget, CallbackInfo cb = {}) {
        if (owner)
            fire(link, widget, owner, cb);
    };
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
        QObject::connect(w, &QWidget::customContextMenuRequested, w, [run, w](const QPoint &) { run(w); });
        if (auto *view = qobject_cast<QAbstractItemView *>(w))
            view->installEventFilter(new MenuKey(view, &link, top));
        break;
    case Reason_RawEvent:
    case Reason_Realized:
    case Reason_Destroyed:
        break;  // run by the layer itself: service events, opening, closing
    default:
        break;
    }
}

void fire_reason(OpenModule &open, int reason, CallbackInfo cb = {})
{
    for (const EventLink *l = open.module->links; l && l->kind != 0; ++l)
        if (l->reason == reason && l->category != Category_Function)
            if (QWidget *w = find_instance(open.top, l->instance))
                fire(*l, w, open.top, cb);
}

void fill_slots(QWidget *top)
{
    for (int i = 0; i < AbWidgetCount; ++i)
        if (QWidget *w = find_instance(top, AbWidgetNames[i]))
            AbWidgets[i] = w;
}

void clear_slots(QWidget *top)
{
    for (auto &slot : AbWidgets)
        if (slot && (slot == top || top->isAncestorOf(slot)))
            slot = nullptr;
}

// The number of a window option value and what follows it. Values too large
// for an int are held at its limit: they are off any screen anyway.
struct OptionNumber {
    int number = 0;
    bool negative = false;
    bool percent = false;
    bool relative = false;
    bool valid = false;
};

OptionNumber read_option(const std::string &text, bool position)
{
    OptionNumber read;
    std::size_t at = 0;
    if (position && at < text.size() && (text[at] == '-' || text[at] == '+'))
        read.negative = text[at++] == '-';
    const std::size_t digits = at;
    long long number = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at)
        number = std::min<long long>(number * 10 + (text[at] - '0'), INT_MAX);
    if (at == digits)
        return read;
    for (; at < text.size(); ++at) {
        if (text[at] == '%' && !read.percent)
            read.percent = true;
        else if (text[at] == 'r' && position && !read.relative)
            read.relative = true;
        else
            return read;
    }
    read.number = static_cast<int>(number);
    // A size is a positive number of pixels, or a percentage of the screen
    // of at most the whole of it.
    read.valid = position || (number > 0 && (!read.percent || number <= 100));
    return read;
}

// Pixels, or "%" of the screen size; "r" makes a position relative to the
// screen under the pointer. A size never exceeds the screen.
int option_value(const std::string &text, int screen_size, int screen_origin, bool position)
{
    const OptionNumber read = read_option(text, position);
    long long value = read.percent ? static_cast<long long>(screen_size) * read.number / 100 : read.number;
    if (read.negative)
        value = -value;
    if (!position)
        return static_cast<int>(std::clamp<long long>(value, 1, std::max(screen_size, 1)));
    if (read.relative)
        value += screen_origin;
    return static_cast<int>(std::clamp<long long>(value, INT_MIN / 2, INT_MAX / 2));
}

void apply_window_options(QWidget *window)
{
    QScreen *screen = QGuiApplication::screenAt(QCursor::pos());
    if (screen == nullptr)
        screen = QGuiApplication::primaryScreen();
    const QRect s = screen ? screen->geometry() : QRect(0, 0, 1024, 768);
    QRect g = window->geometry();
    if (!Options.w.empty()) {
        g.setWidth(option_value(Options.w, s.width(), 0, false));
        // A width asked for on the command line wins over the designed minimum.
        window->setMinimumWidth(std::min(window->minimumWidth(), g.width()));
    }
    if (!Options.h.empty())
        g.setHeight(option_value(Options.h, s.height(), 0, false));
    QPoint at = window->pos();
    if (!Options.x.empty())
        at.setX(option_value(Options.x, s.width(), s.x(), true));
    if (!Options.y.empty())
        at.setY(option_value(Options.y, s.height(), s.y(), true));
    window->resize(g.size());
    if (!Options.x.empty() || !Options.y.empty())
        window->move(at);
}

void place(QWidget *top, QWidget *from, int placement)
{
    QWidget *main = AbWidgets[ABN_base];
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

QWidget *open_module(const Module &module, QWidget *from, int placement)
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
    if (!main_window && AbWidgets[ABN_base] && top->parentWidget() == nullptr)
        top->setParent(AbWidgets[ABN_base], Qt::Dialog);
    auto open = std::make_unique<OpenModule>(OpenModule{&module, top});
    OpenModule &ref = *open;
    Open.push_back(std::move(open));

    record_anchors(top);
    // The desktop theme's pictures where it has them, our own otherwise.
    for (auto *button : top->findChildren<QAbstractButton *>())
        if (const QString name = button->property("themeIcon").toString(); !name.isEmpty() && QIcon::hasThemeIcon(name))
            button->setIcon(QIcon::fromTheme(name));
    fill_slots(top);
    // Lists get their model whether or not a link names a picture function.
    for (auto *view : top->findChildren<QTreeView *>())
        if (!view->model())
            tree_attach(view, nullptr);
    for (const EventLink *l = module.links; l && l->kind != 0; ++l)
        bind(*l, top);
    top->installEventFilter(CloseFilter);
    // Escape rejects a QDialog, which only hides it: the module would stay
    // open unseen, its destroyed handlers never run and the link that opens
    // it would only raise the hidden window.
    if (auto *dialog = qobject_cast<QDialog *>(top))
        QObject::connect(dialog, &QDialog::finished, dialog, [dialog] { ab_destroy(dialog); });

    if (main_window) {
        for (const EventLink *l = module.links; l && l->kind != 0; ++l)
            if (l->kind == Link_Menu && l->module)
                menu_install_shortcuts(top, *l->module);
        apply_window_options(top);
        switch (Options.state) {
        case 'i': top->showMinimized(); break;
        case 'm': top->showMaximized(); break;
        default: top->show(); break;
        }
        for (const EventLink *l = module.links; l && l->kind != 0; ++l)
            if (l->category == Category_RawEvent && (l->event_mask & 0x40000)) {
                discard_pending_signals();
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
    fire_reason(ref, Reason_Realized);
    return top;
}

// One batch per turn of the event loop, never "until the pipe is empty":
// handling an event can post the next one (a song that cannot be heard ends
// at once and asks for the next), and draining would then run a whole
// playlist without ever letting the window paint or take input. The
// notifier fires again while codes are left.
void deliver_service_events()
{
    std::uint16_t codes[256];
    const std::size_t n = svc_read(codes, std::size(codes));
    for (std::size_t i = 0; i < n; ++i) {
        QWidget *target = svc_target();
        OpenModule *open = target ? module_of(target) : nullptr;
        if (open == nullptr)
            continue;
        for (const EventLink *l = open->module->links; l && l->kind != 0; ++l)
            if (l->category == Category_RawEvent && (l->event_mask & 0x40000)) {
                CallbackInfo cb;
                cb.event_type = 0x40000;
                cb.event_subtype = codes[i];
                fire(*l, target, target, cb);
            }
    }
}

struct FdWatch {
    std::unique_ptr<QSocketNotifier> notifier;
    FdCallback callback;
    void *data;
};
std::map<int, FdWatch> Watches;

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

// ---- start-up ------------------------------------------------------------------

namespace {

void print_usage(std::FILE *stream, const char *argv0)
{
    const char *slash = std::strrchr(argv0, '/');
    const std::string name = slash ? slash + 1 : argv0;
    for (const char *const *line = UsageText; *line; ++line) {
        std::string text = *line;
        for (std::size_t at; (at = text.find("%C")) != std::string::npos;)
            text.replace(at, 2, name);
        std::fprintf(stream, "%s\n", text.c_str());
    }
}

} // namespace

WindowOptions ab_parse_options(int argc, char **argv)
{
    WindowOptions options;
    for (int i = 1; i < argc; ++i) {
        const char *word = argv[i];
        if (std::strcmp(word, "--help") == 0) {
            print_usage(stdout, argv[0]);
            std::exit(0);
        }
        if (word[0] != '-' || word[1] == '\0' || std::strchr("sxyhwS", word[1]) == nullptr)
            continue;
        std::string value = word + 2;
        if (value.empty() && i + 1 < argc)
            value = argv[++i];
        // A window the user cannot see or close is worse than no window.
        if (std::strchr("xyhw", word[1]) != nullptr &&
            !read_option(value, word[1] == 'x' || word[1] == 'y').valid) {
            std::fprintf(stderr, "tonra: bad value for -%c: %s\n", word[1], value.c_str());
            print_usage(stderr, argv[0]);
            std::exit(1);
        }
        switch (word[1]) {
        case 's': options.server = value; break;
        case 'x': options.x = value; break;
        case 'y': options.y = value; break;
        case 'h': options.h = value; break;
        case 'w': options.w = value; break;
        case 'S': options.state = value.empty() ? 'n' : value[0]; break;
        }
    }
    return options;
}

// The pictures are compiled into the library; a static library's resource
// initialiser is only linked when something names it.
static void init_pictures() { Q_INIT_RESOURCE(images); }

// The desktop knows the program by the pictures of its icon module, a large
// and a small one; the window manager picks the size it draws.
static void install_icons()
{
    const std::unique_ptr<QWidget> icons(ui_create_module("Icon.wgti"));
    if (!icons)
        return;
    QIcon icon;
    for (const auto *label : icons->findChildren<QLabel *>())
        icon.addPixmap(label->pixmap());
    App->setWindowIcon(icon);
}

// Takes the windows down at exit (tests and tools return from main; the
// program itself ends with ab_exit). The application object itself is left
// standing: Qt's own global statics are gone by the time a static owner
// would destroy it, and its destructor then crashes.
static void shutdown()
{
    if (!App)
        return;
    for (auto &open : Open)
        if (open->top)
            delete open->top.data();
    Open.clear();
    PictureCache.clear();
    PictureModules.clear();
    Watches.clear();
    Blocks.clear();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    (void)App.release();  // still reachable through qApp
}

void ab_init(int, char **argv, const WindowOptions &options)
{
    Options = options;
    if (!options.server.empty())
        setenv("DISPLAY", options.server.c_str(), 1);
    if (!App && !display_usable(argv[0], options.server))
        ab_exit(1);
    // Threads the toolkit starts must never take SIGUSR1 or SIGUSR2; the
    // user-interface thread unblocks them once the handler is installed.
    sigset_t usr;
    sigemptyset(&usr);
    sigaddset(&usr, SIGUSR1);
    sigaddset(&usr, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &usr, nullptr);
    // The toolkit sees only the program name: song paths are never its.
    QtArgv[0] = argv[0];
    if (!App) {
        App = std::make_unique<QApplication>(QtArgc, QtArgv);
        std::atexit(shutdown);
    }
    init_pictures();
    App->setQuitOnLastWindowClosed(false);
    App->setApplicationName("tonra");
    App->setDesktopFileName("org.tonra.Tonra");
    install_icons();
    if (!AnchorFilter) {
        AnchorFilter = new Anchors(App.get());
        CloseFilter = new CloseWatch(App.get());
        Blocker = new BlockFilter(App.get());
        App->installEventFilter(Blocker);
    }
    const int fd = svc_open();
    static QSocketNotifier *notifier = nullptr;
    if (notifier == nullptr && fd >= 0) {
        notifier = new QSocketNotifier(fd, QSocketNotifier::Read, App.get());
        QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] { deliver_service_events(); });
    }
}


int ab_route_signals(std::initializer_list<int> numbers, void (*handler)(int))
{
    int &fd = SignalFd;
    static void (*route)(int) = nullptr;
    route = handler;
    if (fd >= 0)
        return 0;
    sigset_t set;
    sigemptyset(&set);
    for (const int signo : numbers)
        sigaddset(&set, signo);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd < 0)
        return -1;
    auto *notifier = new QSocketNotifier(fd, QSocketNotifier::Read, App.get());  // owned by the application
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
        signalfd_siginfo info;
        while (read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
            if (route)
                route(static_cast<int>(info.ssi_signo));
    });
    return 0;
}

void ab_link_window(Widget *parent, const EventLink *links)
{
    for (const EventLink *l = links; l && l->kind != 0; ++l)
        if (l->kind == Link_Window && l->module)
            open_module(*l->module, parent, l->placement);
}

int ab_main_loop() { return QApplication::exec(); }

void ab_exit(int status)
{
    std::fflush(nullptr);
    std::_Exit(status);
}

void ab_destroy(Widget *widget)
{
    OpenModule *open = module_of(widget);
    if (open == nullptr)
        return;
    QWidget *top = open->top;
    fire_reason(*open, Reason_Destroyed);
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

void ab_fire(const EventLink &link, QWidget *widget, QWidget *module_widget, CallbackInfo cb)
{
    fire(link, widget, module_widget, cb);
}

void ab_set_link_observer(LinkObserver observer) { Observer = std::move(observer); }

// ---- descriptors, blocking, redraw --------------------------------------------------

int ab_add_fd(int fd, FdCallback callback, void *data)
{
    if (fd < 0 || callback == nullptr)
        return -1;
    ab_remove_fd(fd);
    auto notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, notifier.get(), [fd] {
        const auto it = Watches.find(fd);
        if (it != Watches.end())
            it->second.callback(fd, it->second.data, 0x10000000);
    });
    Watches[fd] = FdWatch{std::move(notifier), callback, data};
    return 0;
}

int ab_remove_fd(int fd)
{
    const auto it = Watches.find(fd);
    if (it == Watches.end())
        return -1;
    it->second.notifier->setEnabled(false);
    // The notifier may be the one whose callback is running: let it go later.
    it->second.notifier.release()->deleteLater();
    Watches.erase(it);
    return 0;
}

void ab_relayout(QWidget *parent)
{
    if (parent)
        Anchors::relayout(parent);
}

int ab_fd_watch_count() { return static_cast<int>(Watches.size()); }

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

namespace {
// A section handed to the user-interface thread, and the word that it ran.
// The hand-over is made with standard locks rather than Qt's blocking
// connection: that one orders nothing the thread sanitizer can see, so every
// value a section and its caller share was reported as a race, and the
// caller itself deleted the call object that the other thread had just run.
struct LockedSection {
    std::mutex mutex;
    std::condition_variable ran;
    bool finished = false;
};
// Held while a section is posted and taken by the section first, so what
// the caller prepared is ordered before the section reads it.
std::mutex LockedPosting;
bool InLockedSection;  // user-interface thread only
} // namespace

bool ab_in_locked_section() { return InLockedSection; }

void ab_locked(const std::function<void()> &section)
{
    if (!App || QThread::currentThread() == App->thread()) {
        section();
        return;
    }
    auto state = std::make_shared<LockedSection>();
    {
        const std::lock_guard posting(LockedPosting);
        QMetaObject::invokeMethod(
            App.get(),
            [&section, state] {
                { const std::lock_guard posted(LockedPosting); }
                InLockedSection = true;
                section();
                InLockedSection = false;
                const std::lock_guard lock(state->mutex);
                state->finished = true;
                state->ran.notify_one();
            },
            Qt::QueuedConnection);
    }
    std::unique_lock lock(state->mutex);
    state->ran.wait(lock, [&state] { return state->finished; });
}

void ab_process_events() { QCoreApplication::processEvents(); }

// ---- pictures -----------------------------------------------------------------

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
