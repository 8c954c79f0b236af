// SPDX-License-Identifier: GPL-3.0-or-later
// The file a file:// URI names, as the bytes the file system knows it by.
// Any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// The longest URI taken: a path is at most a few kilobytes even percent-
// encoded, and a longer one would only cost the caller time to refuse later.
inline constexpr std::size_t FileUriLimit = 64 * 1024;

// The local path of a "file:" URI (empty or "localhost" host), its escapes
// decoded to the raw bytes they stand for, so a Latin-1 name published as
// %E9 comes back as the byte 0xE9; nullopt for another scheme or host, a
// URI longer than FileUriLimit, an empty path or one holding a NUL.
[[nodiscard]] std::optional<std::string> file_uri_path(std::string_view uri);
