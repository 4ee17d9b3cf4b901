// A small compositor over 32-bit B, G, R, A pictures: draws a premultiplied
// picture over a surface, scaled by nearest neighbour, clipped to the
// surface, with the source-over rule. The surface keeps its layout.
#pragma once

#include <cstdint>

#include "platform/windowserver/window_server.h"

struct BgraSurface {
    uint8_t* pixels;
    int32_t width;
    int32_t height;
    int32_t bytesPerRow;
};

// Draws picture to fill the rectangle at (x, y) of width x height surface
// pixels, top-left coordinates; what falls outside the surface is left
// out, and an empty picture or rectangle draws nothing.
void drawPictureOver(BgraSurface surface, const CursorImage& picture, int64_t x, int64_t y,
                     int64_t width, int64_t height);
