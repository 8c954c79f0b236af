// SPDX-License-Identifier: GPL-3.0-or-later
// A private sound server for the tests, speaking PulseAudio's protocol on a
// socket of its own, with a null sink "tonra" (the default sink) whose
// monitor "tonra.monitor" carries what it played. PulseAudio where it is
// installed, else PipeWire with pipewire-pulse and wireplumber (what a
// desktop of PipeWire already has); TONRA_TEST_SOUND_SERVER=pulseaudio or
// =pipewire insists on one. It lives in a directory of its own (home,
// runtime and configuration), touches no device and no session of the
// caller, and dies with the test however that ends.
// Create, use and destroy it on one thread, the one that outlives it.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

#include "support/engine_support.h"

namespace engine_test {

class SoundServer {
public:
    // sink_options: added to the null sink's arguments ("norewinds=1").
    explicit SoundServer(const std::string &sink_options = {});
    ~SoundServer();
    SoundServer(const SoundServer &) = delete;
    SoundServer &operator=(const SoundServer &) = delete;

    // Whether the chosen daemons are installed; when not, missing() is the
    // line a test skips with.
    [[nodiscard]] static bool available();
    [[nodiscard]] static std::string missing();
    // "pulseaudio" or "pipewire".
    [[nodiscard]] static std::string kind();

    // Came up (answering, its default sink the null sink) and has not ended.
    [[nodiscard]] bool running();
    // What PULSE_SERVER=unix:<path> takes.
    [[nodiscard]] std::string socket() const { return socket_; }
    // The process that serves the socket: SIGSTOP hangs it, kill() ends it.
    [[nodiscard]] pid_t pid() const { return pid_; }
    // Ends every process of the server.
    void kill();
    // Whether it still runs, else how it ended; then the end of its log.
    [[nodiscard]] std::string fate();

private:
    bool start_pulseaudio(const std::string &sink_options);
    bool start_pipewire(const std::string &sink_options);
    [[nodiscard]] bool answers() const;

    TempDir dir_;
    std::string socket_;
    std::vector<std::string> env_;
    pid_t pid_ = -1;
    std::vector<pid_t> helpers_;  // PipeWire's own daemon and session manager
    std::string ended_;
};

}  // namespace engine_test
