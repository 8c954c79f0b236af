// SPDX-License-Identifier: GPL-3.0-or-later
// Driving the player from outside its window's widgets (the desktop's media
// keys and its remote-control bus): a press acts as a click on the matching
// button, with the same rules (a disabled button does nothing), and the
// state reads as the player knows it (playing, paused) and the buttons show
// it (what may be pressed). User-interface thread only.
//
// The application does the work: it hands the layer its RemoteControl at
// start-up (remote_control_install in src/tonra.cpp), and these functions
// run it. Before that they do nothing and the state reads as stopped with nothing to do.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class RemoteAction { Play, Pause, PlayPause, Stop, Next, Previous };

// Play resumes a held song through the pause toggle; PlayPause holds or
// resumes a song that plays and starts one otherwise.
void remote_press(RemoteAction action);

enum class RemoteStatus { Stopped, Paused, Playing };

struct RemoteState {
    RemoteStatus status = RemoteStatus::Stopped;
    bool can_play = false;  // Play or PlayPause would do something
    bool can_pause = false;
    bool can_next = false;
    bool can_previous = false;
    int repeat = 0;         // 0 none, 1 list, 2 song
    double volume = 0;      // the group's level as a fraction of its range
    unsigned song = 0;      // changes with every start of a song
    bool can_seek = false;  // the song that plays has a known length
    unsigned seeks = 0;     // changes with every jump within a song
    bool operator==(const RemoteState &) const = default;
};
[[nodiscard]] RemoteState remote_state();

// The volume as an outside change of the playing stream's group, so the
// slider follows by the path that handles outside changes; without a group,
// as moving the slider does. Clamped to 0..1; mute is left alone.
void remote_set_volume(double fraction);
// Presses the repeat toggle: 0 none, 1 list, 2 song.
void remote_set_repeat(int value);
// Adds a song at the top of the playlist and plays it, as a double click on
// it does; false when it cannot be read (nothing changes then).
[[nodiscard]] bool remote_open(const std::string &path);
// Jumps within the song that plays, to or by microseconds; false when
// nothing plays that can seek.
bool remote_seek_to(std::int64_t us);
bool remote_seek_by(std::int64_t us);
// Where the song is heard and its duration, in microseconds (the duration
// -1 when unknown).
[[nodiscard]] std::int64_t remote_position_us();
[[nodiscard]] std::int64_t remote_length_us();
// Adds the songs that can be read at the top of the playlist, the first
// given topmost, and plays that one; false when none could be read.
[[nodiscard]] bool remote_open_all(const std::vector<std::string> &paths);
// Un-iconifies and activates the main window.
void remote_raise();
// What "Exit" does: the main window goes and the program ends with 0.
void remote_quit();

// A song's tag as the remote control names it: raw bytes, as the tag holds
// them (the layer decodes them as the playlist shows them).
struct RemoteTags {
    std::string title;
    std::string artist;
};

// What the application does for each of the functions above, and what the
// bus's metadata needs of its songs.
struct RemoteControl {
    void (*press)(RemoteAction action) = nullptr;
    RemoteState (*state)() = nullptr;
    void (*set_volume)(double fraction) = nullptr;
    void (*set_repeat)(int value) = nullptr;
    bool (*open)(const std::string &path) = nullptr;
    bool (*open_all)(const std::vector<std::string> &paths) = nullptr;
    void (*raise)() = nullptr;
    void (*quit)() = nullptr;
    // Changes with every start of a song; the path of the song last started.
    unsigned (*song_starts)() = nullptr;
    const std::string &(*song_path)() = nullptr;
    // Whether the file is a song the player takes.
    bool (*song_file)(const char *path) = nullptr;
    // The song's tag; false when it has none that reads.
    bool (*tags)(const std::string &path, RemoteTags &tags) = nullptr;
    // The name a song without a title is known by.
    std::string (*file_name)(const std::string &path) = nullptr;
    // Jumps, 0 when done; where the song is heard and its length (-1 unknown).
    int (*seek_to)(std::int64_t us) = nullptr;
    int (*seek_by)(std::int64_t us) = nullptr;
    std::int64_t (*position_us)() = nullptr;
    std::int64_t (*length_us)() = nullptr;
};
void remote_install(const RemoteControl &control);
// What was installed (every member null before).
[[nodiscard]] const RemoteControl &remote_control();
