// SPDX-License-Identifier: GPL-3.0-or-later
// Keys as an X server delivers them: the player runs in this process on a
// private Xvfb, and xdotool types into its window, so the keys take the
// toolkit's X11 path (where the Menu key also arrives as a context-menu
// request at the pointer). A PulseAudio null sink paces the song.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMenu>
#include <QTreeView>
#include <fstream>
#include <future>
#include <optional>

#include <unistd.h>

#include "abmain.h"
#include "platform/widgets/ab.h"
#include "platform/widgets/list.h"
#include "player.h"
#include "support/app.h"
#include "support/child.h"
#include "support/desktop_servers.h"
#include "support/engine_support.h"
#include "support/sound_server.h"

using namespace engine_test;

class X11Keys : public ::testing::Test {
protected:
    static inline std::optional<TempDir> Dir;
    static inline std::optional<SoundServer> Pulse;
    static inline pid_t Xvfb = -1;
    static inline std::string Display;
    static inline fs::path Songs[3];

    static void SetUpTestSuite()
    {
        if (!on_path("Xvfb") || !on_path("xdotool") || !SoundServer::available())
            return;
        Xvfb = start_xvfb(Display, "1600x1200x24");
        if (Display.empty())
            return;
        Dir.emplace();
        const fs::path run = make_runtime_dir(Dir->path());
        setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
        Pulse.emplace();
        std::ofstream(*Dir / "asound.conf") << "pcm.!default { type pulse server \"unix:" << Pulse->socket() << "\" }\n";
        setenv("ALSA_CONFIG_PATH", (*Dir / "asound.conf").c_str(), 1);
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
        setenv("DISPLAY", Display.c_str(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        for (int i = 0; i < 3; ++i) {
            Songs[i] = *Dir / ("song" + std::to_string(i) + ".mp3");
            fs::copy_file(mp3_song(44100, 2, "j", 128, 30.0), Songs[i], fs::copy_options::overwrite_existing);
        }
        open_main_window({"tonra", Songs[0].string(), Songs[1].string(), Songs[2].string()});
        AbWidgets[ABN_base]->move(10, 10);
    }
    static void TearDownTestSuite()
    {
        if (Dir) {
            player_stop_song();
            close_main_window();
        }
        Pulse.reset();
        (void)end_child(Xvfb);
    }
    void SetUp() override
    {
        if (!Dir)
            GTEST_SKIP() << "needs Xvfb and xdotool; " << SoundServer::missing();
    }

    // Runs xdotool while this process's event loop goes on answering the
    // server.
    static void xdotool(const std::string &arguments)
    {
        auto done = std::async(std::launch::async, [arguments] { return shell("xdotool " + arguments + " 2>&1"); });
        ASSERT_TRUE(wait_until([&] { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
        pump(50);
    }
    static std::string window_id() { return std::to_string(AbWidgets[ABN_base]->winId()); }
    static void focus_list()
    {
        xdotool("windowfocus --sync " + window_id());
        ASSERT_TRUE(wait_until([] { return AbWidgets[ABN_base]->isActiveWindow(); }));
        AbWidgets[ABN_playlist]->setFocus();
    }
    static bool held() { return qobject_cast<QAbstractButton *>(AbWidgets[ABN_pause])->isChecked(); }
};

TEST_F(X11Keys, PlayKeyPausesAndResumes)
{
    ASSERT_TRUE(wait_until([] { return player_is_playing() != 0; }));
    focus_list();
    xdotool("key XF86AudioPlay");
    EXPECT_TRUE(wait_until([] { return held(); })) << "the play key holds the playing song";
    xdotool("key XF86AudioPlay");
    EXPECT_TRUE(wait_until([] { return !held(); })) << "and resumes it";
    xdotool("key XF86AudioPause");
    EXPECT_TRUE(wait_until([] { return held(); }));
    xdotool("key XF86AudioPause");
    EXPECT_TRUE(wait_until([] { return !held() && player_is_playing() != 0; }));
}

// The pointer is far off at the screen's corner; the menu opens on the row.
TEST_F(X11Keys, MenuKeyOpensBesideTheCurrentRow)
{
    focus_list();
    auto *view = qobject_cast<QTreeView *>(AbWidgets[ABN_playlist]);
    view->setCurrentIndex(view->model()->index(1, 0));
    xdotool("mousemove 1590 1190");
    xdotool("key Menu");
    ASSERT_TRUE(wait_until([] { return QApplication::activePopupWidget() != nullptr; }));
    QWidget *popup = QApplication::activePopupWidget();
    const QRect row = view->visualRect(view->currentIndex());
    const QRect on_screen(view->viewport()->mapToGlobal(row.topLeft()), row.size());
    EXPECT_TRUE(on_screen.contains(popup->geometry().topLeft())) << popup->geometry().x() << "," << popup->geometry().y();
    pump(300);
    EXPECT_EQ(QApplication::activePopupWidget(), popup) << "one menu, not a second one for the key";
    popup->close();
    pump(20);
}

TEST_F(X11Keys, DeleteRemovesTheSelectedRows)
{
    focus_list();
    const int before = tree_count(AbWidgets[ABN_playlist]);
    const std::array rows{1, 2};
    tree_select_rows(AbWidgets[ABN_playlist], rows);
    xdotool("key Delete");
    EXPECT_TRUE(wait_until([&] { return tree_count(AbWidgets[ABN_playlist]) == before - 2; }));
    EXPECT_EQ(ab_get_text(AbWidgets[ABN_song_count]), std::to_string(before - 2) + " Songs");
    tree_select_rows(AbWidgets[ABN_playlist], std::array{0});
    xdotool("key shift+Delete");
    EXPECT_EQ(tree_count(AbWidgets[ABN_playlist]), before - 2) << "a modified Delete is not the hotkey";
}
