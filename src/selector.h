// SPDX-License-Identifier: GPL-3.0-or-later
// The add-to-playlist dialog and its background search of directory trees.
// User-interface thread, except where a declaration names the search
// thread or any thread.
#pragma once

#include <functional>
#include <pthread.h>
#include <regex.h>
#include <string>

#include "platform/widgets/widget.h"

// 1 once the dialog is gone, 0 from Done on. Each search also carries a stop
// indication of its own, so that a search stopped by closing the dialog stays
// stopped when the dialog is opened again and a new search starts.
// User-interface thread only.
extern int DieThreadDie;

int add(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);
int del(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);
int done(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);
int destroyed(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);
int realized(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);
// Files and folders dropped on the playlist: files are added at once, as
// "Open File" adds them; folders are searched on a thread of their own, as
// the dialog searches directories, until done or until the playlist goes.
int dropped(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);

// Seams for the tests and the benchmark; the program leaves them empty. `done`
// reads them on the user-interface thread and the search it starts keeps a
// copy, so changing them never races with a running search.
using SelectorThreadCreate = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
struct SelectorHooks {
    SelectorThreadCreate create_thread = nullptr;        // stands in for pthread_create
    std::function<void(const std::string &path)> found;  // search thread: each song before it is handed over
    std::string pattern;                                 // replaces the search pattern when not empty
    int depth_limit = 0;                                 // replaces the depth limit when above 0
};
extern SelectorHooks SelectorTestHooks;

// Searches started and not yet ended; any thread.
[[nodiscard]] int selector_searches_running();
