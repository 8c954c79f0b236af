// Internals of the interface layer shared between its files; Qt allowed.
#pragma once

#include <QPixmap>
#include <QString>
#include <string_view>

#include "platform/widget.h"

struct Picture {
    QPixmap pixmap;
};

// Text from a tag or a file: UTF-8 when it is valid UTF-8, Latin-1 otherwise.
[[nodiscard]] QString ab_text_from_bytes(std::string_view bytes);

// True while ab_locked runs a section for another thread.
[[nodiscard]] bool ab_in_locked_section();

// A widget created from ui/ by resource name, or nullptr.
[[nodiscard]] QWidget *ui_create_module(const char *resource);

// The item a row of a list's view shows (songs held back from the view
// stand above its rows).
[[nodiscard]] int tree_item_row(QWidget *view, int view_row);

// Called by the layer for a list widget it creates: binds the model.
void tree_attach(QWidget *view, const EventLink *image_link);
