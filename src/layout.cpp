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
    if (GrowPanelsSize == 0) {
        GrowPanelsSize = panels.h;
        window.h = static_cast<std::uint16_t>(window.h - GrowPanelsSize);
        ab_set_area(AbWidgets[ABN_base], window);
    } else {
        window.h = static_cast<std::uint16_t>(window.h + GrowPanelsSize);
        ab_set_area(AbWidgets[ABN_base], window);
        GrowPanelsSize = 0;
    }
    return 0;
}
