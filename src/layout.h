// SPDX-License-Identifier: GPL-3.0-or-later
// Folding the main window down to its player controls and back.
// User-interface thread only.
#pragma once

#include "platform/widgets/widget.h"

int toggle_tabs(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);
