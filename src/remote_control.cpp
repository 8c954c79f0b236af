// SPDX-License-Identifier: GPL-3.0-or-later
#include "remote_control.h"

#include <QAbstractButton>
#include <QAbstractSlider>
#include <algorithm>
#include <cmath>
#include <mutex>

#include "abmain.h"
#include "id3.h"
#include "platform/ab.h"
#include "platform/remote.h"
#include "player.h"
#include "playlist.h"
#include "tonra.h"

namespace {

QAbstractButton *button(int index) { return qobject_cast<QAbstractButton *>(AbWidgets[index]); }

bool usable(int index)
{
    const QAbstractButton *b = button(index);
    return b != nullptr && b->isEnabled() && !ab_window_blocked(AbWidgets[ABN_base]);
}

// A click emits what a pointer's click emits, so the button's own link runs.
void click(int index)
{
    if (usable(index))
        button(index)->click();
}

bool held() { return button(ABN_pause) != nullptr && button(ABN_pause)->isChecked(); }

void press_button(RemoteAction action)
{
    const bool playing = player_is_playing() != 0;
    switch (action) {
    case RemoteAction::Play:
        click(playing && held() ? ABN_pause : ABN_play);
        break;
    case RemoteAction::Pause:
        if (playing && !held())
            click(ABN_pause);
        break;
    case RemoteAction::PlayPause:
        click(playing ? ABN_pause : ABN_play);
        break;
    case RemoteAction::Stop: click(ABN_stop); break;
    case RemoteAction::Next: click(ABN_next); break;
    case RemoteAction::Previous: click(ABN_previous); break;
    }
}

RemoteState read_state()
{
    RemoteState state;
    if (AbWidgets[ABN_base] == nullptr)
        return state;
    const bool playing = player_is_playing() != 0;
    state.status = !playing ? RemoteStatus::Stopped : held() ? RemoteStatus::Paused : RemoteStatus::Playing;
    state.can_pause = usable(ABN_pause);
    state.can_play = usable(ABN_play) || (playing && state.can_pause);
    state.can_next = usable(ABN_next);
    state.can_previous = usable(ABN_previous);
    state.repeat = RepeatValue;
    if (const auto *slider = qobject_cast<QAbstractSlider *>(AbWidgets[ABN_volume]); slider && slider->maximum() > slider->minimum())
        state.volume = double(slider->value() - slider->minimum()) / (slider->maximum() - slider->minimum());
    state.song = player_song_starts();
    return state;
}

void write_volume(double fraction)
{
    auto *slider = qobject_cast<QAbstractSlider *>(AbWidgets[ABN_volume]);
    if (slider == nullptr || std::isnan(fraction))
        return;
    fraction = std::clamp(fraction, 0.0, 1.0);
    audio_device *audio = player_audio();
    {
        const std::lock_guard lock(audio->mixer_lock);
        if (mixer *handle = audio->mixer_handle.load()) {
            mixer_group group = audio->mixer_group;  // the mute mask stays as it is
            const auto level = group.min + static_cast<std::int32_t>(std::lround(fraction * (group.max - group.min)));
            group.volume[0] = level;
            group.volume[1] = level;
            if (mixer_group_write_external(handle, &group) < 0)
                std::perror("snd_mixer_group_write()");
            return;
        }
    }
    // No group: the slider's own handler keeps the level for the next song.
    slider->setValue(slider->minimum() + static_cast<int>(std::lround(fraction * (slider->maximum() - slider->minimum()))));
}

void press_repeat(int value)
{
    constexpr int toggles[] = {ABN_repeat_none, ABN_repeat_list, ABN_repeat_song};
    if (value >= 0 && value <= 2 && RepeatValue != value)
        click(toggles[value]);
}

bool open_song(const std::string &path)
{
    if (AbWidgets[ABN_playlist] == nullptr || !playlist_song_file(path.c_str()) || playlist_add_filename(path.c_str()) != 0)
        return false;
    CallbackInfo cb;
    cb.click_count = 2;
    cb.item = 0;
    item_selected(AbWidgets[ABN_playlist], nullptr, &cb);
    return true;
}

void raise_window()
{
    QWidget *window = AbWidgets[ABN_base];
    if (window == nullptr)
        return;
    window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window->show();
    window->raise();
    window->activateWindow();
}

void quit_window()
{
    if (AbWidgets[ABN_base] != nullptr)
        ab_destroy(AbWidgets[ABN_base]);
}

bool read_tags(const std::string &path, RemoteTags &tags)
{
    id3_info info{};
    if (id3_parse_file(path.c_str(), &info) != 0)
        return false;
    tags.title = info.title;
    tags.artist = info.artist;
    return true;
}

std::string song_name(const std::string &path) { return std::string(playlist_file_name(path)); }

} // namespace

void remote_control_install()
{
    RemoteControl control;
    control.press = press_button;
    control.state = read_state;
    control.set_volume = write_volume;
    control.set_repeat = press_repeat;
    control.open = open_song;
    control.raise = raise_window;
    control.quit = quit_window;
    control.song_starts = player_song_starts;
    control.song_path = player_song_path;
    control.song_file = playlist_song_file;
    control.tags = read_tags;
    control.file_name = song_name;
    remote_install(control);
}
