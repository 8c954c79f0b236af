// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/song_files.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <system_error>

std::string write_song(const std::string &path, std::optional<V1Tag> tag, std::size_t audio_bytes)
{
    std::string bytes(audio_bytes, '\xAA');
    if (tag) {
        std::string v1(128, '\0');
        v1.replace(0, 3, "TAG");
        const auto put = [&v1](std::size_t at, std::string_view text) {
            v1.replace(at, std::min<std::size_t>(text.size(), 30), text.substr(0, 30));
        };
        put(3, tag->title);
        put(33, tag->artist);
        put(63, tag->album);
        v1.replace(93, 4, "2001");
        v1[127] = 12;
        bytes += v1;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
    return path;
}
