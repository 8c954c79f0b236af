// SPDX-License-Identifier: GPL-3.0-or-later
// The song's file, the engine's reading side: opening it (a regular file or
// a pipe, never a device or a directory), the first read with an ID3v2 tag
// skipped, the buffer thread (bufferthread, madthread.h) that keeps the
// ring filled, and giving the file back. madthread_open_file runs on the
// thread that starts the song; madthread_end_reading on the thread that
// ends it (the closing thread, or the starting thread when the decode
// thread could not be made), with no decode thread left.
#pragma once

#include "madthread.h"

// Opens the file into the record and fills the ring with its first read;
// its length and the descriptor that wakes the buffer thread for a stop
// too. 0, or -1 with errno set and the failed-start line written: nothing
// stays open then.
[[nodiscard]] int madthread_open_file(madthread_data &m, const char *path);
// Ends the buffer thread and closes the file and the wake descriptor.
void madthread_end_reading(madthread_data &m);
