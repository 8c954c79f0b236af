// SPDX-License-Identifier: GPL-3.0-or-later
// Text from tags and file names as the user sees it. Qt allowed. Any
// thread: it only converts (the widget layer and the desktop's remote
// control both show tags with it).
#pragma once

#include <QString>
#include <string_view>

// One field (a tag's artist or title, a file name, a path) for display:
// UTF-8 where its bytes are UTF-8, Latin-1 only for a byte that is not part
// of a valid sequence, so a Latin-1 field reads as Latin-1 and a UTF-8 field
// with one stray byte keeps the rest. A UTF-8 sequence cut at the end of the
// field (tag fields are cut at a byte count) is dropped: a lead byte with
// some of its continuation bytes, or a lone lead byte in a field that is
// otherwise UTF-8 (in a field without other UTF-8 it is taken as Latin-1).
// Tabs, newlines and other control characters show as spaces.
[[nodiscard]] QString display_text(std::string_view field);
