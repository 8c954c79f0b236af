// SPDX-License-Identifier: GPL-3.0-or-later
// The servers and tools a test starts, tied to it: each dies when the thread
// that started it ends, however the test ends (a failed assertion, a crash,
// a timeout's kill), so that none is left holding the caller's pipes.
// Start them from the thread that outlives them (the main thread) and reap
// them with end_child.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace engine_test {

// Where the child's output goes: a file (created, truncated), or a
// descriptor of ours; otherwise /dev/null. err_to_out sends the error
// stream where the output goes. fd3, when set, becomes the child's 3.
// closed: standard streams left closed, as a shell's >&- leaves them (bit 0
// input, 1 output, 2 error).
struct ChildIo {
    std::filesystem::path out, err;
    int out_fd = -1, fd3 = -1;
    bool err_to_out = false;
    unsigned closed = 0;
};

// Runs `args` (looked up in PATH) with our environment, where each
// "NAME=value" of `env` replaces or adds that variable and each bare
// "NAME" removes it. Returns the child's pid, or -1 when it could not start.
[[nodiscard]] pid_t spawn_child(const std::vector<std::string> &args, const std::vector<std::string> &env = {},
                                const ChildIo &io = {});
// Kills the child (SIGTERM, then SIGKILL after a grace) and reaps it; sets
// pid to -1. Returns its wait status, or -1 when it was already gone.
int end_child(pid_t &pid, int grace_ms = 2000);

// Whether a program of that name is in PATH.
[[nodiscard]] bool on_path(const std::string &program);

// Runs a command line with /bin/sh and returns what it wrote to its output;
// its error stream is ours.
std::string shell(const std::string &command);

// Whether the condition holds before the limit, asked every 50 ms from a
// thread without an event loop (a test with one uses wait_until, app.h).
template <class F> bool eventually(F condition, std::chrono::milliseconds limit = std::chrono::seconds(30))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

}  // namespace engine_test
