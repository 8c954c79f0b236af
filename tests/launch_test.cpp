// SPDX-License-Identifier: GPL-3.0-or-later
// How the program and its run script start: without a display the program
// says so in one line instead of aborting, and the run script keeps the
// caller's session.
#include <gtest/gtest.h>

#include <QProcess>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "support/child.h"

using engine_test::shell;

namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status;
    QString out, err;
};

// The program started as from a terminal with no display at all, or with
// DISPLAY naming the given one; `more` adds variables.
Outcome run_without_display(const QStringList &args, const QString &display = {},
                            const std::vector<std::pair<QString, QString>> &more = {})
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_SESSION_TYPE"})
        env.remove(name);
    if (!display.isEmpty())
        env.insert("DISPLAY", display);
    for (const auto &[name, value] : more)
        env.insert(name, value);
    QProcess tonra;
    tonra.setProcessEnvironment(env);
    tonra.start(TONRA_BINARY, args);
    EXPECT_TRUE(tonra.waitForFinished(10000));
    return {tonra.exitStatus() == QProcess::NormalExit ? tonra.exitCode() : -1,
            QString::fromUtf8(tonra.readAllStandardOutput()), QString::fromUtf8(tonra.readAllStandardError())};
}

TEST(Launch, WithoutADisplayOneLineAndStatusOne)
{
    // A display number no X server on this machine holds.
    int n = 99;
    while (fs::exists("/tmp/.X11-unix/X" + std::to_string(n)))
        n += 100;
    const QString display = ":" + QString::number(n), line = "tonra: cannot open display " + display + "\n";
    for (const auto &[args, env_display, expected] :
         {std::tuple{QStringList{"-s", display}, QString(), line}, std::tuple{QStringList{"a.mp3"}, display, line},
          std::tuple{QStringList{}, QString(),
                     QString("tonra: cannot open display: neither DISPLAY nor WAYLAND_DISPLAY is set\n")}}) {
        const Outcome o = run_without_display(args, env_display);
        EXPECT_EQ(o.status, 1) << args.join(' ').toStdString();
        EXPECT_EQ(o.err, expected);
    }
    // A Wayland display whose compositor is gone, where Qt's Wayland plugin
    // is installed (a stand-in here, which must never be loaded).
    std::string dir = (fs::temp_directory_path() / "tonra-plugins-XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    std::ofstream(dir + "/libqwayland-generic.so");
    const Outcome stale = run_without_display({}, {}, {{"WAYLAND_DISPLAY", "wayland-stale"},
                                                       {"QT_QPA_PLATFORM_PLUGIN_PATH", QString::fromStdString(dir)}});
    fs::remove_all(dir);
    EXPECT_EQ(stale.status, 1);
    EXPECT_EQ(stale.err, "tonra: cannot open display: DISPLAY is not set and Wayland display wayland-stale does not answer\n");
    const Outcome help = run_without_display({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.startsWith("tonra - ")) << help.out.toStdString();
    EXPECT_EQ(help.err, "");
}

// The environment step of scripts/run.sh, as a user other than root; and,
// started through sudo, the rest runs as the user who asked.
TEST(Launch, RunScriptKeepsTheUsersSession)
{
    const bool root = geteuid() == 0;
    const std::string as = root ? "runuser -u nobody -- " : "";
    // The checkout may lie where the other user cannot enter (under /root):
    // that user reads a copy of the script from a directory every user reads.
    std::string copy = (fs::temp_directory_path() / "tonra-launch-XXXXXX").string();
    ASSERT_NE(mkdtemp(copy.data()), nullptr);
    fs::permissions(copy, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    fs::copy_file(fs::path(TONRA_TEST_DIR) / ".." / "scripts" / "env.sh", fs::path(copy) / "env.sh");
    fs::permissions(fs::path(copy) / "env.sh", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    struct Removed {
        std::string dir;
        ~Removed()
        {
            std::error_code ignored;
            fs::remove_all(dir, ignored);
        }
    } const removed{copy};
    const std::string env_sh = ". " + copy + "/env.sh && ";
    const std::string step = env_sh + "tonra_runtime_dir && echo $XDG_RUNTIME_DIR'";
    EXPECT_EQ(shell(as + "env XDG_RUNTIME_DIR=/run/user/4242 bash -c '" + step), "/run/user/4242\n");
    // Unset, it becomes a directory of the user's own that nobody else enters.
    const std::string made = shell(as + "env -u XDG_RUNTIME_DIR bash -c '" + step);
    const fs::path dir = made.substr(0, made.find('\n'));
    ASSERT_TRUE(fs::is_directory(dir)) << made;
    EXPECT_EQ(shell("stat -c '%u %a' " + dir.string()), std::to_string(root ? 65534 : geteuid()) + " 700\n");
    if (!dir.string().starts_with("/run/user/"))
        fs::remove_all(dir);
    if (root) {
        EXPECT_EQ(shell("env SUDO_USER=nobody bash -c '" + env_sh + "tonra_as_invoking_user id -un'"), "nobody\n");
    }
}

} // namespace
