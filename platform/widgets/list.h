// SPDX-License-Identifier: GPL-3.0-or-later
// List widgets (the playlist and the selector's list): a flat list of items
// held in display order, top first, with the operations the modules rely on.
// Adding at the top is O(1); bulk removal and replacement are O(n).
// User-interface thread only.
#pragma once

#include <deque>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "platform/widgets/widget.h"

// One entry: display text split into columns at tabs; `current` marks the
// song the marker picture stands beside; `path`, when not empty, is the file
// the entry stands for, kept apart from the text so that nothing in a name
// (a tab, a newline) can change which file that is.
struct TreeItem {
    std::string text;
    int current = 0;
    std::string path;
};

struct Picture;

[[nodiscard]] int tree_count(Widget *list);
// The item at a row, or nullptr past the end; valid until the list changes.
[[nodiscard]] TreeItem *tree_item(Widget *list, int row);
[[nodiscard]] const std::deque<TreeItem> &tree_items(Widget *list);
// Inserts at the top; 0, or -1 when the item could not be made.
int tree_add_first(Widget *list, std::string text, std::string path = {});
// Adds a batch at the top, the last of the batch ending up topmost, as if
// each had been added on its own in order.
int tree_add_first_batch(Widget *list, std::vector<TreeItem> items);
void tree_remove_rows(Widget *list, std::span<const int> rows);
void tree_free_all(Widget *list);
// Lets the caller reorder the items in place (swaps and moves only, never
// adding or dropping one); the views are told once afterwards, and the
// selection is cleared.
void tree_rearrange(Widget *list, const std::function<void(std::deque<TreeItem> &)> &rearrange);
// The selected rows, top first.
[[nodiscard]] std::vector<int> tree_selected_rows(Widget *list);
void tree_select_rows(Widget *list, std::span<const int> rows);
// Redraws one item after its marker changed.
void tree_modify(Widget *list, int row);
// Scrolls the list so that the item is visible.
void tree_show(Widget *list, int row);
// Makes the item the list's current (focused) item and brings it into view.
void tree_goto(Widget *list, int row);
[[nodiscard]] int tree_current_row(Widget *list);
// The pictures drawn where the image function asks for index 0, 1, ...
void tree_set_images(Widget *list, std::vector<const Picture *> images);
// The picture in the header of the picture column.
void tree_set_header_picture(Widget *list, const Picture *picture);
// Header texts, one per column after the picture column; the item text's
// tab-separated columns fill them in order.
void tree_set_columns(Widget *list, std::vector<std::string> headers);
// Widths in pixels, picture column first; the last column takes the rest.
void tree_set_column_widths(Widget *list, std::span<const int> widths);
