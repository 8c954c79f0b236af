// SPDX-License-Identifier: GPL-3.0-or-later
// The playlist: the songs held by the list widget `playlist`, the
// current-song marker, next and previous by repeat mode, adding with tag
// text, shuffle, removal and the command-line songs. Runs on the
// user-interface thread; the directory search calls playlist_add_filename
// and playlist_adding_finished through ab_locked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/widgets/list.h"
#include "platform/widgets/widget.h"

// The longest path the playlist takes in, in bytes without its NUL: every
// buffer a path comes back in holds PathBufferSize, so a longer path would
// come back cut, naming another file, and is never taken in.
inline constexpr std::size_t PathMaxLength = 1024;
inline constexpr std::size_t PathBufferSize = PathMaxLength + 1;

// One song of the list: display text whose last tab-separated column is the
// path, and the current-song marker.
using playlist_item = TreeItem;

extern int RepeatValue;  // 0 none, 1 list, 2 song
extern int SongCount;

[[nodiscard]] int playlist_get_next_filename(char *buffer, int length);
[[nodiscard]] int playlist_get_prev_filename(char *buffer, int length);
// The song after the marked one as if the marked one were playing, never the
// marked one itself: where the player goes on past a song that would not
// start. -1 when there is none (end of the list under "None", a single song,
// repeat "Song").
[[nodiscard]] int playlist_get_following_filename(char *buffer, int length);
int item_selected(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);
int repeat_settings(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);

// The last component of a path, as POSIX basename gives it, without
// touching the path: the name form of an entry, and the window title's.
[[nodiscard]] std::string_view playlist_file_name(std::string_view path);

int playlist_add_filename(const char *path);
// Whether a path names something that can be a song: a readable file or pipe,
// never a directory or a device. Every way a user names a song asks this.
[[nodiscard]] bool playlist_song_file(const char *path);
// The two halves of playlist_add_filename, for the directory search: the
// text reads the song's tag and touches no widget, so it may be built on the
// search thread; the addition itself runs on the user-interface thread.
[[nodiscard]] std::string playlist_item_text(const char *path);
int playlist_add_text(const char *path, std::string text);
int playlist_adding_finished();
int shuffle(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);
int remove_items(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);
int new_playlist(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);
int image_function(Widget *list, const TreeItem *item);
int playlist_realized(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);
int file_picker(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);

// Test seams. The player calls go through these so that tests can stand in
// for a playing song and see which song would start; nullptr restores the
// player module's own functions.
struct PlaylistPlayer {
    int (*play_song)(const char *path);
    int (*is_playing)();
};
void playlist_use_player(PlaylistPlayer player);
// Makes the shuffle order reproducible from the given seed.
void playlist_seed_shuffle(std::uint32_t seed);
