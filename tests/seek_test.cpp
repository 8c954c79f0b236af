// SPDX-License-Identifier: GPL-3.0-or-later
// Jumps within a song: the length read from the file's headers, and the
// engine's samples after a jump, recorded by ALSA's file device, against an
// independent libmad decode from the same frame.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <mad.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "madthread.h"
#include "tonra.h"
#include "song_length.h"
#include "support/engine_support.h"

using namespace engine_test;
using namespace std::chrono_literals;

namespace {

constexpr int InheritedPriority = -100;  // the test's own scheduling
constexpr auto SongTimeout = 20s;

void run(const std::string &command)
{
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

song_length length_of(const fs::path &song)
{
    song_length length;
    const int fd = open(song.c_str(), O_RDONLY);
    (void)song_length_read(fd, static_cast<std::int64_t>(fs::file_size(song)), length);
    close(fd);
    return length;
}

// Where the engine restarts for a jump to `frame`, and how many frames it
// decodes there before the first it lets be heard.
struct Restart {
    std::int64_t from;
    std::int64_t lead;
};

Restart restart_for(const fs::path &song, std::int64_t frame)
{
    const song_length length = length_of(song);
    const std::int64_t first = std::max<std::int64_t>(0, frame - song_lead_in(length));
    const int fd = open(song.c_str(), O_RDONLY);
    const std::int64_t from = song_find_frame(fd, length, song_byte_of_frame(length, first));
    close(fd);
    return {from, frame - first};
}

// libmad from `from` with fresh state, as its synchronous decoder runs:
// headers counted, the first `lead` frames not kept, quantised by the
// engine's rule with nothing carried in.
std::vector<std::int16_t> decoded_from(const fs::path &song, const Restart &restart)
{
    std::ifstream in(song, std::ios::binary);
    std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    bytes.erase(bytes.begin(), bytes.begin() + restart.from);
    bytes.resize(bytes.size() + MAD_BUFFER_GUARD, 0);
    mad_stream stream;
    mad_frame frame;
    mad_synth synth;
    mad_stream_init(&stream);
    mad_frame_init(&frame);
    mad_synth_init(&synth);
    mad_stream_buffer(&stream, bytes.data(), bytes.size());
    std::vector<std::int16_t> out;
    mad_fixed_t carried = 0;
    dither_stats stats;
    for (std::int64_t index = 0;;) {
        if (mad_header_decode(&frame.header, &stream) == -1) {
            if (MAD_RECOVERABLE(stream.error))
                continue;
            break;
        }
        const bool kept = index++ >= restart.lead;
        if (mad_frame_decode(&frame, &stream) == -1)
            continue;
        mad_synth_frame(&synth, &frame);
        for (unsigned i = 0; kept && i < synth.pcm.length; ++i)
            for (unsigned ch = 0; ch < synth.pcm.channels; ++ch)
                out.push_back(static_cast<std::int16_t>(dither(16, synth.pcm.samples[ch][i], &carried, &stats)));
    }
    mad_synth_finish(&synth);
    mad_frame_finish(&frame);
    mad_stream_finish(&stream);
    return out;
}

// The samples per channel heard after the restart: every frame past the
// lead-in (their headers are enough to count them).
std::size_t heard_after(const fs::path &song, const Restart &restart)
{
    std::ifstream in(song, std::ios::binary);
    std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    bytes.resize(bytes.size() + MAD_BUFFER_GUARD, 0);
    mad_stream stream;
    mad_header header;
    mad_stream_init(&stream);
    mad_header_init(&header);
    mad_stream_buffer(&stream, bytes.data() + restart.from, bytes.size() - static_cast<std::size_t>(restart.from));
    std::size_t samples = 0;
    for (std::int64_t index = 0;;) {
        if (mad_header_decode(&header, &stream) == -1) {
            if (MAD_RECOVERABLE(stream.error))
                continue;
            break;
        }
        if (index++ >= restart.lead)
            samples += 32 * MAD_NSBSAMPLES(&header);
    }
    mad_stream_finish(&stream);
    return samples;
}

// The tone's frequency in Hz from the left channel's zero crossings.
double tone(const std::vector<std::int16_t> &stereo, std::size_t at, unsigned rate, double seconds)
{
    const auto count = static_cast<std::size_t>(seconds * rate);
    int crossings = 0;
    for (std::size_t i = 1; i < count && 2 * (at + i) < stereo.size(); ++i)
        crossings += (stereo[2 * (at + i - 1)] < 0) != (stereo[2 * (at + i)] < 0);
    return crossings / 2.0 / seconds;
}

class Seek : public ::testing::Test {
protected:
    void TearDown() override
    {
        madthread_stop(&handle);
        EXPECT_TRUE(device_given_back(audio));
    }

    // Starts the song with the device taken (as by a song still closing),
    // so that nothing is written before the jump, which is made paused;
    // lets it play to its end. What the device recorded.
    std::vector<std::int16_t> play_after_jump(const fs::path &song, std::int64_t frame, const AlsaDevice &device)
    {
        drop_events();
        set_held(true);
        EXPECT_EQ(madthread_start(&handle, song.c_str(), InheritedPriority, &audio, stats, event_window()), 0);
        madthread_pause(handle, 1);
        EXPECT_EQ(madthread_seek(handle, frame), 0);
        set_held(false);
        const song_length length = length_of(song);
        EXPECT_EQ(madthread_position_us(handle),
                  std::min(frame, length.frames) * length.samples_per_frame * 1000000 / length.rate);
        madthread_pause(handle, 0);
        EXPECT_EQ(count_of(collect_events(SongTimeout, Event_SongEnded), Event_SongEnded), 1);
        madthread_stop(&handle);
        EXPECT_TRUE(device_given_back(audio));
        return read_samples(device.output());
    }

    void set_held(bool held)
    {
        const std::lock_guard lock(audio.hold_lock);
        audio.held = held;
        audio.device_free.notify_all();
    }

    audio_device audio;
    audio_stats stats{};
    madthread_data *handle = nullptr;
};

class SeekExact : public Seek, public ::testing::WithParamInterface<int> {};

// Exactly the decode from the jump's frame, as long; the carried rounding
// error may differ by one step. At the start, near the end, past it.
TEST_P(SeekExact, SamplesAfterAJumpAreLibmadsFromTheSameFrame)
{
    const fs::path song = GetParam() == 2 ? mp2_song(44100, 2, 192, 6) : mp3_song(44100, 2, "j", 128, 6);
    const song_length length = length_of(song);
    ASSERT_TRUE(length.seekable);
    ASSERT_EQ(length.layer, GetParam());
    for (const std::int64_t frame : {std::int64_t{100}, length.frames - 1, std::int64_t{3}}) {
        const AlsaDevice device(AlsaDevice::Kind::File);
        const auto written = play_after_jump(song, frame, device);
        const auto expected = decoded_from(song, restart_for(song, frame));
        ASSERT_FALSE(expected.empty()) << frame;
        ASSERT_EQ(written.size(), expected.size()) << frame;
        for (std::size_t i = 0; i < expected.size(); ++i)
            ASSERT_LE(std::abs(written[i] - expected[i]), 1) << "frame " << frame << " sample " << i;
    }
    // Past the last frame: the song ends as at its end, with nothing heard.
    const AlsaDevice device(AlsaDevice::Kind::File);
    EXPECT_TRUE(play_after_jump(song, length.frames + 10, device).empty());
}

INSTANTIATE_TEST_SUITE_P(Layers, SeekExact, ::testing::Values(2, 3),
                         [](const auto &info) { return "layer_" + std::to_string(info.param); });

// 10 s at 440 Hz, then 10 s at 1,000 Hz: a jump is heard as the tone of
// where it lands, and the length is known, for a constant and a variable
// bitrate (whose Xing table of contents places it).
TEST_F(Seek, JumpsLandInTheRightToneAndTheLengthIsKnown)
{
    const TempDir dir;
    run("sox -q -n -r 44100 -c 2 -b 16 " + dir.file("a.wav") + " synth 10 sine 440 gain -6");
    run("sox -q -n -r 44100 -c 2 -b 16 " + dir.file("b.wav") + " synth 10 sine 1000 gain -6");
    run("sox -q " + dir.file("a.wav") + " " + dir.file("b.wav") + " " + dir.file("two.wav"));
    for (const std::string &mode : {std::string("-b 128"), std::string("-V 2")}) {
        const std::string song = dir.file("two " + mode + ".mp3");
        run("lame --quiet " + mode + " " + dir.file("two.wav") + " '" + song + "'");
        const song_length length = length_of(song);
        EXPECT_NEAR(static_cast<double>(song_duration_us(length)), 20e6, 0.2e6) << mode;
        for (const auto &[seconds, hz] : {std::pair{15, 1000.0}, std::pair{5, 440.0}}) {
            const AlsaDevice device(AlsaDevice::Kind::File);
            const std::int64_t frame = song_frame_at_us(length, seconds * 1000000LL);
            const auto written = play_after_jump(song, frame, device);
            const std::size_t after = heard_after(song, restart_for(song, frame));
            ASSERT_EQ(written.size() / 2, after);
            EXPECT_NEAR(tone(written, 2205, 44100, 0.2), hz, 20) << mode << " at " << seconds;
            // Where it landed, told by what remains of the song.
            EXPECT_NEAR(static_cast<double>(after) / 44100, 20.0 - seconds, 0.2) << mode;
        }
    }
}

// A song of one frame: a jump to it plays it whole, one past it nothing.
TEST_F(Seek, OneFrameSong)
{
    const TempDir dir;
    const fs::path song = dir / "one.mp3";
    {
        std::ifstream in(mp3_song(44100, 2, "s", 128, 1), std::ios::binary);
        std::vector<char> bytes(4096);
        in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        const auto frame = song_parse_header(reinterpret_cast<const unsigned char *>(bytes.data())).frame_bytes;
        ASSERT_GT(frame, 0);
        std::ofstream(song, std::ios::binary).write(bytes.data(), frame);
    }
    ASSERT_EQ(length_of(song).frames, 1);
    for (const std::int64_t frame : {0, 1}) {
        const AlsaDevice device(AlsaDevice::Kind::File);
        EXPECT_EQ(play_after_jump(song, frame, device).size(), frame == 0 ? 2304U : 0U);
    }
}

// A pipe has no length and cannot go back; the song plays on.
TEST_F(Seek, PipeIsNotSeekable)
{
    const fs::path song = mp3_song(44100, 2, "s", 128, 2);
    const TempDir dir;
    const fs::path pipe = dir / "stream.mp3";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    const int fd = open(pipe.c_str(), O_RDWR);
    std::ifstream in(song, std::ios::binary);
    std::vector<char> bytes(20000);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    const AlsaDevice device(AlsaDevice::Kind::Null);
    ASSERT_EQ(madthread_start(&handle, pipe.c_str(), InheritedPriority, &audio, stats, event_window()), 0);
    EXPECT_EQ(madthread_length_us(handle), -1);
    EXPECT_EQ(madthread_seek(handle, 10), -1);
    madthread_stop(&handle);
    close(fd);
}

// Durations within a frame for a constant bitrate whatever the tags around
// it, within 0.5 % for a variable one with a Xing header: against a decode.
TEST(SongLength, MatchesTheDecodedLength)
{
    const TempDir dir;
    const fs::path vbr = dir / "vbr.mp3";
    run("sox -q -n -r 32000 -c 1 -b 16 " + dir.file("v.wav") + " synth 7 sine 300-3000 gain -8");
    run("lame --quiet -V 4 " + dir.file("v.wav") + " " + vbr.string());
    const fs::path tagged = dir / "tagged.mp3";
    {
        const fs::path cbr = mp3_song(22050, 1, "m", 64, 4);
        std::ofstream out(tagged, std::ios::binary);
        // A tag of 100,000 bytes of text: no sync word a decoder could take.
        out.write("ID3\x03\x00\x00\x00\x06\x0d\x20", 10);
        out << std::string(100000, 'A');
        std::ifstream in(cbr, std::ios::binary);
        out << in.rdbuf();
        out << "TAG" << std::string(125, 'B');
    }
    const struct {
        fs::path song;
        double tolerance_us;  // the decode against the length read
    } cases[] = {
        {mp3_song(44100, 2, "j", 128, 3), 26123},
        {mp2_song(48000, 2, 192, 3), 24000},
        {mp3_song(8000, 1, "m", 8, 3), 72000},
        {tagged, 26123},
        {vbr, 0.005 * 7e6},
    };
    for (const auto &c : cases) {
        const song_length length = length_of(c.song);
        ASSERT_TRUE(length.seekable) << c.song;
        std::vector<Format> formats;
        const auto decoded = reference_samples(c.song, &formats);
        ASSERT_EQ(formats.size(), 1U) << c.song;
        const double us = static_cast<double>(decoded.size()) / formats[0].channels * 1e6 / formats[0].rate;
        EXPECT_NEAR(static_cast<double>(song_duration_us(length)), us, c.tolerance_us) << c.song;
    }
    const fs::path empty = dir / "none.mp3";
    std::ofstream(empty) << std::string(5000, 'x');
    EXPECT_FALSE(length_of(empty).seekable);
    EXPECT_EQ(song_duration_us(length_of(empty)), -1);
}

}  // namespace

namespace {

// Jumps in a flood, at random places, paused and not, past the end too:
// every one returns at once, and the song's threads and descriptors all go
// with its stop.
TEST_F(Seek, ThousandRandomJumpsLeaveNothingBehind)
{
    const fs::path song = mp3_song(44100, 2, "j", 320, 20);
    const AlsaDevice device(AlsaDevice::Kind::Null);
    // The sanitizers' thread and the event window's descriptors come first.
    std::thread([] {}).join();
    (void)event_window();
    const int threads = running_threads();
    const int fds = open_descriptors();
    std::srand(27);
    ASSERT_EQ(madthread_start(&handle, song.c_str(), InheritedPriority, &audio, stats, event_window()), 0);
    const std::int64_t frames = length_of(song).frames;
    for (int i = 0; i < 1000; ++i) {
        if (handle->quit.load() != 0) {
            // Ended by itself (a jump past the end, or the device never waits).
            madthread_stop(&handle);
            ASSERT_EQ(madthread_start(&handle, song.c_str(), InheritedPriority, &audio, stats, event_window()), 0);
        }
        const bool paused = i % 97 < 3;
        madthread_pause(handle, paused ? 1 : 0);
        EXPECT_EQ(madthread_seek(handle, std::rand() % (frames + 20)), 0);
        // A running song makes every jump before the next is asked for.
        if (!paused) {
            ASSERT_TRUE(holds_within(SongTimeout, [&] {
                return !handle->seek_waiting.load() || handle->quit.load() != 0;
            })) << i;
        }
    }
    madthread_pause(handle, 0);
    madthread_stop(&handle);
    EXPECT_TRUE(device_given_back(audio));
    EXPECT_EQ(running_threads(), threads);
    EXPECT_EQ(open_descriptors(), fds);
}

}  // namespace
