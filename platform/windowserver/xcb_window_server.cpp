// The X11 back end behind the window server's door: each job lives in a
// file of its own (the screen grabber, the single-window grabber, the
// composition below a window, the mouse, the space watch) over one context
// that holds what outlives a picture; this class only hands the calls on.
#include "platform/windowserver/xcb_window_server.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <mutex>
#include <utility>

#include "common/globals.h"
#include "platform/windowserver/below_window.h"
#include "platform/windowserver/grab_context.h"
#include "platform/windowserver/pointer_input.h"
#include "platform/windowserver/screen_grab.h"
#include "platform/windowserver/space_watch.h"
#include "platform/windowserver/window_grab.h"
#include "platform/windowserver/window_list.h"

namespace {

class XcbWindowServer final : public WindowServer {
  public:
    bool open();
    ~XcbWindowServer() override;

    std::vector<ScreenInfo> screens() override;
    double mainScreenHeight() override { return firstScreen().height; }
    bool listWindows(std::vector<WindowInfo>& windows) override {
        listXWindows(g_.x, firstScreen(), windows);
        return true;
    }
    bool captureImage(const FrameRect& rect, CaptureFilter filter, uint32_t windowNumber,
                      CapturedImage& image) override {
        return captureImageInto(rect, filter, windowNumber, nullptr, 0, image);
    }
    bool captureImageInto(const FrameRect& rect, CaptureFilter filter, uint32_t windowNumber,
                          uint8_t* buffer, size_t capacity, CapturedImage& image) override {
        const xcb_window_t window[] = {windowNumber};
        return capture(rect, filter, window, buffer, capacity, image);
    }
    bool captureImageWithout(const FrameRect& rect, std::span<const uint32_t> leftOut,
                             uint8_t* buffer, size_t capacity, CapturedImage& image) override {
        return capture(rect, CaptureFilter::withoutWindows, leftOut, buffer, capacity, image);
    }
    uint8_t* allocateSharedPixels(size_t bytes) override;
    void sharedPixelsChanged(const uint8_t* data) override {
        std::lock_guard<std::mutex> hold(g_.lock);
        if (Block* block = blockAt(g_, data)) block->kept.reset();
    }
    double refreshRate() override { return firstScreenRefreshRate(g_.x); }
    FramePoint mouseLocation() override { return pointerLocation(g_.x, firstScreen()); }
    bool currentCursor(CursorImage& picture, FramePoint& hotSpot) override {
        return cursorPicture(g_.x, picture, hotSpot);
    }
    void postPointerMove(double x, double y) override {
        fakePointerMove(g_.x, firstScreen(), x, y);
    }
    void postPointerButton(int xButton, bool down) override {
        fakePointerButton(g_.x, xButton, down);
    }
    bool isOnActiveSpace(uint32_t window) override { return onActiveSpace(g_.x, window); }
    bool otherFullScreenActive(uint32_t ownWindow) override {
        return otherFullScreenIsActive(g_.x, ownWindow);
    }
    int watchSpaces() override { return startSpaceWatch(g_.x, spaces_); }
    uint32_t takeSpaceNotices() override { return takeSpaceChanges(g_.x, spaces_); }

  private:
    std::vector<RootRect> screenLayout();
    RootRect firstScreen() { return screenLayout().front(); }
    bool rootRectFor(const FrameRect& rect, RootRect& r);
    bool capture(const FrameRect& rect, CaptureFilter filter, std::span<const xcb_window_t> windows,
                 uint8_t* buffer, size_t capacity, CapturedImage& image);
    bool compose(Picture& picture, CaptureFilter filter, std::span<const xcb_window_t> windows);

    GrabContext g_;
    // Asked of RandR once and again only when it announces a change: every
    // capture needs the first screen's corner. Guarded by g_.lock, with the
    // root's size and the notices that say the screens changed.
    std::vector<RootRect> screens_;
    SpaceWatch spaces_;
};

bool XcbWindowServer::open() {
    if (!openXContext(g_.x)) return false;
    watchRoot(g_);
    if (!g_.x.hasRender)
        reportOnce(g_.x, "no render", "the X server has no Render extension; nothing is captured");
    return true;
}

XcbWindowServer::~XcbWindowServer() {
    releaseSpaceWatch(spaces_);
    releaseGrabContext(g_);
}

std::vector<RootRect> XcbWindowServer::screenLayout() {
    std::lock_guard<std::mutex> hold(g_.lock);
    readGrabEvents(g_);
    if (std::exchange(g_.screensChanged, false) || screens_.empty()) {
        refreshRootSize(g_.x);
        screens_ = screenRects(g_.x);
    }
    return screens_;
}

std::vector<ScreenInfo> XcbWindowServer::screens() {
    std::vector<RootRect> rects = screenLayout();
    const RootRect first = rects.front();
    std::vector<ScreenInfo> result;
    for (const RootRect& r : rects) {
        // Bottom-left space: y up from the first screen's lower edge.
        double bottom = static_cast<double>(first.y + first.height) - (r.y + r.height);
        result.push_back({{static_cast<double>(r.x - first.x), bottom, static_cast<double>(r.width),
                           static_cast<double>(r.height)}});
    }
    return result;
}

// The picture is limited to what the frame mailbox takes, and to what X11's
// 16-bit coordinates can reach.
bool XcbWindowServer::rootRectFor(const FrameRect& rect, RootRect& r) {
    const RootRect first = firstScreen();
    double x0 = std::floor(rect.x), y0 = std::floor(rect.y);
    double x1 = std::ceil(rect.x + rect.width), y1 = std::ceil(rect.y + rect.height);
    if (!(x1 > x0 && y1 > y0) || x1 - x0 > kMaxFrameWidth || y1 - y0 > kMaxFrameHeight ||
        std::fabs(x0 + first.x) > 32767 || std::fabs(y0 + first.y) > 32767) {
        char line[160];
        snprintf(line, sizeof line, "no picture of a %gx%g rectangle at %g,%g", rect.width,
                 rect.height, rect.x, rect.y);
        reportOnce(g_.x, "rectangle", line);
        return false;
    }
    r = {static_cast<int32_t>(x0) + first.x, static_cast<int32_t>(y0) + first.y,
         static_cast<int32_t>(x1 - x0), static_cast<int32_t>(y1 - y0)};
    return true;
}

// windows: the one window the filter is relative to, or those it leaves out.
bool XcbWindowServer::capture(const FrameRect& rect, CaptureFilter filter,
                              std::span<const xcb_window_t> windows, uint8_t* buffer,
                              size_t capacity, CapturedImage& image) {
    RootRect r;
    if (!g_.x.hasRender || !rootRectFor(rect, r)) return false;
    std::lock_guard<std::mutex> hold(g_.lock);
    // A picture of the screen wholly off it shows nothing.
    if (filter != CaptureFilter::includingWindow && isEmpty(intersect(r, rootBounds(g_.x))))
        return false;
    Block* block = buffer != nullptr && capacity >= bytesOf(r) ? blockAt(g_, buffer) : nullptr;
    Picture picture;
    if (!preparePicture(g_, r, block, picture)) return false;
    // The window tree is known from the server's notices. One that came in
    // the meantime was sent before the picture's last reply, so it is seen
    // here, and the picture is made again from the tree as it now stands.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!compose(picture, filter, windows) || !deliverPicture(g_, picture, image)) {
            if (block != nullptr) block->kept.reset();
            return false;
        }
        if (filter == CaptureFilter::allWindows || !(g_.treeChanged || g_.wallpaperChanged)) break;
    }
    return true;
}

// Each attempt starts from what the block held before it.
bool XcbWindowServer::compose(Picture& picture, CaptureFilter filter,
                              std::span<const xcb_window_t> windows) {
    const xcb_window_t window = windows.empty() ? 0 : windows.front();
    picture.previous.reset();
    if (picture.block != nullptr)
        picture.previous = std::exchange(picture.block->kept, std::nullopt);
    switch (filter) {
        case CaptureFilter::allWindows:
            composeScreenAround(g_, picture, {});
            return true;
        case CaptureFilter::includingWindow:
            return composeWindow(g_, picture, window);
        case CaptureFilter::onScreenBelowWindow:
            composeBelow(g_, picture, window);
            return true;
        case CaptureFilter::withoutWindows:
            composeWithout(g_, picture, windows);
            return true;
    }
    return false;
}

uint8_t* XcbWindowServer::allocateSharedPixels(size_t bytes) {
    std::lock_guard<std::mutex> hold(g_.lock);
    int fd = -1;
    uint8_t* data = allocateSharedBlock(bytes, fd);
    if (data == nullptr || fd < 0) return data;
    SharedSegment segment;
    if (g_.x.hasShm && attachBlock(g_.x, segment, data, bytes, fd)) {
        g_.blocks.push_back(Block{segment, Canvas{}, std::nullopt, 0});
    } else if (g_.x.hasShm) {
        reportOnce(
            g_.x, "shared block",
            "the X server cannot write into the capture buffer; pictures are copied into it");
    }
    close(fd);
    return data;
}

}  // namespace

std::unique_ptr<WindowServer> makeXcbWindowServer() {
    auto server = std::make_unique<XcbWindowServer>();
    if (!server->open()) return nullptr;
    return server;
}
