// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer entry for the tag reader's block scan: whatever the bytes, the
// reader must stay inside the block, keep every field NUL-terminated within
// its width, and leave the record alone when it reports no tag.
#include "id3.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

namespace {

bool terminated(std::span<const char> field)
{
    return std::memchr(field.data(), '\0', field.size()) != nullptr;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size > 1024)
        return 0;
    // Exactly sized heap copies, so AddressSanitizer sees a read past the
    // block or a write past the record.
    const auto block = std::make_unique<unsigned char[]>(size);
    if (size > 0)
        std::memcpy(block.get(), data, size);
    const auto info = std::make_unique<id3_info>();

    const int result = id3_parse_block(info.get(), block.get(), size);

    if (result != 0 && result != -1)
        std::abort();
    if (!terminated(info->artist) || !terminated(info->album) || !terminated(info->title) ||
        !terminated(info->encoded_by) || !terminated(info->track))
        std::abort();
    if (result == -1) {
        static constexpr id3_info zero{};
        if (std::memcmp(info.get(), &zero, sizeof zero) != 0)
            std::abort();
    }
    return 0;
}
