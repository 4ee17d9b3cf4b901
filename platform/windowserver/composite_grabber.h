// Window images through Composite: every top-level window keeps its own
// off-screen pixels, so a window can be read whole even where others cover
// it. Internal to platform/windowserver.
#pragma once

#include <cstdint>

#include "platform/windowserver/x_helpers.h"

// Asks the server to keep every top-level window's pixels off screen (it
// still draws the screen itself). Once per connection; false without
// Composite, and windows are then read from the screen.
bool redirectTopLevels(XContext& context);

// Copies the part of area that lies inside the top-level window (outer, in
// root coordinates) into the picture dst, whose first pixel is at the root
// position (origin.x, origin.y), rows stride bytes apart, clipped to
// origin's size. False when the window's pixels cannot be read.
bool copyWindowArea(XContext& context, xcb_window_t topLevel, RootRect outer, RootRect area,
                    uint8_t* dst, int32_t stride, RootRect origin);
