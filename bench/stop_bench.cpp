// SPDX-License-Identifier: GPL-3.0-or-later
// How long Stop holds the window when the sound server freezes at that very
// instant, against a Stop while it answers (which plays out what the
// stream holds, up to its 0.37 s), both in the same run. Needs the sound
// server whose process id is given to be the one the output finds
// (scripts/bench-engine.sh starts one).
//
//   stop_bench SERVER_PID [ROUNDS]
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "madthread.h"
#include "platform/widgets/service_events.h"
#include "support/bench_support.h"

namespace {

using namespace bench;

std::string song_path()
{
    const std::string path = "/tmp/tonra-bench-stop-30s.mp3";
    if (access(path.c_str(), R_OK) != 0 &&
        std::system(("sox -n -r 44100 -c 2 -b 16 /tmp/tonra-bench-stop.wav synth 30 sine 440 vol 0.5 && "
                     "lame --quiet -b 128 /tmp/tonra-bench-stop.wav " + path + " && rm /tmp/tonra-bench-stop.wav").c_str()) != 0) {
        std::fprintf(stderr, "cannot make the song (sox, lame)\n");
        std::exit(1);
    }
    return path;
}

// One stop of a song that has played for a second; the server frozen at
// the instant of the stop when `freeze`.
double stop_ms(const std::string &song, pid_t server, bool freeze)
{
    audio_device audio;
    audio_stats stats{};
    madthread_data *handle = nullptr;
    if (madthread_start(&handle, song.c_str(), 0, &audio, stats, engine_window()) != 0)
        std::exit(1);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    if (freeze)
        kill(server, SIGSTOP);
    const auto began = Clock::now();
    madthread_stop(&handle);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - began).count();
    if (freeze)
        kill(server, SIGCONT);
    // The closing may go on past a stop that gave up waiting: let it end
    // before the record goes.
    std::unique_lock lock(audio.hold_lock);
    audio.device_free.wait_for(lock, std::chrono::seconds(10), [&] { return !audio.held; });
    return ms;
}

void report(const char *name, std::vector<double> &ms)
{
    std::sort(ms.begin(), ms.end());
    std::printf("%-28s %zu stops: median %6.1f ms, worst %6.1f ms\n", name, ms.size(), ms[ms.size() / 2], ms.back());
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: stop_bench SERVER_PID [ROUNDS]\n");
        return 2;
    }
    const pid_t server = static_cast<pid_t>(std::atoi(argv[1]));
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 10;
    const std::string song = song_path();
    svc_open();
    svc_set_target(engine_window());
    std::vector<double> answering, frozen;
    for (int i = 0; i < rounds; ++i) {
        answering.push_back(stop_ms(song, server, false));
        frozen.push_back(stop_ms(song, server, true));
    }
    report("server answering", answering);
    report("server frozen at the stop", frozen);
    std::printf("median frozen / answering: %.3f\n", frozen[frozen.size() / 2] / answering[answering.size() / 2]);
    return 0;
}
