// SPDX-License-Identifier: GPL-3.0-or-later
// Must not compile outside the widget layer: its internals are its own.
#include "platform/widgets/ab_qt.h"
