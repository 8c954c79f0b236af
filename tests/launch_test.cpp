// How the program and its run script start: without a display the program
// says so in one line instead of aborting, and the run script keeps the
// caller's session.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QProcess>
#include <cstdio>
#include <filesystem>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status;
    QString out, err;
    qint64 ms;
};

// The program started as from a terminal with no display at all.
Outcome run_without_display(const QStringList &args, const QString &display = {})
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_SESSION_TYPE"})
        env.remove(name);
    if (!display.isEmpty())
        env.insert("DISPLAY", display);
    QProcess tonra;
    tonra.setProcessEnvironment(env);
    QElapsedTimer clock;
    clock.start();
    tonra.start(TONRA_BINARY, args);
    EXPECT_TRUE(tonra.waitForFinished(10000));
    return {tonra.exitStatus() == QProcess::NormalExit ? tonra.exitCode() : -1,
            QString::fromUtf8(tonra.readAllStandardOutput()), QString::fromUtf8(tonra.readAllStandardError()),
            clock.elapsed()};
}

// A display number no X server on this machine holds.
QString free_display()
{
    int n = 99;
    while (fs::exists("/tmp/.X11-unix/X" + std::to_string(n)) || fs::exists("/tmp/.X" + std::to_string(n) + "-lock"))
        n += 100;
    return ":" + QString::number(n);
}

std::string shell(const std::string &command)
{
    std::string out;
    if (FILE *pipe = popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe))
            out += buffer;
        pclose(pipe);
    }
    return out;
}

TEST(Launch, WithoutADisplayOneLineAndStatusOne)
{
    const QString display = free_display();
    for (const auto &[args, env_display, line] : {
             std::tuple{QStringList{"-s", display}, QString(), "tonra: cannot open display " + display + "\n"},
             std::tuple{QStringList{"song.mp3"}, display, "tonra: cannot open display " + display + "\n"},
             std::tuple{QStringList{}, QString(),
                        QString("tonra: cannot open display: neither DISPLAY nor WAYLAND_DISPLAY is set\n")},
         }) {
        const Outcome o = run_without_display(args, env_display);
        EXPECT_EQ(o.status, 1) << args.join(' ').toStdString();
        EXPECT_EQ(o.err, line);
        EXPECT_LT(o.ms, 1000);
    }
    const Outcome help = run_without_display({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.startsWith("tonra - ")) << help.out.toStdString();
    EXPECT_EQ(help.err, "");
}

// The environment step of scripts/run.sh, as a user other than root.
TEST(Launch, RunScriptKeepsTheUsersSession)
{
    const bool root = geteuid() == 0;
    const std::string as = root ? "runuser -u nobody -- " : "";
    const std::string step = std::string(". ") + TONRA_TEST_DIR + "/../scripts/env.sh && tonra_runtime_dir && ";
    EXPECT_EQ(shell(as + "env XDG_RUNTIME_DIR=/run/user/4242 bash -c '" + step + "echo $XDG_RUNTIME_DIR'"),
              "/run/user/4242\n");
    // Unset, it becomes a directory of the user's own that nobody else enters.
    const std::string made = shell(as + "env -u XDG_RUNTIME_DIR bash -c '" + step + "echo $XDG_RUNTIME_DIR'");
    const fs::path dir = made.substr(0, made.find('\n'));
    ASSERT_TRUE(fs::is_directory(dir)) << made;
    EXPECT_EQ(shell("stat -c '%u %a' " + dir.string()), std::to_string(root ? 65534 : geteuid()) + " 700\n");
    if (!dir.string().starts_with("/run/user/"))
        fs::remove_all(dir);
    // Started through sudo, the rest runs as the user who asked.
    if (root) {
        EXPECT_EQ(shell(std::string("env SUDO_USER=nobody bash -c '. ") + TONRA_TEST_DIR +
                        "/../scripts/env.sh && tonra_as_invoking_user id -un'"),
                  "nobody\n");
    }
}

} // namespace
