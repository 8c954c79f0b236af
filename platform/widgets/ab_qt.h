// SPDX-License-Identifier: GPL-3.0-or-later
// Internals of the interface layer shared between its files; Qt allowed.
// User-interface thread, except where a declaration says otherwise. Sound
// and the desktop services reach the layer through ab.h only.
#pragma once

#ifndef TONRA_WIDGET_INTERNALS
#error "platform/widgets/ab_qt.h is the widget layer's own; use platform/widgets/ab.h"
#endif

#include <QPixmap>
#include <QPoint>
#include <QString>
#include <string_view>

class QAbstractButton;
class QApplication;

#include "platform/widgets/ab.h"
#include "platform/widgets/widget.h"

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

// ---- between the layer's own files (user-interface thread) ----

// The application object ab_init made; nullptr before it and once the
// process is ending.
[[nodiscard]] QApplication *ab_app();
// What ab_register was handed (empty before).
[[nodiscard]] const AbApplication &ab_application();

// Modules and their links (ab_modules.cpp, ab_links.cpp).
[[nodiscard]] QWidget *ab_find_instance(QWidget *top, const char *instance);
// Connects the widget the link names to the link.
void ab_bind(const EventLink &link, QWidget *top);
// Runs every link of the module for that reason, on the widget it names.
void ab_fire_reason(const Module &module, QWidget *top, Reason reason, CallbackInfo cb = {});
QWidget *ab_open_module(const Module &module, QWidget *from, int placement);
// Delivers one batch of service events to the main window's raw-event links.
void ab_deliver_service_events();
// The filter that makes closing a module's window close the module.
void ab_modules_install(QObject *application);
// Deletes the open windows and the picture modules at exit.
void ab_modules_shutdown();

// Start-up (ab_startup.cpp): applies the window options of the command line
// to the main window and shows it in the state they ask for.
void ab_show_main_window(QWidget *window);

// Anchors (ab_anchors.cpp).
void ab_anchors_install(QObject *application);
// Keeps each widget's designed place, for the anchors to keep it from.
void ab_record_anchors(QWidget *top);

// The event loop (ab_loop.cpp): routed signals sent before the main window
// could take them are dropped.
void ab_discard_pending_signals();
void ab_watches_shutdown();

// Window blocking (ab_windows.cpp).
void ab_blocking_install(QApplication *application);
void ab_blocking_shutdown();
