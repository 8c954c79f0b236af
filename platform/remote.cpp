// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/remote.h"

#include <QAbstractButton>
#include <QAbstractSlider>
#include <algorithm>
#include <cmath>
#include <mutex>

#include "abmain.h"
#include "platform/ab.h"
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

} // namespace

void remote_press(RemoteAction action)
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

RemoteState remote_state()
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

void remote_set_volume(double fraction)
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

void remote_set_repeat(int value)
{
    constexpr int toggles[] = {ABN_repeat_none, ABN_repeat_list, ABN_repeat_song};
    if (value >= 0 && value <= 2 && RepeatValue != value)
        click(toggles[value]);
}

bool remote_open(const std::string &path)
{
    if (AbWidgets[ABN_playlist] == nullptr || !playlist_song_file(path.c_str()) || playlist_add_filename(path.c_str()) != 0)
        return false;
    CallbackInfo cb;
    cb.click_count = 2;
    cb.item = 0;
    item_selected(AbWidgets[ABN_playlist], nullptr, &cb);
    return true;
}

void remote_raise()
{
    QWidget *window = AbWidgets[ABN_base];
    if (window == nullptr)
        return;
    window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window->show();
    window->raise();
    window->activateWindow();
}

void remote_quit()
{
    if (AbWidgets[ABN_base] != nullptr)
        ab_destroy(AbWidgets[ABN_base]);
}
