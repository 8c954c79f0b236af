// SPDX-License-Identifier: GPL-3.0-or-later
// Jumps within songs: how true the length read from the headers is, where a
// jump lands, and how soon its sound is heard.
//
//   seek_bench [DIR]          durations of generated CBR, VBR and Layer II
//                             songs of 8 to 48 kHz (and of every file in DIR,
//                             the attack corpus say) against the frames
//                             libmad finds, and the time the reading takes
//                             against that count (the baseline); then where
//                             jumps to 5 %, 15 % ... 95 % land, in frames.
//   seek_bench --latency SINK [JUMPS]
//                             the engine plays a song of 440 Hz then 1,000 Hz
//                             through ALSA's "default" device, a PulseAudio
//                             server whose sink's monitor parec records
//                             (scripts/bench-engine.sh starts one); each jump
//                             to the other tone is timed until the monitor
//                             has it, against the start of the song (from
//                             the call to its first sound) as the baseline.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <mad.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "madthread.h"
#include "support/bench_support.h"
#include "support/monitor.h"
#include "platform/widgets/service_events.h"
#include "song_length.h"

namespace {

namespace fs = std::filesystem;
using namespace bench;
constexpr int Rate = Monitor::Rate;

std::vector<unsigned char> bytes_of(const fs::path &p)
{
    std::vector<unsigned char> bytes(fs::file_size(p) + MAD_BUFFER_GUARD);
    const int fd = open(p.c_str(), O_RDONLY);
    const ssize_t n = read(fd, bytes.data(), bytes.size() - MAD_BUFFER_GUARD);
    close(fd);
    bytes.resize(static_cast<std::size_t>(std::max<ssize_t>(n, 0)) + MAD_BUFFER_GUARD);
    return bytes;
}

// The frames libmad finds, as microseconds, and the byte of each.
struct Frames {
    double us = 0;
    std::vector<std::int64_t> starts;
};

Frames count_frames(const std::vector<unsigned char> &bytes)
{
    mad_stream stream;
    mad_header header;
    mad_stream_init(&stream);
    mad_header_init(&header);
    mad_stream_buffer(&stream, bytes.data(), bytes.size());
    Frames f;
    for (;;) {
        if (mad_header_decode(&header, &stream) == -1) {
            if (MAD_RECOVERABLE(stream.error))
                continue;
            break;
        }
        f.us += 1e6 * 32 * MAD_NSBSAMPLES(&header) / header.samplerate;
        f.starts.push_back(stream.this_frame - bytes.data());
    }
    mad_stream_finish(&stream);
    return f;
}

song_length length_of(const fs::path &p)
{
    song_length length;
    const int fd = open(p.c_str(), O_RDONLY);
    (void)song_length_read(fd, static_cast<std::int64_t>(fs::file_size(p)), length);
    close(fd);
    return length;
}

bool sh(const std::string &command) { return std::system(command.c_str()) == 0; }

std::vector<fs::path> make_songs(const fs::path &dir)
{
    struct Kind {
        const char *name;
        int rate;
        std::string encode;  // %W the wave, %O the song
    };
    const Kind kinds[] = {
        {"cbr-8k-8.mp3", 8000, "lame --quiet -b 8 %W %O"},
        {"cbr-16k-32.mp3", 16000, "lame --quiet -b 32 %W %O"},
        {"cbr-22k-64.mp3", 22050, "lame --quiet -b 64 %W %O"},
        {"cbr-32k-96.mp3", 32000, "lame --quiet -b 96 %W %O"},
        {"cbr-44k-128.mp3", 44100, "lame --quiet -b 128 %W %O"},
        {"cbr-44k-128-noinfo.mp3", 44100, "lame --quiet -t -b 128 %W %O"},
        {"cbr-48k-320.mp3", 48000, "lame --quiet -b 320 %W %O"},
        {"vbr-22k-V5.mp3", 22050, "lame --quiet -V 5 %W %O"},
        {"vbr-44k-V2.mp3", 44100, "lame --quiet -V 2 %W %O"},
        {"vbr-48k-V0.mp3", 48000, "lame --quiet -V 0 %W %O"},
        {"mp2-32k-128.mp2", 32000, "twolame --quiet -b 128 %W %O"},
        {"mp2-48k-192.mp2", 48000, "twolame --quiet -b 192 %W %O"},
    };
    std::vector<fs::path> songs;
    for (const Kind &k : kinds) {
        const fs::path wav = dir / (std::string(k.name) + ".wav");
        const fs::path out = dir / k.name;
        std::string encode = k.encode;
        encode.replace(encode.find("%W"), 2, wav.string());
        encode.replace(encode.find("%O"), 2, out.string());
        if (sh("sox -R -q -n -r " + std::to_string(k.rate) + " -c 2 -b 16 " + wav.string() +
               " synth 60 sine 300-3000 pinknoise gain -8") &&
            sh(encode))
            songs.push_back(out);
    }
    return songs;
}

void accuracy(const char *corpus)
{
    const fs::path dir = fs::temp_directory_path() / ("tonra-seek-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::vector<fs::path> songs = make_songs(dir);
    const std::size_t generated = songs.size();
    if (corpus != nullptr)
        for (const auto &entry : fs::directory_iterator(corpus))
            if (entry.is_regular_file())
                songs.push_back(entry.path());

    std::printf("duration: the length read against the frames libmad finds\n");
    double read_ms = 0, count_ms = 0;
    for (std::size_t i = 0; i < songs.size(); ++i) {
        const auto bytes = bytes_of(songs[i]);
        auto t = Clock::now();
        const song_length length = length_of(songs[i]);
        read_ms += ms_since(t);
        t = Clock::now();
        const Frames f = count_frames(bytes);
        count_ms += ms_since(t);
        if (!length.seekable) {
            std::printf("  %-28s no frames found (%zu by libmad)\n", songs[i].filename().c_str(), f.starts.size());
            continue;
        }
        const double us = static_cast<double>(song_duration_us(length));
        const double frame_us = 1e6 * length.samples_per_frame / length.rate;
        std::printf("  %-28s %9.3f s  off by %+7.2f frames  %+6.3f %%%s\n", songs[i].filename().c_str(), us / 1e6,
                    (us - f.us) / frame_us, f.us > 0 ? 100 * (us - f.us) / f.us : 0.0,
                    i >= generated ? "  (corpus)" : "");
    }
    std::printf("  reading the lengths: %.2f ms; counting every frame (baseline): %.2f ms; ratio %.4f\n\n", read_ms,
                count_ms, read_ms / count_ms);

    std::printf("position after a jump: the frame heard first against the frame asked for\n");
    for (std::size_t i = 0; i < generated; ++i) {
        const song_length length = length_of(songs[i]);
        const Frames f = count_frames(bytes_of(songs[i]));
        const int fd = open(songs[i].c_str(), O_RDONLY);
        double worst = 0;
        for (int percent = 5; percent < 100; percent += 10) {
            const std::int64_t target = length.frames * percent / 100;
            const std::int64_t first = std::max<std::int64_t>(0, target - song_lead_in(length));
            const std::int64_t from = song_find_frame(fd, length, song_byte_of_frame(length, first));
            const auto at = std::lower_bound(f.starts.begin(), f.starts.end(), from);
            const auto landed = (at - f.starts.begin()) + (target - first);
            worst = std::max(worst, std::abs(static_cast<double>(landed - target)));
        }
        close(fd);
        std::printf("  %-28s worst %4.0f frames = %6.3f s = %5.2f %% of the song\n", songs[i].filename().c_str(), worst,
                    worst * length.samples_per_frame / length.rate,
                    100 * worst / static_cast<double>(length.frames));
    }
    fs::remove_all(dir);
}

// The left channel's tone over 10 ms from frame `at`, in Hz (0: silence).
double tone(const Monitor &monitor, long at)
{
    int crossings = 0;
    for (long i = at + 1; i < at + Rate / 100; ++i)
        crossings += (monitor.sample(i - 1) < 0) != (monitor.sample(i) < 0);
    return crossings * 50.0;
}

// The first frame from `from` where 10 ms of the tone near `hz` begin, or -1.
long tone_from(const Monitor &monitor, long from, long frames, double hz)
{
    for (long i = from; i + Rate / 100 < frames; i += Rate / 1000)
        if (std::abs(tone(monitor, i) - hz) < hz / 5)
            return i;
    return -1;
}

// How long from `began` until the monitor has the tone, counting back
// what parec delivered after it began.
double heard_after(Monitor &monitor, long from, double hz, Clock::time_point began)
{
    long found = -1, total = 0;
    if (!poll_until([&] { total = monitor.take(); return (found = tone_from(monitor, from, total, hz)) >= 0; }, 10))
        return -1;
    return std::max(0.0, ms_since(began) - 1000.0 * static_cast<double>(total - found) / Rate);
}

int latency(const std::string &sink, int jumps)
{
    const std::string song = "/tmp/tonra-bench-seek-2tone.mp3";
    if (access(song.c_str(), R_OK) != 0 &&
        !sh("sox -q -n -r 44100 -c 2 -b 16 /tmp/tonra-seek-a.wav synth 60 sine 440 gain -6 && "
            "sox -q -n -r 44100 -c 2 -b 16 /tmp/tonra-seek-b.wav synth 60 sine 1000 gain -6 && "
            "sox -q /tmp/tonra-seek-a.wav /tmp/tonra-seek-b.wav /tmp/tonra-seek-ab.wav && "
            "lame --quiet -b 128 /tmp/tonra-seek-ab.wav " + song + " && rm /tmp/tonra-seek-?.wav /tmp/tonra-seek-ab.wav")) {
        std::fprintf(stderr, "cannot make the song (sox, lame)\n");
        return 1;
    }
    audio_device audio;
    Monitor monitor(sink);
    poll_until([&] { return monitor.take() > 0; }, 10);
    audio_stats stats{};
    madthread_data *handle = nullptr;
    const long before = monitor.take();
    const auto started = Clock::now();
    if (madthread_start(&handle, song.c_str(), 0, &audio, stats, engine_window()) != 0)
        return 1;
    const double start_ms = heard_after(monitor, before, 440, started);
    std::vector<double> ms;
    double longest_call = 0;  // what the window waits for
    for (int i = 0; i < jumps; ++i) {
        const bool up = i % 2 == 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const long at = monitor.take();
        const auto jumped = Clock::now();
        (void)madthread_seek_us(handle, up ? 70'000'000 : 10'000'000 + i * 100'000);
        longest_call = std::max(longest_call, ms_since(jumped));
        const double d = heard_after(monitor, at, up ? 1000 : 440, jumped);
        if (d < 0)
            break;
        ms.push_back(d);
    }
    madthread_stop(&handle);
    if (ms.empty() || start_ms < 0) {
        std::fprintf(stderr, "nothing heard on %s.monitor\n", sink.c_str());
        return 1;
    }
    std::sort(ms.begin(), ms.end());
    const double median = ms[ms.size() / 2];
    std::printf("jump to new sound through the server: median %.1f ms, worst %.1f ms over %zu jumps\n", median,
                ms.back(), ms.size());
    std::printf("start of the song to its first sound (baseline): %.1f ms; ratio %.2f\n", start_ms,
                median / start_ms);
    std::printf("the longest a jump held its caller: %.3f ms\n", longest_call);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    // The engine's events go nowhere.
    svc_open();
    svc_set_target(engine_window());
    if (argc >= 3 && std::string(argv[1]) == "--latency")
        return latency(argv[2], argc >= 4 ? std::atoi(argv[3]) : 20);
    accuracy(argc >= 2 ? argv[1] : nullptr);
    return 0;
}
