// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/app.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <cstring>
#include <deque>

#include "abmain.h"
#include "platform/widgets/ab.h"
#include "tonra.h"

namespace {
// argv must outlive the program: tonra keeps it as CmdArgv.
std::deque<std::string> Storage;
std::vector<char *> Argv;
} // namespace

void open_main_window(std::vector<std::string> args)
{
    if (args.empty())
        args.push_back("tonra");
    Argv.clear();
    for (auto &a : args)
        Argv.push_back(Storage.emplace_back(a).data());
    Argv.push_back(nullptr);
    const int argc = static_cast<int>(args.size());
    interface_register();
    const WindowOptions options = ab_parse_options(argc, Argv.data());
    ab_init(argc, Argv.data(), options);
    tonra_init(argc, Argv.data());
    ab_link_window(nullptr, AbApplLinks);
}

void close_main_window()
{
    for (int i : {ABN_aboutbox, ABN_playlist_selector, ABN_preferences, ABN_base})
        if (AbWidgets[i])
            ab_destroy(AbWidgets[i]);
    pump(10);
}

bool wait_until(const std::function<bool()> &condition, int timeout_ms)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeout_ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QTest::qWait(1);
    }
    return true;
}

void pump(int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QTest::qWait(1);
    }
}
