// SPDX-License-Identifier: GPL-3.0-or-later
// How much the decode engine costs beyond decoding itself. A generated
// 10-minute 44.1 kHz stereo 128 kbps MP3 is played through the engine into
// ALSA's null device (which never waits), and measured against a bare libmad
// decode loop over the same file in memory (the floor), madplay -o null:
// and mpg123 -t.
//
//   engine_bench                 the comparison above
//   engine_bench --realtime S    plays S seconds through ALSA's "default"
//                                device as it is configured, and reports the
//                                CPU share of one core (for a device that
//                                plays in real time: scripts/bench-engine.sh)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mad.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "madthread.h"
#include "platform/widgets/service_events.h"
#include "support/bench_support.h"
#include "tonra.h"

namespace {

using namespace bench;
constexpr double SongSeconds = 600;
constexpr int Rounds = 5;

struct Cost {
    double wall = 0;  // seconds
    double cpu = 0;   // seconds, every thread
};

double since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool run(const std::string &command)
{
    return std::system(command.c_str()) == 0;
}

std::string song_path()
{
    const char *tmp = std::getenv("TMPDIR");
    const std::string dir = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp");
    const std::string path = dir + "/tonra-bench-600s-44100-128.mp3";
    if (access(path.c_str(), R_OK) == 0)
        return path;
    std::fprintf(stderr, "making %s ...\n", path.c_str());
    const std::string wav = path + ".wav";
    if (!run("sox -R -q -n -r 44100 -c 2 -b 16 '" + wav + "' synth 600 sine 200-4000 pinknoise gain -8") ||
        !run("lame --quiet -t -b 128 '" + wav + "' '" + path + ".part'") ||
        std::rename((path + ".part").c_str(), path.c_str()) != 0) {
        std::fprintf(stderr, "cannot make the song (sox and lame are needed)\n");
        std::exit(1);
    }
    std::remove(wav.c_str());
    return path;
}

// The floor: the file read whole, then libmad's frame decode and synthesis,
// nothing else.
Cost bare_libmad(const std::string &path)
{
    const auto start = Clock::now();
    const double cpu = process_cpu();
    std::vector<unsigned char> bytes;
    {
        const int fd = open(path.c_str(), O_RDONLY);
        unsigned char block[1 << 16];
        ssize_t n;
        while (fd >= 0 && (n = read(fd, block, sizeof block)) > 0)
            bytes.insert(bytes.end(), block, block + n);
        close(fd);
    }
    bytes.resize(bytes.size() + MAD_BUFFER_GUARD, 0);
    mad_stream stream;
    mad_frame frame;
    mad_synth synth;
    mad_stream_init(&stream);
    mad_frame_init(&frame);
    mad_synth_init(&synth);
    mad_stream_buffer(&stream, bytes.data(), bytes.size());
    unsigned long frames = 0;
    for (;;) {
        if (mad_frame_decode(&frame, &stream) == -1) {
            if (MAD_RECOVERABLE(stream.error))
                continue;
            break;
        }
        mad_synth_frame(&synth, &frame);
        ++frames;
    }
    mad_synth_finish(&synth);
    mad_frame_finish(&frame);
    mad_stream_finish(&stream);
    const Cost cost{since(start), process_cpu() - cpu};
    if (frames == 0)
        std::fprintf(stderr, "no frame decoded\n");
    return cost;
}

// Waits for the end of the song. Looking now and then, not at every
// progress event, keeps the bench's own work out of the engine's figures.
bool wait_for_end(double timeout)
{
    const auto start = Clock::now();
    while (since(start) < timeout) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::uint16_t codes[512];
        std::size_t n;
        while ((n = svc_read(codes, 512)) > 0)
            if (std::find(codes, codes + n, Event_SongEnded) != codes + n)
                return true;
    }
    return false;
}

Cost engine(const std::string &path, audio_device &audio, double seconds = 0)
{
    Widget *window = engine_window();
    svc_open();
    svc_set_target(window);
    audio_stats stats{};
    madthread_data *handle = nullptr;
    const auto start = Clock::now();
    const double cpu = process_cpu();
    if (madthread_start(&handle, path.c_str(), 0, &audio, stats, window) != 0) {
        std::fprintf(stderr, "the engine did not start\n");
        std::exit(1);
    }
    if (seconds > 0)
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    else if (!wait_for_end(SongSeconds * 2))
        std::fprintf(stderr, "the song did not end\n");
    const Cost cost{since(start), process_cpu() - cpu};
    madthread_stop(&handle);
    if (stats[AudioStats_Consumed].load() == 0)
        std::fprintf(stderr, "nothing was decoded\n");
    return cost;
}

Cost tool(const std::vector<std::string> &args)
{
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char *> argv;
        for (const auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return {-1, -1};
    return {since(start), cpu};
}

template <typename Measure>
Cost best_of(Measure measure)
{
    Cost best{1e30, 1e30};
    for (int i = 0; i < Rounds; ++i) {
        const Cost c = measure();
        if (c.wall < 0)
            return c;
        best.wall = std::min(best.wall, c.wall);
        best.cpu = std::min(best.cpu, c.cpu);
    }
    return best;
}

void report(const char *name, const Cost &c, const Cost &floor)
{
    if (c.wall < 0) {
        std::printf("%-28s did not run\n", name);
        return;
    }
    std::printf("%-28s wall %7.3f s  cpu %7.3f s  cpu per audio second %6.3f ms  x%.3f of bare libmad (cpu)\n", name,
                c.wall, c.cpu, c.cpu * 1000 / SongSeconds, c.cpu / floor.cpu);
}

void use_null_device()
{
    static char config[] = "/tmp/tonra-bench-alsa-XXXXXX";
    const int fd = mkstemp(config);
    const char text[] = "pcm.!default { type null }\n";
    if (fd < 0 || write(fd, text, sizeof text - 1) != static_cast<ssize_t>(sizeof text - 1)) {
        std::fprintf(stderr, "cannot write the ALSA configuration\n");
        std::exit(1);
    }
    close(fd);
    setenv("ALSA_CONFIG_PATH", config, 1);
    std::atexit([] { std::remove(config); });
}

}  // namespace

int main(int argc, char **argv)
{
    const std::string song = song_path();
    audio_device audio;

    if (argc == 3 && std::strcmp(argv[1], "--realtime") == 0) {
        const double seconds = std::atof(argv[2]);
        const Cost c = engine(song, audio, seconds);
        std::printf("real-time playback of %.0f s: cpu %.3f s, %.2f %% of one core\n", seconds, c.cpu,
                    100 * c.cpu / c.wall);
        return 0;
    }

    use_null_device();
    std::printf("%s: %.0f s of 44.1 kHz stereo at 128 kbps, best of %d\n", song.c_str(), SongSeconds, Rounds);
    // Alternated, so that a busy moment of the machine hits both alike.
    Cost floor{1e30, 1e30};
    Cost ours{1e30, 1e30};
    for (int i = 0; i < Rounds; ++i) {
        const Cost f = bare_libmad(song);
        const Cost e = engine(song, audio);
        floor = {std::min(floor.wall, f.wall), std::min(floor.cpu, f.cpu)};
        ours = {std::min(ours.wall, e.wall), std::min(ours.cpu, e.cpu)};
    }
    const Cost madplay = best_of([&] { return tool({"madplay", "-q", "-o", "null:", song}); });
    const Cost mpg123 = best_of([&] { return tool({"mpg123", "-q", "-t", song}); });
    report("bare libmad loop (floor)", floor, floor);
    report("engine into ALSA null", ours, floor);
    report("madplay -o null:", madplay, floor);
    report("mpg123 -t", mpg123, floor);
    std::printf("engine / bare libmad: wall %.3f, cpu %.3f\n", ours.wall / floor.wall, ours.cpu / floor.cpu);
    return 0;
}
