// SPDX-License-Identifier: GPL-3.0-or-later
// The window among the desktop's: folding with maximizing, tag fields
// decoded one by one, names for assistive technology, readable text in a
// dark theme and at larger system fonts, and the file URIs
// the desktop hands over. Set TONRA_SCREENSHOTS to a directory to keep the
// dark-theme pictures.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QMimeData>
#include <QUrl>
#include <QProgressBar>
#include <QStyle>
#include <QStyleFactory>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>
#include <QTreeView>
#include <cmath>
#include <cstdlib>
#include <functional>

#include "abmain.h"
#include "platform/desktop/file_uri.h"
#include "platform/widgets/ab.h"
#include "platform/widgets/ab_qt.h"
#include "platform/widgets/list.h"
#include "player.h"
#include "playlist.h"
#include "selector.h"
#include "support/app.h"
#include "support/song_files.h"

namespace {

class Desktop : public ::testing::Test {
protected:
    void TearDown() override { close_main_window(); }
    static void click(int index) { QTest::mouseClick(qobject_cast<QAbstractButton *>(AbWidgets[index]), Qt::LeftButton); }
};

TEST(FileUri, DecodesToTheFilesOwnBytesAndRefusesOthers)
{
    // The form the remote control publishes: every byte but "/" and the
    // unreserved ones escaped.
    const std::string latin1 = "/tmp/caf\xe9 & 100%.mp3";
    const QByteArray published = "file://" + QByteArray::fromStdString(latin1).toPercentEncoding("/");
    EXPECT_EQ(file_uri_path(published.toStdString()), latin1);
    EXPECT_EQ(file_uri_path("file:///a%2fb%zz"), "/a/b%zz");
    EXPECT_EQ(file_uri_path("FILE://localhost/x.mp3?size=1#t"), "/x.mp3");
    EXPECT_EQ(file_uri_path("file:/x.mp3"), "/x.mp3");
    for (const char *refused : {"http://example.org/a.mp3", "file://other/a.mp3", "file://", "file:a.mp3", "file:///a%00b"})
        EXPECT_FALSE(file_uri_path(refused)) << refused;
    std::string huge = "file:///" + std::string(FileUriLimit, 'a');
    EXPECT_FALSE(file_uri_path(huge));
    huge.resize(FileUriLimit);
    EXPECT_TRUE(file_uri_path(huge));
}

// Folding, maximizing, un-maximizing and unfolding in either order bring
// back the sizes the user had.
TEST_F(Desktop, FoldingAndMaximizingInAnyOrder)
{
    open_main_window();
    QWidget *window = AbWidgets[ABN_base];
    const auto normal = [window] { return !window->isMaximized(); };
    const auto maximized = [window] { return window->isMaximized(); };
    using Step = std::function<void()>;
    const Step fold = [] { click(ABN_tabs_toggle); pump(10); };
    const Step maximize = [&] { window->showMaximized(); ASSERT_TRUE(wait_until(maximized)); pump(10); };
    const Step restore = [&] { window->showNormal(); ASSERT_TRUE(wait_until(normal)); pump(20); };
    for (const auto &order : {std::vector<Step>{maximize, fold, restore}, std::vector<Step>{fold, maximize, fold, restore}}) {
        for (const Step &step : order)
            step();
        if (AbWidgets[ABN_panels]->isVisible()) {
            EXPECT_TRUE(wait_until([window] { return window->height() == 289; }, 2000)) << window->height();
        } else {
            EXPECT_TRUE(wait_until([window] { return window->height() == 54; }, 2000)) << window->height();
            fold();
            EXPECT_EQ(window->height(), 289);
        }
        EXPECT_TRUE(AbWidgets[ABN_panels]->isVisible());
        EXPECT_EQ(AbWidgets[ABN_player]->geometry().bottom() + 1, window->height()) << "the player row stays in the window";
    }
}

// An artist cut in the middle of a character loses that character alone;
// the title that follows it is not taken for Latin-1.
TEST_F(Desktop, FieldsAreDecodedBeforeTheyAreJoined)
{
    TempDir dir;
    // 29 bytes, then the first byte of "é": the 30-byte slot ends there.
    const std::string artist = "Bj\xc3\xb6rk" + std::string(23, 'a') + "\xc3\xa9";
    const std::string song = write_song((dir / "cut.mp3").string(), V1Tag{artist, "Caf\xc3\xa9", {}});
    open_main_window({"tonra"});
    ASSERT_EQ(playlist_add_filename(song.c_str()), 0);
    auto *view = qobject_cast<QTreeView *>(AbWidgets[ABN_playlist]);
    const QString shown = view->model()->index(0, 1).data().toString() + view->model()->index(0, 0).data().toString();
    EXPECT_TRUE(shown.contains(QString::fromStdString("Bj\xc3\xb6rk" + std::string(23, 'a') + "  /  Caf\xc3\xa9"))) << shown.toStdString();
    EXPECT_FALSE(shown.contains(QChar(0xc3))) << shown.toStdString();
    (void)player_play_song(song.c_str());
    EXPECT_EQ(AbWidgets[ABN_base]->windowTitle(), QString::fromStdString(std::string("Tonra - Bj\xc3\xb6rk") + std::string(23, 'a') + " / Caf\xc3\xa9"));
    player_stop_song();
}

TEST_F(Desktop, EveryControlHasAnAccessibleName)
{
    open_main_window();
    for (auto *widget : AbWidgets[ABN_base]->findChildren<QWidget *>()) {
        const bool control = qobject_cast<QAbstractButton *>(widget) || qobject_cast<QAbstractSlider *>(widget) ||
                             qobject_cast<QProgressBar *>(widget) || qobject_cast<QAbstractItemView *>(widget);
        if (!control || widget->objectName().isEmpty() || widget->objectName().startsWith("qt_"))
            continue;
        QAccessibleInterface *face = QAccessible::queryAccessibleInterface(widget);
        ASSERT_NE(face, nullptr);
        EXPECT_FALSE(face->text(QAccessible::Name).trimmed().isEmpty()) << widget->objectName().toStdString();
    }
    for (int toggle : {ABN_repeat_none, ABN_repeat_list, ABN_repeat_song})
        EXPECT_FALSE(AbWidgets[toggle]->toolTip().contains("Add")) << toggle;
}

// A drop through the list's own widget, as a file manager's drag ends: a
// file of a Latin-1 name, a folder with songs two levels down and a file
// the search's pattern refuses, and a file that is no song.
TEST_F(Desktop, DroppedFilesAndFoldersAreAdded)
{
    TempDir dir;
    std::filesystem::create_directories(dir / "album" / "disc 2");
    const std::string single = write_song((dir / "caf\xe9.mp3").string(), std::nullopt);
    write_song((dir / "album" / "one.mp3").string(), std::nullopt);
    write_song((dir / "album" / "disc 2" / "two.MP2").string(), std::nullopt);
    write_song((dir / "album" / "cover.jpg").string(), std::nullopt);
    std::filesystem::create_directories(dir / "not a song.mp3");
    open_main_window({"tonra"});
    QMimeData data;
    QList<QUrl> urls;
    for (const std::string &path : {single, (dir / "album").string(), (dir / "not a song.mp3" / "x").string()})
        urls.append(QUrl::fromEncoded("file://" + QByteArray::fromStdString(path).toPercentEncoding("/")));
    data.setUrls(urls);
    QWidget *target = qobject_cast<QTreeView *>(AbWidgets[ABN_playlist])->viewport();
    QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(20, 20), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &drop);
    EXPECT_TRUE(drop.isAccepted());
    EXPECT_EQ(tree_count(AbWidgets[ABN_playlist]), 1) << "the file at once";
    EXPECT_EQ(tree_item(AbWidgets[ABN_playlist], 0)->path, single);
    ASSERT_TRUE(wait_until([] { return tree_count(AbWidgets[ABN_playlist]) == 3 && selector_searches_running() == 0; }));
    std::vector<std::string> paths;
    for (const TreeItem &item : tree_items(AbWidgets[ABN_playlist]))
        paths.push_back(item.path);
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (std::vector<std::string>{(dir / "album" / "disc 2" / "two.MP2").string(),
                                               (dir / "album" / "one.mp3").string(), single}));
}

double luminance(QColor c)
{
    const auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

double contrast(QColor a, QColor b)
{
    const double x = luminance(a), y = luminance(b);
    return (std::max(x, y) + 0.05) / (std::min(x, y) + 0.05);
}

QPalette dark_palette()
{
    QPalette p;
    p.setColor(QPalette::Window, QColor(0x35, 0x35, 0x35));
    p.setColor(QPalette::WindowText, Qt::white);
    p.setColor(QPalette::Base, QColor(0x23, 0x23, 0x23));
    p.setColor(QPalette::AlternateBase, QColor(0x35, 0x35, 0x35));
    p.setColor(QPalette::Text, Qt::white);
    p.setColor(QPalette::Button, QColor(0x35, 0x35, 0x35));
    p.setColor(QPalette::ButtonText, Qt::white);
    p.setColor(QPalette::Highlight, QColor(0x2a, 0x82, 0xda));
    p.setColor(QPalette::HighlightedText, Qt::black);
    return p;
}

// The text a widget paints, and the colour it paints it on: the designed
// #d9d9d9 where a window's style sheet sets it and nothing between paints.
void expect_readable_and_whole(QWidget *top, const std::string &where)
{
    for (auto *widget : top->findChildren<QWidget *>()) {
        QString text;
        if (auto *label = qobject_cast<QLabel *>(widget))
            text = label->text();
        else if (auto *button = qobject_cast<QAbstractButton *>(widget))
            text = button->text();
        if (auto *tool = qobject_cast<QToolButton *>(widget); tool && tool->toolButtonStyle() == Qt::ToolButtonIconOnly)
            continue;
        if (text.isEmpty() || !widget->isVisible())
            continue;
        text.remove('&');
        int needed = 0;
        for (const QString &line : text.split('\n'))
            needed = std::max(needed, widget->fontMetrics().horizontalAdvance(line));
        const int room = qobject_cast<QLabel *>(widget) ? widget->contentsRect().width() : widget->width() - 4;
        EXPECT_LE(needed, room) << where << ": " << widget->objectName().toStdString() << " clips";
        // Widgets standing on the window's own designed background.
        bool on_designed = false;
        for (QWidget *up = widget->parentWidget(); up; up = up->parentWidget()) {
            if (qobject_cast<QTabWidget *>(up) || up->autoFillBackground())
                break;
            if (up == top) {
                on_designed = true;
                break;
            }
        }
        const bool auto_raised = !qobject_cast<QAbstractButton *>(widget) || widget->property("autoRaise").toBool();
        if (on_designed && auto_raised) {
            EXPECT_GE(contrast(widget->palette().color(widget->foregroundRole()), QColor(0xd9, 0xd9, 0xd9)), 4.5)
                << where << ": " << widget->objectName().toStdString();
        }
    }
}

TEST_F(Desktop, TextReadsInADarkThemeAndAtLargerFonts)
{
    open_main_window();
    const QPalette palette = QApplication::palette();
    const QFont font = QApplication::font();
    const QString style = QApplication::style()->name();
    QApplication::setStyle(QStyleFactory::create("Fusion"));
    const char *shots = std::getenv("TONRA_SCREENSHOTS");
    for (const bool dark : {false, true}) {
        QApplication::setPalette(dark ? dark_palette() : palette);
        for (const int points : {9, 10, 11}) {
            QFont system = font;
            system.setPointSize(points);
            QApplication::setFont(system);
            // Opened anew, as a program started under that theme opens.
            close_main_window();
            open_main_window();
            pump(20);
            const QPixmap main = AbWidgets[ABN_base]->grab();
            QWidget *about = ab_open_module(aboutbox, AbWidgets[ABN_base], Place_Centred);
            QWidget *prefs = ab_open_module(preferences, AbWidgets[ABN_base], Place_Centred);
            pump(20);
            const std::string mode = std::string(dark ? "dark" : "light") + "-" + std::to_string(points) + "pt";
            for (const auto &[name, top] : {std::pair{"main", AbWidgets[ABN_base]}, {"aboutbox", about}, {"preferences", prefs}}) {
                ASSERT_NE(top, nullptr);
                expect_readable_and_whole(top, mode + " " + name);
                if (shots != nullptr && dark && points >= 10)
                    (top == AbWidgets[ABN_base] ? main : top->grab())
                        .save(QString::fromStdString(std::string(shots) + "/" + name + "-" + mode + ".png"));
            }
            ab_destroy(about);
            ab_destroy(prefs);
            pump(10);
        }
    }
    QApplication::setPalette(palette);
    QApplication::setFont(font);
    QApplication::setStyle(QStyleFactory::create(style));
}

} // namespace
