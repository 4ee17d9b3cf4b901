// What the X11 grabbers share: one context that lives as long as the
// connection (the window tree and wallpaper as last asked, the shared blocks
// and their kept pictures, the canvases), and one record per picture that
// says where this picture is drawn. Internal to platform/windowserver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/windowserver/canvas.h"
#include "platform/windowserver/desktop_background.h"
#include "platform/windowserver/screen_changes.h"
#include "platform/windowserver/shared_segment.h"
#include "platform/windowserver/x_helpers.h"

// The screen part of the last picture written into a caller's block, while
// nothing else has written there since: the next picture of the same area
// and holes copies only what the server counted as changed.
struct ScreenPicture {
    xcb_pixmap_t canvas = 0;
    RootRect area;
    RootRect root;
    std::vector<RootRect> holes;
    bool operator==(const ScreenPicture&) const = default;
};

// A block of allocateSharedPixels that the server holds: pictures for it are
// drawn in a canvas that lives in it. The caller keeps its last picture in
// one block while the next is made in another, so each block remembers its
// own screen picture and when the changes were taken for it.
struct Block {
    SharedSegment segment;
    Canvas canvas;
    std::optional<ScreenPicture> kept;
    uint64_t takenAt = 0;
};

struct GrabContext {
    XContext x;
    SharedSegment scratch;  // pictures not written into a caller's block
    DesktopBackground background;
    xcb_get_image_reply_t* lastReply = nullptr;  // pixels of the last picture sent over the socket
    std::deque<Block> blocks;                    // a deque: blocks stay where they are as more come
    Canvas ownCanvas;  // pictures for the scratch segment or the server's memory
    ScreenChanges changes;
    bool compositeTried = false;
    // The root's children and the published wallpaper as last asked: asked
    // again only after the server announced a change, so that a picture of
    // an unchanged desktop costs one round trip.
    std::vector<TopLevel> tree;
    std::vector<std::pair<xcb_window_t, xcb_window_t>> topOf;  // window, its top-level
    xcb_pixmap_t wallpaper = XCB_NONE;
    // What the server's notices changed: set by readGrabEvents, taken by
    // whoever asks again. Like every other member, and the root's size in x,
    // guarded by lock.
    bool treeChanged = true;
    bool wallpaperChanged = true;
    bool screensChanged = false;
    bool compositorChanged = true;
    // The context's one guard: one picture at a time (the canvases and
    // segments are per connection), and the screens asked again under it.
    std::mutex lock;
};

// The picture being made: its root area, the caller's block it goes into
// (null when none), the canvas it is drawn in, and the screen picture the
// block held before this one.
struct Picture {
    RootRect area{0, 0, 0, 0};
    Block* block = nullptr;
    Canvas* canvas = nullptr;
    std::optional<ScreenPicture> previous;
};

inline size_t bytesOf(RootRect r) {
    return static_cast<size_t>(r.width) * static_cast<size_t>(r.height) * 4;
}
// r in the coordinates of a picture whose corner is at origin.
inline RootRect shifted(RootRect r, RootRect origin) {
    return {r.x - origin.x, r.y - origin.y, r.width, r.height};
}

// Listens on the root for what the context keeps: windows that come, go,
// move or change, the wallpaper, the screens, the compositing manager.
void watchRoot(GrabContext& g);
// Reads the server's notices and marks what they changed. Under g.lock, as
// every function here.
void readGrabEvents(GrabContext& g);
// The root's children as they now stand (asked again only after a change).
const std::vector<TopLevel>& windowTree(GrabContext& g);
// The child of the root that holds window, 0 when there is none.
xcb_window_t topLevelHolding(GrabContext& g, xcb_window_t window);
// The pixmap published in _XROOTPMAP_ID, XCB_NONE when there is none.
xcb_pixmap_t publishedWallpaper(GrabContext& g);
// Asks once for the windows' own pixels (Composite), before the first
// picture that needs them.
void useComposite(GrabContext& g);

Block* blockAt(GrabContext& g, const uint8_t* data);
// Chooses where the picture of area is drawn: in block's canvas when the
// server may write there, else in the scratch segment, else in the server's
// memory. False when no canvas can be had.
bool preparePicture(GrabContext& g, RootRect area, Block* block, Picture& picture);
// Hands out the picture's pixels once the server has drawn them.
bool deliverPicture(GrabContext& g, const Picture& picture, CapturedImage& image);
void releaseGrabContext(GrabContext& g);
