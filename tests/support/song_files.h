// SPDX-License-Identifier: GPL-3.0-or-later
// Song files for tests: stand-in audio bytes with an ID3 version 1 tag
// written byte by byte, in a directory that goes away with its owner.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "support/engine_support.h"

// The scratch directories of the engine's tests serve here too.
using engine_test::TempDir;

// Fields as bytes, stored unconverted; each is cut to its 30-byte slot.
struct V1Tag {
    std::string_view artist;
    std::string_view title;
    std::string_view album;
};

// Writes `audio_bytes` of filler (never "TAG" nor "ID3"), then the tag if
// there is one. Returns the path.
std::string write_song(const std::string &path, std::optional<V1Tag> tag, std::size_t audio_bytes = 512);
