// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/child.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace engine_test {

namespace {

std::vector<std::string> merged_environment(const std::vector<std::string> &changes)
{
    const auto name_of = [](const std::string &var) { return var.substr(0, var.find('=')); };
    std::vector<std::string> vars;
    for (char **e = environ; *e != nullptr; ++e) {
        const std::string var = *e;
        bool changed = false;
        for (const auto &c : changes)
            changed |= name_of(c) == name_of(var);
        if (!changed)
            vars.push_back(var);
    }
    for (const auto &c : changes)
        if (c.find('=') != std::string::npos)
            vars.push_back(c);
    return vars;
}

// Between fork and exec only async-signal-safe calls: everything the child
// needs was made before the fork.
[[noreturn]] void become(const std::vector<char *> &argv, const std::vector<char *> &envp, const ChildIo &io,
                         pid_t parent)
{
    // The parent may have ended before the tie was made.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)
        _exit(127);
    const auto open_to = [](const std::filesystem::path &p, int fd) {
        const int opened = p.empty() ? open("/dev/null", O_WRONLY) : open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (opened < 0 || dup2(opened, fd) < 0)
            _exit(127);
        if (opened != fd)
            close(opened);
    };
    if (io.fd3 >= 0 && dup2(io.fd3, 3) < 0)
        _exit(127);
    if (io.out_fd >= 0) {
        if (dup2(io.out_fd, 1) < 0)
            _exit(127);
    } else {
        open_to(io.out, 1);
    }
    if (io.err_to_out) {
        if (dup2(1, 2) < 0)
            _exit(127);
    } else {
        open_to(io.err, 2);
    }
    const int in = open("/dev/null", O_RDONLY);
    if (in >= 0 && in != 0) {
        dup2(in, 0);
        close(in);
    }
    for (int fd = 0; fd <= 2; ++fd)
        if (io.closed >> fd & 1)
            close(fd);
    // Our signal mask and ignored signals are not the child's business.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    execvpe(argv[0], argv.data(), envp.data());
    _exit(127);
}

}  // namespace

pid_t spawn_child(const std::vector<std::string> &args, const std::vector<std::string> &env, const ChildIo &io)
{
    std::vector<std::string> argv_strings = args, env_strings = merged_environment(env);
    std::vector<char *> argv, envp;
    for (auto &a : argv_strings)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto &v : env_strings)
        envp.push_back(v.data());
    envp.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0)
        become(argv, envp, io, parent);
    return pid;
}

int end_child(pid_t &pid, int grace_ms)
{
    if (pid <= 0)
        return -1;
    int status = -1;
    kill(pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(grace_ms);
    pid_t done = 0;
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (done == 0) {
        kill(pid, SIGKILL);
        done = waitpid(pid, &status, 0);
    }
    pid = -1;
    return done > 0 ? status : -1;
}

bool on_path(const std::string &program)
{
    const char *path = std::getenv("PATH");
    std::string_view dirs = path != nullptr ? path : "/usr/bin:/bin";
    while (!dirs.empty()) {
        const auto colon = dirs.find(':');
        const std::string dir(dirs.substr(0, colon));
        if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0)
            return true;
        dirs = colon == std::string_view::npos ? "" : dirs.substr(colon + 1);
    }
    return false;
}

std::string shell(const std::string &command)
{
    std::string out;
    if (FILE *p = popen(command.c_str(), "r")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;)
            out.append(buffer, n);
        pclose(p);
    }
    return out;
}

}  // namespace engine_test
