// SPDX-License-Identifier: GPL-3.0-or-later
// The event loop's inputs besides the toolkit's own: descriptor watches,
// the routed signals, and the locked sections other threads hand to it.
// User-interface thread only, except ab_locked, which any thread may call.
#include <QApplication>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QThread>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "platform/widgets/ab_qt.h"

namespace {

// The descriptor the routed signals arrive on.
int SignalFd = -1;
// The application's handler; read in a signal's own context when the
// descriptor could not be made.
std::atomic<void (*)(int)> Route = nullptr;

void route_now(int signo)
{
    if (auto *route = Route.load())
        route(signo);
}

// Without a descriptor the signals are taken as they come, on the threads
// that do not block them: a stop or next sent to the player must not be
// lost. One at a time still: each blocks the others while it runs.
void route_by_handler(const sigset_t &set, std::initializer_list<int> numbers)
{
    struct sigaction action{};
    action.sa_handler = route_now;
    action.sa_mask = set;
    action.sa_flags = SA_RESTART;
    for (const int signo : numbers)
        sigaction(signo, &action, nullptr);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

struct FdWatch {
    std::unique_ptr<QSocketNotifier> notifier;
    FdCallback callback;
    void *data;
};
std::map<int, FdWatch> Watches;

} // namespace

// Signals that came before the main window could take them are dropped, not
// acted on once the loop first runs: a stop sent during start-up would
// otherwise stop the first song before it is heard.
void ab_discard_pending_signals()
{
    signalfd_siginfo info;
    while (SignalFd >= 0 && read(SignalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    }
}

int ab_route_signals(std::initializer_list<int> numbers, void (*handler)(int))
{
    int &fd = SignalFd;
    Route = handler;
    if (fd >= 0)
        return 0;
    sigset_t set;
    sigemptyset(&set);
    for (const int signo : numbers)
        sigaddset(&set, signo);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        std::fprintf(stderr, "tonra: signalfd: %s (signals are taken as they come)\n", std::strerror(error));
        route_by_handler(set, numbers);
        return -1;
    }
    auto *notifier = new QSocketNotifier(fd, QSocketNotifier::Read, ab_app());  // owned by the application
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
        signalfd_siginfo info;
        while (read(SignalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
            route_now(static_cast<int>(info.ssi_signo));
    });
    return 0;
}

int ab_add_fd(int fd, FdCallback callback, void *data)
{
    if (fd < 0 || callback == nullptr)
        return -1;
    ab_remove_fd(fd);
    auto notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, notifier.get(), [fd] {
        const auto it = Watches.find(fd);
        if (it != Watches.end())
            it->second.callback(fd, it->second.data, FdMode_Read);
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

int ab_fd_watch_count() { return static_cast<int>(Watches.size()); }

void ab_watches_shutdown() { Watches.clear(); }

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
    QApplication *app = ab_app();
    if (!app || QThread::currentThread() == app->thread()) {
        section();
        return;
    }
    auto state = std::make_shared<LockedSection>();
    {
        const std::lock_guard posting(LockedPosting);
        QMetaObject::invokeMethod(
            app,
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
