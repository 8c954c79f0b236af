// SPDX-License-Identifier: GPL-3.0-or-later
// A long run: five hundred one-second songs under repeat "List", played
// through ALSA's file device for two minutes of wall time. The file device
// takes the songs as fast as they decode, so the two minutes hold many
// passes. Nothing may grow with the songs played.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "abmain.h"
#include "platform/widgets/ab.h"
#include "platform/widgets/list.h"
#include "player.h"
#include "playlist.h"
#include "support/app.h"
#include "support/engine_support.h"

using namespace engine_test;
using namespace std::chrono_literals;

// Under AddressSanitizer resident memory grows by one to four megabytes a
// pass while the plain build holds to a few kilobytes over twenty passes:
// the sanitizer's own records of the thousands of threads the songs start,
// not the program's memory.
#ifdef __SANITIZE_ADDRESS__
constexpr bool MemoryIsTheProgramsOwn = false;
#else
constexpr bool MemoryIsTheProgramsOwn = true;
#endif

namespace {

struct Usage {
    long rss_kb = 0;
    int descriptors = 0, threads = 0;
};

Usage usage()
{
    Usage now{0, open_descriptors(), running_threads()};
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:"))
            now.rss_kb = std::stol(line.substr(6));
    return now;
}

int marked_row()
{
    const auto &items = tree_items(AbWidgets[ABN_playlist]);
    for (std::size_t row = 0; row < items.size(); ++row)
        if (items[row].current == 1)
            return static_cast<int>(row);
    return -1;
}

void click(int index) { qobject_cast<QAbstractButton *>(AbWidgets[index])->click(); }

class LongRun : public ::testing::Test {
protected:
    void SetUp() override { open_main_window(); }
    void TearDown() override
    {
        player_stop_song();
        close_main_window();
    }
};

TEST_F(LongRun, RepeatedPassesKeepMemoryDescriptorsAndThreads)
{
    TempDir dir;
    const fs::path one = mp3_song(44100, 2, "j", 128, 1.0);
    AlsaDevice device(AlsaDevice::Kind::File);
    for (int i = 0; i < 500; ++i) {
        const fs::path song = dir / ("song" + std::to_string(i) + ".mp3");
        fs::create_symlink(one, song);
        ASSERT_EQ(playlist_add_filename(song.c_str()), 0);
    }
    ASSERT_TRUE(ab_get_flags(AbWidgets[ABN_repeat_list]) & Flag_Set);

    // A pass ends when the marker goes back up the list.
    int passes = 0, last = 0;
    auto play_until = [&](std::chrono::steady_clock::time_point end, int wanted) {
        return wait_until(
            [&] {
                const int row = marked_row();
                passes += row < last;
                last = row;
                return passes >= wanted && std::chrono::steady_clock::now() >= end;
            },
            240000);
    };
    const auto started = std::chrono::steady_clock::now();
    click(ABN_play);
    ASSERT_TRUE(play_until(started, 1));
    player_stop_song();
    const Usage first = usage();
    const double first_pass = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    click(ABN_play);
    ASSERT_TRUE(play_until(started + 2min, passes + 1));
    player_stop_song();
    const Usage end = usage();
    std::printf("%d passes; first pass %.1f s; after it %ld kB, %d descriptors, %d threads; at the end %ld kB, "
                "%d descriptors, %d threads\n",
                passes, first_pass, first.rss_kb, first.descriptors, first.threads, end.rss_kb, end.descriptors,
                end.threads);
    if (MemoryIsTheProgramsOwn) {
        EXPECT_LE(end.rss_kb, first.rss_kb * 105 / 100);
    }
    EXPECT_LE(end.descriptors, first.descriptors * 105 / 100);
    EXPECT_LE(end.threads, first.threads * 105 / 100);
}

}  // namespace
