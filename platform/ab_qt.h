// SPDX-License-Identifier: GPL-3.0-or-later
// Internals of the interface layer shared between its files; Qt allowed.
#pragma once

#include <QPixmap>
#include <QPoint>
#include <QString>
#include <string_view>

class QAbstractButton;

#include "platform/widget.h"

struct Picture {
    QPixmap pixmap;
};

// Text from a tag or a file, as display_text (platform/text.h) shows it.
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

// Runs a link as if its widget had fired it: the observer, the handler,
// then the module it opens or closes.
void ab_fire(const EventLink &link, QWidget *widget, QWidget *module_widget, CallbackInfo cb);

// Shows a menu module's items as a popup menu: below the widget that opened
// it, or at the point given.
void menu_open(const Module &menu, QWidget *from, QWidget *window, int placement, QPoint at);
// Every menu item with a modifier answers its key combination while the
// window that opens the menu is active, menu open or not.
void menu_install_shortcuts(QWidget *window, const Module &menu);
// A button of the window's menu bar, which opens its menu by the link.
void menu_bar_button(QAbstractButton *button, const EventLink *link, QWidget *window);

// Lays out the children of a widget by their anchors again.
void ab_relayout(QWidget *parent);
