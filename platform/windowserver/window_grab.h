// The single-window grabber: one window's own pixels, kept by Composite
// even where other windows cover it. Internal to platform/windowserver.
#pragma once

#include "platform/windowserver/grab_context.h"

// The inside of window in the picture's area, transparent around it. False
// when the window is unknown or not on screen.
bool composeWindow(GrabContext& g, Picture& picture, xcb_window_t window);
