// SPDX-License-Identifier: GPL-3.0-or-later
#include "playlist.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <string_view>

#include "abmain.h"
#include "id3.h"
#include "platform/widgets/ab.h"
#include "player.h"
#include "tonra.h"

int RepeatValue;
int SongCount;

namespace {

// Fixed texts: users and their scripts read the count (one song too is
// "1 Songs") and the refusal line byte for byte. An item's text is its
// columns: "artist  /  title" or the file's name, an empty duration, the path;
// the path is found after the last tab.
constexpr char SongCountText[] = "%d Songs";
constexpr char PathTooLongLine[] = "%s: path longer than %zu bytes, not added: %s\n";
constexpr char ArtistTitleSeparator[] = "  /  ";
constexpr char EmptyDurationColumn[] = "\t\t";

PlaylistPlayer Player{player_play_song, player_is_playing};

// Seeded once from the system's entropy on first use; a fixed seed only
// through playlist_seed_shuffle.
std::mt19937 &generator()
{
    static std::mt19937 engine{[] {
        std::random_device device;
        std::seed_seq seeds{device(), device(), device(), device(), static_cast<unsigned>(getpid())};
        return std::mt19937{seeds};
    }()};
    return engine;
}

Widget *list() { return AbWidgets[ABN_playlist]; }

std::string_view path_of(const TreeItem &item)
{
    if (!item.path.empty())
        return item.path;
    const std::string_view text = item.text;
    const auto tab = text.rfind('\t');
    return tab == std::string_view::npos ? text : text.substr(tab + 1);
}

// The marked item is the first with `current` set; -1 when there is none.
int marked_row()
{
    const auto &items = tree_items(list());
    const auto it = std::find_if(items.begin(), items.end(), [](const TreeItem &item) { return item.current == 1; });
    return it == items.end() ? -1 : static_cast<int>(it - items.begin());
}

void show_count()
{
    SongCount = tree_count(list());
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), SongCountText, SongCount);
    ab_set_text(AbWidgets[ABN_song_count], text.data());
}

std::string_view field(const char (&bytes)[64]) { return {bytes, strnlen(bytes, sizeof bytes)}; }

// A field as a column of the item text: its tabs and line breaks become
// blanks, so the text's only tabs are the ones between its columns.
std::string &append_column(std::string &text, std::string_view column)
{
    for (const char c : column)
        text.push_back(c == '\t' || c == '\n' || c == '\r' ? ' ' : c);
    return text;
}

std::string item_text(const char *path)
{
    id3_info tag{};
    std::string text;
    if (id3_parse_file(path, &tag) == 0 && (tag.artist[0] != '\0' || tag.title[0] != '\0')) {
        append_column(text, ab_field_text(field(tag.artist))).append(ArtistTitleSeparator);
        append_column(text, ab_field_text(field(tag.title)));
    } else {
        append_column(text, playlist_file_name(path));
    }
    text.append(EmptyDurationColumn);
    return append_column(text, path);
}

// Moves the marker from `from` (-1: none) to `to`, redraws both and copies
// the target's path: at most length - 1 bytes, always terminated.
void move_marker(int from, int to, char *buffer, int length)
{
    if (TreeItem *old = tree_item(list(), from))
        old->current = 0;
    TreeItem *target = tree_item(list(), to);
    target->current = 1;
    const std::string_view path = path_of(*target);
    const std::size_t n = std::min(path.size(), static_cast<std::size_t>(length) - 1);
    std::memcpy(buffer, path.data(), n);
    buffer[n] = '\0';
    tree_modify(list(), from >= 0 ? from : 0);
    tree_modify(list(), to);
    tree_show(list(), to);
}

// Both ways in refuse, with one line each, a path that could not come back
// whole from the playlist.
bool path_fits(const char *path, const char *caller)
{
    if (path == nullptr)
        return false;
    if (std::strlen(path) > PathMaxLength) {
        std::fprintf(stderr, PathTooLongLine, caller, PathMaxLength, path);
        return false;
    }
    return true;
}

int add_text(std::string text, const char *path)
{
    if (tree_add_first(list(), std::move(text), path) != 0)
        return -1;
    show_count();
    return 0;
}

enum class Direction { Next, Previous, Following };

int step(Direction direction, char *buffer, int length)
{
    const int count = tree_count(list());
    if (count == 0 || buffer == nullptr || length < 1)
        return -1;
    const int marked = marked_row();
    int target;
    if (marked < 0)
        target = 0;
    else if (direction == Direction::Following && (RepeatValue == 2 || count == 1))
        return -1;  // the marked song is all there is to play
    else if (direction != Direction::Following && (RepeatValue == 2 || Player.is_playing() == 0))
        target = marked;
    else if (direction == Direction::Previous)
        target = std::max(marked - 1, 0);
    else if (marked + 1 < count)
        target = marked + 1;
    else if (RepeatValue == 0)
        return -1;
    else
        target = 0;
    move_marker(marked, target, buffer, length);
    return 0;
}

} // namespace

// A pipe counts: a shell's process substitution hands one over. A
// directory or a device would never give the decoder anything it could play,
// or never end. A link to a file is a file.
bool playlist_song_file(const char *path)
{
    struct stat status {};
    return stat(path, &status) == 0 && (S_ISREG(status.st_mode) || S_ISFIFO(status.st_mode)) &&
           access(path, R_OK) == 0;
}

std::string_view playlist_file_name(std::string_view path)
{
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    if (path.empty())
        return ".";
    if (path == "/")
        return path;
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}


void playlist_use_player(PlaylistPlayer player)
{
    Player.play_song = player.play_song ? player.play_song : player_play_song;
    Player.is_playing = player.is_playing ? player.is_playing : player_is_playing;
}

void playlist_seed_shuffle(std::uint32_t seed) { generator().seed(seed); }

int playlist_get_next_filename(char *buffer, int length) { return step(Direction::Next, buffer, length); }

int playlist_get_prev_filename(char *buffer, int length) { return step(Direction::Previous, buffer, length); }

int playlist_get_following_filename(char *buffer, int length) { return step(Direction::Following, buffer, length); }

int item_selected(Widget *, LinkInfo *, CallbackInfo *cbinfo)
{
    if (cbinfo == nullptr || cbinfo->click_count != 2)
        return 0;
    const int row = cbinfo->item;
    const TreeItem *chosen = tree_item(list(), row);
    if (chosen == nullptr)
        return 0;
    const int marked = marked_row();
    // A copy: the item may not outlive whatever the player does to the list.
    const std::string path{path_of(*chosen)};
    Player.play_song(path.c_str());
    if (TreeItem *old = tree_item(list(), marked)) {
        old->current = 0;
        tree_modify(list(), marked);
    }
    if (TreeItem *item = tree_item(list(), row)) {
        item->current = 1;
        tree_modify(list(), row);
    }
    return 0;
}

int repeat_settings(Widget *widget, LinkInfo *, CallbackInfo *)
{
    if (widget == nullptr)
        return 0;
    if (widget == AbWidgets[ABN_repeat_none])
        RepeatValue = 0;
    else if (widget == AbWidgets[ABN_repeat_list])
        RepeatValue = 1;
    else if (widget == AbWidgets[ABN_repeat_song])
        RepeatValue = 2;
    return 0;
}

int playlist_add_filename(const char *path)
{
    if (!path_fits(path, "playlist_add_filename"))
        return -1;
    return add_text(item_text(path), path);
}

std::string playlist_item_text(const char *path) { return item_text(path); }

int playlist_add_text(const char *path, std::string text)
{
    if (!path_fits(path, "playlist_add_text"))
        return -1;
    return add_text(std::move(text), path);
}

int playlist_adding_finished()
{
    if (tree_count(list()) > 0)
        tree_goto(list(), 0);
    return 0;
}

int shuffle(Widget *, LinkInfo *, CallbackInfo *)
{
    Widget *playlist = list();
    if (tree_count(playlist) == 0)
        return 0;
    const int block = ab_block_window(AbWidgets[ABN_base]);
    ab_start_flux(AbWidgets[ABN_playlist_pane]);
    // Fisher-Yates in place: swaps only, so nothing is allocated and the list
    // cannot be lost half-way; the marker travels with its item.
    tree_rearrange(playlist, [](std::deque<TreeItem> &items) {
        auto &engine = generator();
        for (std::size_t i = items.size() - 1; i > 0; --i) {
            std::uniform_int_distribution<std::size_t> pick(0, i);
            std::swap(items[i], items[pick(engine)]);
        }
    });
    ab_end_flux(AbWidgets[ABN_playlist_pane]);
    ab_damage(playlist);
    ab_unblock_windows(block);
    tree_show(playlist, std::max(marked_row(), 0));
    return 0;
}

int remove_items(Widget *, LinkInfo *, CallbackInfo *)
{
    Widget *playlist = list();
    if (tree_count(playlist) == 0)
        return -1;
    const std::vector<int> rows = tree_selected_rows(playlist);
    if (rows.empty())
        return 0;
    const int marked = marked_row();
    if (marked < 0 || !std::binary_search(rows.begin(), rows.end(), marked)) {
        tree_remove_rows(playlist, rows);
        show_count();
        return 0;
    }
    // The marker goes to the first surviving item below the marked one, or
    // to the first item when none survives below it. Survivors keep their
    // order, so that item's new row is the number of survivors above it.
    const int survivors_above =
        marked + 1 - static_cast<int>(std::upper_bound(rows.begin(), rows.end(), marked) - rows.begin());
    tree_remove_rows(playlist, rows);
    show_count();
    const int left = tree_count(playlist);
    if (left == 0)
        return 0;
    const int row = survivors_above < left ? survivors_above : 0;
    const std::string path{path_of(*tree_item(playlist, row))};
    Player.play_song(path.c_str());
    if (TreeItem *item = tree_item(playlist, row)) {
        item->current = 1;
        tree_modify(playlist, row);
    }
    return 0;
}

int new_playlist(Widget *, LinkInfo *, CallbackInfo *)
{
    tree_free_all(list());
    show_count();
    return 0;
}

int image_function(Widget *, const TreeItem *item) { return item != nullptr && item->current == 1 ? 0 : -1; }

int playlist_realized(Widget *, LinkInfo *, CallbackInfo *)
{
    if (CmdArgc > 1) {
        for (int i = 1; i < CmdArgc; ++i)
            if (playlist_song_file(CmdArgv[i]))
                playlist_add_filename(CmdArgv[i]);
        tonra_send_event(AbWidgets[ABN_base], Event_PlayNext);
    }
    constexpr std::array<std::pair<int, int>, 3> toggles{{{ABN_repeat_none, 0}, {ABN_repeat_list, 1}, {ABN_repeat_song, 2}}};
    for (const auto &[index, value] : toggles)
        if (ab_get_flags(AbWidgets[index]) & Flag_Set)
            RepeatValue = value;
    if (const Module *database = AbInternalLinks[ABI_image_database].module) {
        if (const Picture *marker = ab_get_picture(*database, "playing_icon"))
            tree_set_images(list(), {marker});
        tree_set_header_picture(list(), ab_get_picture(*database, "header_icon"));
    }
    tree_set_columns(list(), {"Song", "Duration", ""});
    constexpr std::array widths{23, 270, 78};
    tree_set_column_widths(list(), widths);
    show_count();
    return 0;
}

int file_picker(Widget *, LinkInfo *, CallbackInfo *)
{
    std::string path;
    if (ab_file_selection(AbWidgets[ABN_base], "Choose Your Music", std::getenv("HOME"), "*.[Mm][Pp][32]", path) == 1 &&
        playlist_song_file(path.c_str()))
        playlist_add_filename(path.c_str());
    return 0;
}
