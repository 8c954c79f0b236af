// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/desktop/file_uri.h"

namespace {

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool starts_with_nocase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if ((text[i] | 0x20) != prefix[i])
            return false;
    return true;
}

} // namespace

std::optional<std::string> file_uri_path(std::string_view uri)
{
    if (uri.size() > FileUriLimit || !starts_with_nocase(uri, "file:"))
        return std::nullopt;
    std::string_view rest = uri.substr(5);
    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
        const std::size_t slash = rest.find('/');
        if (slash == std::string_view::npos)
            return std::nullopt;
        const std::string_view host = rest.substr(0, slash);
        if (!host.empty() && host != "localhost")
            return std::nullopt;
        rest.remove_prefix(slash);
    }
    // A query or a fragment names no part of a file.
    rest = rest.substr(0, rest.find_first_of("?#"));
    if (!rest.starts_with('/'))
        return std::nullopt;
    std::string path;
    path.reserve(rest.size());
    for (std::size_t i = 0; i < rest.size(); ++i) {
        char c = rest[i];
        if (c == '%' && i + 2 < rest.size() && hex_value(rest[i + 1]) >= 0 && hex_value(rest[i + 2]) >= 0) {
            c = static_cast<char>(hex_value(rest[i + 1]) * 16 + hex_value(rest[i + 2]));
            i += 2;
        }
        if (c == '\0')
            return std::nullopt;
        path.push_back(c);
    }
    return path;
}
