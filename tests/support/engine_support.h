// SPDX-License-Identifier: GPL-3.0-or-later
// What the decode engine's tests play and listen with: songs made with sox
// and lame or twolame, an independent decode of them, the ALSA file device
// that records what the engine wrote, and the service events it posted.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/widgets/widget.h"

struct audio_device;

namespace engine_test {

namespace fs = std::filesystem;

// A fresh directory, removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    [[nodiscard]] const fs::path &path() const { return path_; }
    [[nodiscard]] fs::path operator/(const std::string &name) const { return path_ / name; }
    // The full path of a name inside the directory, as a string.
    [[nodiscard]] std::string file(std::string_view name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

// Songs, made on first use and kept in a directory shared by the test
// processes of a run (each ctest case is a process of its own). The signal
// differs between the channels, so a swap or a lost channel shows.
// lame_mode: "m" mono, "s" stereo, "j" joint stereo.
[[nodiscard]] fs::path mp3_song(int rate, int channels, const std::string &lame_mode, int kbps, double seconds);
// A full-scale square wave, whose decode overshoots full scale: the clip.
[[nodiscard]] fs::path loud_mp3_song(int rate, double seconds);
// Layer II.
[[nodiscard]] fs::path mp2_song(int rate, int channels, int kbps, double seconds);
// The bytes of the songs one after the other, in a file of its own.
[[nodiscard]] fs::path concatenated(const std::vector<fs::path> &parts);

// A stream format as the decoder announced it.
struct Format {
    unsigned rate;
    int channels;
    bool operator==(const Format &) const = default;
};

// The song decoded by libmad's frame interface from one buffer holding the
// whole file, quantised to 16 bits by the engine's rule (round toward minus
// infinity, one carried error for the whole stream, clip to full scale):
// what the engine should write, sample for sample. formats: one entry per
// change of format.
// from: the byte where decoding starts (after a tag, say); block: the bytes
// handed to libmad at a time (0: the whole file at once).
[[nodiscard]] std::vector<std::int16_t> reference_samples(const fs::path &song, std::vector<Format> *formats = nullptr,
                                                          std::size_t from = 0, std::size_t block = 0);
// The song decoded by mpg123 -s (a different decoder altogether).
[[nodiscard]] std::vector<std::int16_t> mpg123_samples(const fs::path &song);
[[nodiscard]] std::vector<std::int16_t> read_samples(const fs::path &raw);
// Root mean square of the sample differences (sizes must match).
[[nodiscard]] double rms_difference(const std::vector<std::int16_t> &a, const std::vector<std::int16_t> &b);
// Index of the first differing sample, or -1 when equal (sizes included).
[[nodiscard]] long first_difference(const std::vector<std::int16_t> &a, const std::vector<std::int16_t> &b);

// ALSA's "default" device for as long as the object lives, through a
// configuration of its own selected with ALSA_CONFIG_PATH. Create and
// destroy only while no engine runs.
class AlsaDevice {
public:
    enum class Kind {
        File,        // records byte-exact into output(), truncated at each open
        AppendFile,  // records into output() across opens
        WaveFile,    // records into output() as WAV: the format shows
        Null,        // takes everything, keeps nothing, no pacing
        Missing,     // no "default" at all: the open fails
        Pipe,        // raw samples into the shell command `target`, through a pipe
        Pulse,       // the PulseAudio server whose socket is `target`: real time
    };
    explicit AlsaDevice(Kind kind, const std::string &target = {});
    ~AlsaDevice();
    AlsaDevice(const AlsaDevice &) = delete;
    AlsaDevice &operator=(const AlsaDevice &) = delete;
    [[nodiscard]] const fs::path &output() const { return output_; }

private:
    TempDir dir_;
    fs::path output_;
    std::string saved_;
    bool had_saved_ = false;
    std::optional<std::string> saved_backend_;
};

// A stand-in for the main window: posts to it are delivered to the tests.
[[nodiscard]] Widget *event_window();
// Throws away every code posted so far.
void drop_events();
// Codes posted so far and until `until` arrives or the time is up.
[[nodiscard]] std::vector<std::uint16_t> collect_events(std::chrono::milliseconds timeout, int until = -1);
[[nodiscard]] long count_of(const std::vector<std::uint16_t> &events, int code);

[[nodiscard]] int open_descriptors();
[[nodiscard]] int running_threads();
// The ids of this process's threads.
[[nodiscard]] std::set<int> thread_ids();
// Whether every thread not in `others` sleeps on a lock or a condition (a
// futex wait): the threads started since `others` was taken have come to
// rest, or have ended.
[[nodiscard]] bool at_rest_but(const std::set<int> &others);
// Waits until no song holds the device (true) or the time is up (false). A
// stop returns without waiting for a device call that hangs, or only seems
// to on a loaded machine, and the song's closing goes on with the device:
// whoever owns the device lets that end before destroying it.
[[nodiscard]] bool device_given_back(audio_device &audio, std::chrono::milliseconds limit = std::chrono::seconds(20));
// Polls the condition until it holds (true) or the time is up (false).
[[nodiscard]] bool holds_within(std::chrono::milliseconds limit, const std::function<bool()> &condition);

}  // namespace engine_test
