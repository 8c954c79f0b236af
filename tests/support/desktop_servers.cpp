// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/desktop_servers.h"

#include <chrono>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "support/child.h"

namespace engine_test {

namespace {

// Starts a server that names where it listens in its first line on
// descriptor `fd` (1 or 3).
pid_t spawn_announcing(const std::vector<std::string> &args, std::string &line, int fd)
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return -1;
    ChildIo io;
    (fd == 3 ? io.fd3 : io.out_fd) = out[1];
    const pid_t pid = spawn_child(args, {}, io);
    close(out[1]);
    char c;
    while (pid > 0 && read(out[0], &c, 1) == 1 && c != '\n')
        line += c;
    close(out[0]);
    return pid;
}

}  // namespace

pid_t start_xvfb(std::string &display, const std::string &screen)
{
    display.clear();
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::string number;
        pid_t pid = spawn_announcing({"Xvfb", "-displayfd", "3", "-noreset", "-screen", "0", screen, "-nolisten", "tcp"},
                                     number, 3);
        const std::string named = ":" + number;
        if (!number.empty() &&
            eventually([&] { return !shell("xdpyinfo -display " + named + " >/dev/null 2>&1 && echo up").empty(); },
                       std::chrono::seconds(20))) {
            display = named;
            return pid;
        }
        (void)end_child(pid);
    }
    return -1;
}

std::filesystem::path make_runtime_dir(const std::filesystem::path &dir)
{
    namespace fs = std::filesystem;
    const fs::path run = dir / "run";
    fs::create_directories(run);
    fs::permissions(run, fs::perms::owner_all, fs::perm_options::replace);
    return run;
}

pid_t start_session_bus(std::string &address, const std::filesystem::path &config)
{
    address.clear();
    const std::string configuration = config.empty() ? "--session" : "--config-file=" + config.string();
    return spawn_announcing({"dbus-daemon", configuration, "--nofork", "--print-address=1"}, address, 1);
}

}  // namespace engine_test
