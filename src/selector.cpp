// SPDX-License-Identifier: GPL-3.0-or-later
#include "selector.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <regex.h>
#include <sys/stat.h>

#include "abmain.h"
#include "platform/widgets/ab.h"
#include "platform/widgets/filesel.h"
#include "platform/widgets/list.h"
#include "platform/widgets/user_signals.h"
#include "playlist.h"

int DieThreadDie;
SelectorHooks SelectorTestHooks;

namespace {

constexpr int DepthLimit = 30;
// Fixed, odd as it looks: it takes names ending in mp3, mp2 or m3u in any
// case, and a few stray endings (m33, mpu) besides; what a search finds must
// stay what it has always found.
constexpr const char *SearchPattern = "[Mm][Pp3][uU32]$";
// Fixed text: users and their scripts read the error line byte for byte.
constexpr char PatternFailed[] = "regcomp() failed";
// The search hands its songs to the user-interface thread in batches. Every
// hand-over makes the playlist lay itself out and draw again, work that grows
// with the list, so hand-overs are kept to about one a frame; adding a full
// batch takes the user-interface thread a few milliseconds. The playlist
// keeps visibly growing however slow the disk.
constexpr std::size_t BatchSize = 8192;
constexpr auto BatchAge = std::chrono::milliseconds(20);

using Clock = std::chrono::steady_clock;
using StopFlag = std::shared_ptr<std::atomic<bool>>;

std::atomic<int> Running;

// The stop indication of the search that may act on the open dialog.
// User-interface thread only.
StopFlag CurrentStop;

enum class Kind { File, Directory, Other };

struct DirectoryId {
    dev_t device;
    ino_t inode;
    auto operator<=>(const DirectoryId &) const = default;
};

struct Song {
    std::string path, text;
};

// Everything one search owns; only its own thread touches it after `done`.
struct Search {
    StopFlag stop;
    std::function<void(const std::string &)> found;
    std::string pattern;
    std::vector<Song> batch;  // found, text built, not yet handed over
    Clock::time_point batch_started;
    std::set<DirectoryId> entered;  // every directory searched so far
    int depth_limit = DepthLimit;
    // A search of folders dropped on the playlist: its entries are these,
    // not the dialog's, and it touches no dialog. It stops with the playlist.
    bool dropped = false;
    std::vector<std::string> entries;
};

class Directory {
public:
    explicit Directory(const char *path) : dir_(opendir(path)) {}
    ~Directory()
    {
        if (dir_ != nullptr)
            closedir(dir_);
    }
    Directory(const Directory &) = delete;
    Directory &operator=(const Directory &) = delete;
    explicit operator bool() const { return dir_ != nullptr; }
    const dirent *next() { return readdir(dir_); }
    [[nodiscard]] int descriptor() const { return dirfd(dir_); }

private:
    DIR *dir_;
};

class Pattern {
public:
    explicit Pattern(const char *expression) : compiled_(regcomp(&re_, expression, 0) == 0) {}
    ~Pattern()
    {
        if (compiled_)
            regfree(&re_);
    }
    Pattern(const Pattern &) = delete;
    Pattern &operator=(const Pattern &) = delete;
    [[nodiscard]] bool compiled() const { return compiled_; }
    [[nodiscard]] const regex_t *get() const { return &re_; }

private:
    regex_t re_{};
    bool compiled_;
};

class ThreadAttributes {
public:
    ThreadAttributes()
    {
        pthread_attr_init(&attr_);
        pthread_attr_setdetachstate(&attr_, PTHREAD_CREATE_DETACHED);
    }
    ~ThreadAttributes() { pthread_attr_destroy(&attr_); }
    ThreadAttributes(const ThreadAttributes &) = delete;
    ThreadAttributes &operator=(const ThreadAttributes &) = delete;
    [[nodiscard]] const pthread_attr_t *get() const { return &attr_; }

private:
    pthread_attr_t attr_;
};

// The entries are worked top first and Add and Del are disabled meanwhile, so
// this is the top row; looking it up keeps a wrong row from going.
void remove_entry(const std::string &entry)
{
    Widget *list = AbWidgets[ABN_selector_list];
    const auto &items = tree_items(list);
    for (std::size_t row = 0; row < items.size(); ++row)
        if (items[row].text == entry) {
            const int rows[] = {static_cast<int>(row)};
            tree_remove_rows(list, rows);
            return;
        }
}

// Adds the batch to the playlist and, for a finished top-level entry, takes
// the entry out of selector_list. The stop indication is read on the
// user-interface thread, where the dialog is destroyed, so once it is set
// nothing is added and no widget is touched. Returns whether to go on.
bool hand_over(Search &search, const std::string *finished_entry)
{
    bool going = false;
    ab_locked([&] {
        if (search.dropped && AbWidgets[ABN_playlist] == nullptr)
            search.stop->store(true);
        if (search.stop->load())
            return;
        going = true;
        for (Song &song : search.batch)
            playlist_add_text(song.path.c_str(), std::move(song.text));
        if (finished_entry != nullptr && !search.dropped)
            remove_entry(*finished_entry);
    });
    search.batch.clear();
    return going;
}

bool batch_stale(const Search &search)
{
    return !search.batch.empty() && Clock::now() - search.batch_started >= BatchAge;
}

bool add_song(Search &search, const std::string &path)
{
    if (search.found)
        search.found(path);
    // Only makes a stopped search end sooner; the check that guards the
    // playlist is the one in hand_over.
    if (search.stop->load())
        return false;
    if (search.batch.empty())
        search.batch_started = Clock::now();
    search.batch.push_back({path, playlist_item_text(path.c_str())});
    if (search.batch.size() >= BatchSize || batch_stale(search))
        return hand_over(search, nullptr);
    return true;
}

void close_dialog(const Search &search, bool finished)
{
    if (search.dropped)
        return;
    ab_locked([&] {
        if (search.stop->load())
            return;
        if (finished)
            playlist_adding_finished();
        ab_destroy(AbWidgets[ABN_playlist_selector]);
    });
}

// The kind of a directory entry, symbolic links followed, and whether the
// entry is a link. Most file systems name plain files, directories and links
// in the listing itself; only links and entries of unknown kind need a
// look-up of their own.
Kind kind_of(const Directory &directory, const dirent &entry, bool &link)
{
    link = entry.d_type == DT_LNK;
    switch (entry.d_type) {
    case DT_REG:
        return Kind::File;
    case DT_DIR:
        return Kind::Directory;
    case DT_LNK:
        break;
    case DT_UNKNOWN: {
        struct stat own {};
        if (fstatat(directory.descriptor(), entry.d_name, &own, AT_SYMLINK_NOFOLLOW) != 0)
            return Kind::Other;
        link = S_ISLNK(own.st_mode);
        if (!link)
            return S_ISREG(own.st_mode) ? Kind::File : S_ISDIR(own.st_mode) ? Kind::Directory : Kind::Other;
        break;
    }
    default:
        return Kind::Other;
    }
    struct stat status {};
    if (fstatat(directory.descriptor(), entry.d_name, &status, 0) != 0)
        return Kind::Other;
    return S_ISREG(status.st_mode) ? Kind::File : S_ISDIR(status.st_mode) ? Kind::Directory : Kind::Other;
}

// The kernel's and the devices' trees hold no songs, and through a link they
// lead round without end (/proc/self/root is the root again).
bool system_tree(std::string_view real)
{
    for (const std::string_view top : {"/proc", "/sys", "/dev"})
        if (real.starts_with(top) && (real.size() == top.size() || real[top.size()] == '/'))
            return true;
    return false;
}

// Where a directory reached through a link really is: the link resolved, or
// the real place of its parent and its own name. Empty for a directory
// reached without a link, which is taken as the user named it.
std::string real_place(const std::string &child, const std::string &parent_real, const char *name, bool link)
{
    if (link) {
        char resolved[PATH_MAX];
        return realpath(child.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
    }
    if (parent_real.empty())
        return {};
    // Appended in place: GCC 12 at -O3 takes a temporary string's
    // operator+ for an overlapping copy (-Wrestrict).
    std::string place = parent_real == "/" ? std::string() : parent_real;
    place += '/';
    place += name;
    return place;
}

// `real` is where the directory really is when a link led to it, else empty.
int recurse_and_search(Search &search, const char *path, const regex_t *pattern, int limit, int depth,
                       const std::string &real = {})
{
    if (depth >= limit || search.stop->load())
        return 0;
    Directory directory(path);
    if (!directory)
        return 0;
    // Each real directory is searched once, whichever way leads to it: a
    // cycle of links ends at once, and so do folders that link to each
    // other, whose ways multiply with every link (eight folders linked each
    // to all others hold tens of thousands of ways to one song). A song
    // reached by several ways is listed once, by the first.
    struct stat own {};
    if (fstat(directory.descriptor(), &own) != 0)
        return 0;
    if (!search.entered.insert(DirectoryId{own.st_dev, own.st_ino}).second)
        return 0;

    const std::size_t length = std::strlen(path);
    std::string child;
    while (const dirent *entry = directory.next()) {
        const char *name = entry->d_name;
        if (name[0] == '.')
            continue;
        const std::size_t name_length = std::strlen(name);
        // A child path the playlist could not hand back whole would name
        // another file or none; the search stops one byte short of the
        // playlist's limit.
        if (length + 1 + name_length >= PathMaxLength)
            continue;
        bool link = false;
        const Kind kind = kind_of(directory, *entry, link);
        regmatch_t match[1];
        if (kind == Kind::File && regexec(pattern, name, 1, match, 0) == 0) {
            child.assign(path, length).append(1, '/').append(name, name_length);
            if (!add_song(search, child))
                return 0;
        } else if (kind == Kind::Directory) {
            child.assign(path, length).append(1, '/').append(name, name_length);
            const std::string child_real = real_place(child, real, name, link);
            if ((link || !real.empty()) && (child_real.empty() || system_tree(child_real)))
                continue;
            recurse_and_search(search, child.c_str(), pattern, limit, depth + 1, child_real);
            if (search.stop->load())
                return 0;
        }
        if (batch_stale(search) && !hand_over(search, nullptr))
            return 0;
    }
    return 0;
}

void *done_thread(void *data)
{
    struct Ended {
        ~Ended() { Running.fetch_sub(1); }
    } ended;
    const std::unique_ptr<Search> owned(static_cast<Search *>(data));
    Search &search = *owned;

    const Pattern pattern(search.pattern.c_str());
    if (!pattern.compiled()) {
        std::perror(PatternFailed);
        close_dialog(search, false);
        return nullptr;
    }

    std::vector<std::string> entries = std::move(search.entries);
    bool going = false;
    ab_locked([&] {
        if (search.stop->load())
            return;
        going = true;
        if (!search.dropped)
            for (const TreeItem &item : tree_items(AbWidgets[ABN_selector_list]))
                entries.push_back(item.text);
    });
    if (!going)
        return nullptr;
    if (entries.empty()) {
        close_dialog(search, false);
        return nullptr;
    }

    for (const std::string &entry : entries) {
        if (search.stop->load())
            return nullptr;
        struct stat status {};
        if (stat(entry.c_str(), &status) == 0) {
            // A file chosen by name is the user's choice: no pattern test.
            if (S_ISREG(status.st_mode) && !add_song(search, entry))
                return nullptr;
            if (S_ISDIR(status.st_mode)) {
                // A chosen link is a way in like any other.
                struct stat own {};
                const bool link = lstat(entry.c_str(), &own) == 0 && S_ISLNK(own.st_mode);
                const std::string real = real_place(entry, {}, nullptr, link);
                if (!link || (!real.empty() && !system_tree(real)))
                    recurse_and_search(search, entry.c_str(), pattern.get(), search.depth_limit, 0, real);
            }
        }
        if (!hand_over(search, &entry))
            return nullptr;
    }
    close_dialog(search, true);
    return nullptr;
}

std::unique_ptr<Search> new_search(StopFlag stop)
{
    auto search = std::make_unique<Search>();
    search->stop = std::move(stop);
    search->found = SelectorTestHooks.found;
    search->pattern = SelectorTestHooks.pattern.empty() ? SearchPattern : SelectorTestHooks.pattern;
    if (SelectorTestHooks.depth_limit > 0)
        search->depth_limit = SelectorTestHooks.depth_limit;
    return search;
}

void start_search(std::unique_ptr<Search> search)
{
    const ThreadAttributes attributes;
    // The signals are the user-interface thread's business; blocking them
    // before the thread exists leaves no moment in which it could take one.
    const UserSignalsBlocked blocked;
    const SelectorThreadCreate create = SelectorTestHooks.create_thread ? SelectorTestHooks.create_thread
                                                                         : pthread_create;
    Running.fetch_add(1);
    pthread_t thread;
    if (create(&thread, attributes.get(), done_thread, search.get()) == 0)
        search.release();  // the thread owns it now
    else
        Running.fetch_sub(1);
}

} // namespace

int add(Widget *, LinkInfo *, CallbackInfo *)
{
    for (std::string &path : ab_file_browser_selected(AbWidgets[ABN_selector_filesel]))
        if (path != "/")
            tree_add_first(AbWidgets[ABN_selector_list], std::move(path));
    return 0;
}

int del(Widget *, LinkInfo *, CallbackInfo *)
{
    Widget *list = AbWidgets[ABN_selector_list];
    const std::vector<int> rows = tree_selected_rows(list);
    tree_remove_rows(list, rows);
    return 0;
}

int done(Widget *, LinkInfo *, CallbackInfo *)
{
    for (const int index : {ABN_playlist_selector_done, ABN_selector_add, ABN_selector_del}) {
        ab_set_flags(AbWidgets[index], Flag_Blocked, Flag_Blocked);
        ab_set_flags(AbWidgets[index], 0, Flag_Selectable);
    }
    ab_set_busy(AbWidgets[ABN_playlist_selector], true);
    DieThreadDie = 0;
    // Only one search may act on the dialog's widgets.
    if (CurrentStop)
        CurrentStop->store(true);
    CurrentStop = std::make_shared<std::atomic<bool>>(false);

    start_search(new_search(CurrentStop));
    return 0;
}

int dropped(Widget *, LinkInfo *, CallbackInfo *cbinfo)
{
    if (cbinfo == nullptr)
        return 0;
    // Files as "Open File" adds them, each at the top; folders as the
    // dialog searches its directories, on a thread of their own.
    std::vector<std::string> folders;
    for (const std::string &path : cbinfo->paths) {
        struct stat status {};
        if (stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
            folders.push_back(path);
        else if (playlist_song_file(path.c_str()))
            playlist_add_filename(path.c_str());
    }
    if (folders.empty())
        return 0;
    auto search = new_search(std::make_shared<std::atomic<bool>>(false));
    search->dropped = true;
    search->entries = std::move(folders);
    start_search(std::move(search));
    return 0;
}

int destroyed(Widget *, LinkInfo *, CallbackInfo *)
{
    DieThreadDie = 1;
    if (CurrentStop)
        CurrentStop->store(true);
    CurrentStop.reset();
    return 0;
}

int realized(Widget *, LinkInfo *, CallbackInfo *)
{
    // The layer's lists take their header texts from the code.
    tree_set_columns(AbWidgets[ABN_selector_list], {"To Add to Playlist"});
    return 0;
}

int selector_searches_running() { return Running.load(); }
