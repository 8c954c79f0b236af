#include "playlist.h"

int RepeatValue;
int SongCount;

int playlist_get_next_filename(char *, int) { return -1; }
int playlist_get_prev_filename(char *, int) { return -1; }
int item_selected(Widget *, LinkInfo *, CallbackInfo *) { return 0; }
int repeat_settings(Widget *, LinkInfo *, CallbackInfo *) { return 0; }
int playlist_add_filename(const char *) { return -1; }
int playlist_adding_finished() { return 0; }
int shuffle(Widget *, LinkInfo *, CallbackInfo *) { return 0; }
int remove_items(Widget *, LinkInfo *, CallbackInfo *) { return 0; }
int new_playlist(Widget *, LinkInfo *, CallbackInfo *) { return 0; }
int image_function(Widget *, const TreeItem *) { return -1; }
int playlist_realized(Widget *, LinkInfo *, CallbackInfo *) { return 0; }
int file_picker(Widget *, LinkInfo *, CallbackInfo *) { return 0; }
