// SPDX-License-Identifier: GPL-3.0-or-later
// Ties a window to the desktop entry, so that docks and task switchers show
// the entry's icon and group its windows: Wayland's app id comes from the
// application's desktop file name (Qt sends it); under X11 the window also
// carries that name as _GTK_APPLICATION_ID, which this toolkit version does
// not set. User-interface thread only.
#pragma once

class QWidget;

// Call once the window exists on the display (after it is shown).
void app_id_mark_window(QWidget *window);
