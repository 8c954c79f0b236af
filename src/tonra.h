// Start-up, the service events, the signal handler and the about box; the
// opening and closing of the PCM output and its mixer group.
//
// tonra_init runs once on the main thread before any other thread exists;
// BasePriority, CmdArgc and CmdArgv are read-only afterwards.
// tonra_send_event may be called from any thread and from a signal handler.
#pragma once

#include "platform/widget.h"

extern int BasePriority;
extern int CmdArgc;
extern char **CmdArgv;

int tonra_init(int argc, char *argv[]);
int tonra_send_event(Widget *window, int code);
void signal_handler(int signo);
int about_realized(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);
