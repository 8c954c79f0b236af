// SPDX-License-Identifier: GPL-3.0-or-later
// What the modules may ask of a dialog's file and directory browser.
// User-interface thread only.
#pragma once

#include <string>
#include <vector>

#include "platform/widgets/widget.h"

// Full paths of the selected entries, in the order they were selected; none
// for a widget that is not a browser. User-interface thread only.
[[nodiscard]] std::vector<std::string> ab_file_browser_selected(Widget *browser);
