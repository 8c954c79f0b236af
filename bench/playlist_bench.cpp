// SPDX-License-Identifier: GPL-3.0-or-later
// The playlist at library scale: 50,000 additions (every one reading a real
// tag), first on the user-interface thread as the command line adds, then
// from another thread one locked section each as the directory scan adds;
// a shuffle, removing every other song, and walking to the marker.
// Run offscreen: QT_QPA_PLATFORM=offscreen build/bench/playlist_bench
// Exits 1 when a bound is missed: the last 1,000 additions may take at most
// twice the first 1,000 (both ways); shuffle and remove-half must each stay
// under 1 s.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "abmain.h"
#include "platform/widgets/ab.h"
#include "platform/widgets/list.h"
#include "playlist.h"
#include "tonra.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A small file with an ID3 version 1 tag at its end.
void write_song(const std::filesystem::path &path, int n)
{
    std::string tag(128, '\0');
    tag.replace(0, 3, "TAG");
    const std::string title = "Title " + std::to_string(n);
    const std::string artist = "Artist " + std::to_string(n % 97);
    tag.replace(3, title.size(), title);
    tag.replace(33, artist.size(), artist);
    std::ofstream out(path, std::ios::binary);
    out << std::string(256, '\xAA') << tag;
}

void drain_events()
{
    for (int i = 0; i < 20; ++i)
        ab_process_events();
}

} // namespace

int main()
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static char name[] = "playlist_bench";
    static char *argv[] = {name, nullptr};
    interface_register();
    ab_init(1, argv, ab_parse_options(1, argv));
    tonra_init(1, argv);
    ab_link_window(nullptr, AbApplLinks);
    drain_events();

    constexpr int Songs = 50'000;
    constexpr int Files = 500;
    constexpr int Block = 1'000;
    const auto dir = std::filesystem::temp_directory_path() / ("playlist_bench." + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::vector<std::string> paths;
    for (int i = 0; i < Files; ++i) {
        paths.push_back((dir / ("song" + std::to_string(i) + ".mp3")).string());
        write_song(paths.back(), i);
    }

    std::vector<double> blocks;
    for (int b = 0; b < Songs / Block; ++b) {
        const auto start = Clock::now();
        for (int i = 0; i < Block; ++i)
            playlist_add_filename(paths[static_cast<std::size_t>((b * Block + i) % Files)].c_str());
        blocks.push_back(ms_since(start));
    }
    const auto drawn = Clock::now();
    drain_events();
    const double draw_after_add = ms_since(drawn);
    const double add_ratio = blocks.back() / blocks.front();
    std::printf("add %d songs: first %d %.1f ms, last %d %.1f ms, ratio %.2f (bound 2.00); "
                "then events %.1f ms; count %d\n",
                Songs, Block, blocks.front(), Block, blocks.back(), add_ratio, draw_after_add, SongCount);

    // As the directory scan adds: one locked section per song from its own
    // thread, the event loop turning (and the list drawing) in between.
    new_playlist(AbWidgets[ABN_playlist], nullptr, nullptr);
    std::vector<double> scan_blocks;
    std::atomic<bool> scanned{false};
    std::thread scan([&] {
        for (int b = 0; b < Songs / Block; ++b) {
            const auto start = Clock::now();
            for (int i = 0; i < Block; ++i)
                ab_locked([&] { playlist_add_filename(paths[static_cast<std::size_t>((b * Block + i) % Files)].c_str()); });
            scan_blocks.push_back(ms_since(start));
        }
        scanned = true;
    });
    while (!scanned)
        ab_process_events();
    scan.join();
    drain_events();
    // Each block waits on the other thread's turns, so a single block shows
    // the machine's scheduling as much as the list: five blocks each end.
    const auto five = [](auto first) { return (first[0] + first[1] + first[2] + first[3] + first[4]) / 5; };
    const double scan_first = five(scan_blocks.begin()), scan_last = five(scan_blocks.end() - 5);
    const double scan_ratio = scan_last / scan_first;
    double scan_total = 0;
    for (double ms : scan_blocks)
        scan_total += ms;
    std::printf("add %d songs from another thread: first %d %.1f ms, last %d %.1f ms (means of five blocks), "
                "ratio %.2f (bound 2.00); total %.0f ms; count %d\n",
                Songs, Block, scan_first, Block, scan_last, scan_ratio, scan_total, SongCount);

    // The marker near the bottom, so finding it walks most of the list.
    tree_item(AbWidgets[ABN_playlist], Songs - 2)->current = 1;
    auto start = Clock::now();
    shuffle(AbWidgets[ABN_playlist_shuffle], nullptr, nullptr);
    const double shuffle_ms = ms_since(start);
    start = Clock::now();
    drain_events();
    const double shuffle_events = ms_since(start);
    std::printf("shuffle %d: %.1f ms (bound 1000); then events %.1f ms\n", tree_count(AbWidgets[ABN_playlist]),
                shuffle_ms, shuffle_events);

    char buffer[1025];
    start = Clock::now();
    constexpr int Steps = 1'000;
    for (int i = 0; i < Steps; ++i)
        (void)playlist_get_next_filename(buffer, sizeof buffer);
    std::printf("next song x%d over %d items: %.3f ms each\n", Steps, Songs, ms_since(start) / Steps);

    // Every other row: the most scattered selection, one range per row.
    std::vector<int> rows;
    for (int r = 0; r < Songs; r += 2)
        rows.push_back(r);
    start = Clock::now();
    tree_select_rows(AbWidgets[ABN_playlist], rows);
    const double select_ms = ms_since(start);
    start = Clock::now();
    drain_events();  // the selection's own redraw, apart from the removal's
    const double select_events = ms_since(start);
    start = Clock::now();
    remove_items(AbWidgets[ABN_playlist], nullptr, nullptr);
    const double remove_ms = ms_since(start);
    start = Clock::now();
    drain_events();
    const double remove_events = ms_since(start);
    std::printf("remove every other of %d: %.1f ms (bound 1000), then events %.1f ms; selecting them %.1f ms, "
                "then events %.1f ms; count %d\n",
                Songs, remove_ms, remove_events, select_ms, select_events, SongCount);

    std::filesystem::remove_all(dir);
    const bool ok = add_ratio <= 2.0 && scan_ratio <= 2.0 && shuffle_ms < 1000 && remove_ms < 1000 && SongCount == Songs / 2;
    std::printf("%s\n", ok ? "within bounds" : "OUT OF BOUNDS");
    std::fflush(stdout);
    ab_exit(ok ? 0 : 1);
}
