// What the screen shows where no window is: the wallpaper that wallpaper
// setters publish in _XROOTPMAP_ID, else the root window's own background
// (its pixel or pixmap). X11 has no request that reads the root's
// background, so a window of ours whose background is its parent's is kept
// off screen by Composite, and its pixels are read instead.
// Internal to platform/windowserver.
#pragma once

#include <chrono>

#include "platform/windowserver/canvas.h"

struct DesktopBackground {
    xcb_window_t standIn = 0;  // 0 before the first use
    bool unavailable = false;  // another program keeps the windows off screen itself
    RootRect size{0, 0, 0, 0};
    std::chrono::steady_clock::time_point painted;
};

// A source whose pixels are the desktop's background in root coordinates;
// no picture (then the caller paints black) when neither is to be had.
DrawSource backgroundSource(XContext& context, DesktopBackground& background,
                            xcb_pixmap_t wallpaper);
void releaseDesktopBackground(XContext& context, DesktopBackground& background);
