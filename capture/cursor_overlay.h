// Draws the arrow cursor into a captured screen image at the mouse position.
#pragma once

#include <cstdint>

#include "capture/compositor.h"
#include "platform/windowserver/window_server.h"

// The arrow picture and where in it the mouse position lies; set once by
// loadCursorPicture at start-up, before the first capture.
struct OverlayPicture {
    double width = 0.0;  // points
    double height = 0.0;
    CursorImage image;  // one pixel per point
};
extern OverlayPicture overlay;
// The picture that is drawn; null while no picture is loaded.
extern const CursorImage* thisPointer;
// From the picture's top-left corner, x right, y down, in points.
extern FramePoint hotSpot;

// Loads "mac-osx-arrow-cursor.png" (built into the program) into overlay,
// thisPointer and hotSpot. Returns 0, or -1 with a diagnostic line when the
// picture cannot be decoded (the overlay then draws nothing).
int loadCursorPicture();

// Where the cursor picture goes in the image's bottom-up coordinates.
struct CursorPlacement {
    double x, y;
    double width, height;
};
// The picture's rectangle for a mouse position p (already relative to the
// image, in its pixels), scale s, picture size and hot spot.
CursorPlacement cursorPlacement(FramePoint p, int32_t scale, double pictureWidth,
                                double pictureHeight, FramePoint hot);

// Draws the arrow into surface, a captured picture in place, at the mouse
// position (four times larger with bigMouse); captureOrigin is the captured
// rectangle's lower-left corner in bottom-left coordinates.
void drawMouseCursor(BgraSurface surface, FramePoint captureOrigin);
// A new image with the capture's size and layout and the arrow drawn at the
// mouse position (four times larger with bigMouse). captureOrigin is the
// captured rectangle's lower-left corner in bottom-left coordinates, so that
// the arrow lands right on every screen. False when no image can be made.
bool appendMouseCursor(const CapturedImage& capture, FramePoint captureOrigin,
                       CapturedImage& result);
// The same with the cursor the system shows now instead of the arrow.
bool appendMouseCursor2(const CapturedImage& capture, FramePoint captureOrigin,
                        CapturedImage& result);
