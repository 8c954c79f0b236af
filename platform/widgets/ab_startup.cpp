// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up: the window options of the command line, the application
// object, the main window shown as the options ask, and the end of the
// process. Main thread (which becomes the user-interface thread) only.
#include <QApplication>
#include <QCursor>
#include <QIcon>
#include <QLabel>
#include <QScreen>
#include <QSocketNotifier>
#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <pthread.h>

#include "platform/desktop/app_id.h"
#include "platform/widgets/ab_qt.h"
#include "platform/widgets/display.h"
#include "platform/widgets/service_events.h"
#include "platform/widgets/user_signals.h"

namespace {

// Fixed text: the start of the complaint about a window option, as users
// and scripts have long read it; keep it exactly as it is.
constexpr char BadValueFormat[] = "tonra: bad value for -%c: %s\n";
// The mark the usage text was written with for the command's name.
constexpr char UsageCommandMark[] = "%C";

std::unique_ptr<QApplication> App;
WindowOptions Options;
int QtArgc = 1;
char *QtArgv[2] = {nullptr, nullptr};

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

void print_usage(std::FILE *stream, const char *argv0)
{
    const char *slash = std::strrchr(argv0, '/');
    const std::string name = slash ? slash + 1 : argv0;
    const std::string_view mark = UsageCommandMark;
    for (const char *const *line = ab_application().usage; line && *line; ++line) {
        std::string text = *line;
        for (std::size_t at; (at = text.find(mark)) != std::string::npos;)
            text.replace(at, mark.size(), name);
        std::fprintf(stream, "%s\n", text.c_str());
    }
}

// The desktop knows the program by the pictures of its icon module, a large
// and a small one; the window manager picks the size it draws.
void install_icons()
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
void shutdown()
{
    if (!App)
        return;
    ab_modules_shutdown();
    ab_watches_shutdown();
    ab_blocking_shutdown();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    (void)App.release();  // still reachable through qApp
}

} // namespace

// The pictures are compiled into the library; a static library's resource
// initialiser is only linked when something names it. Outside any
// namespace: the macro declares the initialiser where it stands.
static void init_pictures() { Q_INIT_RESOURCE(images); }

QApplication *ab_app() { return App.get(); }

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
            std::fprintf(stderr, BadValueFormat, word[1], value.c_str());
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

void ab_init(int, char **argv, const WindowOptions &options)
{
    Options = options;
    if (!options.server.empty())
        setenv("DISPLAY", options.server.c_str(), 1);
    if (!App && !display_usable(argv[0], options.server))
        ab_exit(1);
    // Threads the toolkit starts must never take SIGUSR1 or SIGUSR2; the
    // user-interface thread unblocks them once the handler is installed.
    user_signals_block();
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
    ab_anchors_install(App.get());
    ab_modules_install(App.get());
    ab_blocking_install(App.get());
    const int fd = svc_open();
    static QSocketNotifier *notifier = nullptr;
    if (notifier == nullptr && fd >= 0) {
        notifier = new QSocketNotifier(fd, QSocketNotifier::Read, App.get());
        QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] { ab_deliver_service_events(); });
    }
}

void ab_show_main_window(QWidget *window)
{
    apply_window_options(window);
    switch (Options.state) {
    case 'i': window->showMinimized(); break;
    case 'm': window->showMaximized(); break;
    default: window->show(); break;
    }
    app_id_mark_window(window);
}

int ab_main_loop() { return QApplication::exec(); }

void ab_exit(int status)
{
    std::fflush(nullptr);
    std::_Exit(status);
}
