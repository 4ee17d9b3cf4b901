// The composition of what lies below a window: the screen as it is
// wherever the left-out windows (the given one and those above it) do not
// reach; where they do, the desktop's background and the windows below, put
// together again. The same for the screen without some windows wherever
// they stand: only where they show is the picture put together again.
// Internal to platform/windowserver.
#pragma once

#include <span>

#include "platform/windowserver/grab_context.h"

void composeBelow(GrabContext& g, Picture& picture, xcb_window_t window);
// The screen as it shows, but where a window of leftOut shows (not where
// others cover it), what lies below it; 0 entries are skipped.
void composeWithout(GrabContext& g, Picture& picture, std::span<const xcb_window_t> leftOut);
