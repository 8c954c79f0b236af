// SPDX-License-Identifier: GPL-3.0-or-later
// Tags read per second against the I/O floor: opening each file and reading
// its first and last 1024 bytes, which any reader of those blocks must pay.
// The directory scan reads one tag per file it adds while it holds the
// widget lock, so the reader's own work should vanish next to that floor.
//
// Usage: id3_bench [repetitions]   (files stay in the page cache: warm runs)
#include "id3.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int FileCount = 10000;

using Bytes = std::vector<unsigned char>;

// Deterministic stand-in for MPEG audio: random bytes, with every accidental
// "TAG" or "ID3" broken so that only the files meant to carry a tag have one
// and the found count can be checked.
class Audio {
public:
    Bytes next(std::size_t n)
    {
        Bytes out(n);
        for (auto &b : out) {
            state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
            b = static_cast<unsigned char>(state_ >> 56);
        }
        for (std::size_t p = 0; p + 3 <= n; ++p) {
            if (std::memcmp(&out[p], "TAG", 3) == 0 || std::memcmp(&out[p], "ID3", 3) == 0)
                out[p + 2] ^= 0x80;
        }
        return out;
    }

private:
    std::uint64_t state_ = 0x1d3;
};

void append(Bytes &to, std::string_view text)
{
    to.insert(to.end(), text.begin(), text.end());
}

Bytes v1_tag(int i)
{
    Bytes tag(128, 0);
    std::memcpy(tag.data(), "TAG", 3);
    const std::string title = "Title " + std::to_string(i) + "  ";
    const std::string artist = "Artist " + std::to_string(i % 97);
    std::memcpy(tag.data() + 3, title.data(), std::min<std::size_t>(title.size(), 30));
    std::memcpy(tag.data() + 33, artist.data(), std::min<std::size_t>(artist.size(), 30));
    std::memcpy(tag.data() + 63, "Some album", 10);
    tag[126] = static_cast<unsigned char>(1 + i % 20);
    return tag;
}

void append_frame(Bytes &to, std::string_view id, std::string_view text)
{
    const std::size_t size = text.size() + 1;
    append(to, id);
    to.insert(to.end(), {static_cast<unsigned char>(size >> 16), static_cast<unsigned char>(size >> 8),
                         static_cast<unsigned char>(size), 0});
    append(to, text);
}

Bytes v22_tag(int i)
{
    Bytes tag{'I', 'D', '3', 2, 0, 0, 0, 0, 2, 0};
    append_frame(tag, "TT2", "Title " + std::to_string(i));
    append_frame(tag, "TP1", "Artist " + std::to_string(i % 97));
    append_frame(tag, "TAL", "Some album");
    append_frame(tag, "TEN", "Encoder");
    append_frame(tag, "TRK", std::to_string(1 + i % 20) + "/20");
    tag.resize(256, 0);
    return tag;
}

// Half the files carry a tag: a quarter version 1 at the end, a quarter
// version 2.2 at the start; sizes from 2 to 6 KB.
std::vector<std::string> make_files(const std::filesystem::path &dir)
{
    Audio audio;
    std::vector<std::string> paths;
    paths.reserve(FileCount);
    for (int i = 0; i < FileCount; ++i) {
        const std::size_t size = 2048 + static_cast<std::size_t>(i) * 7919 % 4096;
        Bytes content;
        switch (i % 4) {
        case 0:
            content = audio.next(size - 128);
            {
                const Bytes tag = v1_tag(i);
                content.insert(content.end(), tag.begin(), tag.end());
            }
            break;
        case 1:
            content = v22_tag(i);
            {
                const Bytes rest = audio.next(size - content.size());
                content.insert(content.end(), rest.begin(), rest.end());
            }
            break;
        default:
            content = audio.next(size);
        }
        paths.push_back((dir / ("song" + std::to_string(i) + ".mp3")).string());
        std::ofstream(paths.back(), std::ios::binary)
            .write(reinterpret_cast<const char *>(content.data()), static_cast<std::streamsize>(content.size()));
    }
    return paths;
}

// The same system calls the reader makes for an untagged file, nothing more.
std::uint64_t floor_pass(std::span<const std::string> paths)
{
    unsigned char block[1024];
    std::uint64_t sum = 0;
    for (const auto &path : paths) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        if (::read(fd, block, sizeof block) > 0)
            sum += block[0];
        (void)::lseek(fd, -static_cast<off_t>(sizeof block), SEEK_END);
        if (::read(fd, block, sizeof block) > 0)
            sum += block[sizeof block - 1];
        ::close(fd);
    }
    return sum;
}

int reader_pass(std::span<const std::string> paths)
{
    int found = 0;
    for (const auto &path : paths) {
        id3_info info{};
        if (id3_parse_file(path.c_str(), &info) == 0 && (info.artist[0] != '\0' || info.title[0] != '\0'))
            ++found;
    }
    return found;
}

template <typename F>
double seconds(F &&f)
{
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;

    std::string pattern = (std::filesystem::temp_directory_path() / "id3_bench.XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::filesystem::path dir = pattern;
    struct Remove {
        std::filesystem::path dir;
        ~Remove() { std::filesystem::remove_all(dir); }
    } remove{dir};

    const std::vector<std::string> paths = make_files(dir);

    // Warm the page cache and check that exactly the tagged half is found.
    volatile std::uint64_t sink = floor_pass(paths);
    const int found = reader_pass(paths);
    if (found != FileCount / 2) {
        std::fprintf(stderr, "id3_bench: found %d tags in %d files, expected %d\n", found, FileCount, FileCount / 2);
        return 1;
    }

    // The two passes take turns on slices of 500 files, so that both see the
    // same load on a shared machine; each repetition gives one ratio.
    constexpr std::size_t Slice = 500;
    std::vector<double> floor_times, reader_times, ratios;
    for (int r = 0; r < repetitions; ++r) {
        double floor_time = 0, reader_time = 0;
        for (std::size_t first = 0; first < paths.size(); first += Slice) {
            const auto slice = std::span(paths).subspan(first, std::min(Slice, paths.size() - first));
            const auto floor = [&] { floor_time += seconds([&] { sink = sink + floor_pass(slice); }); };
            const auto reader = [&] { reader_time += seconds([&] { sink = sink + reader_pass(slice); }); };
            if ((first / Slice + static_cast<std::size_t>(r)) % 2 == 0) {
                floor();
                reader();
            } else {
                reader();
                floor();
            }
        }
        floor_times.push_back(floor_time);
        reader_times.push_back(reader_time);
        ratios.push_back(floor_time / reader_time);
    }

    const auto rate = [](double time) { return FileCount / time; };
    std::printf("files: %d (%d tagged), repetitions: %d; median (best)\n", FileCount, found, repetitions);
    std::printf("I/O floor (open + 2 x 1024 bytes): %8.0f files/s (%.0f)\n", rate(median(floor_times)),
                rate(*std::min_element(floor_times.begin(), floor_times.end())));
    std::printf("tag reader:                        %8.0f tags/s  (%.0f)\n", rate(median(reader_times)),
                rate(*std::min_element(reader_times.begin(), reader_times.end())));
    std::printf("reader rate / floor rate:          %8.3f (%.3f)\n", median(ratios),
                *std::max_element(ratios.begin(), ratios.end()));
    return 0;
}
