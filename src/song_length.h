// SPDX-License-Identifier: GPL-3.0-or-later
// A song's length and the way to its frames, read from a few bytes of the
// file instead of decoding it: a Xing or Info header's frame count (and its
// table of contents for seeking), a VBRI header's, or else the first frame's
// bitrate over the audio bytes (constant bitrate). A leading ID3v2 tag and a
// trailing ID3v1 tag are not audio.
//
// Part of the decode engine. Plain functions on a record the caller owns;
// they read the file only through pread, so any thread may call them while
// another reads the same descriptor.
#pragma once

#include <array>
#include <cstdint>
#include <span>

struct song_length {
    bool seekable = false;     // a regular file whose frames were found
    int layer = 0;             // 1, 2 or 3
    int lsf = 0;               // 1 for MPEG-2 and 2.5 (half the samples per Layer III frame)
    unsigned rate = 0;         // Hz
    int samples_per_frame = 0; // per channel
    std::int64_t frames = 0;   // frames, a Xing or VBRI frame (heard as silence) counted
    std::int64_t audio_start = 0;  // the first frame
    std::int64_t audio_end = 0;    // past the last audio byte (before an ID3v1 tag)
    bool has_toc = false;          // Xing's: byte fraction at each percent of the time
    std::array<unsigned char, 100> toc{};
    std::int64_t toc_bytes = 0;    // the bytes the table measures, from toc_start
    std::int64_t toc_start = 0;
};

// What a frame header says, or {} (frame_bytes 0) when the four bytes are
// no header the engine can step from (free format, reserved values).
struct frame_header {
    int version_bits = 0;  // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    int layer = 0;
    unsigned rate = 0;
    int bitrate = 0;       // bits per second
    int frame_bytes = 0;
    int samples = 0;       // per channel
    int channels = 0;
};
[[nodiscard]] frame_header song_parse_header(const unsigned char *bytes);

// The length of an ID3v2 tag at the start of `head` (header, body and a
// flagged footer), 0 when there is none: a tag is not audio, and decoded, a
// large one is seconds of loud noise.
[[nodiscard]] std::int64_t song_id3v2_length(std::span<const unsigned char> head);

// Fills `length` for the file of `size` bytes; false (and not seekable)
// when no frame is found in the first bytes after a tag.
bool song_length_read(int fd, std::int64_t size, song_length &length);

// The song's duration in microseconds, -1 when unknown.
[[nodiscard]] std::int64_t song_duration_us(const song_length &length);
// The frame that plays at `us` microseconds (may be past the last frame).
[[nodiscard]] std::int64_t song_frame_at_us(const song_length &length, std::int64_t us);
// Where the frame starts, estimated: linearly for a constant bitrate, by
// the table of contents for a Xing song. A byte to search from.
[[nodiscard]] std::int64_t song_byte_of_frame(const song_length &length, std::int64_t frame);
// The first frame header at or after `from` that is followed by another of
// the same stream; -1 when none before the end of the audio.
[[nodiscard]] std::int64_t song_find_frame(int fd, const song_length &length, std::int64_t from);
// How many frames before a target are decoded and not heard, so that the
// first frame heard is whole: Layer III borrows its bits from frames before.
[[nodiscard]] int song_lead_in(const song_length &length);
