// What the screen shows where no window is: the wallpaper that wallpaper
// setters publish in _XROOTPMAP_ID, else the root window's own background
// (its pixel or pixmap). X11 has no request that reads the root's
// background, so a window of ours whose background is its parent's is kept
// off screen by Composite, and its pixels are read instead.
//
// Only one client may keep a window off screen itself, and a compositing
// manager does so with every child of the root: the stand-in is therefore
// not a child of the root but lies inside a holder of ours, one pixel off
// the screen, that any compositor may take over. While a compositor runs
// the server paints the root's background nowhere (the compositor paints
// the desktop itself), so the stand-in keeps what it showed before, and is
// painted again as soon as the compositor quits.
// Internal to platform/windowserver.
#pragma once

#include <chrono>

#include "platform/windowserver/canvas.h"

struct DesktopBackground {
    xcb_window_t holder = 0;   // 0 before the first use
    xcb_window_t standIn = 0;  // inside the holder, the root's size, at the root's corner
    bool unavailable = false;  // the server refused the stand-in
    bool compositorRuns = false;
    bool shown = false;  // the stand-in was painted while no compositor ran
    RootRect size{0, 0, 0, 0};
    std::chrono::steady_clock::time_point painted;
};

// Asks to hear when a compositing manager takes the screen or leaves it
// (the owner of its selection _NET_WM_CM_S<screen> changes).
void watchCompositor(XContext& context);
bool announcesCompositorChange(const XContext& context, const xcb_generic_event_t* event);

// A source whose pixels are the desktop's background in root coordinates;
// no picture (then the caller paints black) when neither is to be had.
// compositorChanged: a change was announced since the last call.
DrawSource backgroundSource(XContext& context, DesktopBackground& background,
                            xcb_pixmap_t wallpaper, bool compositorChanged);
void releaseDesktopBackground(XContext& context, DesktopBackground& background);
