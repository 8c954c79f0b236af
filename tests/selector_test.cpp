// The add-to-playlist dialog and its search, driven as the user drives it:
// the browser's selection, the buttons, the playlist that results.
#include "selector.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QTest>
#include <QTreeView>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include <dirent.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include "abmain.h"
#include "platform/ab.h"
#include "platform/list.h"
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

std::string v1_tag(const std::string &title, const std::string &artist)
{
    std::string tag(128, '\0');
    tag.replace(0, 3, "TAG").replace(3, title.size(), title).replace(33, artist.size(), artist);
    return std::string(2000, '\xAA') + tag;
}

QAbstractButton *button(int index) { return qobject_cast<QAbstractButton *>(AbWidgets[index]); }

void click(int index)
{
    ASSERT_NE(button(index), nullptr) << index;
    button(index)->click();
}

bool enabled(int index)
{
    const std::uint32_t flags = ab_get_flags(AbWidgets[index]);
    return (flags & Flag_Selectable) && !(flags & Flag_Blocked);
}

Paths texts(int list)
{
    Paths out;
    for (const TreeItem &item : tree_items(AbWidgets[list]))
        out.push_back(item.text);
    return out;
}

// The playlist's paths, top first: the last column of each text.
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

class Selector : public ::testing::Test {
protected:
    fs::path root;
    // Shared with search threads, so they outlive every test body.
    std::atomic<int> found_count{0}, signals_blocked{-1};
    std::atomic<bool> held{false}, release{false}, held_c{false}, release_c{false};
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
        release = release_c = true;
        close_main_window();
        EXPECT_TRUE(wait_until([] { return selector_searches_running() == 0; }));
        SelectorTestHooks = {};
        fs::remove_all(root);
    }

    void open_dialog()
    {
        click(ABN_playlist_add);
        ASSERT_NE(AbWidgets[ABN_playlist_selector], nullptr);
    }

    // Selects the paths in the browser, in this order, and presses Add.
    void choose(const Paths &paths)
    {
        auto *view = qobject_cast<QTreeView *>(AbWidgets[ABN_selector_filesel]);
        ASSERT_NE(view, nullptr);
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

    // Opens the dialog, adds each path on its own, presses Done and waits for
    // the dialog to close itself.
    Paths search(const Paths &paths)
    {
        open_dialog();
        for (const std::string &path : paths)
            choose({path});
        click(ABN_playlist_selector_done);
        EXPECT_TRUE(wait_until([] { return AbWidgets[ABN_playlist_selector] == nullptr; }));
        EXPECT_TRUE(wait_until([] { return selector_searches_running() == 0; }));
        return playlist_paths();
    }

    std::string at(const std::string &relative) const { return (root / relative).string(); }

    // Blocks the search thread at the nth song found under `prefix` until
    // `release` is set.
    void hold_at(const std::string &prefix, int nth)
    {
        SelectorTestHooks.found = [this, prefix, nth](const std::string &path) {
            if (path.rfind(prefix, 0) != 0 || ++found_count != nth)
                return;
            held = true;
            for (int i = 0; i < 10000 && !release; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        };
    }
};

TEST_F(Selector, LaysOutTheDialogAndResizesInProportion)
{
    open_dialog();
    QWidget *dialog = AbWidgets[ABN_playlist_selector];
    EXPECT_EQ(ab_get_title(dialog), "Files and Directories for Playlist");
    EXPECT_EQ(dialog->size(), QSize(310, 381));
    EXPECT_EQ(dialog->minimumSize(), QSize(300, 375));
    EXPECT_EQ(ab_get_text(AbWidgets[ABN_selector_add]), "Add");
    EXPECT_EQ(ab_get_text(AbWidgets[ABN_selector_del]), "Del");
    EXPECT_EQ(ab_get_text(AbWidgets[ABN_playlist_selector_done]), "Done");
    EXPECT_EQ(ab_get_text(AbWidgets[ABN_playlist_selector_cancel]), "Cancel");
    auto *list = qobject_cast<QTreeView *>(AbWidgets[ABN_selector_list]);
    EXPECT_EQ(list->model()->headerData(1, Qt::Horizontal).toString(), "To Add to Playlist");
    auto *browser = qobject_cast<QTreeView *>(AbWidgets[ABN_selector_filesel]);
    EXPECT_EQ(browser->selectionMode(), QAbstractItemView::ExtendedSelection);

    // Twice the size: the upper panel grows to 620 x 719 from 310 x 338.
    dialog->resize(620, 762);
    pump(20);
    auto geometry = [](int index) { return AbWidgets[index]->geometry(); };
    EXPECT_EQ(geometry(ABN_selector_filesel), QRect(11, 4, 594, 142 * 719 / 338 - 4));
    EXPECT_EQ(geometry(ABN_selector_add), QRect(95, 148 * 719 / 338, 50, 35));
    EXPECT_EQ(geometry(ABN_selector_del), QRect(165 + 310, 148 * 719 / 338, 50, 35));
    EXPECT_EQ(geometry(ABN_selector_list).top(), 190 * 719 / 338);
    EXPECT_EQ(geometry(ABN_selector_list).bottom(), 190 + 138 - 1 + 381);
    EXPECT_EQ(geometry(ABN_playlist_selector_done), QRect(20, 5, 90, 30));
    EXPECT_EQ(geometry(ABN_playlist_selector_cancel), QRect(510, 5, 90, 30));
    EXPECT_EQ(AbWidgets[ABN_playlist_selector_done]->mapTo(dialog, QPoint(0, 0)).y(), 337 + 381 + 5);
}

TEST_F(Selector, RootIsNeverTakenAndNewEntriesGoOnTop)
{
    write_file(at("p/p.mp3"));
    write_file(at("q/q.mp3"));
    open_dialog();
    choose({"/"});
    EXPECT_TRUE(texts(ABN_selector_list).empty());
    choose({at("p"), "/"});
    choose({at("q")});
    EXPECT_EQ(texts(ABN_selector_list), (Paths{at("q"), at("p")}));

    // Worked top first, each entry leaving the list when it is done.
    SelectorTestHooks.found = [this](const std::string &path) {
        ab_locked([&] { list_while_found[path] = texts(ABN_selector_list); });
    };
    click(ABN_playlist_selector_done);
    ASSERT_TRUE(wait_until([] { return AbWidgets[ABN_playlist_selector] == nullptr; }));
    ASSERT_TRUE(wait_until([] { return selector_searches_running() == 0; }));
    EXPECT_EQ(playlist_paths(), (Paths{at("p/p.mp3"), at("q/q.mp3")}));
    EXPECT_EQ(list_while_found[at("q/q.mp3")], (Paths{at("q"), at("p")}));
    EXPECT_EQ(list_while_found[at("p/p.mp3")], (Paths{at("p")}));
}

TEST_F(Selector, DelRemovesTheSelectedEntries)
{
    fs::create_directories(at("a"));
    fs::create_directories(at("b"));
    fs::create_directories(at("c"));
    open_dialog();
    for (const char *name : {"a", "b", "c"})
        choose({at(name)});
    const int rows[] = {0, 2};
    tree_select_rows(AbWidgets[ABN_selector_list], rows);
    click(ABN_selector_del);
    EXPECT_EQ(texts(ABN_selector_list), (Paths{at("b")}));
}

TEST_F(Selector, SameDirectoryTwiceIsSearchedTwice)
{
    write_file(at("d/song.mp3"));
    EXPECT_EQ(search({at("d"), at("d")}), (Paths{at("d/song.mp3"), at("d/song.mp3")}));
}

TEST_F(Selector, ChosenFileIsAddedWhateverItsName)
{
    write_file(at("d/voice.wav"));
    open_dialog();
    tree_add_first(AbWidgets[ABN_selector_list], at("d/voice.wav"));
    click(ABN_playlist_selector_done);
    ASSERT_TRUE(wait_until([] { return AbWidgets[ABN_playlist_selector] == nullptr; }));
    EXPECT_EQ(playlist_paths(), (Paths{at("d/voice.wav")}));
}

TEST_F(Selector, TakesSongNamesAndSkipsHiddenOnes)
{
    for (const char *name : {"song.MP3", "song.mp2", "list.m3u", "xmp3", "sub/deep.Mp3", "song.wav",
                             ".hidden.mp3", ".dot/inside.mp3", ".dot/sub/inside.mp3", "mp3", "song.mp3.bak"})
        write_file(at(std::string("d/") + name));
    fs::create_directories(at("d/folder.mp3"));
    ASSERT_EQ(mkfifo(at("d/pipe.mp3").c_str(), 0644), 0);
    EXPECT_EQ(sorted(search({at("d")})),
              sorted({at("d/song.MP3"), at("d/song.mp2"), at("d/list.m3u"), at("d/xmp3"), at("d/sub/deep.Mp3"),
                      at("d/mp3")}));
}

TEST_F(Selector, BuildsTheTextFromTagOrName)
{
    write_file(at("d/both.mp3"), v1_tag("Title", "Artist"));
    write_file(at("d/title_only.mp3"), v1_tag("Only", ""));
    write_file(at("d/plain.mp3"));
    search({at("d")});
    EXPECT_EQ(sorted(texts(ABN_playlist)),
              sorted({"  /  Only\t\t" + at("d/title_only.mp3"), "Artist  /  Title\t\t" + at("d/both.mp3"),
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
    EXPECT_EQ(found.size(), 29u);
    auto has = [&](const char *name) {
        return std::any_of(found.begin(), found.end(), [&](auto &p) { return p.ends_with(name); });
    };
    EXPECT_TRUE(has("/29/at29.mp3"));
    EXPECT_FALSE(has("/30/at30.mp3"));
}

TEST_F(Selector, FollowsLinksAndEndsALinkCycleAtTheDepthLimit)
{
    write_file(at("elsewhere/x.mp3"));
    write_file(at("d/s.mp3"));
    fs::create_directory_symlink(at("elsewhere"), at("d/link"));
    fs::create_directory_symlink(".", at("d/loop"));
    const Paths found = search({at("d")});
    // s.mp3 at levels 0 to 29; link/x.mp3 one level further down.
    EXPECT_EQ(std::count_if(found.begin(), found.end(), [](auto &p) { return p.ends_with("/s.mp3"); }), 30);
    EXPECT_EQ(std::count_if(found.begin(), found.end(), [](auto &p) { return p.ends_with("/link/x.mp3"); }), 29);
    EXPECT_EQ(found.size(), 59u);
}

TEST_F(Selector, SkipsADirectoryItCannotRead)
{
    write_file(at("d/a/one.mp3"));
    write_file(at("d/locked/inside.mp3"));
    write_file(at("d/z/two.mp3"));
    fs::permissions(at("d/locked"), fs::perms::none);
    // Root reads every directory; the search thread inherits the file-system
    // identity of the thread that starts it, so it starts as nobody.
    open_dialog();
    choose({at("d")});
    setfsuid(65534);
    DIR *probe = opendir(at("d/locked").c_str());
    const bool refused = probe == nullptr;
    if (probe != nullptr)
        closedir(probe);
    if (refused)
        click(ABN_playlist_selector_done);
    setfsuid(0);
    if (!refused)
        GTEST_SKIP() << "this process cannot give up its access to every directory";
    ASSERT_TRUE(wait_until([] { return AbWidgets[ABN_playlist_selector] == nullptr; }));
    EXPECT_EQ(sorted(playlist_paths()), sorted({at("d/a/one.mp3"), at("d/z/two.mp3")}));
}

TEST_F(Selector, SkipsAChildPathTooLongToHoldInsteadOfCuttingIt)
{
    std::string dir = root.string();
    while (dir.size() < 800)
        dir += "/" + std::string(std::min<std::size_t>(200, 850 - dir.size()), 'd');
    const std::string fits(1023 - dir.size() - 1 - 4, 'a');
    write_file(dir + "/" + fits + ".mp3");           // 1023 characters
    write_file(dir + "/b" + fits + ".mp3");          // 1024
    write_file(dir + "/b" + fits + ".mp");           // what the cut would name
    EXPECT_EQ(search({root.string()}), (Paths{dir + "/" + fits + ".mp3"}));
}

TEST_F(Selector, DoneWithAnEmptyListClosesAtOnce)
{
    open_dialog();
    click(ABN_playlist_selector_done);
    EXPECT_TRUE(wait_until([] { return AbWidgets[ABN_playlist_selector] == nullptr; }, 1000));
    EXPECT_TRUE(playlist_paths().empty());
    EXPECT_EQ(ab_get_text(AbWidgets[ABN_song_count]), "0 Songs");
}

TEST_F(Selector, AFailedPatternClosesTheDialogWithAMessage)
{
    write_file(at("d/song.mp3"));
    SelectorTestHooks.pattern = "[";
    testing::internal::CaptureStderr();
    search({at("d")});
    EXPECT_NE(testing::internal::GetCapturedStderr().find("regcomp() failed"), std::string::npos);
    EXPECT_TRUE(playlist_paths().empty());
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
    ASSERT_NE(AbWidgets[ABN_playlist_selector], nullptr);
    EXPECT_FALSE(enabled(ABN_playlist_selector_done));
    EXPECT_FALSE(enabled(ABN_selector_add));
    EXPECT_FALSE(enabled(ABN_selector_del));
    EXPECT_TRUE(enabled(ABN_playlist_selector_cancel));
    EXPECT_EQ(AbWidgets[ABN_playlist_selector]->cursor().shape(), Qt::BusyCursor);
    EXPECT_EQ(selector_searches_running(), 0);
    click(ABN_playlist_selector_cancel);
    EXPECT_EQ(AbWidgets[ABN_playlist_selector], nullptr);
    EXPECT_TRUE(playlist_paths().empty());
}

TEST_F(Selector, SearchThreadNeverTakesTheUserSignals)
{
    write_file(at("d/song.mp3"));
    sigset_t usr;
    sigemptyset(&usr);
    sigaddset(&usr, SIGUSR1);
    sigaddset(&usr, SIGUSR2);
    pthread_sigmask(SIG_UNBLOCK, &usr, nullptr);
    SelectorTestHooks.found = [this](const std::string &) {
        sigset_t mask;
        pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        signals_blocked = sigismember(&mask, SIGUSR1) && sigismember(&mask, SIGUSR2);
    };
    search({at("d")});
    EXPECT_EQ(signals_blocked, 1);
}

TEST_F(Selector, BrowserThreadNeverTakesTheUserSignals)
{
    // The signal masks of the browser's reader threads, once one has named itself.
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
    for (const unsigned long blocked : reader_masks()) {
        EXPECT_TRUE(blocked & (1ul << (SIGUSR1 - 1)));
        EXPECT_TRUE(blocked & (1ul << (SIGUSR2 - 1)));
    }
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
    hold_at(at("b/"), 5);
    open_dialog();
    choose({at("b")});
    choose({at("a")});
    click(ABN_playlist_selector_done);
    ASSERT_TRUE(wait_until([this] { return held.load(); }));
    const Paths before_cancel = playlist_paths();
    EXPECT_EQ(sorted(before_cancel), sorted({at("a/a0.mp3"), at("a/a1.mp3"), at("a/a2.mp3")}));
    click(ABN_playlist_selector_cancel);
    EXPECT_EQ(AbWidgets[ABN_playlist_selector], nullptr);
    pump(20);  // the old dialog is deleted

    // A new search of c, held at its song while the old one is let go.
    SelectorTestHooks.found = [this](const std::string &) {
        held_c = true;
        for (int i = 0; i < 10000 && !release_c; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    open_dialog();
    choose({at("c")});
    click(ABN_playlist_selector_done);
    ASSERT_TRUE(wait_until([this] { return held_c.load(); }));
    release = true;
    EXPECT_TRUE(wait_until([] { return selector_searches_running() == 1; }));
    pump(20);
    EXPECT_EQ(playlist_paths(), before_cancel);
    ASSERT_NE(AbWidgets[ABN_playlist_selector], nullptr);
    EXPECT_EQ(texts(ABN_selector_list), (Paths{at("c")}));

    release_c = true;
    EXPECT_TRUE(wait_until([] { return AbWidgets[ABN_playlist_selector] == nullptr; }));
    EXPECT_TRUE(wait_until([] { return selector_searches_running() == 0; }));
    Paths expected = before_cancel;
    expected.insert(expected.begin(), at("c/c.mp3"));
    EXPECT_EQ(playlist_paths(), expected);
}

TEST_F(Selector, EscapeClosesTheDialogLikeCancel)
{
    open_dialog();
    QTest::keyClick(AbWidgets[ABN_playlist_selector], Qt::Key_Escape);
    EXPECT_EQ(AbWidgets[ABN_playlist_selector], nullptr);
    EXPECT_EQ(DieThreadDie, 1);
    open_dialog();
    EXPECT_TRUE(AbWidgets[ABN_playlist_selector]->isVisible());
}

} // namespace
