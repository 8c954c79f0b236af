// SPDX-License-Identifier: GPL-3.0-or-later
#include "id3.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

constexpr std::size_t BlockSize = 1024;
constexpr std::size_t V1Size = 128;
// An "ID3" header nearer than this to the end of its block is ignored.
constexpr std::size_t V2MinSize = 14;
constexpr std::size_t V2HeaderSize = 10;
// Identifier and 24-bit size of a version 2.2 frame.
constexpr std::size_t V2FrameHeader = 6;

using bytes = std::span<const unsigned char>;

[[nodiscard]] constexpr bool has_magic(bytes at, std::string_view magic)
{
    return at.size() >= magic.size() &&
           std::equal(magic.begin(), magic.end(), at.begin(),
                      [](char m, unsigned char b) { return static_cast<unsigned char>(m) == b; });
}

// The POSIX graphic class would also end a field at any byte from 0x80 up, so
// two accented letters in a row (one UTF-8 letter is already two such bytes)
// would cut a Latin-1 or UTF-8 title short. Those bytes count as text here.
[[nodiscard]] constexpr bool is_graphic(unsigned char c)
{
    return (c >= 0x21 && c <= 0x7E) || c >= 0x80;
}

// Version 1 fields are padded with blanks or NULs, and the record beyond the
// 30 copied bytes is the caller's zeroed memory: the first pair of adjacent
// non-graphic bytes is where the text ends. A single blank between words
// survives.
constexpr void trim_v1(std::span<char> field)
{
    int run = 0;
    for (std::size_t k = 0; k < field.size(); ++k) {
        run = is_graphic(static_cast<unsigned char>(field[k])) ? 0 : run + 1;
        if (run == 2) {
            field[k - 1] = '\0';
            return;
        }
    }
}

void copy_v1_field(bytes source, std::span<char> field)
{
    std::memcpy(field.data(), source.data(), source.size());
    trim_v1(field);
}

[[nodiscard]] std::span<char> v2_field(id3_info &info, bytes id)
{
    if (has_magic(id, "TT2"))
        return info.title;
    if (has_magic(id, "TP1"))
        return info.artist;
    if (has_magic(id, "TAL"))
        return info.album;
    if (has_magic(id, "TEN"))
        return info.encoded_by;
    if (has_magic(id, "TRK"))
        return info.track;
    return {};
}

// Empty when no magic starts `rest`. Otherwise this is the block's result:
// the first magic decides even when it turns out unusable, and a later one in
// the same block is never looked for.
[[nodiscard]] std::optional<int> read_tag_at(id3_info &info, bytes rest)
{
    if (has_magic(rest, "ID3")) {
        if (rest.size() < V2MinSize)
            return -1;
        switch (rest[3]) {
        case 1:
            return id3_parse_v1(&info, rest.data(), rest.size());
        case 2:
            return id3_parse_v2(&info, rest.data(), rest.size());
        default:
            return -1;
        }
    }
    if (has_magic(rest, "TAG"))
        return id3_parse_v1(&info, rest.data(), rest.size());
    return std::nullopt;
}

// Closes on every return path of the file reader.
class file_descriptor {
public:
    explicit file_descriptor(int fd) noexcept : fd_(fd) {}
    ~file_descriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    file_descriptor(const file_descriptor &) = delete;
    file_descriptor &operator=(const file_descriptor &) = delete;

    [[nodiscard]] explicit operator bool() const noexcept { return fd_ >= 0; }
    [[nodiscard]] int get() const noexcept { return fd_; }

private:
    int fd_;
};

// A read error counts as a short read: the block is simply smaller.
[[nodiscard]] std::size_t read_block(int fd, std::span<unsigned char> block)
{
    std::size_t got = 0;
    while (got < block.size()) {
        const ssize_t n = ::read(fd, block.data() + got, block.size() - got);
        if (n > 0)
            got += static_cast<std::size_t>(n);
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;
    }
    return got;
}

} // namespace

int id3_parse_v1(id3_info *info, const unsigned char *tag, std::size_t length)
{
    if (length < V1Size)
        return -1;
    const std::span<const unsigned char, V1Size> t(tag, V1Size);
    copy_v1_field(t.subspan<3, 30>(), info->title);
    copy_v1_field(t.subspan<33, 30>(), info->artist);
    copy_v1_field(t.subspan<63, 30>(), info->album);
    // Version 1.1 keeps the track in the comment's last byte; larger values
    // are more likely comment text than a track number.
    if (const unsigned track = t[126]; track >= 1 && track <= 29) {
        char *const end = std::to_chars(info->track, info->track + sizeof info->track - 1, track).ptr;
        *end = '\0';
    }
    return 0;
}

int id3_parse_v2(id3_info *info, const unsigned char *tag, std::size_t length)
{
    const bytes t(tag, length);
    // The tag's own size in its header is not trusted: only the block bounds
    // the walk.
    std::size_t f = V2HeaderSize;
    while (f + V2FrameHeader < t.size()) {
        const std::size_t size = std::size_t{t[f + 3]} << 16 | std::size_t{t[f + 4]} << 8 | t[f + 5];
        // Zero is the padding after the last frame. A frame is only taken
        // when at least one byte of the block follows it.
        if (size == 0 || f + V2FrameHeader + size >= t.size())
            break;
        const std::span<char> field = v2_field(*info, t.subspan(f, 3));
        // Only ISO-8859-1 is stored as is; other encodings leave the field
        // as it was rather than fill it with undecoded bytes.
        if (!field.empty() && t[f + V2FrameHeader] == 0) {
            std::ranges::fill(field, '\0');
            const std::size_t n = std::min(size - 1, field.size() - 1);
            std::memcpy(field.data(), t.subspan(f + V2FrameHeader + 1, n).data(), n);
        }
        f += V2FrameHeader + size;
    }
    return 0;
}

int id3_parse_block(id3_info *info, const unsigned char *data, std::size_t length)
{
    if (length < 4)
        return -1;
    const bytes block(data, length);
    // Candidates come from memchr-backed searches rather than a test of every
    // byte: most files a directory scan adds have no tag, and both their
    // blocks are scanned to the end, which must cost next to nothing beside
    // the reads.
    const std::string_view text(reinterpret_cast<const char *>(data), length - 3);
    std::size_t next_i = text.find('I');
    std::size_t next_t = text.find('T');
    while (next_i != text.npos || next_t != text.npos) {
        const std::size_t p = std::min(next_i, next_t);
        if (const std::optional<int> result = read_tag_at(*info, block.subspan(p)))
            return *result;
        if (p == next_i)
            next_i = text.find('I', p + 1);
        else
            next_t = text.find('T', p + 1);
    }
    return -1;
}

int id3_parse_file(const char *path, id3_info *info)
{
    // Only a regular file can be read twice. A pipe's bytes are the song's
    // and all belong to the engine: read here, its start is lost; opened at
    // all, a named pipe's writer goes on and gets EPIPE once this closes.
    struct stat named {};
    if (::stat(path, &named) != 0 || !S_ISREG(named.st_mode))
        return -1;
    // Non-blocking, and the open file looked at again: the name may have
    // come to stand for a pipe or a device meanwhile.
    const file_descriptor file(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat opened {};
    if (!file || ::fstat(file.get(), &opened) != 0 || !S_ISREG(opened.st_mode))
        return -1;
    std::array<unsigned char, BlockSize> block;
    const std::size_t head = read_block(file.get(), block);
    if (id3_parse_block(info, block.data(), head) == 0)
        return 0;
    // For a file shorter than a block this fails and leaves the offset at
    // the end, so the second read yields nothing; either way is fine.
    (void)::lseek(file.get(), -static_cast<off_t>(BlockSize), SEEK_END);
    const std::size_t tail = read_block(file.get(), block);
    return id3_parse_block(info, block.data(), tail);
}
