#include "player.h"

int player_play_song(const char *) { return -1; }
void player_stop_song() {}
int player_is_playing() { return 0; }

int player_play(Widget *, LinkInfo *, CallbackInfo *) { return 0; }
int player_next(Widget *, LinkInfo *, CallbackInfo *) { return 0; }
int player_previous(Widget *, LinkInfo *, CallbackInfo *) { return 0; }
int player_stop(Widget *, LinkInfo *, CallbackInfo *) { return 0; }
int player_pause(Widget *, LinkInfo *, CallbackInfo *) { return 0; }
int service_event(Widget *, LinkInfo *, CallbackInfo *) { return 0; }

int volume_change(Widget *, LinkInfo *, CallbackInfo *) { return 0; }
int volume_realized(Widget *, LinkInfo *, CallbackInfo *) { return 0; }
