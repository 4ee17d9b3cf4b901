#include "platform/windowserver/xcb_window_server.h"

#include <xcb/xfixes.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "common/globals.h"
#include "platform/windowserver/composite_grabber.h"
#include "platform/windowserver/shm_grabber.h"
#include "platform/windowserver/window_list.h"
#include "platform/windowserver/x_helpers.h"

namespace {

int16_t toInt16(double v) {
    return static_cast<int16_t>(std::clamp(std::floor(v), -32768.0, 32767.0));
}

class XcbWindowServer final : public WindowServer {
  public:
    explicit XcbWindowServer(const XContext& context) : x_(context) { watchScreenChanges(x_); }
    ~XcbWindowServer() override {
        releaseShmGrabber(x_, shm_);
        closeXContext(x_);
    }

    std::vector<ScreenInfo> screens() override;
    double mainScreenHeight() override;
    bool listWindows(std::vector<WindowInfo>& windows) override;
    bool captureImage(const FrameRect& rect, CaptureFilter filter, uint32_t windowNumber,
                      CapturedImage& image) override;
    FramePoint mouseLocation() override;
    bool currentCursor(CursorImage& picture, FramePoint& hotSpot) override;
    void postPointerMove(double x, double y) override;
    void postPointerButton(int xButton, bool down) override;

  private:
    std::vector<RootRect> screenLayout();
    RootRect firstScreen() { return screenLayout().front(); }
    bool rootRectFor(const FrameRect& rect, RootRect& r);
    uint8_t* composeBuffer(RootRect r);
    bool captureAll(RootRect r, CapturedImage& image);
    bool captureWindow(RootRect r, xcb_window_t window, CapturedImage& image);
    bool captureBelow(RootRect r, xcb_window_t window, CapturedImage& image);
    void redrawBelow(const std::vector<TopLevel>& stack, size_t cut, RootRect hole, RootRect r);
    void useComposite();

    XContext x_;
    ShmGrabber shm_;
    std::vector<uint8_t> compose_;  // grows to the largest picture composed, then stays
    bool compositeTried_ = false;
    std::mutex lock_;  // the grabbers' memory is one per connection
    // Asked of RandR once and again only when it announces a change: every
    // capture needs the first screen's corner.
    std::vector<RootRect> screens_;
    std::mutex screensLock_;
};

std::vector<RootRect> XcbWindowServer::screenLayout() {
    std::lock_guard<std::mutex> hold(screensLock_);
    if (screensChanged(x_) || screens_.empty()) screens_ = screenRects(x_);
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

double XcbWindowServer::mainScreenHeight() { return firstScreen().height; }

bool XcbWindowServer::listWindows(std::vector<WindowInfo>& windows) {
    listXWindows(x_, firstScreen(), windows);
    return true;
}

bool XcbWindowServer::rootRectFor(const FrameRect& rect, RootRect& r) {
    const RootRect first = firstScreen();
    double x0 = std::floor(rect.x), y0 = std::floor(rect.y);
    double x1 = std::ceil(rect.x + rect.width), y1 = std::ceil(rect.y + rect.height);
    double pixels = (x1 - x0) * (y1 - y0);
    if (!(x1 > x0 && y1 > y0) || x1 - x0 > 32767 || y1 - y0 > 32767 ||
        pixels * 4 > static_cast<double>(kMaxFrameBytes) || std::fabs(x0) > 32767 ||
        std::fabs(y0) > 32767) {
        printf("window server: no image of a %gx%g rectangle at %g,%g\n", rect.width, rect.height,
               rect.x, rect.y);
        return false;
    }
    r = {static_cast<int32_t>(x0) + first.x, static_cast<int32_t>(y0) + first.y,
         static_cast<int32_t>(x1 - x0), static_cast<int32_t>(y1 - y0)};
    return true;
}

uint8_t* XcbWindowServer::composeBuffer(RootRect r) {
    size_t bytes = static_cast<size_t>(r.width) * static_cast<size_t>(r.height) * 4;
    if (compose_.size() < bytes) compose_.resize(bytes);
    memset(compose_.data(), 0, bytes);
    return compose_.data();
}

CapturedImage borrowedImage(const uint8_t* pixels, RootRect r) {
    CapturedImage image;
    image.pixels = std::shared_ptr<const uint8_t>(pixels, [](const uint8_t*) {});
    image.width = r.width;
    image.height = r.height;
    image.bytesPerRow = r.width * 4;
    image.byteLength = static_cast<size_t>(image.bytesPerRow) * static_cast<size_t>(r.height);
    return image;
}

bool XcbWindowServer::captureAll(RootRect r, CapturedImage& image) {
    RootRect visible = intersect(r, rootBounds(x_));
    if (isEmpty(visible)) return false;
    uint8_t* grabbed = grabRootRect(x_, shm_, visible);
    if (grabbed == nullptr) return false;
    if (visible.width == r.width && visible.height == r.height) {
        image = borrowedImage(grabbed, r);
        return true;
    }
    // Part of the rectangle is off the screen: it stays transparent.
    uint8_t* dst = composeBuffer(r);
    const size_t rowBytes = static_cast<size_t>(visible.width) * 4;
    for (int32_t row = 0; row < visible.height; ++row) {
        memcpy(dst + (static_cast<size_t>(visible.y - r.y + row) * r.width + (visible.x - r.x)) * 4,
               grabbed + rowBytes * row, rowBytes);
    }
    image = borrowedImage(dst, r);
    return true;
}

void XcbWindowServer::useComposite() {
    if (compositeTried_) return;
    compositeTried_ = true;
    if (!redirectTopLevels(x_)) x_.hasComposite = false;
}

bool XcbWindowServer::captureWindow(RootRect r, xcb_window_t window, CapturedImage& image) {
    useComposite();
    xcb_window_t top = topLevelOf(x_, window);
    std::optional<RootRect> inside = windowRootRect(x_, window);
    if (top == 0 || !inside) return false;
    for (const TopLevel& t : topLevels(x_)) {
        if (t.id != top) continue;
        if (!t.viewable) return false;
        uint8_t* dst = composeBuffer(r);
        if (!copyWindowArea(x_, top, t.outer, *inside, dst, r.width * 4, r)) return false;
        image = borrowedImage(dst, r);
        return true;
    }
    return false;
}

// Paints the hole again from the windows below stack[cut], bottom to top,
// over black: what the screen would show there without stack[cut] and the
// windows above it.
void XcbWindowServer::redrawBelow(const std::vector<TopLevel>& stack, size_t cut, RootRect hole,
                                  RootRect r) {
    uint8_t* dst = compose_.data();
    for (int32_t row = 0; row < hole.height; ++row) {
        memset(dst + (static_cast<size_t>(hole.y - r.y + row) * r.width + (hole.x - r.x)) * 4, 0,
               static_cast<size_t>(hole.width) * 4);
    }
    for (size_t i = 0; i < cut; ++i) {
        const TopLevel& t = stack[i];
        if (t.viewable && t.inputOutput)
            copyWindowArea(x_, t.id, t.outer, hole, dst, r.width * 4, r);
    }
}

bool XcbWindowServer::captureBelow(RootRect r, xcb_window_t window, CapturedImage& image) {
    useComposite();
    xcb_window_t top = topLevelOf(x_, window);
    std::vector<TopLevel> stack = topLevels(x_);
    auto cut =
        std::find_if(stack.begin(), stack.end(), [top](const TopLevel& t) { return t.id == top; });
    std::vector<RootRect> holes;
    for (auto it = cut; it != stack.end(); ++it) {
        RootRect hole = intersect(it->outer, r);
        if (it->viewable && it->inputOutput && !isEmpty(hole)) holes.push_back(hole);
    }
    // Nothing to leave out where the picture is: the screen as it is.
    if (holes.empty()) return captureAll(r, image);
    if (!captureAll(r, image)) return false;
    if (image.pixels.get() != compose_.data()) {
        memcpy(composeBuffer(r), image.pixels.get(), image.byteLength);
    }
    for (const RootRect& hole : holes) {
        redrawBelow(stack, static_cast<size_t>(cut - stack.begin()), hole, r);
    }
    image = borrowedImage(compose_.data(), r);
    return true;
}

bool XcbWindowServer::captureImage(const FrameRect& rect, CaptureFilter filter,
                                   uint32_t windowNumber, CapturedImage& image) {
    std::lock_guard<std::mutex> hold(lock_);
    RootRect r;
    if (!rootRectFor(rect, r)) return false;
    switch (filter) {
        case CaptureFilter::allWindows:
            return captureAll(r, image);
        case CaptureFilter::includingWindow:
            return captureWindow(r, windowNumber, image);
        case CaptureFilter::onScreenBelowWindow:
            return captureBelow(r, windowNumber, image);
    }
    return false;
}

FramePoint XcbWindowServer::mouseLocation() {
    xcb_connection_t* c = x_.connection;
    xcb_query_pointer_reply_t* p =
        xcb_query_pointer_reply(c, xcb_query_pointer(c, x_.root), nullptr);
    if (p == nullptr) return {};
    const RootRect first = firstScreen();
    FramePoint location{static_cast<double>(p->root_x - first.x),
                        static_cast<double>(first.y + first.height - p->root_y)};
    free(p);
    return location;
}

bool XcbWindowServer::currentCursor(CursorImage& picture, FramePoint& hotSpot) {
    if (!x_.hasXFixes) return false;
    xcb_connection_t* c = x_.connection;
    xcb_xfixes_get_cursor_image_reply_t* reply =
        xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr);
    if (reply == nullptr) return false;
    size_t count = static_cast<size_t>(reply->width) * reply->height;
    bool good =
        reply->width > 0 && reply->height > 0 &&
        static_cast<size_t>(xcb_xfixes_get_cursor_image_cursor_image_length(reply)) >= count;
    if (good) {
        // Premultiplied 32-bit ARGB values: B, G, R, A bytes on this machine.
        const uint32_t* argb = xcb_xfixes_get_cursor_image_cursor_image(reply);
        picture.width = reply->width;
        picture.height = reply->height;
        picture.pixels.resize(count * 4);
        memcpy(picture.pixels.data(), argb, count * 4);
        hotSpot = {static_cast<double>(reply->xhot), static_cast<double>(reply->yhot)};
    }
    free(reply);
    return good;
}

void XcbWindowServer::postPointerMove(double x, double y) {
    if (!x_.hasXTest) return;
    const RootRect first = firstScreen();
    xcb_test_fake_input(x_.connection, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, x_.root,
                        toInt16(x + first.x), toInt16(y + first.y), 0);
    xcb_flush(x_.connection);
}

void XcbWindowServer::postPointerButton(int xButton, bool down) {
    if (!x_.hasXTest) return;
    xcb_test_fake_input(x_.connection, down ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE,
                        static_cast<uint8_t>(xButton), XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_flush(x_.connection);
}

}  // namespace

std::unique_ptr<WindowServer> makeXcbWindowServer() {
    XContext context;
    if (!openXContext(context)) return nullptr;
    return std::make_unique<XcbWindowServer>(context);
}
