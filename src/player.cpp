// SPDX-License-Identifier: GPL-3.0-or-later
#include "player.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <strings.h>

#include "abmain.h"
#include "id3.h"
#include "madthread.h"
#include "platform/widgets/ab.h"
#include "platform/widgets/list.h"
#include "playlist.h"
#include "tonra.h"

namespace {

// Fixed texts: users and their scripts read the error lines and the window
// title byte for byte. The error lines keep the sound library's call names
// they have always shown, though the calls made now are named otherwise.
constexpr char MixerWriteFailed[] = "snd_mixer_group_write() failed!";
constexpr char MixerGroupReadFailed[] = "snd_mixer_group_read()";
constexpr char MixerDescriptorFailed[] = "snd_mixer_file_descriptor()";
constexpr char MixerReadFailed[] = "snd_mixer_read()";
constexpr char SongStartFailed[] = "player_play_song: madthread_start";
constexpr char TitleOfTaggedSong[] = "Tonra - %s / %s";  // artist, title
constexpr char TitleOfFile[] = "Tonra - %.*s";          // the file's name

madthread_data *MtData = nullptr;
audio_stats AudioStats{};
audio_device Audio;
int MixerFd = 0;

// Songs that ended by themselves without being heard (see HeardMicroseconds)
// or would not start, in a row, while one song followed another on its own.
// A whole pass of the playlist like that means no song can be heard (no
// device, or no song with enough good frames): the player stops instead of
// trying the list forever.
int SilentEndings = 0;
// The last song asked for could not be started and nothing was stopped
// since: the marker stands on a song that is not playing.
bool StartFailed = false;
// The Pause button holds the playing song; cleared by every start and stop.
bool Paused = false;

// The song of the latest start and how many starts there were: a remote
// control names the song by them, a restart of the same song included.
std::string SongPath;
unsigned SongStarts = 0;
unsigned Seeks = 0;

void enable(int index)
{
    ab_set_flags(AbWidgets[index], ~Flag_Blocked, Flag_Blocked);
    ab_set_flags(AbWidgets[index], Flag_Selectable, Flag_Selectable);
}

void disable(int index)
{
    ab_set_flags(AbWidgets[index], Flag_Blocked, Flag_Blocked);
    ab_set_flags(AbWidgets[index], ~Flag_Selectable, Flag_Selectable);
}

bool pressed_in(int index) { return (ab_get_flags(AbWidgets[index]) & Flag_Set) != 0; }

void stop_watching_mixer()
{
    if (MixerFd > 0) {
        ab_remove_fd(MixerFd);
        MixerFd = -1;
    }
}

void clear_progress()
{
    ab_set_value(AbWidgets[ABN_song_progress], 0);
    AudioStats[AudioStats_Total] = 0;
    AudioStats[AudioStats_Consumed] = 0;
}

void next_song()
{
    char buffer[PathBufferSize];
    if (playlist_get_next_filename(buffer, sizeof buffer) == 0)
        player_play_song(buffer);
}

// Moving on by itself (end of a song, SIGUSR2, Next): a song that will not
// start is stepped over, and so is the one the marker stands on after a
// failed start. Each failure counts as a song nothing could be heard of, so
// a list where no song starts ends after one pass, as the silent endings do.
void move_on()
{
    char buffer[PathBufferSize];
    int found = StartFailed ? playlist_get_following_filename(buffer, sizeof buffer)
                            : playlist_get_next_filename(buffer, sizeof buffer);
    while (found == 0 && player_play_song(buffer) != 0) {
        const int songs = tree_count(AbWidgets[ABN_playlist]);
        if (++SilentEndings >= std::max(songs, 1)) {
            player_stop_song();
            return;
        }
        found = playlist_get_following_filename(buffer, sizeof buffer);
    }
}

void previous_song()
{
    char buffer[PathBufferSize];
    if (playlist_get_prev_filename(buffer, sizeof buffer) == 0)
        player_play_song(buffer);
}

// The slider is a percentage of the group's range. The fraction is rounded to
// single precision before it is scaled, so 29 % of 0..100 is 28: the same
// level the slider has always set.
}  // namespace

void volume_slider_to_mixer(int value, mixer_group &group)
{
    const float fraction = static_cast<float>(value / 100.0);
    const std::int32_t range = group.max - group.min;
    const auto step = static_cast<std::int32_t>(static_cast<double>(fraction) * range);
    group.volume[0] = group.min + step;
    group.volume[1] = group.min + step;
}

int volume_mixer_to_slider(const mixer_group &group)
{
    if (group.volume[0] == 0 || group.volume[1] == 0)
        return 0;
    const double range = group.max - group.min;
    float larger = 0;
    for (const std::int32_t volume : group.volume) {
        const auto percent = static_cast<float>(volume / range * 100.0);
        if (percent > larger)
            larger = percent;
    }
    return static_cast<int>(larger);
}

namespace {

void write_group(mixer *handle)
{
    if (mixer_group_write(handle, &Audio.mixer_group) < 0)
        std::perror(MixerWriteFailed);
}

// Event_MixerReady: a new stream's group is open. Bring slider and group
// into line, apply the mute button and watch the group for outside changes.
void mixer_ready()
{
    const std::lock_guard lock(Audio.mixer_lock);
    mixer *handle = Audio.mixer_handle.load();
    if (handle == nullptr)
        return;  // the song was stopped before the event was handled
    if (mixer_group_read(handle, &Audio.mixer_group) < 0) {
        std::perror(MixerGroupReadFailed);
        return;
    }
    // An outside change (the remote control, another program) that came
    // while no group was ready moves the slider first, so the slider's
    // level imposed below is the latest, not one it overtook.
    const mixer_callbacks pending{nullptr, volume_update};
    if (mixer_read(handle, &pending) < 0)
        std::perror(MixerReadFailed);
    // Our own stream's group takes the user's level; any other group first
    // shows where it stands.
    if (strcasecmp(Audio.mixer_group.gid.name, Mixer_GroupName) != 0)
        ab_set_value(AbWidgets[ABN_volume], volume_mixer_to_slider(Audio.mixer_group));
    volume_slider_to_mixer(ab_get_value(AbWidgets[ABN_volume]), Audio.mixer_group);
    if (pressed_in(ABN_mute))
        Audio.mixer_group.mute = Mute_All;
    write_group(handle);

    const int fd = mixer_file_descriptor(handle);
    // One watch at most, on the current descriptor. The groups share one
    // descriptor for the whole run, so the watch set up for the first group
    // of a song stays valid across its format changes and is kept.
    if (MixerFd > 0 && MixerFd != fd)
        ab_remove_fd(MixerFd);
    if (fd < 0)
        std::perror(MixerDescriptorFailed);
    else if (fd != MixerFd)
        ab_add_fd(fd, volume_fd_callback, nullptr);
    MixerFd = fd;
}

} // namespace

int player_play_song(const char *path)
{
    id3_info info{};
    const int tagged = id3_parse_file(path, &info);
    char title[1024];
    if (tagged == 0 && (info.artist[0] != '\0' || info.title[0] != '\0')) {
        // Each field decoded on its own, as the playlist shows them.
        const std::string artist = ab_field_text({info.artist, strnlen(info.artist, sizeof info.artist)});
        const std::string song = ab_field_text({info.title, strnlen(info.title, sizeof info.title)});
        std::snprintf(title, sizeof title, TitleOfTaggedSong, artist.c_str(), song.c_str());
    } else {
        // The caller's string stays as it is: the name is a view into it.
        const std::string_view name = playlist_file_name(path);
        const int shown = static_cast<int>(std::min<std::size_t>(name.size(), sizeof title));
        std::snprintf(title, sizeof title, TitleOfFile, shown, name.data());
    }
    ab_set_title(AbWidgets[ABN_base], title);
    // Volume mixers list the stream by the song, as the title bar shows it.
    const std::string shown = ab_get_title(AbWidgets[ABN_base]);
    const std::string_view prefix = "Tonra - ";
    tonra_name_stream(&Audio, shown.starts_with(prefix) ? shown.substr(prefix.size()) : shown);

    if (MtData != nullptr) {
        madthread_stop(&MtData);
        stop_watching_mixer();
    }

    disable(ABN_play);
    enable(ABN_stop);
    ab_set_flags(AbWidgets[ABN_pause], ~(Flag_Blocked | Flag_Set), Flag_Blocked | Flag_Set);
    ab_set_flags(AbWidgets[ABN_pause], Flag_Selectable, Flag_Selectable);
    Paused = false;
    enable(ABN_previous);
    enable(ABN_next);

    clear_progress();
    SongPath = path;
    ++SongStarts;
    const int result = madthread_start(&MtData, path, BasePriority, &Audio, AudioStats, AbWidgets[ABN_base]);
    StartFailed = result != 0;
    if (result == -1)
        std::perror(SongStartFailed);
    return result;
}

void player_stop_song()
{
    if (MtData != nullptr) {
        madthread_stop(&MtData);
        stop_watching_mixer();
    }
    enable(ABN_play);
    disable(ABN_stop);
    disable(ABN_pause);
    ab_set_flags(AbWidgets[ABN_pause], ~Flag_Set, Flag_Set);
    Paused = false;
    disable(ABN_previous);
    disable(ABN_next);
    clear_progress();
    SilentEndings = 0;
    StartFailed = false;
}

int player_is_playing() { return MtData != nullptr ? 1 : 0; }

bool player_is_paused() { return MtData != nullptr && Paused; }

int player_play(Widget *, LinkInfo *, CallbackInfo *)
{
    SilentEndings = 0;
    next_song();
    return 0;
}

int player_next(Widget *, LinkInfo *, CallbackInfo *)
{
    SilentEndings = 0;
    move_on();
    return 0;
}

int player_previous(Widget *, LinkInfo *, CallbackInfo *)
{
    SilentEndings = 0;
    previous_song();
    return 0;
}

int player_stop(Widget *, LinkInfo *, CallbackInfo *)
{
    player_stop_song();
    return 0;
}

int player_pause(Widget *widget, LinkInfo *, CallbackInfo *)
{
    const bool pause = (ab_get_flags(widget) & Flag_Set) != 0;
    if (MtData == nullptr) {
        // After a failed start there is no decode thread to hold: the press
        // is undone and the controls stay as they are.
        ab_set_flags(widget, pause ? 0 : Flag_Set, Flag_Set);
        return 0;
    }
    Paused = pause;
    if (pause) {
        madthread_pause(MtData, 1);
        disable(ABN_previous);
        disable(ABN_next);
    } else {
        madthread_pause(MtData, 0);
        enable(ABN_previous);
        enable(ABN_next);
    }
    return 0;
}

int service_event(Widget *, LinkInfo *, CallbackInfo *cbinfo)
{
    const std::uint16_t code = cbinfo ? cbinfo->event_subtype : 0;
    // Over the type and without a default, so that a code nobody handles
    // is a warning; any other value matches no case and is ignored.
    switch (static_cast<ServiceCode>(code)) {
    case Event_SongEnded:
        // Only the end of the song that plays moves on. An end posted just
        // before a stop or before another song was started is late: acting
        // on it would restart the stopped song or skip the new one.
        if (MtData == nullptr || MtData->quit.load() == 0)
            break;
        // An output that opened is not enough: a broken file opens it at
        // its first frame header and may then give no sound at all.
        if (MtData->heard.load() && !MtData->unheard.load()) {
            SilentEndings = 0;
        } else {
            const int songs = tree_count(AbWidgets[ABN_playlist]);
            if (++SilentEndings >= (songs > 0 ? songs : 1)) {
                player_stop_song();
                break;
            }
        }
        move_on();
        break;
    case Event_PlayNext:
        SilentEndings = 0;
        move_on();
        break;
    case Event_Progress: {
        const std::int64_t total = AudioStats[AudioStats_Total];
        if (total == 0)
            break;
        const std::int64_t consumed = AudioStats[AudioStats_Consumed];
        ab_set_value(AbWidgets[ABN_song_progress], static_cast<int>(consumed * 100 / total));
        break;
    }
    case Event_Stop:
    case Event_SignalStop:
        player_stop_song();
        break;
    case Event_MixerReady:
        mixer_ready();
        break;
    case Event_Unused:
        break;
    }
    return 0;
}

int volume_change(Widget *widget, LinkInfo *, CallbackInfo *)
{
    const std::lock_guard lock(Audio.mixer_lock);
    mixer *handle = Audio.mixer_handle.load();
    if (handle == nullptr) {
        // No group is open: the setting waits for the next stream, which
        // then starts at it instead of playing its first buffer unmuted or
        // at full level until its group is set up.
        mixer_group pending{};
        pending.min = Mixer_Min;
        pending.max = Mixer_Max;
        volume_slider_to_mixer(ab_get_value(AbWidgets[ABN_volume]), pending);
        mixer_levels_write(&Audio.levels, pending.volume, pressed_in(ABN_mute) ? Mute_All : 0);
        return 0;
    }
    if (widget == AbWidgets[ABN_mute])
        Audio.mixer_group.mute = pressed_in(ABN_mute) ? Mute_All : 0;
    else
        volume_slider_to_mixer(ab_get_value(AbWidgets[ABN_volume]), Audio.mixer_group);
    write_group(handle);
    return 0;
}

int volume_realized(Widget *, LinkInfo *, CallbackInfo *) { return 0; }

int volume_fd_callback(int, void *, unsigned)
{
    const std::lock_guard lock(Audio.mixer_lock);
    mixer *handle = Audio.mixer_handle.load();
    if (handle == nullptr)
        return 0;
    const mixer_callbacks callbacks{nullptr, volume_update};
    if (mixer_read(handle, &callbacks) < 0)
        std::perror(MixerReadFailed);
    return 0;
}

// Runs inside volume_fd_callback, which holds the group's lock.
void volume_update(void *, int code, const mixer_gid *gid)
{
    mixer *handle = Audio.mixer_handle.load();
    if (handle == nullptr || mixer_group_read(handle, &Audio.mixer_group) < 0) {
        std::perror(MixerGroupReadFailed);
        return;
    }
    if (code != Mixer_GroupChanged)
        return;
    if (std::strcmp(gid->name, Audio.mixer_group.gid.name) != 0 || gid->index != Audio.mixer_group.gid.index)
        return;
    // The mute button is the user's: only the level follows the group.
    ab_set_value(AbWidgets[ABN_volume], volume_mixer_to_slider(Audio.mixer_group));
}

int player_seek_to(std::int64_t us)
{
    if (MtData == nullptr || MtData->quit.load() != 0 || madthread_seek_us(MtData, std::max<std::int64_t>(us, 0)) != 0)
        return -1;
    ++Seeks;
    return 0;
}

int player_seek_by(std::int64_t us)
{
    return player_seek_to(player_position_us() + us);
}

std::int64_t player_position_us() { return MtData != nullptr ? madthread_position_us(MtData) : 0; }
std::int64_t player_length_us() { return MtData != nullptr ? madthread_length_us(MtData) : -1; }
unsigned player_seeks() { return Seeks; }

audio_device *player_audio() { return &Audio; }
const std::string &player_song_path() { return SongPath; }
unsigned player_song_starts() { return SongStarts; }
int player_mixer_fd() { return MixerFd; }
std::atomic<std::int64_t> *player_stats() { return AudioStats; }
