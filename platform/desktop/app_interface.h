// SPDX-License-Identifier: GPL-3.0-or-later
// The desktop's way into the running player: org.freedesktop.Application
// (Activate, Open, ActivateAction) at /org/tonra/Tonra, under the name
// org.tonra.Tonra that the desktop entry's service file activates. A file
// manager's "Open With" thus reaches the player that runs instead of
// starting another.
//
// Created on the user-interface thread; the bus's calls reach it there and
// their work runs later on the same thread, one per turn of the event loop.
#pragma once

class QObject;

// The object that answers the interface, owned by `parent`.
[[nodiscard]] QObject *app_interface_create(QObject *parent);

inline constexpr char AppInterfaceService[] = "org.tonra.Tonra";
inline constexpr char AppInterfacePath[] = "/org/tonra/Tonra";
