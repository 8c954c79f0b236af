// SPDX-License-Identifier: GPL-3.0-or-later
// The sound output's contract, the same for each backend: ALSA recording
// through its file plugin, and the sound server's own stream on a private
// server. A stream opens at the group's level, takes what is written,
// plays out on a drain, runs dry and plays again after a prepare on the
// same stream with the same level, and is gone once closed.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <unistd.h>

#include "platform/sound/output.h"
#include "support/child.h"
#include "support/engine_support.h"
#include "support/sound_server.h"

using namespace engine_test;

namespace {

bool wait_until(const std::function<bool()> &condition) { return eventually(condition, std::chrono::seconds(20)); }

// Our stream in the server's list: "index volume%", or empty.
std::string listed_stream()
{
    const std::string text = shell("pactl list sink-inputs 2>/dev/null");
    const std::string pid = "application.process.id = \"" + std::to_string(getpid()) + "\"";
    for (std::size_t at = text.find("Sink Input #"); at != std::string::npos;) {
        const std::size_t next = text.find("Sink Input #", at + 1);
        const std::string block = text.substr(at, next - at);
        if (block.find(pid) != std::string::npos && block.find("media.name = \"contract\"") != std::string::npos) {
            const std::size_t percent = block.find("/ ", block.find("front-left: "));
            return std::to_string(std::atoi(block.c_str() + 12)) + " " + std::to_string(std::atoi(block.c_str() + percent + 2));
        }
        at = next;
    }
    return {};
}

// A second of a ramp that never repeats within it, stereo.
std::vector<std::int16_t> ramp(int offset)
{
    std::vector<std::int16_t> s(2 * 44100);
    for (std::size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<std::int16_t>((static_cast<int>(i) * 7 + offset) % 20000 - 10000);
    return s;
}

class OutputContract : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        if (GetParam() == "alsa") {
            device.emplace(AlsaDevice::Kind::File);
            return;
        }
        if (!SoundServer::available() || !on_path("pactl"))
            GTEST_SKIP() << "needs pactl; " << SoundServer::missing();
        server.emplace();
        ASSERT_TRUE(server->running()) << server->fate();
        setenv("PULSE_SERVER", ("unix:" + server->socket()).c_str(), 1);
        setenv("TONRA_AUDIO", "pulse", 1);
    }
    void TearDown() override
    {
        unsetenv("TONRA_AUDIO");
        unsetenv("PULSE_SERVER");
    }
    [[nodiscard]] bool pulse() const { return GetParam() == "pulse"; }

    std::optional<AlsaDevice> device;
    std::optional<SoundServer> server;
};

TEST_P(OutputContract, OpensWritesDrainsRunsDryPlaysAgainAndCloses)
{
    output_format format;
    format.buffer_bytes = output_buffer_bytes(65536, 44100, 2);
    format.name = "contract";
    format.start.volume[0] = format.start.volume[1] = 50;
    audio_output *out = nullptr;
    output_step failed{};
    ASSERT_EQ(output_open(&out, format, &failed), 0);
    EXPECT_EQ(output_backend(out), GetParam());
    EXPECT_EQ(output_has_group(out), pulse());
    std::string stream;
    if (pulse()) {
        ASSERT_TRUE(wait_until([&] { return !(stream = listed_stream()).empty(); }));
        EXPECT_EQ(stream.substr(stream.find(' ')), " 50") << "the first sample plays at the group's level";
    }

    const auto first = ramp(0), second = ramp(3);
    const long bytes = static_cast<long>(first.size() * 2);
    EXPECT_EQ(output_write(out, first.data(), static_cast<std::size_t>(bytes)), bytes);
    EXPECT_EQ(output_drain(out, true, Output_SettleLimitMs), 0);
    // Played out and dry: a prepare readies it, and it is the same stream.
    EXPECT_EQ(output_prepare(out), 0);
    EXPECT_EQ(output_write(out, second.data(), static_cast<std::size_t>(bytes)), bytes);
    if (pulse()) {
        EXPECT_EQ(listed_stream(), stream);
        output_levels quieter;
        quieter.volume[0] = quieter.volume[1] = 40;
        EXPECT_EQ(output_group_write(out, quieter), 0);
        EXPECT_TRUE(wait_until([&] { return listed_stream() == stream.substr(0, stream.find(' ')) + " 40"; }));
    }
    EXPECT_EQ(output_drain(out, true, Output_SettleLimitMs), 0);
    EXPECT_EQ(output_close(out), 0);

    if (pulse()) {
        EXPECT_TRUE(wait_until([] { return listed_stream().empty(); }));
    } else {
        std::vector<std::int16_t> both = first;
        both.insert(both.end(), second.begin(), second.end());
        EXPECT_EQ(first_difference(read_samples(device->output()), both), -1);
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, OutputContract, ::testing::Values("alsa", "pulse"),
                         [](const auto &info) { return info.param; });

}  // namespace
