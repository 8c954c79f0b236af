// The playlist: the songs held by the list widget `playlist`, the
// current-song marker, next and previous by repeat mode, adding with tag
// text, shuffle, removal and the command-line songs. Runs on the
// user-interface thread; the directory search calls playlist_add_filename
// and playlist_adding_finished through ab_locked.
#pragma once

#include "platform/widget.h"

extern int RepeatValue;  // 0 none, 1 list, 2 song
extern int SongCount;

[[nodiscard]] int playlist_get_next_filename(char *buffer, int length);
[[nodiscard]] int playlist_get_prev_filename(char *buffer, int length);
int item_selected(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);
int repeat_settings(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);

int playlist_add_filename(const char *path);
int playlist_adding_finished();
int shuffle(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);
int remove_items(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);
int new_playlist(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);
int image_function(Widget *list, const TreeItem *item);
int playlist_realized(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);
int file_picker(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);
