// SPDX-License-Identifier: GPL-3.0-or-later
// The 16-bit quantiser, and the output callback that converts and writes a
// frame through it into ALSA's file device.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <thread>

#include "madthread.h"
#include "support/engine_support.h"
#include "tonra.h"

using namespace engine_test;
using namespace std::chrono_literals;

namespace {

struct Quantiser {
    long operator()(mad_fixed_t sample) { return dither(OutputBits, sample, &error, &stats); }
    mad_fixed_t error = 0;
    dither_stats stats;
};

struct Case {
    mad_fixed_t sample;
    long output;
    mad_fixed_t error;
    unsigned long clipped;
};

class DitherOneSample : public ::testing::TestWithParam<Case> {};

TEST_P(DitherOneSample, GivesTheSampleAndLeavesTheError)
{
    Quantiser q;
    EXPECT_EQ(q(GetParam().sample), GetParam().output);
    EXPECT_EQ(q.error, GetParam().error);
    EXPECT_EQ(q.stats.clip_count, GetParam().clipped);
}

INSTANTIATE_TEST_SUITE_P(Dither, DitherOneSample,
                         ::testing::Values(Case{0x08000000, 16384, 0, 0},          // one half: exact
                                           Case{0x00001FFF, 0, 0x1FFF, 0},         // below one step
                                           Case{-1, -1, 0x1FFF, 0},                // toward minus infinity
                                           Case{0x10000000, 32767, 0x2000, 1},     // +1.0 is beyond full scale
                                           Case{-0x10000000, -32768, 0, 0},        // -1.0 is not
                                           Case{-0x10000001, -32768, -1, 1},
                                           Case{0x0FFFFFFF, 32767, 0x1FFF, 0}));

TEST(Dither, CarriedRemainderCompletesTheNextSample)
{
    Quantiser q;
    EXPECT_EQ(q(0x00001FFF), 0);
    EXPECT_EQ(q(0x00000001), 1);
    EXPECT_EQ(q.error, 0);
}

TEST(Dither, ExcessBeyondFullScaleIsCarriedUnlimitedAndWorkedOff)
{
    Quantiser q;
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(q(0x10000000), 32767);
    EXPECT_EQ(q.error, 6 * 0x2000);
    EXPECT_EQ(q.stats.clip_count, 6U);
    // Only samples whose carried error was below 0x8000 count for the peak.
    EXPECT_EQ(q.stats.clip_peak, 1 + 3 * 0x2000);
    EXPECT_EQ(q(0), 6);
    EXPECT_EQ(q.error, 0);
}

TEST(Dither, ArithmeticWrapsAt32Bits)
{
    Quantiser q;
    q.error = 0x7FFFF000;
    // 0x7FFFF000 + 0x10000000 wraps to -0x70001000: clipped to -1.0.
    EXPECT_EQ(q(0x10000000), -32768);
    EXPECT_EQ(q.error, -0x60001000);
}

TEST(Dither, AnySequenceEqualsClampThenFloorWithOneCarriedError)
{
    // The level seen so far only skips tests that cannot clip: the result
    // must be that of clipping every sample.
    std::mt19937 random(20240611);
    std::uniform_int_distribution<mad_fixed_t> sample(-0x18000000, 0x18000000);
    Quantiser q;
    mad_fixed_t carried = 0;
    for (int i = 0; i < 200000; ++i) {
        // Runs of quiet samples between loud ones move the level around.
        const mad_fixed_t s = (i / 1000) % 3 == 0 ? sample(random) / 64 : sample(random);
        const std::int64_t v = std::int64_t{s} + carried;
        const std::int64_t clipped = std::clamp<std::int64_t>(v, -0x10000000, 0x0FFFFFFF);
        const std::int64_t floor = static_cast<std::int64_t>(std::floor(static_cast<double>(clipped) / 8192));
        carried = static_cast<mad_fixed_t>(v - floor * 8192);
        ASSERT_EQ(q(s), floor) << "sample " << i;
        ASSERT_EQ(q.error, carried) << "sample " << i;
    }
}

// The output callback writes one converted frame into the file device.
class OutputFrame : public ::testing::Test {
protected:
    void open(unsigned rate, mad_mode mode)
    {
        ASSERT_EQ(tonra_open_audio_playback(&audio, FragmentSize, static_cast<int>(rate), mode), 0);
    }
    std::vector<std::int16_t> written()
    {
        tonra_close_audio_playback(&audio);
        return read_samples(device.output());
    }
    static std::unique_ptr<mad_pcm> frame(unsigned channels, unsigned length)
    {
        auto pcm = std::make_unique<mad_pcm>();
        pcm->samplerate = 44100;
        pcm->channels = static_cast<unsigned short>(channels);
        pcm->length = static_cast<unsigned short>(length);
        return pcm;
    }

    AlsaDevice device{AlsaDevice::Kind::File};
    audio_device audio;
    audio_stats stats{};
    std::unique_ptr<madthread_data> m = std::make_unique<madthread_data>(&audio, stats, nullptr);
};

TEST_F(OutputFrame, StereoPassesTheErrorFromLeftToRightToTheNextLeft)
{
    open(44100, MAD_MODE_STEREO);
    auto pcm = frame(2, 3);
    pcm->samples[0][0] = 0x1FFF;  // left 0 leaves 0x1FFF ...
    pcm->samples[1][0] = 0;       // ... right 0 passes it on ...
    pcm->samples[0][1] = 1;       // ... and left 1 is completed by it
    pcm->samples[1][1] = 0x1000;
    pcm->samples[0][2] = 0x1000;  // one error for both channels: 0x2000
    pcm->samples[1][2] = 0;
    EXPECT_EQ(madthread_callbacks::output(m.get(), nullptr, pcm.get()), MAD_FLOW_CONTINUE);
    EXPECT_EQ(written(), (std::vector<std::int16_t>{0, 0, 1, 0, 1, 0}));
    EXPECT_EQ(m->dither_error, 0);
}

TEST_F(OutputFrame, WholeFramesQuantiseAsSampleBySample)
{
    // Frames quiet and loud, some reaching a new level or clipping partway:
    // converting a frame must equal dither() applied to one sample after
    // the other, with one carried error through every frame.
    std::mt19937 random(7);
    Quantiser expected;
    for (const unsigned channels : {2U, 1U}) {
        open(44100, channels == 2 ? MAD_MODE_STEREO : MAD_MODE_SINGLE_CHANNEL);
        std::vector<std::int16_t> want;
        for (int f = 0; f < 40; ++f) {
            const mad_fixed_t reach = f % 7 == 6 ? 0x14000000 : 0x00040000 << (f % 6);
            std::uniform_int_distribution<mad_fixed_t> sample(-reach, reach);
            auto pcm = frame(channels, f % 4 == 1 ? 576 : 1152);
            for (unsigned i = 0; i < pcm->length; ++i) {
                for (unsigned ch = 0; ch < channels; ++ch) {
                    pcm->samples[ch][i] = sample(random);
                    want.push_back(static_cast<std::int16_t>(expected(pcm->samples[ch][i])));
                }
            }
            ASSERT_EQ(madthread_callbacks::output(m.get(), nullptr, pcm.get()), MAD_FLOW_CONTINUE);
            ASSERT_EQ(m->dither_error, expected.error) << "frame " << f;
            ASSERT_EQ(m->statistics.level_peak, expected.stats.level_peak) << "frame " << f;
            ASSERT_EQ(m->statistics.clip_count, expected.stats.clip_count) << "frame " << f;
        }
        EXPECT_EQ(first_difference(written(), want), -1) << channels << " channels";
    }
}

TEST_F(OutputFrame, FrameSizesInBytes)
{
    open(44100, MAD_MODE_STEREO);
    auto pcm = frame(2, 1152);
    EXPECT_EQ(madthread_callbacks::output(m.get(), nullptr, pcm.get()), MAD_FLOW_CONTINUE);
    EXPECT_EQ(written().size() * 2, 4608U);

    open(22050, MAD_MODE_SINGLE_CHANNEL);
    pcm = frame(1, 1152);
    EXPECT_EQ(madthread_callbacks::output(m.get(), nullptr, pcm.get()), MAD_FLOW_CONTINUE);
    EXPECT_EQ(written().size() * 2, 2304U);

    open(22050, MAD_MODE_SINGLE_CHANNEL);
    pcm = frame(1, 0);
    EXPECT_EQ(madthread_callbacks::output(m.get(), nullptr, pcm.get()), MAD_FLOW_CONTINUE);
    EXPECT_TRUE(written().empty());
}

TEST_F(OutputFrame, StopRequestedWritesNothing)
{
    open(44100, MAD_MODE_STEREO);
    m->quit = 1;
    auto pcm = frame(2, 1152);
    EXPECT_EQ(madthread_callbacks::output(m.get(), nullptr, pcm.get()), MAD_FLOW_STOP);
    EXPECT_TRUE(written().empty());
}

TEST_F(OutputFrame, WaitsAtThePauseGateBeforeWriting)
{
    open(44100, MAD_MODE_STEREO);
    auto pcm = frame(2, 1152);
    std::atomic<bool> returned{false};
    m->run_lock.lock();
    const auto others = thread_ids();
    std::thread decoder([&] {
        EXPECT_EQ(madthread_callbacks::output(m.get(), nullptr, pcm.get()), MAD_FLOW_CONTINUE);
        returned = true;
    });
    EXPECT_TRUE(holds_within(10s, [&] { return at_rest_but(others); })) << "the writer never came to rest";
    EXPECT_FALSE(returned.load());
    m->run_lock.unlock();
    decoder.join();
    EXPECT_EQ(written().size(), 2304U);
}

}  // namespace
