// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/engine_support.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <mad.h>
#include <mutex>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <stdexcept>
#include <thread>
#include <sys/syscall.h>
#include <unistd.h>

#include "abmain.h"
#include "output.h"
#include "platform/widgets/service_events.h"
#include "tonra.h"

// The engine's tests reach tonra.cpp, whose about box names the widget
// table: this reference brings the tables in from this archive, whatever
// the order in which the linker meets the libraries.
Widget *(*engine_test_widget_table)[AbWidgetCount] = &AbWidgets;

namespace engine_test {

namespace {

std::string quoted(const fs::path &p)
{
    std::string out = "'";
    for (const char c : p.string()) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

void run(const std::string &command)
{
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("command failed: " + command);
}

std::vector<unsigned char> file_bytes(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + p.string());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

fs::path fixture_dir()
{
    const char *tmp = std::getenv("TMPDIR");
    fs::path dir = fs::path(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") /
                   ("tonra-engine-fixtures-2-" + std::to_string(getuid()));
    fs::create_directories(dir);
    return dir;
}

// Makes `name` in the fixture directory with `make` (given the path to write)
// unless an earlier process did; the link keeps half-made files invisible.
template <typename Make>
fs::path cached(const std::string &name, Make make)
{
    const fs::path target = fixture_dir() / name;
    if (fs::exists(target))
        return target;
    const fs::path partial = fixture_dir() / (name + ".part" + std::to_string(getpid()));
    make(partial);
    // Never replace: another process may be reading the one that is there.
    std::error_code exists;
    fs::create_hard_link(partial, target, exists);
    fs::remove(partial);
    return target;
}

std::string wave_command(int rate, int channels, double seconds, const fs::path &wav)
{
    // Left: a sweep over the voice band; right: pink noise; below full scale
    // so that only the decoders' own rounding separates them.
    const std::string synth = channels == 2 ? "sine 300-3000 pinknoise" : "sine 300-3000";
    // -R: the same noise every time, so every process makes the same song.
    return "sox -R -q -n -r " + std::to_string(rate) + " -c " + std::to_string(channels) + " -b 16 " + quoted(wav) +
           " synth " + std::to_string(seconds) + " " + synth + " gain -8";
}

mad_fixed_t wrap(std::int64_t v)
{
    return static_cast<mad_fixed_t>(static_cast<std::uint32_t>(v));
}

std::int16_t quantise(mad_fixed_t sample, mad_fixed_t &carried)
{
    const mad_fixed_t v = wrap(std::int64_t{sample} + carried);
    const mad_fixed_t clipped = std::clamp<mad_fixed_t>(v, -0x10000000, 0x0FFFFFFF);
    const mad_fixed_t floor = static_cast<mad_fixed_t>(std::floor(clipped / 8192.0)) * 8192;
    carried = wrap(std::int64_t{v} - floor);
    return static_cast<std::int16_t>(floor / 8192);
}

}  // namespace

TempDir::TempDir()
{
    std::string pattern = (fs::temp_directory_path() / "tonra-engine-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

fs::path mp3_song(int rate, int channels, const std::string &lame_mode, int kbps, double seconds)
{
    const std::string name = "mp3-" + std::to_string(rate) + "-" + std::to_string(channels) + lame_mode + "-" +
                             std::to_string(kbps) + "-" + std::to_string(static_cast<int>(seconds * 1000)) + ".mp3";
    return cached(name, [&](const fs::path &out) {
        const TempDir dir;
        const fs::path wav = dir / "song.wav";
        run(wave_command(rate, channels, seconds, wav));
        // -t: no information frame, which libmad would decode as a frame of
        // silence that mpg123 skips.
        run("lame --quiet -t -m " + lame_mode + " -b " + std::to_string(kbps) + " " + quoted(wav) + " " +
            quoted(out));
    });
}

fs::path loud_mp3_song(int rate, double seconds)
{
    const std::string name = "loud-1-" + std::to_string(rate) + "-" + std::to_string(static_cast<int>(seconds * 1000)) + ".mp3";
    return cached(name, [&](const fs::path &out) {
        const TempDir dir;
        const fs::path wav = dir / "song.wav";
        run("sox -R -V1 -q -n -r " + std::to_string(rate) + " -c 2 -b 16 " + quoted(wav) + " synth " +
            std::to_string(seconds) + " square 220 square 331 gain -n");
        run("lame --quiet -t -m s -b 256 " + quoted(wav) + " " + quoted(out));
    });
}

fs::path mp2_song(int rate, int channels, int kbps, double seconds)
{
    const std::string name = "mp2-" + std::to_string(rate) + "-" + std::to_string(channels) + "-" +
                             std::to_string(kbps) + "-" + std::to_string(static_cast<int>(seconds * 1000)) + ".mp2";
    return cached(name, [&](const fs::path &out) {
        const TempDir dir;
        const fs::path wav = dir / "song.wav";
        run(wave_command(rate, channels, seconds, wav));
        run("twolame --quiet -b " + std::to_string(kbps) + " " + quoted(wav) + " " + quoted(out));
    });
}

fs::path concatenated(const std::vector<fs::path> &parts)
{
    std::string name = "cat";
    for (const auto &p : parts)
        name += "-" + p.stem().string();
    if (name.size() > 200)  // beyond what a file name may hold
        name = "cat-" + std::to_string(std::hash<std::string>{}(name));
    return cached(name + ".mp3", [&](const fs::path &out) {
        std::ofstream file(out, std::ios::binary);
        for (const auto &p : parts) {
            const auto bytes = file_bytes(p);
            file.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        }
    });
}

std::vector<std::int16_t> reference_samples(const fs::path &song, std::vector<Format> *formats, std::size_t from,
                                            std::size_t block)
{
    auto bytes = file_bytes(song);
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(from, bytes.size())));
    if (block == 0)
        block = bytes.size();
    mad_stream stream;
    mad_frame frame;
    mad_synth synth;
    mad_stream_init(&stream);
    mad_frame_init(&frame);
    mad_synth_init(&synth);

    // Blocks as a decoder's input callback hands them over: what the last
    // frame left unused, then new bytes; zeros after the end of the file.
    std::vector<unsigned char> buffer(block + MAD_BUFFER_GUARD);
    std::size_t at = 0, length = 0;
    bool ended = false;
    const auto refill = [&] {
        std::size_t keep = 0;
        if (stream.next_frame != nullptr) {
            keep = length - static_cast<std::size_t>(stream.next_frame - buffer.data());
            std::memmove(buffer.data(), stream.next_frame, keep);
        }
        const std::size_t want = std::min(block - keep, bytes.size() - at);
        if (want == 0) {
            if (ended || keep == 0)
                return false;
            std::fill_n(buffer.data() + keep, MAD_BUFFER_GUARD, 0);
            length = keep + MAD_BUFFER_GUARD;
            ended = true;
        } else {
            std::memcpy(buffer.data() + keep, bytes.data() + at, want);
            at += want;
            length = keep + want;
        }
        mad_stream_buffer(&stream, buffer.data(), length);
        return true;
    };
    if (!refill())
        return {};

    std::vector<std::int16_t> out;
    mad_fixed_t carried = 0;
    Format last{0, 0};
    for (;;) {
        if (mad_frame_decode(&frame, &stream) == -1) {
            if (MAD_RECOVERABLE(stream.error))
                continue;
            if (stream.error == MAD_ERROR_BUFLEN && refill())
                continue;
            break;
        }
        const Format now{frame.header.samplerate, frame.header.mode == MAD_MODE_SINGLE_CHANNEL ? 1 : 2};
        if (formats != nullptr && now != last)
            formats->push_back(now);
        last = now;
        mad_synth_frame(&synth, &frame);
        for (unsigned i = 0; i < synth.pcm.length; ++i)
            for (unsigned ch = 0; ch < synth.pcm.channels; ++ch)
                out.push_back(quantise(synth.pcm.samples[ch][i], carried));
    }
    mad_synth_finish(&synth);
    mad_frame_finish(&frame);
    mad_stream_finish(&stream);
    return out;
}

std::vector<std::int16_t> mpg123_samples(const fs::path &song)
{
    const TempDir dir;
    const fs::path raw = dir / "song.raw";
    run("mpg123 -q --no-gapless -s " + quoted(song) + " > " + quoted(raw));
    return read_samples(raw);
}

std::vector<std::int16_t> read_samples(const fs::path &raw)
{
    if (!fs::exists(raw))
        return {};
    const auto bytes = file_bytes(raw);
    std::vector<std::int16_t> out(bytes.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<std::int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return out;
}

double rms_difference(const std::vector<std::int16_t> &a, const std::vector<std::int16_t> &b)
{
    if (a.size() != b.size() || a.empty())
        return INFINITY;
    double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const double d = static_cast<double>(a[i]) - b[i];
        sum += d * d;
    }
    return std::sqrt(sum / static_cast<double>(a.size()));
}

long first_difference(const std::vector<std::int16_t> &a, const std::vector<std::int16_t> &b)
{
    const auto [ia, ib] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    if (ia == a.end() && ib == b.end())
        return -1;
    return static_cast<long>(ia - a.begin());
}

AlsaDevice::AlsaDevice(Kind kind, const std::string &target) : output_(dir_ / "output.raw")
{
    if (const char *old = std::getenv("ALSA_CONFIG_PATH"); old != nullptr) {
        saved_ = old;
        had_saved_ = true;
    }
    std::string config;
    switch (kind) {
    case Kind::File:
        config = "pcm.!default { type file slave.pcm { type null } file \"" + output_.string() +
                 "\" format \"raw\" }\n";
        break;
    case Kind::AppendFile:
        config = "pcm.!default { type file slave.pcm { type null } file \"|cat >> " + output_.string() +
                 "\" format \"raw\" }\n";
        break;
    case Kind::WaveFile:
        config = "pcm.!default { type file slave.pcm { type null } file \"" + output_.string() +
                 "\" format \"wav\" }\n";
        break;
    case Kind::Null:
        config = "pcm.!default { type null }\n";
        break;
    case Kind::Missing:
        config = "# no default device\n";
        break;
    case Kind::Pipe:
        config = "pcm.!default { type file slave.pcm { type null } file \"|" + target + "\" format \"raw\" }\n";
        break;
    case Kind::Pulse:
        config = "pcm.!default { type pulse server \"unix:" + target + "\" }\n";
        break;
    }
    const fs::path conf = dir_ / "asound.conf";
    std::ofstream(conf) << config;
    setenv("ALSA_CONFIG_PATH", conf.c_str(), 1);
    // A sound server the machine runs must not take the song instead.
    if (const char *old = std::getenv("TONRA_AUDIO"); old != nullptr)
        saved_backend_ = old;
    setenv("TONRA_AUDIO", "alsa", 1);
}

AlsaDevice::~AlsaDevice()
{
    if (had_saved_)
        setenv("ALSA_CONFIG_PATH", saved_.c_str(), 1);
    else
        unsetenv("ALSA_CONFIG_PATH");
    if (saved_backend_)
        setenv("TONRA_AUDIO", saved_backend_->c_str(), 1);
    else
        unsetenv("TONRA_AUDIO");
}

Widget *event_window()
{
    static int window;
    svc_open();
    Widget *w = reinterpret_cast<Widget *>(&window);
    svc_set_target(w);
    return w;
}

void drop_events()
{
    (void)event_window();
    std::uint16_t codes[256];
    while (svc_read(codes, 256) > 0) {
    }
}

std::vector<std::uint16_t> collect_events(std::chrono::milliseconds timeout, int until)
{
    const int fd = svc_open();
    std::vector<std::uint16_t> events;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        std::uint16_t codes[256];
        std::size_t n;
        while ((n = svc_read(codes, 256)) > 0)
            events.insert(events.end(), codes, codes + n);
        if (until >= 0 && count_of(events, until) > 0)
            return events;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return events;
        pollfd p{fd, POLLIN, 0};
        (void)poll(&p, 1, static_cast<int>(left.count()));
    }
}

long count_of(const std::vector<std::uint16_t> &events, int code)
{
    return std::count(events.begin(), events.end(), static_cast<std::uint16_t>(code));
}

int open_descriptors()
{
    return static_cast<int>(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator{}));
}

int running_threads()
{
    return static_cast<int>(std::distance(fs::directory_iterator("/proc/self/task"), fs::directory_iterator{}));
}

std::set<int> thread_ids()
{
    // A sanitizer starts a thread of its own along with the program's first:
    // let that happen before anyone takes the set.
    static const bool started = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)started;
    std::set<int> ids;
    for (const auto &task : fs::directory_iterator("/proc/self/task"))
        ids.insert(std::stoi(task.path().filename().string()));
    return ids;
}

bool at_rest_but(const std::set<int> &others)
{
    for (const int id : thread_ids()) {
        if (others.contains(id))
            continue;
        // The state follows the name, which may hold anything but ')'.
        std::ifstream stat("/proc/self/task/" + std::to_string(id) + "/stat");
        std::string line;
        std::getline(stat, line);
        const auto close = line.rfind(')');
        long call = -1;
        std::ifstream("/proc/self/task/" + std::to_string(id) + "/syscall") >> call;
        // A thread that ended meanwhile reads as nothing: it is at rest.
        if (close != std::string::npos && (line.substr(close + 2, 1) != "S" || call != SYS_futex))
            return false;
    }
    return true;
}

bool holds_within(std::chrono::milliseconds limit, const std::function<bool()> &condition)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

bool device_given_back(audio_device &audio, std::chrono::milliseconds limit)
{
    std::unique_lock lock(audio.hold_lock);
    return audio.device_free.wait_for(lock, limit, [&] { return !audio.held; });
}

}  // namespace engine_test
