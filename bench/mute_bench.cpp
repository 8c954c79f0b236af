// SPDX-License-Identifier: GPL-3.0-or-later
// How soon a mute is heard, and what playing costs, with the mixer group in
// software against the group as the sound server's stream volume, both in
// the same run. Needs ALSA's "default" device to play through a PulseAudio
// server whose sink's monitor is "<sink>.monitor" (scripts/bench-engine.sh
// starts one).
//
//   mute_bench SINK [CLICKS] [SECONDS]
//
// Mute: the engine plays a song while parec records the monitor; each click
// mutes the group as the mute button does, and the delay is the time from
// the click until the monitor's silence reaches parec (an upper bound:
// parec's own latency of about 5 ms is counted in). CPU: SECONDS of
// real-time playback at slider 50 with each group.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "madthread.h"
#include "support/bench_support.h"
#include "support/monitor.h"
#include "platform/widgets/service_events.h"
#include "tonra.h"

namespace {

using namespace bench;
constexpr int Rate = Monitor::Rate;
constexpr long SilentRun = Rate / 100;  // 10 ms

std::string song_path()
{
    const std::string path = "/tmp/tonra-bench-mute-120s.mp3";
    if (access(path.c_str(), R_OK) != 0 &&
        std::system(("sox -n -r 44100 -c 2 -b 16 /tmp/tonra-bench-mute.wav synth 120 sine 440 sine 660 vol 0.5 && "
                     "lame --quiet -b 128 /tmp/tonra-bench-mute.wav " + path + " && rm /tmp/tonra-bench-mute.wav").c_str()) != 0) {
        std::fprintf(stderr, "cannot make the song (sox, lame)\n");
        std::exit(1);
    }
    return path;
}

// The first frame at or after `from` that starts 10 ms of silence, or -1.
long silence_from(const Monitor &monitor, long from, long frames)
{
    long run = 0;
    for (long i = from; i < frames; ++i) {
        run = std::abs(monitor.sample(i, 0)) <= 16 && std::abs(monitor.sample(i, 1)) <= 16 ? run + 1 : 0;
        if (run >= SilentRun)
            return i - run + 1;
    }
    return -1;
}

void set_mute(audio_device &audio, bool muted)
{
    const std::lock_guard lock(audio.mixer_lock);
    mixer *handle = audio.mixer_handle.load();
    mixer_group group = audio.mixer_group;
    if (handle == nullptr || mixer_group_read(handle, &group) < 0)
        return;
    group.mute = muted ? Mute_All : 0;
    (void)mixer_group_write(handle, &group);
}

struct Delays {
    std::vector<double> ms;
    bool in_server = false;
};

Delays mute_delays(const std::string &song, const std::string &sink, bool server, int clicks)
{
    mixer_allow_server_groups(server);
    audio_device audio;
    Monitor monitor(sink);
    poll_until([&] { return monitor.take() > 0; }, 10);
    audio_stats stats{};
    madthread_data *handle = nullptr;
    if (madthread_start(&handle, song.c_str(), 0, &audio, stats, engine_window()) != 0)
        std::exit(1);
    Delays d;
    poll_until([&] { return audio.mixer_handle.load() != nullptr; }, 10);
    {
        const std::lock_guard lock(audio.mixer_lock);
        d.in_server = mixer_in_server(audio.mixer_handle.load());
    }
    for (int i = 0; i < clicks; ++i) {
        // Sound throughout the last 100 ms: the unmute before has been heard.
        if (!poll_until([&] { const long n = monitor.take(); return n > Rate / 10 && silence_from(monitor, n - Rate / 10, n) < 0; }, 10, std::chrono::milliseconds(2)))
            break;
        const long at = monitor.take();
        const auto clicked = Clock::now();
        set_mute(audio, true);
        long silent = -1;
        long total = 0;
        if (!poll_until([&] { total = monitor.take(); return (silent = silence_from(monitor, at, total)) >= 0; }, 10, std::chrono::milliseconds(2)))
            break;
        // When the silence reached parec: its detection, less the part of it
        // that arrived since it began.
        const double waited = ms_since(clicked);
        d.ms.push_back(std::max(0.0, waited - 1000.0 * static_cast<double>(total - silent) / Rate));
        set_mute(audio, false);
    }
    madthread_stop(&handle);
    return d;
}

double cpu_share(const std::string &song, bool server, double seconds)
{
    mixer_allow_server_groups(server);
    audio_device audio;
    const std::int32_t half[2] = {50, 50};
    mixer_levels_write(&audio.levels, half, 0);
    audio_stats stats{};
    madthread_data *handle = nullptr;
    const auto start = Clock::now();
    const double cpu = process_cpu();
    if (madthread_start(&handle, song.c_str(), 0, &audio, stats, engine_window()) != 0)
        std::exit(1);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double used = process_cpu() - cpu;
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    madthread_stop(&handle);
    return used / wall;
}

void report(const char *name, Delays &d)
{
    if (d.ms.empty()) {
        std::printf("%-16s no click was measured\n", name);
        return;
    }
    std::sort(d.ms.begin(), d.ms.end());
    std::printf("%-16s %s, %zu clicks: mute to silence median %7.1f ms, worst %7.1f ms\n", name,
                d.in_server ? "server group" : "software group", d.ms.size(), d.ms[d.ms.size() / 2], d.ms.back());
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: mute_bench SINK [CLICKS] [SECONDS]\n");
        return 2;
    }
    const std::string sink = argv[1];
    const int clicks = argc > 2 ? std::atoi(argv[2]) : 50;
    const double seconds = argc > 3 ? std::atof(argv[3]) : 20;
    const std::string song = song_path();
    svc_open();
    svc_set_target(engine_window());

    Delays software = mute_delays(song, sink, false, clicks);
    Delays server = mute_delays(song, sink, true, clicks);
    report("software group", software);
    report("server group", server);
    if (!software.ms.empty() && !server.ms.empty())
        std::printf("median delay server / software: %.3f\n", server.ms[server.ms.size() / 2] / software.ms[software.ms.size() / 2]);

    // Alternated, so that a busy moment of the machine hits both alike.
    double soft = 0, serv = 0;
    for (int round = 0; round < 2; ++round) {
        soft += cpu_share(song, false, seconds / 2);
        serv += cpu_share(song, true, seconds / 2);
    }
    std::printf("real-time playback at slider 50, %.0f s each: cpu software group %.2f %%, server group %.2f %% of one "
                "core; server / software %.3f\n",
                seconds, 50 * soft, 50 * serv, serv / soft);
    return 0;
}
