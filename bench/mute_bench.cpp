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
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "madthread.h"
#include "platform/widgets/service_events.h"
#include "tonra.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int Rate = 44100;
constexpr long SilentRun = Rate * 2 / 100;  // 10 ms of stereo samples

int window_stand_in;
Widget *window() { return reinterpret_cast<Widget *>(&window_stand_in); }

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

double process_cpu()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// parec on the monitor, read as it records.
class Monitor {
public:
    explicit Monitor(const std::string &sink)
    {
        int pipefd[2];
        if (pipe(pipefd) != 0)
            std::exit(1);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(pipefd[1], 1);
            close(pipefd[0]);
            execlp("parec", "parec", "-d", (sink + ".monitor").c_str(), "--raw", "--format=s16le", "--rate=44100",
                   "--channels=2", "--latency-msec=5", static_cast<char *>(nullptr));
            _exit(127);
        }
        close(pipefd[1]);
        fd_ = pipefd[0];
        fcntl(fd_, F_SETFL, O_NONBLOCK);
    }
    ~Monitor()
    {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        close(fd_);
    }
    Monitor(const Monitor &) = delete;
    Monitor &operator=(const Monitor &) = delete;

    // Takes what parec has delivered; returns the number of samples so far.
    long take()
    {
        char buf[65536];
        for (ssize_t n; (n = read(fd_, buf, sizeof buf)) > 0;) {
            bytes_.append(buf, static_cast<std::size_t>(n));
        }
        return static_cast<long>(bytes_.size() / 2);
    }
    [[nodiscard]] int sample(long i) const
    {
        return static_cast<std::int16_t>(static_cast<unsigned char>(bytes_[2 * i]) |
                                         static_cast<unsigned char>(bytes_[2 * i + 1]) << 8);
    }
    // The first sample at or after `from` that starts a silent run, or -1.
    [[nodiscard]] long silence_from(long from) const
    {
        long run = 0;
        for (long i = from; i < static_cast<long>(bytes_.size() / 2); ++i) {
            run = std::abs(sample(i)) <= 16 ? run + 1 : 0;
            if (run >= SilentRun)
                return i - run + 1;
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    std::string bytes_;
};

template <class F> bool poll_until(F done, double seconds)
{
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
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
    if (madthread_start(&handle, song.c_str(), 0, &audio, stats, window()) != 0)
        std::exit(1);
    Delays d;
    poll_until([&] { return audio.mixer_handle.load() != nullptr; }, 10);
    {
        const std::lock_guard lock(audio.mixer_lock);
        d.in_server = mixer_in_server(audio.mixer_handle.load());
    }
    for (int i = 0; i < clicks; ++i) {
        // Sound throughout the last 100 ms: the unmute before has been heard.
        if (!poll_until([&] { const long n = monitor.take(); return n > Rate / 5 && monitor.silence_from(n - Rate / 5) < 0; }, 10))
            break;
        const long at = monitor.take();
        const auto clicked = Clock::now();
        set_mute(audio, true);
        long silent = -1;
        long total = 0;
        if (!poll_until([&] { total = monitor.take(); return (silent = monitor.silence_from(at)) >= 0; }, 10))
            break;
        // When the silence reached parec: its detection, less the part of it
        // that arrived since it began.
        const double waited = std::chrono::duration<double, std::milli>(Clock::now() - clicked).count();
        d.ms.push_back(std::max(0.0, waited - 1000.0 * static_cast<double>(total - silent) / (2.0 * Rate)));
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
    if (madthread_start(&handle, song.c_str(), 0, &audio, stats, window()) != 0)
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
    svc_set_target(window());

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
