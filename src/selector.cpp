#include "selector.h"

int add(Widget *, LinkInfo *, CallbackInfo *) { return 0; }
int del(Widget *, LinkInfo *, CallbackInfo *) { return 0; }
int done(Widget *, LinkInfo *, CallbackInfo *) { return 0; }
int destroyed(Widget *, LinkInfo *, CallbackInfo *) { return 0; }
int realized(Widget *, LinkInfo *, CallbackInfo *) { return 0; }
