// SPDX-License-Identifier: GPL-3.0-or-later
// The private X server and session bus a test's desktop runs on, started as
// the test's children (child.h: they die with it). Call from the main thread;
// reap them with end_child.
#pragma once

#include <filesystem>
#include <string>

#include <sys/types.h>

namespace engine_test {

// An Xvfb on a display it picks itself, so that test programs side by side
// never share one; a server that does not answer xdpyinfo is replaced.
// `display` is ":N", or empty (and the pid -1) when none came up.
[[nodiscard]] pid_t start_xvfb(std::string &display, const std::string &screen = "800x600x24");

// `dir`/run, made and kept to ourselves (0700) as a runtime directory must
// be: where the servers a test starts put their sockets.
std::filesystem::path make_runtime_dir(const std::filesystem::path &dir);

// A dbus-daemon with the session configuration, or with `config` where
// given; `address` is what it printed, empty when it did not start.
[[nodiscard]] pid_t start_session_bus(std::string &address, const std::filesystem::path &config = {});

}  // namespace engine_test
