// Pictures put together on the X server with Render: the screen, windows'
// own pixels (kept by Composite even where other windows cover them) and
// the desktop's background are drawn into a 32-bit canvas, which may live
// in memory this process shares, so that no pixel crosses the socket.
// Internal to platform/windowserver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/windowserver/x_helpers.h"

struct Canvas {
    xcb_pixmap_t pixmap = 0;
    xcb_render_picture_t picture = 0;
    int32_t width = 0;
    int32_t height = 0;
    uint32_t segment = 0;   // the shared segment holding its pixels; 0: the server's memory
    xcb_gcontext_t gc = 0;  // for plain copies of windows of the canvas's depth
    uint8_t depth = 0;
};
// Makes the canvas width x height, in segment (0 for the server's memory);
// a canvas of that size and place is kept as it is.
bool prepareCanvas(XContext& context, Canvas& canvas, int32_t width, int32_t height,
                   uint32_t segment);
void releaseCanvas(XContext& context, Canvas& canvas);

// Something to draw from: a picture, with the pixmap it was made from.
struct DrawSource {
    xcb_render_picture_t picture = 0;
    xcb_pixmap_t pixmap = 0;  // freed with the source when not 0
    bool translucent = false;
    // A window's own pixels that may be copied as they are (same depth as
    // the canvas, wholly inside): the server's plain copy is the fastest.
    xcb_drawable_t copyable = 0;
};
// The screen as it shows, windows included.
DrawSource screenSource(XContext& context);
// A top-level window's own pixels (the window itself without Composite).
DrawSource windowSource(XContext& context, const TopLevel& window);
// A pixmap of another client (the wallpaper), of the root's depth.
DrawSource pixmapSource(XContext& context, xcb_pixmap_t pixmap);
void releaseSource(XContext& context, DrawSource& source);

// Draws the part of source whose corner is at (sourceX, sourceY) into the
// canvas area to; translucent sources are laid over what is there, others
// replace it. Outside the source the canvas becomes transparent black, or
// stays as it was for a copyable source (whose parts are always inside).
void drawInto(XContext& context, const Canvas& canvas, const DrawSource& source, int32_t sourceX,
              int32_t sourceY, RootRect to);
// Fills the canvas area to with black, opaque (alpha 0xFFFF) or transparent
// (alpha 0).
void fill(XContext& context, const Canvas& canvas, RootRect to, uint16_t alpha);

// Whether pictures of this canvas hold the screen's own 10-bit colours and
// are brought down to 8 bits once drawn.
inline bool keepsWideColours(const Canvas& canvas) { return canvas.depth == 30; }
// Turns count pixels of the screen's 30-bit format into B, G, R bytes (8
// bits each, the top ones) and a fourth byte of 0, in place.
void narrowToEightBits(const XContext& context, uint8_t* pixels, size_t count);

// Asks the server to keep every top-level window's pixels off screen (it
// still draws the screen itself). Once per connection; false without
// Composite, and windows are then read from the screen.
bool redirectTopLevels(XContext& context);
