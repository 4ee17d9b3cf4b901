// The composition of what lies below a window: the screen as it is
// wherever the left-out windows (the given one and those above it) do not
// reach; where they do, the desktop's background and the windows below, put
// together again. Internal to platform/windowserver.
#pragma once

#include "platform/windowserver/grab_context.h"

void composeBelow(GrabContext& g, Picture& picture, xcb_window_t window);
