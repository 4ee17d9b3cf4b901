// The mouse: where it is, the cursor's picture (XFixes), and synthetic
// moves and clicks (XTest). Positions are given against the first screen's
// corner. Internal to platform/windowserver.
#pragma once

#include "platform/windowserver/x_helpers.h"

// Bottom-left coordinates; (0, 0) when the server does not say.
FramePoint pointerLocation(XContext& x, RootRect firstScreen);
bool cursorPicture(XContext& x, CursorImage& picture, FramePoint& hotSpot);
// A move to a top-left global position.
void fakePointerMove(XContext& x, RootRect firstScreen, double toX, double toY);
void fakePointerButton(XContext& x, int xButton, bool down);
