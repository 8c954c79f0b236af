// SPDX-License-Identifier: GPL-3.0-or-later
#include "tonra.h"

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <sched.h>
#include <string>
#include <vector>

#include "abmain.h"
#include "id3.h"
#include "output.h"
#include "platform/desktop/media_keys.h"
#include "platform/desktop/mpris.h"
#include "platform/desktop/remote.h"
#include "platform/desktop/stream_identity.h"
#include "platform/widgets/ab.h"
#include "platform/widgets/seek_controls.h"
#include "platform/widgets/service_events.h"
#include "player.h"
#include "playlist.h"

int BasePriority;
int CmdArgc;
char **CmdArgv;

int tonra_init(int argc, char *argv[])
{
    sched_param param{};
    // The result is not examined: a failed query leaves the priority at 0.
    (void)sched_getparam(0, &param);
    BasePriority = param.sched_priority;

    // Before the decode thread first opens the sound device and reads them.
    stream_identity_set();
    svc_open();
    // The handler runs on the user-interface thread: the signals stay
    // blocked in every thread, so no sound write or file read anywhere is
    // interrupted by them, and a descriptor hands them to the event loop.
    ab_route_signals({SIGUSR1, SIGUSR2}, signal_handler);

    CmdArgc = argc;
    CmdArgv = argv;
    media_keys_install();
    seek_controls_install(&AbWidgets[ABN_song_progress]);
    mpris_open();
    return 0;
}

int tonra_send_event(Widget *window, ServiceCode code)
{
    return svc_post(window, code);
}

void signal_handler(int signo)
{
    // Only posts: stopping and starting happen later in service_event.
    if (signo == SIGUSR1)
        tonra_send_event(svc_target(), Event_SignalStop);
    else if (signo == SIGUSR2)
        tonra_send_event(svc_target(), Event_PlayNext);
}

int about_realized(Widget *, LinkInfo *, CallbackInfo *)
{
    // TONRA_VERSION: the project's version, handed in by the build.
    ab_set_text(AbWidgets[ABN_about_version], TONRA_VERSION);
    return 0;
}

// The remote control's view of the player: what the player knows, and
// what the main window's buttons let be pressed.

namespace {

bool usable(int index)
{
    return ab_button_enabled(AbWidgets[index]) && !ab_window_blocked(AbWidgets[ABN_base]);
}

void click(int index)
{
    if (usable(index))
        ab_click(AbWidgets[index]);
}

void press_button(RemoteAction action)
{
    const bool playing = player_is_playing() != 0;
    switch (action) {
    case RemoteAction::Play:
        click(playing && player_is_paused() ? ABN_pause : ABN_play);
        break;
    case RemoteAction::Pause:
        if (playing && !player_is_paused())
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
    state.status = !playing ? RemoteStatus::Stopped : player_is_paused() ? RemoteStatus::Paused : RemoteStatus::Playing;
    state.can_pause = usable(ABN_pause);
    state.can_play = usable(ABN_play) || (playing && state.can_pause);
    state.can_next = usable(ABN_next);
    state.can_previous = usable(ABN_previous);
    state.repeat = RepeatValue;
    // The group's level, not the slider: the slider's step from level to
    // percent truncates, and would read 0.4 back as 0.39.
    const output_levels level = mixer_levels_read(&player_audio()->levels);
    state.volume = double(std::max(level.volume[0], level.volume[1]) - Mixer_Min) / (Mixer_Max - Mixer_Min);
    state.song = player_song_starts();
    state.can_seek = playing && player_length_us() >= 0;
    state.seeks = player_seeks();
    return state;
}

void write_volume(double fraction)
{
    if (!ab_is_slider(AbWidgets[ABN_volume]) || std::isnan(fraction))
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
    ab_slide_to(AbWidgets[ABN_volume], fraction);
}

void press_repeat(int value)
{
    constexpr int toggles[] = {ABN_repeat_none, ABN_repeat_list, ABN_repeat_song};
    if (value >= 0 && value <= 2 && RepeatValue != value)
        click(toggles[value]);
}

bool open_songs(const std::vector<std::string> &paths)
{
    if (AbWidgets[ABN_playlist] == nullptr)
        return false;
    bool added = false;
    for (auto path = paths.rbegin(); path != paths.rend(); ++path)
        if (playlist_song_file(path->c_str()) && playlist_add_filename(path->c_str()) == 0)
            added = true;
    if (!added)
        return false;
    CallbackInfo cb;
    cb.click_count = 2;
    cb.item = 0;
    item_selected(AbWidgets[ABN_playlist], nullptr, &cb);
    return true;
}

bool open_song(const std::string &path) { return open_songs({path}); }

void raise_window() { ab_raise_window(AbWidgets[ABN_base]); }

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
    control.open_all = open_songs;
    control.raise = raise_window;
    control.quit = quit_window;
    control.song_starts = player_song_starts;
    control.song_path = player_song_path;
    control.song_file = playlist_song_file;
    control.tags = read_tags;
    control.file_name = song_name;
    control.seek_to = player_seek_to;
    control.seek_by = player_seek_by;
    control.position_us = player_position_us;
    control.length_us = player_length_us;
    remote_install(control);
}
