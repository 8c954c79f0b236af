// SPDX-License-Identifier: GPL-3.0-or-later
#include "layout.h"

#include "abmain.h"
#include "platform/widgets/ab.h"

namespace {
// 0 while the tabbed area shows; otherwise the height folding took away
// from the window's normal (un-maximized) size.
int GrowPanelsSize = 0;
}

// The sizes are those of the window's normal state: folding or unfolding a
// maximized window changes the size it returns to, so maximizing and folding
// in any order come back to the sizes the user had.
int toggle_tabs(Widget *, LinkInfo *, CallbackInfo *)
{
    Area window = ab_get_normal_area(AbWidgets[ABN_base]);
    // Folded, the tabbed area is hidden too, not only squeezed to no
    // height: none of its widgets may keep the focus or take keys (or stand
    // in the window at its full height when the window stays maximized).
    if (GrowPanelsSize == 0) {
        // What is not the tabbed area keeps its height in every state.
        const int rest = ab_get_area(AbWidgets[ABN_base]).h - ab_get_area(AbWidgets[ABN_panels]).h;
        GrowPanelsSize = window.h > rest ? window.h - rest : 0;
        ab_set_shown(AbWidgets[ABN_panels], false);
        window.h = static_cast<std::uint16_t>(window.h - GrowPanelsSize);
        ab_set_normal_area(AbWidgets[ABN_base], window);
        if (GrowPanelsSize == 0)
            GrowPanelsSize = -1;  // folded, with nothing to give back
    } else {
        window.h = static_cast<std::uint16_t>(window.h + (GrowPanelsSize > 0 ? GrowPanelsSize : 0));
        ab_set_normal_area(AbWidgets[ABN_base], window);
        ab_set_shown(AbWidgets[ABN_panels], true);
        GrowPanelsSize = 0;
    }
    return 0;
}
