// SPDX-License-Identifier: GPL-3.0-or-later
// The tests' private sound server: it plays what a client sends to its
// default sink on the sink's monitor, and it ends with the process that
// started it even when that process ends without a word (a crash, a
// timeout's kill), so that no daemon outlives a test holding its pipes.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/child.h"
#include "support/engine_support.h"
#include "support/sound_server.h"

using namespace engine_test;
using namespace std::chrono_literals;

namespace {

// Gone, or a zombie that nobody reaps: either way it no longer runs.
bool ended(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return true;
    const auto close = line.rfind(')');
    return close != std::string::npos && line.substr(close + 2, 1) == "Z";
}

}  // namespace

TEST(SoundServer, PlaysToTheMonitorAndEndsWithItsStarter)
{
    if (!SoundServer::available() || !on_path("paplay") || !on_path("parec"))
        GTEST_SKIP() << SoundServer::missing() << "; and paplay and parec";
    {
        SoundServer server;
        ASSERT_TRUE(server.running()) << server.fate();
        const TempDir dir;
        const std::string pulse = "PULSE_SERVER=unix:" + server.socket();
        ChildIo io;
        io.out = dir / "heard.raw";
        pid_t recorder = spawn_child({"parec", "-d", "tonra.monitor", "--raw", "--format=s16le", "--rate=44100",
                                      "--channels=2", "--latency-msec=5"},
                                     {pulse}, io);
        // The monitor records silence until something plays: the recording
        // has begun once that arrives, and the tone cannot be missed.
        ASSERT_TRUE(holds_within(10s, [&] { return fs::exists(io.out) && fs::file_size(io.out) > 0; })) << server.fate();
        ASSERT_EQ(std::system(("sox -q -n -r 44100 -c 2 -b 16 " + dir.file("tone.wav") + " synth 0.5 sine 440 && " +
                               pulse + " paplay " + dir.file("tone.wav")).c_str()),
                  0);
        const auto loud = [&] {
            for (const auto s : read_samples(dir / "heard.raw"))
                if (std::abs(s) > 1000)
                    return true;
            return false;
        };
        EXPECT_TRUE(holds_within(10s, loud)) << server.fate();
        (void)end_child(recorder);
    }

    // The starter ends without destroying it; what it leaves on disk goes
    // with this directory.
    const TempDir left;
    int pids[2];
    ASSERT_EQ(pipe(pids), 0);
    const pid_t starter = fork();
    if (starter == 0) {
        setenv("TMPDIR", left.path().c_str(), 1);
        SoundServer server;
        const pid_t pid = server.running() ? server.pid() : -1;
        (void)!write(pids[1], &pid, sizeof pid);
        _exit(0);
    }
    close(pids[1]);
    pid_t server = -1;
    ASSERT_EQ(read(pids[0], &server, sizeof server), static_cast<ssize_t>(sizeof server));
    close(pids[0]);
    waitpid(starter, nullptr, 0);
    ASSERT_GT(server, 0);
    EXPECT_TRUE(holds_within(10s, [&] { return ended(server); })) << "server " << server << " outlived its starter";
}
