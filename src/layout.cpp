// SPDX-License-Identifier: GPL-3.0-or-later
#include "layout.h"

#include "abmain.h"
#include "platform/ab.h"

namespace {
// 0 while the tabbed area shows; otherwise the height folding took away.
int GrowPanelsSize = 0;
}

int toggle_tabs(Widget *, LinkInfo *, CallbackInfo *)
{
    const Area panels = ab_get_area(AbWidgets[ABN_panels]);
    Area window = ab_get_area(AbWidgets[ABN_base]);
    // Folded, the tabbed area is hidden too, not only squeezed to no
    // height: none of its widgets may keep the focus or take keys (or stand
    // in the window at its full height when the window stays maximized).
    if (GrowPanelsSize == 0) {
        GrowPanelsSize = panels.h;
        ab_set_shown(AbWidgets[ABN_panels], false);
        window.h = static_cast<std::uint16_t>(window.h - GrowPanelsSize);
        ab_set_area(AbWidgets[ABN_base], window);
    } else {
        window.h = static_cast<std::uint16_t>(window.h + GrowPanelsSize);
        ab_set_area(AbWidgets[ABN_base], window);
        ab_set_shown(AbWidgets[ABN_panels], true);
        GrowPanelsSize = 0;
    }
    return 0;
}
