// SPDX-License-Identifier: GPL-3.0-or-later
// The decode engine against what a messy collection, a desktop that changes
// under it and an attacker's files do: damaged and misleading files, sources
// and devices that stall or go away. Played through real libasound.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <random>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "madthread.h"
#include "platform/sound/output.h"
#include "support/engine_support.h"
#include "support/sound_server.h"
#include "tonra.h"

using namespace engine_test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int InheritedPriority = -100;  // see madthread_test.cpp

template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

struct Loudness {
    int peak = 0;
    long full_scale = 0;
};

Loudness loudness(const std::vector<std::int16_t> &samples)
{
    Loudness l;
    for (const int s : samples) {
        l.peak = std::max(l.peak, std::abs(s));
        l.full_scale += s >= 32767 || s <= -32768;
    }
    return l;
}

// Where the sound of a file starts: after a leading ID3v2 tag that fits.
std::size_t after_tag(const fs::path &file)
{
    unsigned char h[10] = {};
    std::ifstream(file, std::ios::binary).read(reinterpret_cast<char *>(h), 10);
    if (std::string_view(reinterpret_cast<char *>(h), 3) != "ID3")
        return 0;
    const std::size_t size = 10 + (std::size_t{h[6]} << 21 | std::size_t{h[7]} << 14 | std::size_t{h[8]} << 7 | h[9]);
    return size <= fs::file_size(file) ? size : 0;
}

class EngineFaults : public ::testing::Test {
protected:
    static void SetUpTestSuite() { std::signal(SIGPIPE, SIG_IGN); }  // as the program's start-up does
    void SetUp() override
    {
        drop_events();
        notify = event_window();
    }
    void TearDown() override
    {
        madthread_stop(&handle);
        EXPECT_TRUE(device_given_back(audio));
    }

    int start(const fs::path &song)
    {
        return madthread_start(&handle, song.c_str(), InheritedPriority, &audio, stats, notify);
    }
    // Whether madthread_stop returns while what stalls the song still
    // stalls (`release` ends that afterwards, whatever happened). How soon
    // it returns is the benchmarks' business; that it does not wait for the
    // stalled party is this one's.
    bool stop_returns_before(const std::function<void()> &release)
    {
        auto stopped = std::async(std::launch::async, [this] { madthread_stop(&handle); });
        const bool returned = stopped.wait_for(20s) == std::future_status::ready;
        release();
        stopped.wait();
        return returned;
    }
    std::int64_t consumed() const { return stats[AudioStats_Consumed].load(); }
    // The song's device call in progress has been stuck for `limit`.
    bool device_stuck_for(std::chrono::milliseconds limit) const
    {
        const std::int64_t since = handle->device_call_since.load();
        return since != 0 && std::chrono::nanoseconds(output_clock_now() - since) > limit;
    }

    audio_device audio;
    audio_stats stats{};
    madthread_data *handle = nullptr;
    Widget *notify = nullptr;
};

TEST_F(EngineFaults, AttackCorpusPlaysWithoutHangOrNoise)
{
    const TempDir corpus;
    ASSERT_EQ(std::system(("python3 " TONRA_TEST_DIR "/make-attack-corpus.py " + corpus.path().string()).c_str()), 0);
    std::vector<fs::path> files;
    for (const auto &entry : fs::directory_iterator(corpus.path()))
        files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    ASSERT_GE(files.size(), 15U);

    const AlsaDevice device(AlsaDevice::Kind::AppendFile);
    for (const fs::path &file : files) {
        SCOPED_TRACE(file.filename().string());
        fs::remove(device.output());
        stats[0] = stats[1] = 0;
        drop_events();
        if (!fs::is_regular_file(file)) {
            ::testing::internal::CaptureStderr();
            EXPECT_EQ(start(file), -1);
            EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Failed to open mp3 file " + file.string() + "\n");
            continue;
        }
        const bool huge = fs::file_size(file) > (64 << 20);
        ASSERT_EQ(start(file), 0);
        const auto events = collect_events(huge ? 1s : 20s, Event_SongEnded);
        if (!huge) {
            EXPECT_EQ(count_of(events, Event_SongEnded), 1) << "the song did not end";
        }
        madthread_stop(&handle);
        // As the engine's decoder would, skipping failed frames, in the
        // engine's blocks (where false frames meet the block's end, libmad
        // finds other ones). The huge one is a hole: silence.
        const Loudness allowed = huge ? Loudness{} : loudness(reference_samples(file, nullptr, after_tag(file), StreamBufferSize));
        const Loudness played = loudness(read_samples(device.output()));
        EXPECT_LE(played.peak, allowed.peak);
        EXPECT_LE(played.full_scale, allowed.full_scale);
    }
}

TEST_F(EngineFaults, DeviceThatGoesAwayEndsTheSongWithOneLineAndTheNextPlays)
{
    const fs::path song = mp3_song(44100, 2, "j", 320, 20);
    {
        // The pipe's reader leaves after 100,000 bytes: the program lives on
        // (the file plugin reports the failed writes itself and goes on).
        const AlsaDevice device(AlsaDevice::Kind::Pipe, "head -c 100000 > /dev/null");
        ::testing::internal::CaptureStderr();
        ASSERT_EQ(start(song), 0);
        const auto events = collect_events(20s, Event_SongEnded);
        madthread_stop(&handle);
        (void)::testing::internal::GetCapturedStderr();
        EXPECT_EQ(count_of(events, Event_SongEnded), 1);
    }
    // Through ALSA's plugin for the server, then through the server's own
    // stream.
    for (const bool own_stream : {false, true}) {
        SoundServer server;
        if (!server.running())
            break;
        std::optional<AlsaDevice> device;
        if (own_stream) {
            setenv("PULSE_SERVER", ("unix:" + server.socket()).c_str(), 1);
            setenv("TONRA_AUDIO", "pulse", 1);
        } else {
            device.emplace(AlsaDevice::Kind::Pulse, server.socket());
        }
        drop_events();
        ASSERT_EQ(start(song), 0);
        ASSERT_EQ(count_of(collect_events(5s, Event_MixerReady), Event_MixerReady), 1);
        EXPECT_EQ(output_backend(audio.pcm_handle.load()), own_stream ? "pulse" : "alsa");
        ::testing::internal::CaptureStderr();
        server.kill();
        const auto events = collect_events(20s, Event_SongEnded);
        madthread_stop(&handle);
        const std::string printed = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(count_of(events, Event_SongEnded), 1);
        EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1) << printed;
        EXPECT_TRUE(handle == nullptr);
        if (own_stream) {
            EXPECT_EQ(printed.rfind("../tonra: snd_pcm_plugin_write() failed: ", 0), 0u) << printed;
            unsetenv("TONRA_AUDIO");
            unsetenv("PULSE_SERVER");
        }
    }
    const fs::path next = mp3_song(44100, 2, "s", 192, 3);
    const AlsaDevice device(AlsaDevice::Kind::File);
    drop_events();
    ASSERT_EQ(start(next), 0);
    EXPECT_EQ(count_of(collect_events(20s, Event_SongEnded), Event_SongEnded), 1);
    madthread_stop(&handle);
    EXPECT_EQ(first_difference(read_samples(device.output()), reference_samples(next)), -1);
}

TEST_F(EngineFaults, StalledSourceOrDeviceOrSlowestFormatNeverHoldsAStop)
{
    const fs::path song = mp3_song(44100, 2, "j", 320, 20);
    const TempDir dir;
    const fs::path fifo = dir / "stream.mp3";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    {
        const AlsaDevice device(AlsaDevice::Kind::File);
        // No writer: a song that failed to open, not a hang.
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(start(fifo), -1);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Failed to open mp3 file " + fifo.string() + "\n");

        // A writer that stalls after 200,000 bytes.
        const int writer = open(fifo.c_str(), O_RDWR);
        ASSERT_GE(writer, 0);
        std::ifstream in(song, std::ios::binary);
        std::vector<char> bytes(200000);
        in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        std::thread feed([&] { EXPECT_EQ(write(writer, bytes.data(), bytes.size()), 200000); });
        ASSERT_EQ(start(fifo), 0);
        EXPECT_TRUE(eventually([&] { return consumed() == 200000; }, 10s));
        EXPECT_TRUE(stop_returns_before([&] { feed.join(); }));
        close(writer);
        EXPECT_TRUE(device_given_back(audio));
    }
    {
        // A device whose reader stops: the file plugin's write blocks in the
        // pipe. The next song, started meanwhile, waits for the device and
        // plays once the reader goes on.
        const TempDir dir;
        const std::string pid_file = dir.file("reader");
        const AlsaDevice device(AlsaDevice::Kind::Pipe, "if [ ! -s " + pid_file + " ]; then echo $$ > " + pid_file +
                                                            "; kill -STOP $$; fi; exec cat > /dev/null");
        ASSERT_EQ(start(song), 0);
        EXPECT_TRUE(eventually([&] { return device_stuck_for(300ms); }, 10s));
        ::testing::internal::CaptureStderr();
        madthread_stop(&handle);  // the reader stays stopped: a stop that waited for it never returns
        EXPECT_NE(::testing::internal::GetCapturedStderr().find("does not answer"), std::string::npos);
        drop_events();
        ASSERT_EQ(start(mp3_song(44100, 2, "s", 192, 3)), 0);
        pid_t reader = 0;
        std::ifstream(pid_file) >> reader;
        ASSERT_GT(reader, 0);
        kill(reader, SIGCONT);
        EXPECT_EQ(count_of(collect_events(20s, Event_SongEnded), Event_SongEnded), 1);
        madthread_stop(&handle);
    }
    if (SoundServer server; server.running()) {
        // A sound server that hangs: its plugin waits for it in the drop.
        const AlsaDevice device(AlsaDevice::Kind::Pulse, server.socket());
        ASSERT_EQ(start(song), 0);
        ASSERT_EQ(count_of(collect_events(5s, Event_MixerReady), Event_MixerReady), 1);
        EXPECT_TRUE(eventually([&] { return consumed() > 100000; }, 10s));
        kill(server.pid(), SIGSTOP);
        // The plugin either blocks in a call or keeps finding no room.
        EXPECT_TRUE(eventually(
            [&] {
                const std::int64_t since = output_quiet_since(audio.pcm_handle.load());
                return device_stuck_for(300ms) ||
                       (since != 0 && std::chrono::nanoseconds(output_clock_now() - since) > 300ms);
            },
            10s));
        EXPECT_TRUE(stop_returns_before([&] { kill(server.pid(), SIGCONT); }));
        EXPECT_TRUE(device_given_back(audio));
    }
    if (SoundServer server; server.running()) {
        // The same through the server's own stream: nothing of ours waits
        // for it unbounded.
        setenv("PULSE_SERVER", ("unix:" + server.socket()).c_str(), 1);
        setenv("TONRA_AUDIO", "pulse", 1);
        ASSERT_EQ(start(song), 0);
        ASSERT_EQ(count_of(collect_events(5s, Event_MixerReady), Event_MixerReady), 1);
        EXPECT_TRUE(eventually([&] { return consumed() > 100000; }, 10s));
        kill(server.pid(), SIGSTOP);
        EXPECT_TRUE(stop_returns_before([&] { kill(server.pid(), SIGCONT); }));
        EXPECT_TRUE(device_given_back(audio));
        unsetenv("TONRA_AUDIO");
        unsetenv("PULSE_SERVER");
    }
    if (SoundServer server; server.running()) {
        const AlsaDevice device(AlsaDevice::Kind::Pulse, server.socket());
        // Real time, where the device holds the most time at the slowest format.
        ASSERT_EQ(start(mp3_song(8000, 1, "m", 16, 5)), 0);
        ASSERT_EQ(count_of(collect_events(5s, Event_MixerReady), Event_MixerReady), 1);
        (void)collect_events(500ms);
        madthread_stop(&handle);
        // A loaded machine can make a call of the closing seem stuck.
        EXPECT_TRUE(device_given_back(audio));
    }
}

TEST_F(EngineFaults, TagsAreSkippedAndProgressCountsPastFourGigabytes)
{
    // A megabyte of random bytes in a tag before a tone.
    const fs::path tone = mp3_song(44100, 2, "s", 192, 3);
    const TempDir dir;
    const fs::path tagged = dir / "tagged.mp3";
    {
        std::ofstream out(tagged, std::ios::binary);
        constexpr int size = 1 << 20;
        out << "ID3" << '\4' << '\0' << '\0' << char(size >> 21 & 0x7F) << char(size >> 14 & 0x7F)
            << char(size >> 7 & 0x7F) << char(size & 0x7F);
        std::mt19937 noise(13);
        for (int i = 0; i < size; ++i)
            out.put(static_cast<char>(noise()));
        std::ifstream in(tone, std::ios::binary);
        out << in.rdbuf();
    }
    {
        const AlsaDevice device(AlsaDevice::Kind::File);
        ASSERT_EQ(start(tagged), 0);
        EXPECT_EQ(count_of(collect_events(20s, Event_SongEnded), Event_SongEnded), 1);
        madthread_stop(&handle);
        EXPECT_EQ(first_difference(read_samples(device.output()), reference_samples(tone)), -1);
        EXPECT_EQ(consumed(), static_cast<std::int64_t>(fs::file_size(tagged)));
    }
    // A hole of 3 GiB: the count is past 32 bits from the start.
    const fs::path big = dir / "big.mp3";
    std::ofstream(big).close();
    fs::resize_file(big, std::uintmax_t{3} << 30);
    stats[0] = stats[1] = 0;
    const AlsaDevice device(AlsaDevice::Kind::Null);
    ASSERT_EQ(start(big), 0);
    EXPECT_EQ(stats[AudioStats_Total].load(), std::int64_t{3} << 30);
    EXPECT_TRUE(eventually([&] { return consumed() * 100 / stats[AudioStats_Total].load() >= 1; }, 20s));
    madthread_stop(&handle);
}

}  // namespace
