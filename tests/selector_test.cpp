// SPDX-License-Identifier: GPL-3.0-or-later
// The add-to-playlist dialog and its search, driven as the user drives it:
// the browser's selection, the buttons, the playlist that results.
#include "selector.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QFileSystemModel>
#include <QTest>
#include <QTreeView>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include <dirent.h>
#include <sys/fsuid.h>
#include <sys/stat.h>

#include "abmain.h"
#include "platform/widgets/ab.h"
#include "platform/widgets/list.h"
#include "playlist.h"
#include "support/app.h"

namespace fs = std::filesystem;
using Paths = std::vector<std::string>;

namespace {

void write_file(const fs::path &path, const std::string &bytes = "\xAA\xAA\xAA\xAA")
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string tagged(const std::string &title, const std::string &artist)
{
    std::string tag(128, '\0');
    tag.replace(0, 3, "TAG").replace(3, title.size(), title).replace(33, artist.size(), artist);
    return std::string(2000, '\xAA') + tag;
}

void click(int index) { qobject_cast<QAbstractButton *>(AbWidgets[index])->click(); }
bool enabled(int index) { return (ab_get_flags(AbWidgets[index]) & (Flag_Selectable | Flag_Blocked)) == Flag_Selectable; }
bool closed() { return AbWidgets[ABN_playlist_selector] == nullptr; }
bool idle() { return selector_searches_running() == 0; }

Paths texts(int list)
{
    Paths out;
    for (const TreeItem &item : tree_items(AbWidgets[list]))
        out.push_back(item.text);
    return out;
}

// The playlist's paths, top first.
Paths playlist_paths()
{
    Paths out;
    for (const std::string &text : texts(ABN_playlist))
        out.push_back(text.substr(text.rfind('\t') + 1));
    return out;
}

Paths sorted(Paths paths)
{
    std::sort(paths.begin(), paths.end());
    return paths;
}

// Signals a search thread is made to wait for; the test lets it go.
struct Gate {
    std::atomic<bool> held{false}, open{false};
    void wait()
    {
        held = true;
        // The deadline only keeps a failed test from hanging.
        const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(2);
        while (!open && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
};

bool masks_user_signals(unsigned long blocked)
{
    return (blocked >> (SIGUSR1 - 1) & 1) && (blocked >> (SIGUSR2 - 1) & 1);
}

class Selector : public ::testing::Test {
protected:
    fs::path root;
    // Shared with search threads, so they outlive every test body.
    Gate gates[2];
    std::atomic<int> found_count{0}, search_masked{-1};
    std::map<std::string, Paths> list_while_found;

    void SetUp() override
    {
        open_main_window();
        char name[] = "/tmp/tonra-selector-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        root = name;
        fs::permissions(root, fs::perms(0755));
        SelectorTestHooks = {};
    }
    void TearDown() override
    {
        gates[0].open = gates[1].open = true;
        close_main_window();
        EXPECT_TRUE(wait_until(idle));
        SelectorTestHooks = {};
        fs::remove_all(root);
    }
    std::string at(const std::string &relative) const { return (root / relative).string(); }

    void open_dialog()
    {
        click(ABN_playlist_add);
        ASSERT_FALSE(closed());
    }
    // Selects the paths in the browser, in this order, and presses Add.
    void choose(const Paths &paths)
    {
        auto *view = qobject_cast<QTreeView *>(AbWidgets[ABN_selector_filesel]);
        auto *files = qobject_cast<QFileSystemModel *>(view->model());
        ASSERT_NE(files, nullptr);
        view->selectionModel()->clearSelection();
        for (const std::string &path : paths) {
            const QModelIndex index = files->index(QString::fromStdString(path));
            ASSERT_TRUE(index.isValid()) << path;
            view->selectionModel()->select(index, QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
        click(ABN_selector_add);
    }
    // Adds each path on its own, presses Done and waits for the dialog to
    // close itself.
    Paths search(const Paths &paths)
    {
        open_dialog();
        for (const std::string &path : paths)
            choose({path});
        click(ABN_playlist_selector_done);
        EXPECT_TRUE(wait_until(closed));
        EXPECT_TRUE(wait_until(idle));
        return playlist_paths();
    }
};

TEST_F(Selector, LaysOutTheDialogAndResizesInProportion)
{
    open_dialog();
    QWidget *dialog = AbWidgets[ABN_playlist_selector];
    EXPECT_EQ(ab_get_title(dialog), "Files and Directories for Playlist");
    EXPECT_EQ(dialog->size(), QSize(310, 381));
    EXPECT_EQ(dialog->minimumSize(), QSize(300, 375));
    for (auto [index, text] : {std::pair{ABN_selector_add, "Add"}, {ABN_selector_del, "Del"},
                               {ABN_playlist_selector_done, "Done"}, {ABN_playlist_selector_cancel, "Cancel"}})
        EXPECT_EQ(ab_get_text(AbWidgets[index]), text);
    auto *list = qobject_cast<QTreeView *>(AbWidgets[ABN_selector_list]);
    EXPECT_EQ(list->model()->headerData(1, Qt::Horizontal).toString(), "To Add to Playlist");
    auto *browser = qobject_cast<QTreeView *>(AbWidgets[ABN_selector_filesel]);
    EXPECT_EQ(browser->selectionMode(), QAbstractItemView::ExtendedSelection);
    QStringList headers;
    for (int c = 0; c < browser->model()->columnCount(); ++c)
        if (!browser->isColumnHidden(c))
            headers << browser->model()->headerData(c, Qt::Horizontal).toString();
    EXPECT_EQ(headers, (QStringList{"All Files and Directories", "Size", "Date", "Permissions", "Owner", "Group"}));

    // Twice the size: the upper panel grows from 310 x 338 to 620 x 719.
    dialog->resize(620, 762);
    pump(20);
    auto geometry = [](int index) { return AbWidgets[index]->geometry(); };
    EXPECT_EQ(geometry(ABN_selector_filesel), QRect(11, 4, 594, 142 * 719 / 338 - 4));
    EXPECT_EQ(geometry(ABN_selector_add), QRect(95, 148 * 719 / 338, 50, 35));
    EXPECT_EQ(geometry(ABN_selector_del), QRect(165 + 310, 148 * 719 / 338, 50, 35));
    EXPECT_EQ(geometry(ABN_selector_list), QRect(11, 190 * 719 / 338, 594, 719 - 10 - 190 * 719 / 338));
    EXPECT_EQ(geometry(ABN_playlist_selector_cancel), QRect(510, 5, 90, 30));
    EXPECT_EQ(AbWidgets[ABN_playlist_selector_done]->mapTo(dialog, QPoint(0, 0)), QPoint(20, 337 + 381 + 5));
}

TEST_F(Selector, AddLeavesOutTheRootPutsNewEntriesOnTopAndDelRemoves)
{
    for (const char *name : {"a", "b", "c"})
        fs::create_directories(at(name));
    open_dialog();
    choose({"/"});
    EXPECT_TRUE(texts(ABN_selector_list).empty());
    choose({at("a"), "/"});
    choose({at("b")});
    choose({at("c")});
    EXPECT_EQ(texts(ABN_selector_list), (Paths{at("c"), at("b"), at("a")}));
    const int rows[] = {0, 2};
    tree_select_rows(AbWidgets[ABN_selector_list], rows);
    click(ABN_selector_del);
    EXPECT_EQ(texts(ABN_selector_list), (Paths{at("b")}));
}

TEST_F(Selector, WorksTheTopEntryFirstAndTakesEachOutWhenDone)
{
    write_file(at("p/p.mp3"));
    write_file(at("q/q.mp3"));
    SelectorTestHooks.found = [this](const std::string &path) {
        ab_locked([&] { list_while_found[path] = texts(ABN_selector_list); });
    };
    EXPECT_EQ(search({at("p"), at("q")}), (Paths{at("p/p.mp3"), at("q/q.mp3")}));
    EXPECT_EQ(list_while_found[at("q/q.mp3")], (Paths{at("q"), at("p")}));
    EXPECT_EQ(list_while_found[at("p/p.mp3")], (Paths{at("p")}));
}

TEST_F(Selector, SameDirectoryTwiceIsSearchedOnce)
{
    write_file(at("d/song.mp3"));
    EXPECT_EQ(search({at("d"), at("d")}), (Paths{at("d/song.mp3")}));
}

TEST_F(Selector, ChosenFileIsAddedWhateverItsName)
{
    // The browser hides such a file; the list takes it as any chosen entry.
    write_file(at("d/voice.wav"));
    open_dialog();
    tree_add_first(AbWidgets[ABN_selector_list], at("d/voice.wav"));
    click(ABN_playlist_selector_done);
    ASSERT_TRUE(wait_until(closed));
    EXPECT_EQ(playlist_paths(), (Paths{at("d/voice.wav")}));
}

TEST_F(Selector, TakesSongNamesAndSkipsHiddenOnes)
{
    for (const char *name : {"song.MP3", "song.mp2", "list.m3u", "xmp3", "mp3", "sub/deep.Mp3", "song.wav",
                             "song.mp3.bak", ".hidden.mp3", ".dot/inside.mp3", ".dot/sub/inside.mp3"})
        write_file(at(std::string("d/") + name));
    fs::create_directories(at("d/folder.mp3"));
    ASSERT_EQ(mkfifo(at("d/pipe.mp3").c_str(), 0644), 0);
    EXPECT_EQ(sorted(search({at("d")})), sorted({at("d/song.MP3"), at("d/song.mp2"), at("d/list.m3u"),
                                                 at("d/xmp3"), at("d/mp3"), at("d/sub/deep.Mp3")}));
}

TEST_F(Selector, BuildsTheTextFromTagOrName)
{
    write_file(at("d/both.mp3"), tagged("Title", "Artist"));
    write_file(at("d/title_only.mp3"), tagged("Only", ""));
    write_file(at("d/plain.mp3"));
    search({at("d")});
    EXPECT_EQ(sorted(texts(ABN_playlist)), sorted({"Artist  /  Title\t\t" + at("d/both.mp3"),
                                                   "  /  Only\t\t" + at("d/title_only.mp3"),
                                                   "plain.mp3\t\t" + at("d/plain.mp3")}));
    EXPECT_EQ(ab_get_text(AbWidgets[ABN_song_count]), "3 Songs");
}

TEST_F(Selector, FindsSongs29LevelsDownButNot30)
{
    std::string level = "d";
    for (int depth = 1; depth <= 30; ++depth) {
        level += "/" + std::to_string(depth);
        write_file(at(level + "/at" + std::to_string(depth) + ".mp3"));
    }
    const Paths found = search({at("d")});
    auto has = [&](const char *name) { return std::ranges::any_of(found, [&](auto &p) { return p.ends_with(name); }); };
    EXPECT_EQ(found.size(), 29u);
    EXPECT_TRUE(has("/29/at29.mp3"));
    EXPECT_FALSE(has("/30/at30.mp3"));
}

// Links are followed, but each real directory is searched once, by the
// first way that reaches it: two links to one album add it once, and a link
// back up ends at once.
TEST_F(Selector, LinksAreFollowedAndEachDirectorySearchedOnce)
{
    write_file(at("d/s.mp3"));
    write_file(at("d/a/y.mp3"));
    write_file(at("elsewhere/x.mp3"));
    fs::create_directory_symlink(at("elsewhere"), at("d/link"));
    fs::create_directory_symlink(at("elsewhere"), at("d/again"));
    fs::create_directory_symlink("a", at("d/b"));
    fs::create_directories(at("d/c"));
    fs::create_directory_symlink("../b", at("d/c/b"));
    fs::create_directory_symlink(".", at("d/loop"));
    fs::create_directory_symlink("..", at("d/a/up"));
    const Paths found = search({at("d")});
    // Which way comes first is the order of the directory listing.
    auto one_of = [&](const Paths &ways) {
        return std::ranges::count_if(found, [&](const std::string &p) { return std::ranges::count(ways, p) > 0; });
    };
    EXPECT_EQ(found.size(), 3u);
    EXPECT_EQ(one_of({at("d/s.mp3")}), 1);
    EXPECT_EQ(one_of({at("d/link/x.mp3"), at("d/again/x.mp3")}), 1);
    EXPECT_EQ(one_of({at("d/a/y.mp3"), at("d/b/y.mp3"), at("d/c/b/y.mp3")}), 1);

    // Eight folders each linked to all the others: 13,700 ways to the one
    // song when only cycles were cut.
    constexpr int Folders = 8;
    for (int i = 0; i < Folders; ++i)
        for (int j = 0; j < Folders; ++j)
            if (i != j) {
                fs::create_directories(at("mesh/" + std::to_string(i)));
                fs::create_directory_symlink("../" + std::to_string(j), at("mesh/" + std::to_string(i) + "/to" + std::to_string(j)));
            }
    write_file(at("mesh/0/song.mp3"));
    new_playlist(nullptr, nullptr, nullptr);
    const Paths mesh = search({at("mesh")});
    ASSERT_EQ(mesh.size(), 1u);
    EXPECT_TRUE(mesh[0].ends_with("/song.mp3")) << mesh[0];
}

// A link to the root leads through the whole real tree, which is cut short
// here, but never into the kernel's trees; nor does a link straight into one,
// chosen or found.
TEST_F(Selector, ALinkToTheRootFinishesAndNeverEntersProcOrSys)
{
    write_file(at("d/s.mp3"));
    fs::create_directory_symlink("/", at("d/root"));
    fs::create_directory_symlink("/proc/self", at("d/self"));
    fs::create_directory_symlink("/proc", at("kernel"));
    // Names that stand in /proc, /proc/self and /sys/bus/*, and one in /etc.
    SelectorTestHooks.pattern = "^cmdline$\\|^uevent$\\|^passwd$\\|^s.mp3$";
    // Deep enough to come back to d through the root.
    SelectorTestHooks.depth_limit = static_cast<int>(std::ranges::count(root.string(), '/')) + 3;
    open_dialog();
    choose({at("d")});
    choose({at("kernel")});
    click(ABN_playlist_selector_done);
    ASSERT_TRUE(wait_until(closed, 60000));
    EXPECT_TRUE(wait_until(idle));
    const Paths found = playlist_paths();
    EXPECT_EQ(std::ranges::count(found, at("d/s.mp3")), 1);
    EXPECT_EQ(std::ranges::count(found, at("d/root/etc/passwd")), 1);
    for (const std::string &path : found)
        for (const char *kernel : {"d/root/proc/", "d/root/sys/", "d/self/", "/kernel/"})
            EXPECT_EQ(path.find(kernel), std::string::npos) << path;
}

TEST_F(Selector, SkipsADirectoryItCannotRead)
{
    write_file(at("d/a/one.mp3"));
    write_file(at("d/locked/inside.mp3"));
    write_file(at("d/z/two.mp3"));
    fs::permissions(at("d/locked"), fs::perms::none);
    // Opened again at the end: a user other than root could not remove it.
    struct Unlock {
        fs::path path;
        ~Unlock() { fs::permissions(path, fs::perms::owner_all); }
    } unlock{at("d/locked")};
    // Root reads every directory. The search thread inherits the file-system
    // identity of the thread that starts it, so it is started as nobody.
    open_dialog();
    choose({at("d")});
    setfsuid(65534);
    DIR *probe = opendir(at("d/locked").c_str());
    if (probe == nullptr)
        click(ABN_playlist_selector_done);
    setfsuid(0);
    if (probe != nullptr) {
        closedir(probe);
        GTEST_SKIP() << "this process cannot give up its access to every directory";
    }
    ASSERT_TRUE(wait_until(closed));
    EXPECT_EQ(sorted(playlist_paths()), sorted({at("d/a/one.mp3"), at("d/z/two.mp3")}));
}

TEST_F(Selector, SkipsAChildPathTooLongToHoldInsteadOfCuttingIt)
{
    std::string dir = root.string();
    while (dir.size() < 800)
        dir += "/" + std::string(std::min<std::size_t>(200, 850 - dir.size()), 'd');
    const std::string fits(1023 - dir.size() - 1 - 4, 'a');
    write_file(dir + "/" + fits + ".mp3");   // 1023 characters
    write_file(dir + "/b" + fits + ".mp3");  // 1024
    write_file(dir + "/b" + fits + ".mp");   // what the cut would name
    EXPECT_EQ(search({root.string()}), (Paths{dir + "/" + fits + ".mp3"}));
}

TEST_F(Selector, DoneWithAnEmptyListClosesAtOnce)
{
    open_dialog();
    click(ABN_playlist_selector_done);
    EXPECT_TRUE(wait_until(closed));
    EXPECT_TRUE(playlist_paths().empty());
    EXPECT_EQ(ab_get_text(AbWidgets[ABN_song_count]), "0 Songs");
}

TEST_F(Selector, AFailedPatternClosesTheDialogWithAMessage)
{
    write_file(at("d/song.mp3"));
    SelectorTestHooks.pattern = "[";
    testing::internal::CaptureStderr();
    EXPECT_TRUE(search({at("d")}).empty());
    EXPECT_NE(testing::internal::GetCapturedStderr().find("regcomp() failed"), std::string::npos);
}

TEST_F(Selector, WithoutAThreadTheDialogStaysDisabledAndCancelCloses)
{
    write_file(at("d/song.mp3"));
    SelectorTestHooks.create_thread = [](pthread_t *, const pthread_attr_t *, void *(*)(void *), void *) {
        return EAGAIN;
    };
    open_dialog();
    choose({at("d")});
    click(ABN_playlist_selector_done);
    pump(50);
    ASSERT_FALSE(closed());
    EXPECT_FALSE(enabled(ABN_playlist_selector_done) || enabled(ABN_selector_add) || enabled(ABN_selector_del));
    EXPECT_TRUE(enabled(ABN_playlist_selector_cancel));
    EXPECT_EQ(AbWidgets[ABN_playlist_selector]->cursor().shape(), Qt::BusyCursor);
    EXPECT_TRUE(idle());
    click(ABN_playlist_selector_cancel);
    EXPECT_TRUE(closed());
    EXPECT_TRUE(playlist_paths().empty());
}

TEST_F(Selector, NeitherTheSearchNorTheBrowserTakesTheUserSignals)
{
    write_file(at("d/song.mp3"));
    sigset_t usr;
    sigemptyset(&usr);
    sigaddset(&usr, SIGUSR1);
    sigaddset(&usr, SIGUSR2);
    pthread_sigmask(SIG_UNBLOCK, &usr, nullptr);  // as the program's interface thread has them
    SelectorTestHooks.found = [this](const std::string &) {
        sigset_t mask;
        pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        search_masked = sigismember(&mask, SIGUSR1) && sigismember(&mask, SIGUSR2);
    };
    search({at("d")});
    EXPECT_EQ(search_masked, 1);

    // The browser's reader threads, once one has named itself.
    auto reader_masks = [] {
        std::vector<unsigned long> masks;
        for (const auto &task : fs::directory_iterator("/proc/self/task")) {
            std::string name;
            std::getline(std::ifstream(task.path() / "comm"), name);
            std::ifstream status(task.path() / "status");
            for (std::string line; name.starts_with("QFileInfoGather") && std::getline(status, line);)
                if (line.starts_with("SigBlk:"))
                    masks.push_back(std::stoul(line.substr(7), nullptr, 16));
        }
        return masks;
    };
    open_dialog();
    ASSERT_TRUE(wait_until([&] { return !reader_masks().empty(); }));
    EXPECT_TRUE(std::ranges::all_of(reader_masks(), masks_user_signals));
}

// Cancel while the search of b is held at its fifth song; a second search is
// started and held too before the first one is let go.
TEST_F(Selector, CancelledSearchStaysStoppedAndTouchesNothing)
{
    for (int i = 0; i < 3; ++i)
        write_file(at("a/a" + std::to_string(i) + ".mp3"));
    for (int i = 0; i < 40; ++i)
        write_file(at("b/b" + std::to_string(i) + ".mp3"));
    write_file(at("c/c.mp3"));
    const std::string b = at("b/");
    SelectorTestHooks.found = [this, b](const std::string &path) {
        if (path.starts_with(b) && ++found_count == 5)
            gates[0].wait();
    };
    open_dialog();
    choose({at("b")});
    choose({at("a")});
    click(ABN_playlist_selector_done);
    ASSERT_TRUE(wait_until([this] { return gates[0].held.load(); }));
    const Paths before_cancel = playlist_paths();
    EXPECT_EQ(sorted(before_cancel), sorted({at("a/a0.mp3"), at("a/a1.mp3"), at("a/a2.mp3")}));
    click(ABN_playlist_selector_cancel);
    EXPECT_TRUE(closed());
    pump(20);  // the old dialog is deleted

    SelectorTestHooks.found = [this](const std::string &) { gates[1].wait(); };
    open_dialog();
    choose({at("c")});
    click(ABN_playlist_selector_done);
    ASSERT_TRUE(wait_until([this] { return gates[1].held.load(); }));
    gates[0].open = true;
    EXPECT_TRUE(wait_until([] { return selector_searches_running() == 1; }));
    pump(20);
    EXPECT_EQ(playlist_paths(), before_cancel);
    ASSERT_FALSE(closed());
    EXPECT_EQ(texts(ABN_selector_list), (Paths{at("c")}));

    gates[1].open = true;
    EXPECT_TRUE(wait_until(closed));
    EXPECT_TRUE(wait_until(idle));
    Paths expected = before_cancel;
    expected.insert(expected.begin(), at("c/c.mp3"));
    EXPECT_EQ(playlist_paths(), expected);
}

TEST_F(Selector, EscapeClosesTheDialogLikeCancel)
{
    open_dialog();
    QTest::keyClick(AbWidgets[ABN_playlist_selector], Qt::Key_Escape);
    EXPECT_TRUE(closed());
    EXPECT_EQ(DieThreadDie, 1);
    open_dialog();
    EXPECT_TRUE(AbWidgets[ABN_playlist_selector]->isVisible());
}

} // namespace
