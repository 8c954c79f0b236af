// Player control: starts, pauses and stops the decode engine for one song at
// a time, keeps the transport buttons, progress bar and window title in step,
// carries out the service events, and ties volume and mute to the mixer group
// of the playing stream. Everything here runs on the user-interface thread.
#pragma once

#include "platform/widget.h"

int player_play_song(const char *path);
void player_stop_song();
[[nodiscard]] int player_is_playing();

int player_play(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);
int player_next(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);
int player_previous(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);
int player_stop(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);
int player_pause(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);
int service_event(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);

int volume_change(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);
int volume_realized(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);
