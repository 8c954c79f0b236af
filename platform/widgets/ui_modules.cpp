// SPDX-License-Identifier: GPL-3.0-or-later
// The definitions in ui/, by resource name. uic compiles each .ui file into a
// class that builds the module's widget tree; widget object names are the
// instance names that the link tables and the widget table use.
#include <QDialog>
#include <QWidget>
#include <cstring>
#include <memory>

#include "platform/widgets/ab_qt.h"
#include "ui_Icon.h"
#include "ui_aboutbox.h"
#include "ui_base.h"
#include "ui_image_database.h"
#include "ui_playlist_selector.h"
#include "ui_preferences.h"

namespace {
template <class Ui, class Top> QWidget *build()
{
    auto top = std::make_unique<Top>();
    Ui ui;
    ui.setupUi(top.get());
    return top.release();  // the layer owns open modules and deletes them on close
}

struct Definition {
    const char *resource;
    QWidget *(*create)();
};
constexpr Definition Definitions[] = {
    {"base.wgtw", build<Ui_base, QWidget>},
    {"image_database.wgtp", build<Ui_image_database, QWidget>},
    {"aboutbox.wgtd", build<Ui_aboutbox, QDialog>},
    {"playlist_selector.wgtd", build<Ui_playlist_selector, QDialog>},
    {"preferences.wgtd", build<Ui_preferences, QDialog>},
    {"Icon.wgti", build<Ui_Icon, QWidget>},
};
} // namespace

QWidget *ui_create_module(const char *resource)
{
    for (const auto &d : Definitions)
        if (std::strcmp(d.resource, resource) == 0)
            return d.create();
    return nullptr;
}
