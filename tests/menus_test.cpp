// SPDX-License-Identifier: GPL-3.0-or-later
// The File, Help and playlist menus, the about box and the preferences
// window, driven in the program's own process the way a user drives them:
// presses on the menu buttons, right clicks on the playlist, clicks on menu
// items, keys.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCursor>
#include <QDialog>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QStandardPaths>
#include <QSlider>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "abmain.h"
#include "platform/widgets/ab.h"
#include "platform/widgets/list.h"
#include "playlist.h"
#include "support/app.h"
#include "support/engine_support.h"

namespace {

namespace fs = std::filesystem;

QWidget *slot(int index) { return AbWidgets[index]; }

template <class T = QWidget> T *child(QWidget *top, const char *name)
{
    return top ? top->findChild<T *>(QLatin1String(name)) : nullptr;
}

QMenu *open_popup()
{
    return qobject_cast<QMenu *>(QApplication::activePopupWidget());
}

// The dialogs the tests open, as a user sees them: the visible top-level
// windows of that name.
int windows_named(const char *name)
{
    int n = 0;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->isVisible() && w->objectName() == QLatin1String(name))
            ++n;
    return n;
}

std::map<QString, QLabel *> labels_by_text(QWidget *top)
{
    std::map<QString, QLabel *> labels;
    for (auto *label : top->findChildren<QLabel *>())
        labels[label->text()] = label;
    return labels;
}

QRect screen_area()
{
    return QGuiApplication::primaryScreen()->availableGeometry();
}

// What a modal dialog (the file chooser runs its own loop) offered when it
// was answered.
struct Offer {
    QString kind, title, directory;
    QStringList filters;
    int mode = -1;
    bool operator==(const Offer &) const = default;
};

// Answers each modal dialog that opens while it lives, after recording
// what it offered; by default it cancels.
class ModalAnswer {
public:
    explicit ModalAnswer(std::function<void(QDialog *)> answer = [](QDialog *d) { d->reject(); })
    {
        timer_.setInterval(20);
        QObject::connect(&timer_, &QTimer::timeout, [this, answer] {
            auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
            if (dialog == nullptr)
                return;
            Offer offer{QString::fromLatin1(dialog->metaObject()->className()), dialog->windowTitle(), {}, {}, -1};
            if (auto *files = qobject_cast<QFileDialog *>(dialog)) {
                offer.directory = files->directory().absolutePath();
                offer.filters = files->nameFilters();
                offer.mode = files->fileMode();
            }
            offers.push_back(offer);
            answer(dialog);
        });
        timer_.start();
    }
    std::vector<Offer> offers;

private:
    QTimer timer_;
};

class Menus : public ::testing::Test {
protected:
    void SetUp() override
    {
        ab_set_link_observer(
            [this](const EventLink &link, Widget *, const CallbackInfo &) { fired.push_back(&link); });
        start_main_window();
    }
    void TearDown() override
    {
        if (QMenu *menu = open_popup())
            menu->close();
        close_main_window();
        ab_set_link_observer(nullptr);
    }

    static QWidget *base() { return slot(ABN_base); }

    void start_main_window()
    {
        open_main_window();
        ASSERT_NE(base(), nullptr);
        base()->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(base()));
        fired.clear();
    }

    // Opens a menu as its user would: a press on its button, or a right
    // click at the given point of the playlist.
    QMenu *open_menu(const Module &menu, QPoint at_playlist = {60, 40})
    {
        if (&menu == &playlist_context) {
            auto *list = qobject_cast<QTreeView *>(slot(ABN_playlist));
            QWidget *area = list->viewport();
            QCursor::setPos(area->mapToGlobal(at_playlist));
            QContextMenuEvent request(QContextMenuEvent::Mouse, at_playlist, area->mapToGlobal(at_playlist));
            QApplication::sendEvent(area, &request);
        } else {
            QWidget *button = slot(&menu == &file_menu ? ABN_file : ABN_help);
            QTest::mousePress(button, Qt::LeftButton);
        }
        wait_until([] { return open_popup() != nullptr; });
        return open_popup();
    }

    // Clicks a menu item, with the pointer where the click is; `fired`
    // holds what fires from then on.
    void choose(QMenu *menu, const char *instance)
    {
        fired.clear();
        ASSERT_NE(menu, nullptr);
        QAction *action = menu->findChild<QAction *>(QLatin1String(instance));
        ASSERT_NE(action, nullptr) << instance;
        const QPoint at = menu->actionGeometry(action).center();
        QCursor::setPos(menu->mapToGlobal(at));
        QTest::mouseClick(menu, Qt::LeftButton, {}, at);
        pump(20);
    }

    std::vector<const EventLink *> fired;
};

// ---- what the menus show --------------------------------------------------------

struct Shown {
    QString text;      // with "&" before the mnemonic; "-" for a separator
    QString shortcut;  // as the menu shows it
};

std::vector<Shown> shown(QMenu *menu)
{
    std::vector<Shown> items;
    for (QAction *a : menu->actions())
        items.push_back(a->isSeparator() ? Shown{"-", ""} : Shown{a->text(), a->shortcut().toString()});
    return items;
}

TEST_F(Menus, FileMenuShowsItsItemsWithMnemonicsAndShortcutsBelowItsButton)
{
    QMenu *menu = open_menu(file_menu);
    ASSERT_NE(menu, nullptr);
    const std::vector<Shown> items = shown(menu);
    const std::vector<std::pair<const char *, const char *>> expected = {
        {"&Open File...", "Ctrl+O"}, {"Open &Playlist...", "Ctrl+P"}, {"-", ""},
        {"New Playlist", ""},        {"Save Playlist", ""},           {"Save Playlist As...", ""},
        {"-", ""},                   {"Preferences", ""},             {"-", ""},
        {"E&xit", "Alt+X"},
    };
    ASSERT_EQ(items.size(), expected.size());
    for (std::size_t i = 0; i < items.size(); ++i)
        EXPECT_EQ(items[i].text.toStdString() + " " + items[i].shortcut.toStdString(),
                  std::string(expected[i].first) + " " + expected[i].second)
            << "item " << i;
    QWidget *button = slot(ABN_file);
    EXPECT_EQ(menu->pos(), button->mapToGlobal(QPoint(0, button->height())));
}

TEST_F(Menus, HelpMenuShowsAboutBelowItsButton)
{
    QMenu *menu = open_menu(help_menu);
    ASSERT_NE(menu, nullptr);
    const std::vector<Shown> items = shown(menu);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].text, "&About");
    EXPECT_EQ(items[0].shortcut, "");
    QWidget *button = slot(ABN_help);
    EXPECT_EQ(menu->pos(), button->mapToGlobal(QPoint(0, button->height())));
}

TEST_F(Menus, PlaylistMenuShowsItsItemsAtThePointer)
{
    QMenu *menu = open_menu(playlist_context, {70, 30});
    ASSERT_NE(menu, nullptr);
    std::vector<QString> texts;
    for (const Shown &s : shown(menu)) {
        texts.push_back(s.text);
        EXPECT_EQ(s.shortcut, "") << s.text.toStdString();
    }
    EXPECT_EQ(texts, (std::vector<QString>{"Add Items...", "Remove Selected", "Shuffle", "New Playlist"}));
    EXPECT_EQ(menu->pos(), QCursor::pos());
}

TEST_F(Menus, MenuButtonsAreNotLeftPressedWhenTheirMenuCloses)
{
    for (const Module *m : {&file_menu, &help_menu}) {
        QMenu *menu = open_menu(*m);
        ASSERT_NE(menu, nullptr);
        QTest::keyClick(menu, Qt::Key_Escape);
        ASSERT_TRUE(wait_until([] { return open_popup() == nullptr; }));
        auto *button = qobject_cast<QAbstractButton *>(slot(m == &file_menu ? ABN_file : ABN_help));
        EXPECT_FALSE(button->isDown()) << m->resource;
    }
}

TEST_F(Menus, AltWithTheButtonLetterOpensItsMenu)
{
    QTest::keyClick(base(), Qt::Key_F, Qt::AltModifier);
    ASSERT_TRUE(wait_until([] { return open_popup() != nullptr; }));
    EXPECT_EQ(open_popup()->objectName(), "file_menu");
    open_popup()->close();
    ASSERT_TRUE(wait_until([] { return open_popup() == nullptr; }));

    QTest::keyClick(base(), Qt::Key_H, Qt::AltModifier);
    ASSERT_TRUE(wait_until([] { return open_popup() != nullptr; }));
    EXPECT_EQ(open_popup()->objectName(), "help_menu");
}

// ---- every item does what it stands for ---------------------------------------

struct Effect {
    int kind = 0;  // the link kind, 0 for an item bound to nothing
    Handler handler = nullptr;
    const Module *module = nullptr;
    int placement = 0;
};

const std::map<std::string, Effect> &effects()
{
    static const std::map<std::string, Effect> table = {
        {"open_file", {Link_Code, file_picker}},
        {"open_playlist", {Link_Code, file_picker}},
        {"new_playlist", {Link_Code, new_playlist}},
        {"save_playlist", {}},
        {"save_playlist_as", {}},
        {"preferences_menu", {Link_Dialog, nullptr, &preferences, Place_Centred}},
        {"exit", {Link_Done}},
        {"about", {Link_Dialog, nullptr, &aboutbox, Place_Pointer}},
        {"playlist_context_add", {Link_Dialog, nullptr, &playlist_selector, Place_Pointer}},
        {"playlist_context_remove", {Link_Code, remove_items}},
        {"playlist_context_shuffle", {Link_Code, shuffle}},
        {"playlist_context_new", {Link_Code, new_playlist}},
    };
    return table;
}

TEST_F(Menus, EveryItemOfEveryMenuRunsItsHandlerOpensItsModuleOrDoesNothing)
{
    std::set<std::string> visited;
    for (const Module *menu : {&file_menu, &help_menu, &playlist_context}) {
        for (const MenuItem *item = menu->items; item->level != 0; ++item) {
            if (item->type == Item_Separator)
                continue;
            SCOPED_TRACE(item->instance);
            const auto expected = effects().find(item->instance);
            ASSERT_NE(expected, effects().end()) << "an item nobody expects";
            visited.insert(item->instance);
            const Effect &e = expected->second;

            if (!base())
                start_main_window();
            ModalAnswer cancel;  // the file chooser
            choose(open_menu(*menu), item->instance);
            EXPECT_EQ(cancel.offers.size(), e.handler == file_picker ? 1u : 0u);
            // The module opened runs its own realize links.
            std::erase_if(fired, [&](const EventLink *link) {
                for (const EventLink *l = e.module ? e.module->links : nullptr; l && l->kind != 0; ++l)
                    if (l == link)
                        return true;
                return false;
            });

            if (e.kind == 0) {
                EXPECT_TRUE(fired.empty());
                continue;
            }
            ASSERT_EQ(fired.size(), 1u);
            const EventLink &link = *fired[0];
            EXPECT_EQ(link.kind, e.kind);
            EXPECT_EQ(link.handler, e.handler);
            EXPECT_EQ(link.module, e.module);
            EXPECT_EQ(link.placement, e.placement);
            EXPECT_STREQ(link.instance, item->instance);
            if (e.kind == Link_Done) {
                EXPECT_EQ(base(), nullptr) << "Exit leaves the main window open";
            }
            close_main_window();
        }
    }
    EXPECT_EQ(visited.size(), effects().size());
}

// ---- the about box ----------------------------------------------------------------

// Records the text of each label of that name every time it is drawn.
class PaintedTexts final : public QObject {
public:
    explicit PaintedTexts(const char *name) : name_(QLatin1String(name)) { qApp->installEventFilter(this); }
    ~PaintedTexts() override { qApp->removeEventFilter(this); }
    bool eventFilter(QObject *object, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && object->objectName() == name_)
            if (auto *label = qobject_cast<QLabel *>(object))
                texts.push_back(label->text());
        return false;
    }
    std::vector<QString> texts;

private:
    QString name_;
};

TEST_F(Menus, AboutBoxShowsTheVersionOnEveryOpeningAndDoneClosesIt)
{
    PaintedTexts painted("about_version");
    for (int opening = 1; opening <= 3; ++opening) {
        SCOPED_TRACE(opening);
        choose(open_menu(help_menu), "about");
        QWidget *box = slot(ABN_aboutbox);
        ASSERT_NE(box, nullptr);
        EXPECT_TRUE(box->isVisible());
        EXPECT_EQ(box->windowTitle(), "About Tonra...");
        EXPECT_EQ(box->size(), QSize(329, 185));
        EXPECT_EQ(box->minimumSize(), box->maximumSize()) << "a fixed size";
        auto *caption = child<QLabel>(box, "about_version_caption");
        auto *version = qobject_cast<QLabel *>(slot(ABN_about_version));
        ASSERT_NE(caption, nullptr);
        ASSERT_NE(version, nullptr);
        EXPECT_EQ(caption->text(), "Version:");
        EXPECT_EQ(version->text(), TONRA_VERSION);
        // The caption stands just left of the version, on its line.
        EXPECT_EQ(caption->geometry().right() + 3, version->geometry().left());
        EXPECT_EQ(caption->y(), version->y());
        ASSERT_TRUE(wait_until([&] { return painted.texts.size() >= static_cast<std::size_t>(opening); }));

        QTest::mouseClick(qobject_cast<QAbstractButton *>(slot(ABN_about_done)), Qt::LeftButton);
        ASSERT_TRUE(wait_until([] { return windows_named("aboutbox") == 0; }));
        EXPECT_EQ(slot(ABN_aboutbox), nullptr);
        EXPECT_EQ(slot(ABN_about_version), nullptr);
    }
    for (const QString &text : painted.texts)
        EXPECT_EQ(text, TONRA_VERSION);
}

TEST_F(Menus, AboutBoxNamesTheProgramInLargeType)
{
    choose(open_menu(help_menu), "about");
    QWidget *box = slot(ABN_aboutbox);
    ASSERT_NE(box, nullptr);
    std::map<QString, QLabel *> labels = labels_by_text(box);
    ASSERT_TRUE(labels.contains("Tonra"));
    ASSERT_TRUE(labels.contains("A QNX MP3 Player based on the MAD Codec."));
    QLabel *name = labels["Tonra"];
    QLabel *description = labels["A QNX MP3 Player based on the MAD Codec."];
    EXPECT_GE(name->fontInfo().pixelSize(), 2 * description->fontInfo().pixelSize());
    // Every text fits its label, so nothing of it is cut off.
    for (auto &[text, label] : labels)
        EXPECT_LE(label->fontMetrics().horizontalAdvance(text), label->contentsRect().width()) << text.toStdString();
    EXPECT_EQ(box->palette().color(QPalette::Window), QColor(0xd9, 0xd9, 0xd9));
}

TEST_F(Menus, AboutBoxOpensAtThePointerAndStaysOnTheScreen)
{
    QMenu *menu = open_menu(help_menu);
    choose(menu, "about");
    ASSERT_NE(slot(ABN_aboutbox), nullptr);
    EXPECT_EQ(slot(ABN_aboutbox)->pos(), QCursor::pos());
    ab_destroy(slot(ABN_aboutbox));

    menu = open_menu(help_menu);
    ASSERT_NE(menu, nullptr);
    QAction *about = menu->findChild<QAction *>("about");
    const QRect screen = screen_area();
    // A click far in the bottom right corner.
    QCursor::setPos(screen.bottomRight() - QPoint(5, 5));
    about->trigger();
    QWidget *box = slot(ABN_aboutbox);
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(screen.contains(box->frameGeometry())) << box->frameGeometry().x() << "," << box->frameGeometry().y();
}

// ---- the preferences window ---------------------------------------------------------

TEST_F(Menus, PreferencesWindowShowsTheBoostSliderAndItsLabels)
{
    choose(open_menu(file_menu), "preferences_menu");
    QWidget *window = slot(ABN_preferences);
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), "Tonra Preferences");
    EXPECT_EQ(window->size(), QSize(310, 252));
    EXPECT_EQ(window->minimumSize(), window->maximumSize()) << "a fixed size";
    EXPECT_EQ(window->palette().color(QPalette::Window), QColor(0xd9, 0xd9, 0xd9));

    auto *tabs = window->findChild<QTabWidget *>();
    ASSERT_NE(tabs, nullptr);
    ASSERT_EQ(tabs->count(), 2);
    EXPECT_EQ(tabs->tabText(0), "General");
    EXPECT_EQ(tabs->tabText(1), "File Locations");
    EXPECT_EQ(tabs->currentIndex(), 0);
    EXPECT_TRUE(tabs->widget(1)->findChildren<QWidget *>().isEmpty());

    auto *slider = window->findChild<QSlider *>();
    ASSERT_NE(slider, nullptr);
    EXPECT_TRUE(slider->isVisible());
    EXPECT_EQ(slider->orientation(), Qt::Vertical);
    EXPECT_EQ(slider->minimum(), 0);
    EXPECT_EQ(slider->maximum(), 20);
    EXPECT_EQ(slider->value(), 5);

    std::map<QString, QLabel *> labels = labels_by_text(tabs->widget(0));
    ASSERT_TRUE(labels.contains("10"));
    ASSERT_TRUE(labels.contains("0"));
    ASSERT_TRUE(labels.contains("Player\nThread\nPriority\nBoost"));
    EXPECT_EQ(labels["10"]->palette().color(QPalette::WindowText), QColor(0xff, 0, 0));
    EXPECT_EQ(labels["0"]->palette().color(QPalette::WindowText), QColor(0, 0xa0, 0));
    // "10" beside the top of the slider, "0" beside its bottom.
    const QRect groove = slider->geometry();
    EXPECT_LT(labels["10"]->geometry().center().y(), groove.center().y());
    EXPECT_GT(labels["0"]->geometry().center().y(), groove.center().y());
    EXPECT_TRUE(labels["Player\nThread\nPriority\nBoost"]->alignment() & Qt::AlignHCenter);
}

QPushButton *button_named(QWidget *window, const char *text)
{
    for (auto *button : window->findChildren<QPushButton *>())
        if (button->text() == QLatin1String(text))
            return button;
    return nullptr;
}

TEST_F(Menus, PreferencesDoneDoesNothingCancelClosesAndNothingIsKept)
{
    choose(open_menu(file_menu), "preferences_menu");
    QPointer<QWidget> window = slot(ABN_preferences);
    ASSERT_NE(window, nullptr);
    auto *slider = window->findChild<QSlider *>();
    slider->setValue(17);
    fired.clear();

    QTest::mouseClick(button_named(window, "Done"), Qt::LeftButton);
    pump(50);
    EXPECT_TRUE(fired.empty());
    ASSERT_TRUE(window && window->isVisible());
    EXPECT_EQ(slot(ABN_preferences), window.data());
    EXPECT_EQ(slider->value(), 17);

    QTest::mouseClick(qobject_cast<QPushButton *>(slot(ABN_peferences_cancel)), Qt::LeftButton);
    ASSERT_TRUE(wait_until([] { return windows_named("preferences") == 0; }));
    EXPECT_EQ(slot(ABN_preferences), nullptr);
    EXPECT_EQ(slot(ABN_peferences_cancel), nullptr);

    choose(open_menu(file_menu), "preferences_menu");
    ASSERT_NE(slot(ABN_preferences), nullptr);
    EXPECT_EQ(slot(ABN_preferences)->findChild<QSlider *>()->value(), 5);

    // Closed from the window frame, too, it keeps nothing.
    slot(ABN_preferences)->findChild<QSlider *>()->setValue(12);
    slot(ABN_preferences)->close();
    ASSERT_TRUE(wait_until([] { return windows_named("preferences") == 0; }));
    choose(open_menu(file_menu), "preferences_menu");
    ASSERT_NE(slot(ABN_preferences), nullptr);
    EXPECT_EQ(slot(ABN_preferences)->findChild<QSlider *>()->value(), 5);
}

TEST_F(Menus, PreferencesWindowOpensCentredOverTheMainWindow)
{
    base()->move(120, 90);
    pump(20);
    choose(open_menu(file_menu), "preferences_menu");
    QWidget *window = slot(ABN_preferences);
    ASSERT_NE(window, nullptr);
    const QPoint offset = window->frameGeometry().center() - base()->frameGeometry().center();
    EXPECT_LE(offset.manhattanLength(), 2) << offset.x() << "," << offset.y();
}

// ---- keys ---------------------------------------------------------------------------

TEST_F(Menus, CtrlOAndCtrlPRunTheOpenItemsWithTheMenuClosed)
{
    for (auto [key, instance] : {std::pair{Qt::Key_O, "open_file"}, std::pair{Qt::Key_P, "open_playlist"}}) {
        SCOPED_TRACE(instance);
        ModalAnswer cancel;
        // Back from the chooser, as the window manager brings it back.
        base()->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(base()));
        fired.clear();
        QTest::keyClick(base(), key, Qt::ControlModifier);
        pump(20);
        ASSERT_EQ(fired.size(), 1u);
        EXPECT_STREQ(fired[0]->instance, instance);
        EXPECT_EQ(fired[0]->handler, file_picker);
        EXPECT_EQ(cancel.offers.size(), 1u);
        EXPECT_EQ(open_popup(), nullptr);
    }
}

// The bar as desktop menu bars behave: opened from the keyboard its first
// item is highlighted, Left and Right and the pointer go from menu to menu,
// and the shortcuts work while a menu is open.
TEST_F(Menus, MenuBarIsDrivenFromTheKeyboardAndThePointer)
{
    // Back from a dialog, as the window manager brings it back.
    auto back_to_base = [] {
        base()->activateWindow();
        return wait_until([] { return QGuiApplication::focusWindow() == base()->windowHandle(); }, 2000);
    };
    auto keys = [&](std::initializer_list<std::pair<Qt::Key, Qt::KeyboardModifiers>> presses) {
        for (auto [key, modifiers] : presses) {
            QWidget *to = open_popup();
            if (to == nullptr) {
                back_to_base();
                to = base();
            }
            QTest::keyClick(to, key, modifiers);
            pump(10);
        }
    };
    auto about_opened = [] {
        const bool open = wait_until([] { return slot(ABN_aboutbox) != nullptr; }, 2000);
        if (open)
            ab_destroy(slot(ABN_aboutbox));
        return open && wait_until([] { return windows_named("aboutbox") == 0; });
    };
    {
        ModalAnswer cancel;
        keys({{Qt::Key_F, Qt::AltModifier}, {Qt::Key_Return, {}}});
        ASSERT_EQ(cancel.offers.size(), 1u);
        EXPECT_EQ(cancel.offers[0].title, "Choose Your Music");
    }
    keys({{Qt::Key_H, Qt::AltModifier}, {Qt::Key_Return, {}}});
    EXPECT_TRUE(about_opened());

    back_to_base();
    keys({{Qt::Key_F, Qt::AltModifier}, {Qt::Key_Right, {}}});
    ASSERT_TRUE(wait_until([] { return open_popup() && open_popup()->objectName() == "help_menu"; }, 2000));
    keys({{Qt::Key_Return, {}}});
    EXPECT_TRUE(about_opened());
    {
        ModalAnswer cancel;
        keys({{Qt::Key_F, Qt::AltModifier}, {Qt::Key_O, Qt::ControlModifier}});
        EXPECT_EQ(cancel.offers.size(), 1u);
        EXPECT_EQ(open_popup(), nullptr);
    }
    ASSERT_TRUE(back_to_base());
    // A click on File (press and release), then the pointer over Help.
    QTest::mouseClick(slot(ABN_file), Qt::LeftButton);
    ASSERT_TRUE(wait_until([] { return open_popup() != nullptr; }, 2000));
    QMenu *menu = open_popup();
    QWidget *help = slot(ABN_help);
    QTest::mouseMove(menu, menu->mapFromGlobal(help->mapToGlobal(help->rect().center())));
    ASSERT_TRUE(wait_until([] { return open_popup() && open_popup()->objectName() == "help_menu"; }, 2000));
    EXPECT_EQ(open_popup()->activeAction(), nullptr);
}

TEST_F(Menus, MenuKeyOpensThePlaylistMenuBesideTheCurrentRow)
{
    auto *list = qobject_cast<QTreeView *>(slot(ABN_playlist));
    for (int i = 0; i < 20; ++i)
        tree_add_first(list, "song\t\t/songs/" + std::to_string(i) + ".mp3");
    QCursor::setPos(screen_area().bottomRight() - QPoint(5, 5));
    for (auto [key, modifiers] : {std::pair{Qt::Key_Menu, Qt::KeyboardModifiers{}},
                                  std::pair{Qt::Key_F10, Qt::KeyboardModifiers{Qt::ShiftModifier}}}) {
        tree_goto(list, 12);
        list->setFocus();
        QTest::keyClick(list, key, modifiers);
        ASSERT_TRUE(wait_until([] { return open_popup() != nullptr; }, 2000));
        const QRect cell = list->visualRect(list->currentIndex());
        const QRect row(list->viewport()->mapToGlobal(QPoint(0, cell.top())), QSize(list->viewport()->width(), cell.height()));
        EXPECT_EQ(open_popup()->objectName(), "playlist_context");
        EXPECT_TRUE(row.contains(open_popup()->pos())) << open_popup()->pos().x() << "," << open_popup()->pos().y();
        open_popup()->close();
        ASSERT_TRUE(wait_until([] { return open_popup() == nullptr; }, 2000));
    }
}

// The program keeps nothing between runs, the file chooser's own state
// included: nothing new or changed in the user's settings directory.
TEST_F(Menus, TheFileChooserWritesNothingUnderTheHome)
{
    const fs::path config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation).toStdString();
    auto snapshot = [&] {
        std::map<fs::path, fs::file_time_type> entries;
        std::error_code error;
        for (fs::directory_iterator it(config, error), end; !error && it != end; it.increment(error))
            entries[it->path()] = fs::last_write_time(it->path(), error);
        return entries;
    };
    const auto before = snapshot();
    ModalAnswer cancel;
    choose(open_menu(file_menu), "open_file");
    ASSERT_EQ(cancel.offers.size(), 1u);
    pump(20);
    EXPECT_EQ(snapshot(), before);
}

// ---- the playlist's chooser and dialog ------------------------------------------------

std::vector<std::string> playlist_texts()
{
    std::vector<std::string> texts;
    for (const TreeItem &item : tree_items(slot(ABN_playlist)))
        texts.push_back(item.text);
    return texts;
}

TEST_F(Menus, SavePlaylistAndSavePlaylistAsChangeNothing)
{
    engine_test::TempDir dir;
    const fs::path before = fs::current_path();
    fs::current_path(dir.path());
    tree_add_first(slot(ABN_playlist), "One\t/songs/one.mp3");
    tree_add_first(slot(ABN_playlist), "Two\t/songs/two.mp3");
    const std::vector<std::string> songs = playlist_texts();
    const QString title = base()->windowTitle();
    const QWidgetList windows = QApplication::topLevelWidgets();

    for (const char *instance : {"save_playlist", "save_playlist_as"}) {
        SCOPED_TRACE(instance);
        ModalAnswer chooser;
        choose(open_menu(file_menu), instance);
        EXPECT_TRUE(fired.empty());
        EXPECT_TRUE(chooser.offers.empty());
        EXPECT_EQ(open_popup(), nullptr);
    }
    EXPECT_EQ(playlist_texts(), songs);
    EXPECT_EQ(base()->windowTitle(), title);
    for (QWidget *w : QApplication::topLevelWidgets())
        EXPECT_TRUE(!w->isVisible() || windows.contains(w)) << w->objectName().toStdString();
    EXPECT_TRUE(fs::is_empty(dir.path()));
    fs::current_path(before);
}

TEST_F(Menus, OpenPlaylistOffersTheChooserOfOpenFileAndAddsTheChosenSong)
{
    const fs::path song = engine_test::mp3_song(44100, 2, "j", 128, 1.0);

    Offer open_file;
    {
        ModalAnswer cancel;
        choose(open_menu(file_menu), "open_file");
        ASSERT_EQ(cancel.offers.size(), 1u);
        open_file = cancel.offers[0];
    }
    EXPECT_EQ(tree_count(slot(ABN_playlist)), 0);
    EXPECT_EQ(open_file.kind, "QFileDialog");

    ModalAnswer pick([&](QDialog *dialog) {
        auto *files = qobject_cast<QFileDialog *>(dialog);
        // Typed in as a user would.
        auto *name = files ? files->findChild<QLineEdit *>("fileNameEdit") : nullptr;
        ASSERT_NE(name, nullptr);
        name->setText(QString::fromStdString(song.string()));
        QMetaObject::invokeMethod(files, "accept");
    });
    choose(open_menu(file_menu), "open_playlist");
    ASSERT_EQ(pick.offers.size(), 1u);
    EXPECT_EQ(pick.offers[0], open_file);
    ASSERT_TRUE(wait_until([] { return tree_count(slot(ABN_playlist)) == 1; }));
    const std::string text = playlist_texts().front();
    EXPECT_EQ(text.substr(text.rfind('\t') + 1), song.string());
}

TEST_F(Menus, AddItemsAndTheAddButtonOpenTheSameDialog)
{
    // Its title and its named widgets (the toolkit's own are left out).
    auto describe = [](QWidget *window) {
        std::set<std::string> names;
        for (QWidget *w : window->findChildren<QWidget *>())
            if (!w->objectName().isEmpty() && !w->objectName().startsWith("qt_"))
                names.insert(w->objectName().toStdString() + ":" + w->metaObject()->className());
        return std::pair{window->windowTitle().toStdString(), names};
    };
    // Room all round the main window for the dialog centred over it.
    base()->move(screen_area().center() - base()->rect().center());
    choose(open_menu(playlist_context), "playlist_context_add");
    QWidget *dialog = slot(ABN_playlist_selector);
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->pos(), QCursor::pos());
    const auto from_menu = describe(dialog);
    ab_destroy(dialog);
    ASSERT_TRUE(wait_until([] { return windows_named("playlist_selector") == 0; }));

    QTest::mouseClick(qobject_cast<QAbstractButton *>(slot(ABN_playlist_add)), Qt::LeftButton);
    dialog = slot(ABN_playlist_selector);
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(describe(dialog), from_menu);
    EXPECT_EQ(windows_named("playlist_selector"), 1);
    const QPoint offset = dialog->frameGeometry().center() - base()->frameGeometry().center();
    EXPECT_LE(offset.manhattanLength(), 2) << offset.x() << "," << offset.y();
}

}  // namespace
