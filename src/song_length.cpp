// SPDX-License-Identifier: GPL-3.0-or-later
#include "song_length.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace {

// kbit/s by [MPEG-1 or not][layer - 1][index]; index 0 is free format.
constexpr int Bitrates[2][3][16] = {
    {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0}},
    {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0}},
};
constexpr unsigned Rates[3] = {44100, 48000, 32000};
// A search for a frame gives up after this many bytes: a song is not that
// damaged, and a file that is no song should not be read whole.
constexpr std::int64_t SearchLimit = 65536;

[[nodiscard]] std::uint32_t big_endian(const unsigned char *p)
{
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

[[nodiscard]] std::vector<unsigned char> read_at(int fd, std::int64_t at, std::size_t size)
{
    std::vector<unsigned char> bytes(size);
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = pread(fd, bytes.data() + got, size - got, static_cast<off_t>(at) + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    return bytes;
}

[[nodiscard]] bool same_stream(const frame_header &a, const frame_header &b)
{
    return b.frame_bytes > 0 && a.version_bits == b.version_bits && a.layer == b.layer && a.rate == b.rate;
}

// The first header in `bytes` followed by another of its stream (or by the
// end of the audio); its offset, or -1.
[[nodiscard]] std::int64_t first_frame(const std::vector<unsigned char> &bytes, std::int64_t base,
                                       std::int64_t end, const frame_header *like)
{
    for (std::size_t i = 0; i + 4 <= bytes.size(); ++i) {
        if (bytes[i] != 0xFF)
            continue;
        const frame_header h = song_parse_header(&bytes[i]);
        if (h.frame_bytes == 0 || (like != nullptr && (like->layer != h.layer || like->rate != h.rate)))
            continue;
        const std::size_t next = i + static_cast<std::size_t>(h.frame_bytes);
        if (base + static_cast<std::int64_t>(next) == end)
            return base + static_cast<std::int64_t>(i);
        if (next + 4 <= bytes.size() && same_stream(h, song_parse_header(&bytes[next])))
            return base + static_cast<std::int64_t>(i);
    }
    return -1;
}

} // namespace

std::int64_t song_id3v2_length(std::span<const unsigned char> head)
{
    // Version bytes of 0xFF or a size byte with its top bit set: no tag.
    if (head.size() < 10 || std::memcmp(head.data(), "ID3", 3) != 0 || head[3] == 0xFF || head[4] == 0xFF)
        return 0;
    std::int64_t body = 0;
    for (std::size_t i = 6; i < 10; ++i) {
        if (head[i] & 0x80)
            return 0;
        body = body << 7 | head[i];
    }
    const bool footer = (head[5] & 0x10) != 0;
    return 10 + body + (footer ? 10 : 0);
}

frame_header song_parse_header(const unsigned char *b)
{
    if (b[0] != 0xFF || (b[1] & 0xE0) != 0xE0)
        return {};
    frame_header h;
    h.version_bits = (b[1] >> 3) & 3;
    const int layer_bits = (b[1] >> 1) & 3;
    const int bitrate_index = b[2] >> 4;
    const int rate_index = (b[2] >> 2) & 3;
    if (h.version_bits == 1 || layer_bits == 0 || bitrate_index == 0 || bitrate_index == 15 || rate_index == 3)
        return {};
    h.layer = 4 - layer_bits;
    const bool mpeg1 = h.version_bits == 3;
    h.rate = Rates[rate_index] >> (mpeg1 ? 0 : h.version_bits == 2 ? 1 : 2);
    h.bitrate = Bitrates[mpeg1 ? 0 : 1][h.layer - 1][bitrate_index] * 1000;
    const int padding = (b[2] >> 1) & 1;
    h.channels = (b[3] >> 6) == 3 ? 1 : 2;
    if (h.layer == 1) {
        h.samples = 384;
        h.frame_bytes = (12 * h.bitrate / static_cast<int>(h.rate) + padding) * 4;
    } else {
        h.samples = h.layer == 3 && !mpeg1 ? 576 : 1152;
        h.frame_bytes = h.samples / 8 * h.bitrate / static_cast<int>(h.rate) + padding;
    }
    return h;
}

bool song_length_read(int fd, std::int64_t size, song_length &length)
{
    length = {};
    std::int64_t start = song_id3v2_length(read_at(fd, 0, 10));
    std::int64_t end = size;
    if (size >= 128) {
        if (const auto tail = read_at(fd, size - 128, 3); tail.size() == 3 && std::memcmp(tail.data(), "TAG", 3) == 0)
            end = size - 128;
    }
    if (start >= end)
        start = 0;  // no tag of that size: the decoder sees the bytes as they are
    const auto head = read_at(fd, start, static_cast<std::size_t>(std::min<std::int64_t>(SearchLimit, end - start)));
    const std::int64_t first = first_frame(head, start, end, nullptr);
    if (first < 0)
        return false;
    const std::size_t at = static_cast<std::size_t>(first - start);
    const frame_header h = song_parse_header(&head[at]);
    length.layer = h.layer;
    length.lsf = h.version_bits != 3 ? 1 : 0;
    length.rate = h.rate;
    length.samples_per_frame = h.samples;
    length.audio_start = first;
    length.audio_end = end;

    // Xing and Info follow the side information; VBRI always sits 32 bytes in.
    const std::size_t side = h.version_bits == 3 ? (h.channels == 1 ? 17 : 32) : (h.channels == 1 ? 9 : 17);
    const std::size_t xing = at + 4 + side;
    const std::size_t vbri = at + 36;
    const auto holds = [&](std::size_t from, std::size_t count) { return from + count <= head.size(); };
    if (h.layer == 3 && holds(xing, 8) &&
        (std::memcmp(&head[xing], "Xing", 4) == 0 || std::memcmp(&head[xing], "Info", 4) == 0)) {
        const std::uint32_t flags = big_endian(&head[xing + 4]);
        std::size_t p = xing + 8;
        if ((flags & 1) != 0 && holds(p, 4)) {
            length.frames = big_endian(&head[p]);
            p += 4;
        }
        if ((flags & 2) != 0 && holds(p, 4)) {
            length.toc_bytes = big_endian(&head[p]);
            p += 4;
        }
        if ((flags & 4) != 0 && holds(p, 100)) {
            std::copy_n(&head[p], 100, length.toc.begin());
            // An Info header marks a constant bitrate, where the frames'
            // own sizes place a jump more finely than a table of 100.
            length.has_toc = length.frames > 0 && std::memcmp(&head[xing], "Xing", 4) == 0;
        }
        if (length.toc_bytes <= 0 || length.toc_bytes > end - first)
            length.toc_bytes = end - first;
        length.toc_start = first;
    } else if (h.layer == 3 && holds(vbri, 18) && std::memcmp(&head[vbri], "VBRI", 4) == 0) {
        length.frames = big_endian(&head[vbri + 14]);
    }
    // The header's own frame is decoded and heard too, as a frame of silence.
    if (length.frames > 0)
        ++length.frames;
    if (length.frames <= 0) {
        // Constant bitrate: every frame the size of the first, padding spread.
        const double frame_bytes = static_cast<double>(h.samples) / 8.0 * h.bitrate / h.rate;
        length.frames = std::max<std::int64_t>(1, std::llround(static_cast<double>(end - first) / frame_bytes));
    }
    length.seekable = true;
    return true;
}

std::int64_t song_duration_us(const song_length &length)
{
    if (!length.seekable || length.rate == 0)
        return -1;
    return length.frames * length.samples_per_frame * std::int64_t{1000000} / length.rate;
}

std::int64_t song_frame_at_us(const song_length &length, std::int64_t us)
{
    if (!length.seekable || length.samples_per_frame == 0)
        return 0;
    us = std::max<std::int64_t>(us, 0);
    return us * length.rate / (std::int64_t{1000000} * length.samples_per_frame);
}

std::int64_t song_byte_of_frame(const song_length &length, std::int64_t frame)
{
    if (frame <= 0)
        return length.audio_start;
    if (frame >= length.frames)
        return length.audio_end;
    if (length.has_toc) {
        const double percent = static_cast<double>(frame) * 100.0 / static_cast<double>(length.frames);
        const int i = std::min(99, static_cast<int>(percent));
        const double below = length.toc[static_cast<std::size_t>(i)];
        const double above = i < 99 ? length.toc[static_cast<std::size_t>(i) + 1] : 256.0;
        const double fraction = (below + (above - below) * (percent - i)) / 256.0;
        return std::max(length.audio_start,
                        length.toc_start + static_cast<std::int64_t>(fraction * static_cast<double>(length.toc_bytes)));
    }
    const std::int64_t audio = length.audio_end - length.audio_start;
    return length.audio_start + static_cast<std::int64_t>(static_cast<double>(audio) * static_cast<double>(frame) /
                                                          static_cast<double>(length.frames));
}

std::int64_t song_find_frame(int fd, const song_length &length, std::int64_t from)
{
    if (from >= length.audio_end)
        return -1;
    const auto bytes =
        read_at(fd, from, static_cast<std::size_t>(std::min<std::int64_t>(SearchLimit, length.audio_end - from)));
    if (bytes.size() < 4)
        return -1;
    frame_header like;
    like.layer = length.layer;
    like.rate = length.rate;
    return first_frame(bytes, from, length.audio_end, &like);
}

int song_lead_in(const song_length &length)
{
    if (length.layer != 3)
        return 1;  // the synthesis filter's memory
    const int reservoir = length.lsf != 0 ? 255 : 511;
    const double frame_bytes = static_cast<double>(length.audio_end - length.audio_start) /
                               static_cast<double>(std::max<std::int64_t>(length.frames, 1));
    const int frames = 1 + static_cast<int>(std::ceil(reservoir / std::max(frame_bytes, 1.0)));
    return std::clamp(frames, 2, 9);
}
