// SPDX-License-Identifier: GPL-3.0-or-later
// Must not compile: the layer below the application cannot see its modules.
#include "madthread.h"
