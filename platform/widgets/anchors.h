// SPDX-License-Identifier: GPL-3.0-or-later
// The arithmetic of the anchors, apart from the widgets so that it can be
// checked on its own. Each widget keeps the distances its "anchors" property
// names: left, right, top, bottom (kept from the parent's edge), or
// xprop/yprop (moves in proportion), topprop/bottomprop (that edge moves in
// proportion). No Qt here; any thread may call it.
#pragma once

#include <string_view>

// Which edges of one axis a widget keeps.
struct AnchorEdges {
    bool lead = true;    // left or top: the distance from the parent's edge
    bool trail = false;  // right or bottom
    bool prop = false;   // xprop or yprop: the position in proportion
    bool lead_prop = false;
    bool trail_prop = false;
};

// The edges the "anchors" property names ("left|right|bottomprop"), for
// the horizontal or the vertical axis. Naming neither edge keeps the lead.
[[nodiscard]] AnchorEdges anchor_edges(std::string_view anchors, bool horizontal);

// A widget's designed place on one axis, and its parent's designed size.
struct AnchorSpan {
    int pos, size, parent;
};

// The widget's position on the axis in a parent of the given size; its size
// goes to `size` (it may come out negative when the parent is smaller than
// the distances kept).
[[nodiscard]] int anchor_axis(AnchorEdges edges, AnchorSpan designed, int parent, int &size);
