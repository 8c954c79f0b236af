// SPDX-License-Identifier: GPL-3.0-or-later
// The program as it starts: the main window and its controls, the window
// options, folding, the service events from threads and signals, and the
// binding of every link of the main window.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAbstractItemModel>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QUrl>
#include <QProcess>
#include <QScreen>
#include <QSlider>
#include <QApplication>
#include <QScrollBar>
#include <QTabWidget>
#include <QTest>
#include <QTreeView>
#include <algorithm>
#include <atomic>
#include <csignal>
#include <poll.h>
#include <set>
#include <thread>
#include <unistd.h>

#include "abmain.h"
#include "platform/widgets/ab.h"
#include "platform/widgets/list.h"
#include "platform/widgets/service_events.h"
#include "support/app.h"
#include "tonra.h"

namespace {

struct Seen {
    const EventLink *link;
    Widget *widget;
    std::uint16_t code;
    std::thread::id thread;
};

class Startup : public ::testing::Test {
protected:
    std::vector<Seen> seen;
    void SetUp() override
    {
        ab_set_link_observer([this](const EventLink &link, Widget *widget, const CallbackInfo &cb) {
            seen.push_back({&link, widget, cb.event_subtype, std::this_thread::get_id()});
        });
    }
    void TearDown() override
    {
        ab_set_link_observer({});
        close_main_window();
        QWidget *popup;
        while ((popup = QApplication::activePopupWidget()) != nullptr)
            popup->close();
    }
    std::vector<std::uint16_t> service_codes() const
    {
        std::vector<std::uint16_t> codes;
        for (const auto &s : seen)
            if (s.link->category == Category_RawEvent)
                codes.push_back(s.code);
        return codes;
    }
    bool fired(const char *instance, int reason) const
    {
        for (const auto &s : seen)
            if (s.link->instance && std::string(s.link->instance) == instance && s.link->reason == reason)
                return true;
        return false;
    }
};

bool usable(int index) { return AbWidgets[index]->isEnabled(); }

TEST_F(Startup, OpensWithTheDesignedControlStates)
{
    open_main_window();
    ASSERT_NE(AbWidgets[ABN_base], nullptr);
    EXPECT_EQ(ab_get_title(AbWidgets[ABN_base]), "Tonra");
    EXPECT_EQ(ab_get_text(AbWidgets[ABN_song_count]), "0 Songs");
    const Area area = ab_get_area(AbWidgets[ABN_base]);
    EXPECT_EQ(area.w, 385);
    EXPECT_EQ(area.h, 289);
    EXPECT_EQ(AbWidgets[ABN_base]->minimumWidth(), 380);

    for (int i : {ABN_play, ABN_mute, ABN_volume, ABN_playlist_add, ABN_playlist_shuffle, ABN_repeat_none,
                  ABN_repeat_list, ABN_repeat_song, ABN_tabs_toggle})
        EXPECT_TRUE(usable(i)) << AbWidgetNames[i];
    for (int i : {ABN_previous, ABN_next, ABN_stop, ABN_pause})
        EXPECT_FALSE(usable(i)) << AbWidgetNames[i];

    EXPECT_EQ(ab_get_flags(AbWidgets[ABN_pause]) & (Flag_Toggle | Flag_Set), Flag_Toggle);
    EXPECT_EQ(ab_get_flags(AbWidgets[ABN_mute]) & (Flag_Toggle | Flag_Set), Flag_Toggle);
    EXPECT_TRUE(ab_get_flags(AbWidgets[ABN_repeat_list]) & Flag_Set);
    EXPECT_FALSE(ab_get_flags(AbWidgets[ABN_repeat_none]) & Flag_Set);
    EXPECT_FALSE(ab_get_flags(AbWidgets[ABN_repeat_song]) & Flag_Set);
    EXPECT_TRUE(ab_get_flags(AbWidgets[ABN_tabs_toggle]) & Flag_Set);
    EXPECT_EQ(ab_get_value(AbWidgets[ABN_volume]), 100);
    EXPECT_EQ(ab_get_value(AbWidgets[ABN_song_progress]), 0);

    auto *tabs = qobject_cast<QTabWidget *>(AbWidgets[ABN_panels]);
    ASSERT_NE(tabs, nullptr);
    ASSERT_EQ(tabs->count(), 4);
    const char *titles[] = {"Playlist", "Library", "Filters", "Visuals"};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(tabs->tabText(i).toStdString(), titles[i]);
    EXPECT_EQ(tabs->currentWidget(), AbWidgets[ABN_playlist_pane]);
    EXPECT_EQ(CmdArgc, 1);

    // The list's columns: the marker's (a picture, no text), "Song", "Duration".
    const QAbstractItemModel *columns = qobject_cast<QTreeView *>(AbWidgets[ABN_playlist])->model();
    EXPECT_FALSE(columns->headerData(0, Qt::Horizontal, Qt::DecorationRole).isNull());
    EXPECT_TRUE(columns->headerData(0, Qt::Horizontal, Qt::DisplayRole).toString().isEmpty());
    EXPECT_EQ(columns->headerData(1, Qt::Horizontal, Qt::DisplayRole).toString(), "Song");
    EXPECT_EQ(columns->headerData(2, Qt::Horizontal, Qt::DisplayRole).toString(), "Duration");
}

TEST_F(Startup, FlagsChangeOnlyTheBitsInTheMask)
{
    open_main_window();
    Widget *pause = AbWidgets[ABN_pause];
    // Enabling as player control does it: clear the block bit, then set the selectable bit.
    ab_set_flags(pause, ~(Flag_Blocked | Flag_Set), Flag_Blocked | Flag_Set);
    EXPECT_FALSE(pause->isEnabled()) << "Flag_Selectable is still clear";
    ab_set_flags(pause, Flag_Selectable, Flag_Selectable);
    EXPECT_TRUE(pause->isEnabled());
    EXPECT_TRUE(ab_get_flags(pause) & Flag_Toggle) << "the toggle bit was outside the masks";

    // A programmatic press of a toggle runs none of its handlers.
    seen.clear();
    ab_set_flags(pause, Flag_Set, Flag_Set);
    EXPECT_TRUE(qobject_cast<QAbstractButton *>(pause)->isChecked());
    ab_set_value(AbWidgets[ABN_volume], 40);
    pump(20);
    EXPECT_TRUE(seen.empty());

    ab_set_flags(pause, Flag_Blocked, Flag_Blocked);
    ab_set_flags(pause, ~Flag_Selectable, Flag_Selectable);
    EXPECT_FALSE(pause->isEnabled());
    EXPECT_TRUE(ab_get_flags(pause) & Flag_Set) << "disabling leaves the pressed-in bit";
}

TEST_F(Startup, WindowOptionsPlaceAndSizeTheWindow)
{
    open_main_window({"tonra", "-x10", "-y10", "-h200", "-w300"});
    const Area area = ab_get_area(AbWidgets[ABN_base]);
    EXPECT_EQ(area.x, 10);
    EXPECT_EQ(area.y, 10);
    EXPECT_EQ(area.w, 300);
    EXPECT_EQ(area.h, 200);
    // The option words stay in the argument vector.
    ASSERT_EQ(CmdArgc, 5);
    EXPECT_STREQ(CmdArgv[1], "-x10");
    EXPECT_STREQ(CmdArgv[4], "-w300");
    EXPECT_EQ(tree_count(AbWidgets[ABN_playlist]), 0) << "no option word names a readable file";
}

TEST(WindowOptions, ParseSeparateAndJoinedValues)
{
    char a0[] = "tonra", a1[] = "-x", a2[] = "50%", a3[] = "-y20r", a4[] = "-S", a5[] = "m", a6[] = "song.mp3",
         a7[] = "-s:3", a8[] = "-h", a9[] = "25%";
    char *argv[] = {a0, a1, a2, a3, a4, a5, a6, a7, a8, a9, nullptr};
    const WindowOptions o = ab_parse_options(10, argv);
    EXPECT_EQ(o.x, "50%");
    EXPECT_EQ(o.y, "20r");
    EXPECT_EQ(o.state, 'm');
    EXPECT_EQ(o.server, ":3");
    EXPECT_EQ(o.h, "25%");
    EXPECT_TRUE(o.w.empty());
    EXPECT_STREQ(argv[6], "song.mp3") << "parsing leaves the vector as it was";
}

// A value that would leave no usable window ends the program at once.
TEST(Program, BadWindowOptionValuesExitWithTheMessageAndTheUsage)
{
    const std::vector<std::pair<QStringList, QString>> cases{
        {{"-w", "0"}, "-w: 0"},        {{"-h", "0"}, "-h: 0"},         {{"-w", "abc"}, "-w: abc"},
        {{"-w", "-5"}, "-w: -5"},      {{"-h", "help"}, "-h: help"},   {{"-help"}, "-h: elp"},
        {{"-w150%"}, "-w: 150%"},      {{"-x", "1O"}, "-x: 1O"},       {{"-w"}, "-w: "},
    };
    for (const auto &[args, named] : cases) {
        QProcess tonra;
        tonra.start(TONRA_BINARY, args);
        ASSERT_TRUE(tonra.waitForFinished(10000)) << args.join(' ').toStdString();
        EXPECT_EQ(tonra.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(tonra.exitCode(), 1) << args.join(' ').toStdString();
        const QString err = QString::fromUtf8(tonra.readAllStandardError());
        EXPECT_TRUE(err.startsWith("tonra: bad value for " + named + "\ntonra - This is a QNX/Photon Application.\n"))
            << err.toStdString();
        EXPECT_TRUE(err.contains("tonra -x10 -y10 -h200 -w300\n"));
    }
}

TEST_F(Startup, SizesAreLimitedToTheScreenAndTakePercentages)
{
    open_main_window({"tonra", "-w", "100000", "-h50%", "-x", "-20r"});
    const QRect screen = AbWidgets[ABN_base]->screen()->geometry();
    const Area area = ab_get_area(AbWidgets[ABN_base]);
    EXPECT_EQ(area.w, screen.width());
    EXPECT_EQ(area.h, screen.height() / 2);
    EXPECT_EQ(area.x, screen.x() - 20);
    close_main_window();
    open_main_window({"tonra", "-w", "50%", "-h", "99999999999"});
    EXPECT_EQ(ab_get_area(AbWidgets[ABN_base]).w, screen.width() / 2);
    EXPECT_EQ(ab_get_area(AbWidgets[ABN_base]).h, screen.height());
}

TEST_F(Startup, MaximisedByTheStateOption)
{
    open_main_window({"tonra", "-S", "m"});
    EXPECT_TRUE(AbWidgets[ABN_base]->windowState() & Qt::WindowMaximized);
}

TEST_F(Startup, FoldingTakesThePanelsHeightAndGivesItBack)
{
    open_main_window();
    Widget *window = AbWidgets[ABN_base];
    auto click_fold = [] { QTest::mouseClick(qobject_cast<QAbstractButton *>(AbWidgets[ABN_tabs_toggle]), Qt::LeftButton); };
    click_fold();
    pump(10);
    EXPECT_EQ(ab_get_area(window).h, 54);
    EXPECT_EQ(AbWidgets[ABN_player]->geometry().bottom() + 1, 54) << "the player pane keeps to the bottom";
    click_fold();
    pump(10);
    EXPECT_EQ(ab_get_area(window).h, 289);
    EXPECT_EQ(ab_get_area(AbWidgets[ABN_panels]).h, 235);

    // A resize while folded: unfolding adds the stored height to the new one.
    click_fold();
    pump(10);
    window->resize(window->width(), 100);
    pump(10);
    click_fold();
    pump(10);
    EXPECT_EQ(ab_get_area(window).h, 100 + 235);
}

// Folded, the tabbed area is gone: hidden, not squeezed. Unfolded, it gives
// way rather than overlap the bars around it, down to the least height.
TEST_F(Startup, FoldingHidesThePanelsAndKeepsTheWindowsState)
{
    open_main_window();
    Widget *window = AbWidgets[ABN_base];
    auto *list = qobject_cast<QTreeView *>(AbWidgets[ABN_playlist]);
    EXPECT_FALSE(list->horizontalScrollBar()->isVisible()) << "an empty list at the designed size";
    ASSERT_EQ(tree_add_first(list, "a song\t\t/nowhere/a.mp3"), 0);
    tree_goto(list, 0);
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    list->setFocus();
    auto click_fold = [] { QTest::mouseClick(qobject_cast<QAbstractButton *>(AbWidgets[ABN_tabs_toggle]), Qt::LeftButton); };
    click_fold();
    pump(10);
    seen.clear();
    QTest::keyClick(window, Qt::Key_Return);
    for (int i = 0; i < 12; ++i) {
        QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : window, Qt::Key_Tab);
        QWidget *focus = QApplication::focusWidget();
        EXPECT_TRUE(focus == nullptr || (focus->isVisible() && !AbWidgets[ABN_panels]->isAncestorOf(focus)))
            << focus->objectName().toStdString();
    }
    EXPECT_TRUE(std::none_of(seen.begin(), seen.end(), [](const Seen &s) { return s.link->reason == Reason_Selection; }));
    click_fold();
    pump(10);

    window->resize(window->width(), 20);
    pump(10);
    EXPECT_EQ(window->height(), 54);
    for (int h : {54, 80, 120, 160, 289}) {
        window->resize(window->width(), h);
        pump(10);
        auto apart = [](QWidget *x, QRect y) { return !x->isVisible() || !x->geometry().intersects(y); };
        QWidget *menubar = window->findChild<QWidget *>("menubar");
        QWidget *panels = AbWidgets[ABN_panels], *player = AbWidgets[ABN_player];
        // The designed frames of the player row and its neighbours share
        // their one-pixel border line; anything more is an overlap.
        EXPECT_TRUE(apart(panels, player->geometry().adjusted(0, 1, 0, 0)) && apart(panels, menubar->geometry()) &&
                    apart(player, menubar->geometry().adjusted(0, 0, 0, -1)))
            << "at height " << h;
        EXPECT_TRUE(apart(list, AbWidgets[ABN_song_count]->geometry()) &&
                    apart(list, AbWidgets[ABN_playlist_shuffle]->geometry()))
            << "at height " << h;
    }

    window->showMaximized();
    ASSERT_TRUE(wait_until([window] { return window->isMaximized(); }));
    for (int fold = 0; fold < 2; ++fold) {
        click_fold();
        pump(20);
        EXPECT_TRUE(window->isMaximized()) << "fold " << fold;
        EXPECT_EQ(AbWidgets[ABN_panels]->isVisible(), fold == 1);
    }
}

TEST_F(Startup, ResizingKeepsTheAnchors)
{
    open_main_window();
    Widget *window = AbWidgets[ABN_base];
    window->resize(485, 389);
    pump(20);
    EXPECT_EQ(ab_get_area(AbWidgets[ABN_panels]).w, 485);
    EXPECT_EQ(ab_get_area(AbWidgets[ABN_panels]).h, 335);
    EXPECT_EQ(ab_get_area(AbWidgets[ABN_player]).y, 389 - 26);
    EXPECT_EQ(ab_get_area(AbWidgets[ABN_volume]).x, 310 + 100) << "the volume keeps to the right";
    EXPECT_EQ(ab_get_area(AbWidgets[ABN_song_progress]).w, 135 + 100) << "the gauge stretches";
    EXPECT_EQ(ab_get_area(AbWidgets[ABN_previous]).x, 4);
}

TEST_F(Startup, ServiceEventsArriveInOrderOnTheInterfaceThread)
{
    open_main_window();
    seen.clear();
    const auto ui = std::this_thread::get_id();
    std::thread poster([] {
        for (int code = Event_SongEnded; code <= Event_PlayNext; ++code)
            tonra_send_event(AbWidgets[ABN_base], static_cast<ServiceCode>(code));
    });
    poster.join();
    ASSERT_TRUE(wait_until([&] { return service_codes().size() >= 7; }));
    const std::vector<std::uint16_t> expected{Event_SongEnded, Event_Progress,   Event_Stop,    Event_MixerReady,
                                              Event_Unused,    Event_SignalStop, Event_PlayNext};
    EXPECT_EQ(service_codes(), expected);
    for (const auto &s : seen) {
        EXPECT_EQ(s.thread, ui);
        EXPECT_EQ(s.widget, AbWidgets[ABN_base]);
    }

    // A post to a window that is not the main window, or before it exists, is dropped.
    seen.clear();
    tonra_send_event(nullptr, Event_Progress);
    tonra_send_event(AbWidgets[ABN_play], Event_Progress);
    pump(30);
    EXPECT_TRUE(service_codes().empty());
}

TEST_F(Startup, AFloodOfEventsLeavesTheWindowRoomToRun)
{
    open_main_window();
    pump(20);
    seen.clear();
    // More codes than one turn of the loop takes: the window must get to
    // paint and take input between batches, however fast events arrive.
    for (int i = 0; i < 1000; ++i)
        tonra_send_event(AbWidgets[ABN_base], Event_Unused);
    QCoreApplication::processEvents();
    const std::size_t first_turn = service_codes().size();
    EXPECT_GT(first_turn, 0u);
    EXPECT_LT(first_turn, 1000u) << "one turn handled every queued event";
    ASSERT_TRUE(wait_until([&] { return service_codes().size() == 1000; }));
}

TEST_F(Startup, SignalsPostStopAndNextWithoutBlocking)
{
    open_main_window();
    seen.clear();
    ASSERT_EQ(kill(getpid(), SIGUSR1), 0);
    ASSERT_TRUE(wait_until([&] { return !service_codes().empty(); }));
    ASSERT_EQ(kill(getpid(), SIGUSR2), 0);
    ASSERT_TRUE(wait_until([&] { return service_codes().size() >= 2; }));
    EXPECT_EQ(service_codes(), (std::vector<std::uint16_t>{Event_SignalStop, Event_PlayNext}));

    // A flood from another thread while the interface thread is busy: the
    // pipe fills, the excess is dropped, nobody blocks, nothing crashes.
    std::atomic<bool> finished{false};
    std::thread flood([&] {
        for (int i = 0; i < 100000; ++i)
            kill(getpid(), (i & 1) ? SIGUSR2 : SIGUSR1);
        finished = true;
    });
    const bool flood_finished = wait_until([&] { return finished.load(); }, 60000);
    flood.join();
    ASSERT_TRUE(flood_finished);
    // The flood drains first: a post that finds the pipe full is dropped.
    ASSERT_TRUE(wait_until([] { pollfd p{svc_open(), POLLIN, 0}; return poll(&p, 1, 0) == 0; }, 60000));
    seen.clear();
    tonra_send_event(AbWidgets[ABN_base], Event_Unused);
    ASSERT_TRUE(wait_until([&] { return std::ranges::count(service_codes(), Event_Unused) == 1; })) << "delivery still works after the flood";
}

void post_from_handler(int) { tonra_send_event(svc_target(), Event_Stop); }

TEST_F(Startup, PostingIsSafeInsideAnAsynchronousSignalHandler)
{
    open_main_window();
    seen.clear();
    struct sigaction action{}, previous{};
    action.sa_handler = post_from_handler;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    // Interrupts whatever this thread is doing, as a signal does.
    for (int i = 0; i < 3; ++i)
        raise(SIGALRM);
    sigaction(SIGALRM, &previous, nullptr);
    ASSERT_TRUE(wait_until([&] { return service_codes().size() >= 3; }));
    EXPECT_EQ(service_codes(), (std::vector<std::uint16_t>{Event_Stop, Event_Stop, Event_Stop}));
}

TEST_F(Startup, TheUserSignalsStayBlockedInEveryThread)
{
    open_main_window();
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    EXPECT_TRUE(sigismember(&mask, SIGUSR1)) << "the interface thread takes them from a descriptor";
    std::thread([] {
        sigset_t inherited;
        pthread_sigmask(SIG_BLOCK, nullptr, &inherited);
        EXPECT_TRUE(sigismember(&inherited, SIGUSR1));
        EXPECT_TRUE(sigismember(&inherited, SIGUSR2));
    }).join();
}

TEST_F(Startup, SignalsBeforeTheWindowExistAreDropped)
{
    open_main_window();
    close_main_window();
    ASSERT_EQ(svc_target(), nullptr);
    ASSERT_EQ(kill(getpid(), SIGUSR1), 0);
    pump(20);
    seen.clear();
    open_main_window();
    pump(30);
    EXPECT_TRUE(service_codes().empty());

    // Still pending when the window appears (the loop has not run since
    // start-up): dropped all the same, so it stops no first song.
    close_main_window();
    seen.clear();
    ASSERT_EQ(kill(getpid(), SIGUSR1), 0);
    open_main_window();
    pump(30);
    EXPECT_TRUE(service_codes().empty());
}

TEST_F(Startup, EveryLinkOfTheMainWindowIsBound)
{
    seen.clear();
    open_main_window();
    // Realize handlers run as the window opens.
    EXPECT_TRUE(fired("volume", Reason_Realized));
    EXPECT_TRUE(fired("playlist", Reason_Realized));

    auto click = [](int index) { QTest::mouseClick(qobject_cast<QAbstractButton *>(AbWidgets[index]), Qt::LeftButton); };
    // Disabled transport buttons do nothing when pressed.
    click(ABN_previous);
    click(ABN_stop);
    EXPECT_FALSE(fired("previous", Reason_Activate));
    EXPECT_FALSE(fired("stop", Reason_Activate));
    auto *list = qobject_cast<QTreeView *>(AbWidgets[ABN_playlist]);
    ASSERT_EQ(tree_add_first(list, "a song\t\t/nowhere/a song.mp3"), 0);
    pump(10);
    const QRect row = list->visualRect(list->model()->index(0, 1));
    // What a double click delivers: a click, then the second press as a double click.
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, row.center());
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, row.center());
    QContextMenuEvent request(QContextMenuEvent::Mouse, row.center(), list->mapToGlobal(row.center()));
    QApplication::sendEvent(list->viewport(), &request);  // where a right click lands
    ASSERT_TRUE(wait_until([] { return QApplication::activePopupWidget() != nullptr; }));
    EXPECT_EQ(QApplication::activePopupWidget()->objectName(), "playlist_context");
    QApplication::activePopupWidget()->close();


    for (int i : {ABN_previous, ABN_next, ABN_stop, ABN_pause})
        ab_set_flags(AbWidgets[i], ~Flag_Blocked, Flag_Blocked), ab_set_flags(AbWidgets[i], Flag_Selectable, Flag_Selectable);

    for (int i : {ABN_tabs_toggle, ABN_previous, ABN_next, ABN_pause, ABN_stop, ABN_play, ABN_mute,
                  ABN_playlist_shuffle, ABN_repeat_song})
        click(i);
    click(ABN_tabs_toggle);  // unfolded again, so that the list has rows to click
    tonra_send_event(AbWidgets[ABN_base], Event_Unused);
    QTest::keyClick(AbWidgets[ABN_volume], Qt::Key_Left);
    QTest::keyClick(list, Qt::Key_Delete);
    QMimeData dropped;
    dropped.setUrls({QUrl("file:///nowhere/b.mp3")});
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(list->viewport(), &enter);
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(list->viewport(), &drop);

    QTest::mousePress(qobject_cast<QAbstractButton *>(AbWidgets[ABN_file]), Qt::LeftButton);
    ASSERT_TRUE(wait_until([] { return QApplication::activePopupWidget() != nullptr; }));
    EXPECT_EQ(QApplication::activePopupWidget()->objectName(), "file_menu");
    QApplication::activePopupWidget()->close();
    QTest::mouseRelease(qobject_cast<QAbstractButton *>(AbWidgets[ABN_file]), Qt::LeftButton);
    QTest::mousePress(qobject_cast<QAbstractButton *>(AbWidgets[ABN_help]), Qt::LeftButton);
    ASSERT_TRUE(wait_until([] { return QApplication::activePopupWidget() != nullptr; }));
    EXPECT_EQ(QApplication::activePopupWidget()->objectName(), "help_menu");
    QApplication::activePopupWidget()->close();
    QTest::mouseRelease(qobject_cast<QAbstractButton *>(AbWidgets[ABN_help]), Qt::LeftButton);

    ASSERT_TRUE(wait_until([&] { return fired("base", Reason_RawEvent); }));
    std::set<const EventLink *> bound;
    for (const auto &s : seen)
        bound.insert(s.link);
    for (const EventLink *l = AbLinks_base; l->kind != 0; ++l) {
        if (l->category == Category_Function)
            continue;  // drawn, not fired: checked with the marker picture
        if (l->kind == Link_Dialog)
            continue;  // opens the selector dialog, checked where that dialog is
        EXPECT_TRUE(bound.contains(l)) << l->instance << " reason " << l->reason;
    }
    // The repeat group hands its handler the toggle that was activated.
    for (const auto &s : seen) {
        if (s.link->instance && std::string(s.link->instance) == "repeat_group") {
            EXPECT_EQ(s.widget, AbWidgets[ABN_repeat_song]);
        }
    }
    int links = 0;
    for (const EventLink *l = AbLinks_base; l->kind != 0; ++l)
        ++links;
    EXPECT_EQ(links, base.link_count);
}

TEST_F(Startup, EnterOnAnItemCountsAsADoubleClick)
{
    open_main_window();
    auto *list = qobject_cast<QTreeView *>(AbWidgets[ABN_playlist]);
    ASSERT_EQ(tree_add_first(list, "b\t\t/nowhere/b.mp3"), 0);
    list->setCurrentIndex(list->model()->index(0, 1));
    seen.clear();
    int clicks = 0;
    ab_set_link_observer([&](const EventLink &link, Widget *, const CallbackInfo &cb) {
        if (link.reason == Reason_Selection)
            clicks = cb.click_count;
    });
    QTest::keyClick(list, Qt::Key_Return);
    EXPECT_EQ(clicks, 2);
}

TEST_F(Startup, OtherTabsAreSelectableAndEmpty)
{
    open_main_window();
    auto *tabs = qobject_cast<QTabWidget *>(AbWidgets[ABN_panels]);
    for (int index : {ABN_library_pane, ABN_filter_pane, ABN_visuals_pane}) {
        tabs->setCurrentWidget(AbWidgets[index]);
        pump(5);
        EXPECT_TRUE(AbWidgets[index]->isVisible());
        EXPECT_TRUE(AbWidgets[index]->findChildren<QWidget *>().isEmpty());
    }
}

TEST(Program, HelpPrintsTheUsageWithTheCommandName)
{
    QProcess tonra;
    tonra.start(TONRA_BINARY, {"--help"});
    ASSERT_TRUE(tonra.waitForFinished(10000));
    EXPECT_EQ(tonra.exitCode(), 0);
    const QString out = QString::fromUtf8(tonra.readAllStandardOutput());
    EXPECT_TRUE(out.startsWith("tonra - This is a QNX/Photon Application.\ntonra [options]\n\nOptions:\n"));
    EXPECT_TRUE(out.contains("  -x x[%][r]\tInitial x position in pixels, or as a percentage of\n"));
    EXPECT_TRUE(out.contains("the coordinate is relative to the current console. \n"));
    EXPECT_TRUE(out.contains("tonra -x10 -y10 -h200 -w300\n  Run at initial position 10,10 with initial dimension of 200x300.\n"));
    EXPECT_FALSE(out.contains("%C"));
}

} // namespace
