// The add-to-playlist dialog and its background search of directory trees.
#pragma once

#include <regex.h>

#include "platform/widget.h"

int add(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);
int del(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);
int done(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);
int destroyed(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);
int realized(Widget *widget, LinkInfo *apinfo, CallbackInfo *cbinfo);
