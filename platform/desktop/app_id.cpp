// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/desktop/app_id.h"

#include <QGuiApplication>
#include <QWidget>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <xcb/xcb.h>

namespace {

xcb_atom_t atom(xcb_connection_t *connection, const char *name)
{
    const xcb_intern_atom_cookie_t cookie = xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
    const std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(xcb_intern_atom_reply(connection, cookie, nullptr),
                                                                                &std::free);
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

} // namespace

void app_id_mark_window(QWidget *window)
{
    const auto *x11 = qApp ? qApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    const QByteArray id = QGuiApplication::desktopFileName().toUtf8();
    if (x11 == nullptr || window == nullptr || id.isEmpty())
        return;
    // The off-screen platform answers as X11 too, without a connection.
    xcb_connection_t *connection = x11->connection();
    if (connection == nullptr)
        return;
    const xcb_atom_t property = atom(connection, "_GTK_APPLICATION_ID");
    const xcb_atom_t utf8 = atom(connection, "UTF8_STRING");
    if (property == xcb_atom_t{XCB_ATOM_NONE} || utf8 == xcb_atom_t{XCB_ATOM_NONE})
        return;
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, static_cast<xcb_window_t>(window->winId()), property, utf8, 8,
                        static_cast<std::uint32_t>(id.size()), id.constData());
    xcb_flush(connection);
}
