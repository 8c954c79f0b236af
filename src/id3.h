// SPDX-License-Identifier: GPL-3.0-or-later
// Tag reader: artist, album, title, encoder and track from an ID3 version 1
// tag or an ID3 version 2.2 tag found in the first or the last 1024 bytes of
// a song file. Keeps no state and allocates nothing, so it may run on the
// user-interface thread and on the directory-scan thread at once (each with
// its own record). Prints nothing; the callers choose what to show.
#pragma once

#include <cstddef>

// Bytes as the tag stores them, no character-set conversion. The reader only
// writes the fields a tag supplies and relies on the caller having zeroed the
// whole record beforehand: that is what makes absent fields empty and keeps a
// NUL inside every field.
struct id3_info {
    char artist[64];
    char album[64];
    char title[64];
    char encoded_by[64];
    char track[16];
};
static_assert(sizeof(id3_info) == 272, "callers and tests rely on the 272-byte layout");

// 0 when a tag was recognised and read (its fields may still all be empty),
// -1 when the file cannot be opened, is no regular file (a pipe is neither
// opened nor read), or neither its first nor its last 1024 bytes hold a
// usable tag. The record is untouched on open failure.
[[nodiscard]] int id3_parse_file(const char *path, id3_info *info);

// Reads the first tag met in `length` bytes at `data`; 0 when one was read.
// Never reads outside the block.
[[nodiscard]] int id3_parse_block(id3_info *info, const unsigned char *data, std::size_t length);

// The 128-byte version 1 layout starting at the "T" of "TAG". Returns 0, or -1
// without touching the record when fewer than 128 bytes are available.
[[nodiscard]] int id3_parse_v1(id3_info *info, const unsigned char *tag, std::size_t length);

// The frames of a version 2.2 tag starting at the "I" of "ID3", using no byte
// at or beyond tag + length. Returns 0.
int id3_parse_v2(id3_info *info, const unsigned char *tag, std::size_t length);
