// SPDX-License-Identifier: GPL-3.0-or-later
// The remote control's functions run what the application installed.
// User-interface thread only.
#include "platform/desktop/remote.h"

namespace {
RemoteControl Control;
} // namespace

void remote_install(const RemoteControl &control) { Control = control; }

const RemoteControl &remote_control() { return Control; }

void remote_press(RemoteAction action)
{
    if (Control.press)
        Control.press(action);
}

RemoteState remote_state() { return Control.state ? Control.state() : RemoteState{}; }

void remote_set_volume(double fraction)
{
    if (Control.set_volume)
        Control.set_volume(fraction);
}

void remote_set_repeat(int value)
{
    if (Control.set_repeat)
        Control.set_repeat(value);
}

bool remote_open(const std::string &path) { return Control.open && Control.open(path); }

bool remote_open_all(const std::vector<std::string> &paths) { return Control.open_all && Control.open_all(paths); }

void remote_raise()
{
    if (Control.raise)
        Control.raise();
}

void remote_quit()
{
    if (Control.quit)
        Control.quit();
}

bool remote_seek_to(std::int64_t us) { return Control.seek_to && Control.seek_to(us) == 0; }

bool remote_seek_by(std::int64_t us) { return Control.seek_by && Control.seek_by(us) == 0; }

std::int64_t remote_position_us() { return Control.position_us ? Control.position_us() : 0; }

std::int64_t remote_length_us() { return Control.length_us ? Control.length_us() : -1; }
