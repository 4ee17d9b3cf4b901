#include "platform/windowserver/xcb_window_server.h"

#include <unistd.h>
#include <xcb/xfixes.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

#include "common/globals.h"
#include "platform/windowserver/canvas.h"
#include "platform/windowserver/desktop_background.h"
#include "platform/windowserver/screen_changes.h"
#include "platform/windowserver/shared_segment.h"
#include "platform/windowserver/window_list.h"
#include "platform/windowserver/x_helpers.h"

namespace {

constexpr uint32_t kAllDesktops = 0xFFFFFFFF;

int16_t toInt16(double v) {
    return static_cast<int16_t>(std::clamp(std::floor(v), -32768.0, 32767.0));
}

size_t bytesOf(RootRect r) {
    return static_cast<size_t>(r.width) * static_cast<size_t>(r.height) * 4;
}

CapturedImage borrowedImage(const uint8_t* pixels, RootRect r) {
    CapturedImage image;
    image.pixels = std::shared_ptr<const uint8_t>(pixels, [](const uint8_t*) {});
    image.width = r.width;
    image.height = r.height;
    image.bytesPerRow = r.width * 4;
    image.byteLength = bytesOf(r);
    return image;
}

RootRect shifted(RootRect r, RootRect origin) {
    return {r.x - origin.x, r.y - origin.y, r.width, r.height};
}

// Holes are kept apart, so that no part of the picture is drawn twice where
// left-out windows overlap.
void addHole(RootRect hole, std::vector<RootRect>& holes) {
    std::vector<RootRect> fresh{hole}, rest;
    for (const RootRect& known : holes) {
        rest.clear();
        for (const RootRect& piece : fresh) subtract(piece, known, rest);
        fresh.swap(rest);
    }
    holes.insert(holes.end(), fresh.begin(), fresh.end());
}

class XcbWindowServer final : public WindowServer {
  public:
    bool open();
    ~XcbWindowServer() override;

    std::vector<ScreenInfo> screens() override;
    double mainScreenHeight() override;
    bool listWindows(std::vector<WindowInfo>& windows) override;
    bool captureImage(const FrameRect& rect, CaptureFilter filter, uint32_t windowNumber,
                      CapturedImage& image) override {
        return captureImageInto(rect, filter, windowNumber, nullptr, 0, image);
    }
    bool captureImageInto(const FrameRect& rect, CaptureFilter filter, uint32_t windowNumber,
                          uint8_t* buffer, size_t capacity, CapturedImage& image) override;
    uint8_t* allocateSharedPixels(size_t bytes) override;
    void sharedPixelsChanged(const uint8_t* block) override;
    double refreshRate() override { return firstScreenRefreshRate(x_); }
    FramePoint mouseLocation() override;
    bool currentCursor(CursorImage& picture, FramePoint& hotSpot) override;
    void postPointerMove(double x, double y) override;
    void postPointerButton(int xButton, bool down) override;
    bool isOnActiveSpace(uint32_t window) override;
    bool otherFullScreenActive(uint32_t ownWindow) override;
    int watchSpaces() override;
    uint32_t takeSpaceNotices() override;

  private:
    std::vector<RootRect> screenLayout();
    RootRect firstScreen() { return screenLayout().front(); }
    void readEvents();
    bool rootRectFor(const FrameRect& rect, RootRect& r);
    struct Block;
    Block* blockAt(const uint8_t* data);
    bool prepare(RootRect r, Block* block);
    bool compose(RootRect r, CaptureFilter filter, xcb_window_t window);
    void composeScreen(RootRect r);
    void composeScreenAround(RootRect r, const std::vector<RootRect>& holes);
    void drawScreen(const DrawSource& screen, RootRect r, RootRect piece);
    bool copyOnlyChanges(RootRect r, const std::vector<RootRect>& holes);
    bool composeWindow(RootRect r, xcb_window_t window);
    void composeBelow(RootRect r, xcb_window_t window);
    const std::vector<TopLevel>& windowTree();
    xcb_window_t topLevelHolding(xcb_window_t window);
    xcb_pixmap_t wallpaper();
    void composeHole(RootRect r, RootRect hole, const std::vector<TopLevel>& layers,
                     const DrawSource& background);
    void layHole(RootRect r, RootRect hole, const std::vector<TopLevel>& layers,
                 const DrawSource& background);
    void drawBackground(RootRect r, RootRect area, const DrawSource& background);
    bool deliver(RootRect r, CapturedImage& image);
    void useComposite();

    XContext x_;
    SharedSegment scratch_;  // pictures not written into a caller's block
    DesktopBackground background_;
    xcb_get_image_reply_t* lastReply_ = nullptr;  // pixels of the last picture sent over the socket
    // The screen part of the last picture written into the caller's block,
    // while nothing else has written there since: the next picture of the
    // same area and holes copies only what the server counted as changed.
    struct ScreenPicture {
        xcb_pixmap_t canvas = 0;
        RootRect area;
        RootRect root;
        std::vector<RootRect> holes;
        bool operator==(const ScreenPicture&) const = default;
    };
    // A block of allocateSharedPixels that the server holds: pictures for it
    // are drawn in a canvas that lives in it. The caller keeps its last
    // picture in one block while the next is made in another, so each block
    // remembers its own screen picture and when the changes were taken for it.
    struct Block {
        SharedSegment segment;
        Canvas canvas;
        std::optional<ScreenPicture> kept;
        uint64_t takenAt = 0;
    };
    std::deque<Block> blocks_;  // a deque: blocks stay where they are as more come
    Block* block_ = nullptr;    // where the picture being made goes, if it is a block
    std::optional<ScreenPicture> previousScreen_;  // what block_ held, while a picture is made
    Canvas ownCanvas_;  // pictures for the scratch segment or the server's memory
    Canvas* canvas_ = &ownCanvas_;
    ScreenChanges changes_;
    bool compositeTried_ = false;
    // The root's children and the published wallpaper as last asked: asked
    // again only after the server announced a change, so that a picture of
    // an unchanged desktop costs one round trip.
    std::vector<TopLevel> tree_;
    std::vector<std::pair<xcb_window_t, xcb_window_t>> topOf_;  // window, its top-level
    xcb_pixmap_t wallpaper_ = XCB_NONE;
    std::atomic<bool> treeChanged_{true};
    std::atomic<bool> wallpaperChanged_{true};
    std::mutex lock_;  // one picture at a time: the canvas and segments are per connection
    // Asked of RandR once and again only when it announces a change: every
    // capture needs the first screen's corner.
    std::vector<RootRect> screens_;
    std::atomic<bool> screensChanged_{false};
    std::mutex screensLock_;
    // A connection of its own for the space watch, so that its descriptor
    // becomes readable exactly when a notice comes.
    xcb_connection_t* spaces_ = nullptr;
    std::mutex spacesLock_;
};

bool XcbWindowServer::open() {
    if (!openXContext(x_)) return false;
    watchScreenChanges(x_);
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(x_.connection, x_.root, XCB_CW_EVENT_MASK, &mask);
    if (!x_.hasRender)
        reportOnce(x_, "no render", "the X server has no Render extension; nothing is captured");
    return true;
}

XcbWindowServer::~XcbWindowServer() {
    free(lastReply_);
    if (spaces_ != nullptr) xcb_disconnect(spaces_);
    releaseCanvas(x_, ownCanvas_);
    for (Block& block : blocks_) releaseCanvas(x_, block.canvas);
    releaseScreenChanges(x_, changes_);
    releaseDesktopBackground(x_, background_);
    releaseSegment(x_, scratch_);
    // The shared block stays mapped: it is the process's capture buffer.
    closeXContext(x_);
}

void XcbWindowServer::readEvents() {
    readWaitingEvents(x_, [this](const xcb_generic_event_t* event) {
        const uint8_t type = event->response_type & 0x7F;
        if (announcesScreenChange(x_, event)) {
            screensChanged_ = true;
        } else if (type == XCB_PROPERTY_NOTIFY) {
            auto* notify = reinterpret_cast<const xcb_property_notify_event_t*>(event);
            if (notify->atom == x_.atoms.xRootPixmapId) wallpaperChanged_ = true;
        } else if (type >= XCB_CREATE_NOTIFY && type <= XCB_CIRCULATE_REQUEST) {
            treeChanged_ = true;  // a top-level window came, went, moved or changed
        }
    });
}

std::vector<RootRect> XcbWindowServer::screenLayout() {
    std::lock_guard<std::mutex> hold(screensLock_);
    readEvents();
    if (screensChanged_.exchange(false) || screens_.empty()) {
        refreshRootSize(x_);
        screens_ = screenRects(x_);
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

double XcbWindowServer::mainScreenHeight() { return firstScreen().height; }

bool XcbWindowServer::listWindows(std::vector<WindowInfo>& windows) {
    listXWindows(x_, firstScreen(), windows);
    return true;
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
        reportOnce(x_, "rectangle", line);
        return false;
    }
    r = {static_cast<int32_t>(x0) + first.x, static_cast<int32_t>(y0) + first.y,
         static_cast<int32_t>(x1 - x0), static_cast<int32_t>(y1 - y0)};
    return true;
}

void XcbWindowServer::useComposite() {
    if (compositeTried_) return;
    compositeTried_ = true;
    if (!redirectTopLevels(x_)) x_.hasComposite = false;
}

XcbWindowServer::Block* XcbWindowServer::blockAt(const uint8_t* data) {
    for (Block& block : blocks_)
        if (block.segment.data == data) return &block;
    return nullptr;
}

// The canvas lives in the caller's shared block when it may (the server then
// draws the picture where it is wanted), else in the scratch segment, else
// in the server's memory and is read back afterwards.
bool XcbWindowServer::prepare(RootRect r, Block* block) {
    uint32_t segment = 0;
    canvas_ = &ownCanvas_;
    if (x_.shmPixmaps && block != nullptr) {
        segment = block->segment.segment;
        canvas_ = &block->canvas;
    } else if (x_.shmPixmaps &&
               ensureScratchSegment(x_, scratch_, std::max(bytesOf(r), bytesOf(rootBounds(x_))))) {
        segment = scratch_.segment;
    }
    if (prepareCanvas(x_, *canvas_, r.width, r.height, segment)) return true;
    // Some servers refuse pixmaps in shared memory: draw in their own.
    x_.shmPixmaps = false;
    canvas_ = &ownCanvas_;
    return segment != 0 && prepareCanvas(x_, ownCanvas_, r.width, r.height, 0);
}

bool XcbWindowServer::captureImageInto(const FrameRect& rect, CaptureFilter filter,
                                       uint32_t windowNumber, uint8_t* buffer, size_t capacity,
                                       CapturedImage& image) {
    RootRect r;
    if (!x_.hasRender || !rootRectFor(rect, r)) return false;
    // A picture of the screen wholly off it shows nothing.
    if (filter != CaptureFilter::includingWindow && isEmpty(intersect(r, rootBounds(x_))))
        return false;
    std::lock_guard<std::mutex> hold(lock_);
    block_ = buffer != nullptr && capacity >= bytesOf(r) ? blockAt(buffer) : nullptr;
    if (!prepare(r, block_)) return false;
    // The window tree is known from the server's notices. One that came in
    // the meantime was sent before the picture's last reply, so it is seen
    // here, and the picture is made again from the tree as it now stands.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!compose(r, filter, windowNumber) || !deliver(r, image)) {
            if (block_ != nullptr) block_->kept.reset();
            return false;
        }
        if (filter == CaptureFilter::allWindows || !(treeChanged_ || wallpaperChanged_)) break;
    }
    return true;
}

bool XcbWindowServer::compose(RootRect r, CaptureFilter filter, xcb_window_t window) {
    previousScreen_.reset();
    if (block_ != nullptr) previousScreen_ = std::exchange(block_->kept, std::nullopt);
    switch (filter) {
        case CaptureFilter::allWindows:
            composeScreen(r);
            return true;
        case CaptureFilter::includingWindow:
            return composeWindow(r, window);
        case CaptureFilter::onScreenBelowWindow:
            composeBelow(r, window);
            return true;
    }
    return false;
}

void XcbWindowServer::composeScreen(RootRect r) { composeScreenAround(r, {}); }

// The screen outside the holes, piece by piece: each is a plain copy for
// the server, cheaper than one drawing limited to the same area.
void XcbWindowServer::composeScreenAround(RootRect r, const std::vector<RootRect>& holes) {
    if (copyOnlyChanges(r, holes)) return;
    std::vector<RootRect> pieces{r}, rest;
    for (const RootRect& hole : holes) {
        rest.clear();
        for (const RootRect& piece : pieces) subtract(piece, hole, rest);
        pieces.swap(rest);
    }
    DrawSource screen = screenSource(x_);
    for (const RootRect& piece : pieces) drawScreen(screen, r, piece);
    releaseSource(x_, screen);
}

// Only a canvas in the caller's block outlives the picture: the scratch
// segment and the server's memory serve every kind of picture in turn. The
// changes are taken for every picture of the screen in a block, so that
// whichever block comes next knows what it missed; a block that missed more
// than the last two takes is drawn whole.
bool XcbWindowServer::copyOnlyChanges(RootRect r, const std::vector<RootRect>& holes) {
    // The changes are copied as they are, so only onto a canvas of the
    // screen's own depth.
    if (block_ == nullptr || canvas_ != &block_->canvas ||
        canvas_->depth != x_.screen->root_depth || !countScreenChanges(x_, changes_))
        return false;
    takeScreenChanges(x_, changes_);
    const uint64_t missed = changes_.takes - block_->takenAt;
    block_->kept = ScreenPicture{canvas_->pixmap, r, rootBounds(x_), holes};
    block_->takenAt = changes_.takes;
    if (previousScreen_ != block_->kept || missed > kTakesKept) return false;
    copyScreenChanges(x_, changes_, *canvas_, r, holes, missed);
    return true;
}

void XcbWindowServer::sharedPixelsChanged(const uint8_t* data) {
    std::lock_guard<std::mutex> hold(lock_);
    if (Block* block = blockAt(data)) block->kept.reset();
}

// Off the screen the picture is transparent black: a plain copy from the
// root would leave those pixels as they were.
void XcbWindowServer::drawScreen(const DrawSource& screen, RootRect r, RootRect piece) {
    const RootRect shown = intersect(piece, rootBounds(x_));
    std::vector<RootRect> off;
    subtract(piece, shown, off);
    for (const RootRect& o : off) fill(x_, *canvas_, shifted(o, r), 0);
    drawInto(x_, *canvas_, screen, shown.x, shown.y, shifted(shown, r));
}

// The window's inside alone, transparent around it.
bool XcbWindowServer::composeWindow(RootRect r, xcb_window_t window) {
    useComposite();
    xcb_window_t top = topLevelHolding(window);
    if (top == 0) return false;
    std::optional<RootRect> inside = windowRootRect(x_, window);
    if (!inside) return false;
    for (const TopLevel& t : windowTree()) {
        if (t.id != top) continue;
        if (!t.viewable) return false;
        const RootRect area = intersect(*inside, r);
        if (area.x != r.x || area.y != r.y || area.width != r.width || area.height != r.height)
            fill(x_, *canvas_, {0, 0, r.width, r.height}, 0);
        DrawSource source = windowSource(x_, t);
        drawInto(x_, *canvas_, source, area.x - t.outer.x, area.y - t.outer.y, shifted(area, r));
        releaseSource(x_, source);
        return true;
    }
    return false;
}

// The screen as it is wherever the left-out windows (the given one and
// those above it) do not reach; where they do, the picture is put together
// again from the desktop's background and the windows below, so that only
// those areas cost more than a plain screen picture.
void XcbWindowServer::composeBelow(RootRect r, xcb_window_t window) {
    useComposite();
    const xcb_window_t top = topLevelHolding(window);
    const std::vector<TopLevel>& stack = windowTree();
    auto cut =
        std::find_if(stack.begin(), stack.end(), [top](const TopLevel& t) { return t.id == top; });
    // Holes stop at the screen's edge: off it the picture is black, as a
    // picture of the screen alone has it, whatever lies there.
    const RootRect shown = intersect(r, rootBounds(x_));
    std::vector<RootRect> holes;
    bool allHole = false;
    for (auto it = cut; it != stack.end(); ++it) {
        RootRect hole = intersect(it->outer, shown);
        if (!it->viewable || !it->inputOutput || isEmpty(hole)) continue;
        addHole(hole, holes);
        allHole = allHole || contains(hole, r);
    }
    if (holes.empty()) return composeScreen(r);
    if (!allHole) composeScreenAround(r, holes);
    // The windows below that show, bottom to top, desktop windows first.
    std::vector<TopLevel> layers;
    for (auto it = stack.begin(); it != cut; ++it)
        if (it->viewable && it->inputOutput && it->desktop) layers.push_back(*it);
    for (auto it = stack.begin(); it != cut; ++it)
        if (it->viewable && it->inputOutput && !it->desktop) layers.push_back(*it);
    DrawSource background = backgroundSource(x_, background_, wallpaper());
    for (const RootRect& hole : holes) composeHole(r, hole, layers, background);
    releaseSource(x_, background);
}

const std::vector<TopLevel>& XcbWindowServer::windowTree() {
    readEvents();
    if (treeChanged_.exchange(false)) {
        tree_ = topLevels(x_);
        topOf_.clear();
    }
    return tree_;
}

xcb_window_t XcbWindowServer::topLevelHolding(xcb_window_t window) {
    const std::vector<TopLevel>& tree = windowTree();
    for (const auto& [asked, top] : topOf_)
        if (asked == window) return top;
    // A window manager puts clients into frames of its own.
    xcb_window_t top = topLevelOf(x_, window);
    bool known =
        std::any_of(tree.begin(), tree.end(), [top](const TopLevel& t) { return t.id == top; });
    if (top != 0 && known) topOf_.emplace_back(window, top);
    return top;
}

xcb_pixmap_t XcbWindowServer::wallpaper() {
    if (wallpaperChanged_.exchange(false)) {
        std::vector<uint32_t> pixmaps =
            cardinalsOf(x_, askProperty(x_, x_.root, x_.atoms.xRootPixmapId, XCB_ATOM_PIXMAP));
        wallpaper_ = pixmaps.empty() ? XCB_NONE : pixmaps[0];
    }
    return wallpaper_;
}

// A hole with a translucent window in it is laid bottom to top, since such
// a window shows what is below it; otherwise every pixel is drawn once,
// from the topmost window that reaches it.
void XcbWindowServer::composeHole(RootRect r, RootRect hole, const std::vector<TopLevel>& layers,
                                  const DrawSource& background) {
    const bool seeThrough = std::any_of(layers.begin(), layers.end(), [hole](const TopLevel& t) {
        return t.depth == 32 && !isEmpty(intersect(t.outer, hole));
    });
    if (seeThrough) return layHole(r, hole, layers, background);
    std::vector<RootRect> open{hole}, rest;
    for (size_t i = layers.size(); i-- > 0 && !open.empty();) {
        const TopLevel& layer = layers[i];
        if (isEmpty(intersect(layer.outer, hole))) continue;
        DrawSource source = windowSource(x_, layer);
        if (source.picture == 0) continue;  // left out: what is below shows
        rest.clear();
        for (const RootRect& piece : open) {
            const RootRect part = intersect(layer.outer, piece);
            drawInto(x_, *canvas_, source, part.x - layer.outer.x, part.y - layer.outer.y,
                     shifted(part, r));
            subtract(piece, part, rest);
        }
        releaseSource(x_, source);
        open.swap(rest);
    }
    for (const RootRect& piece : open) drawBackground(r, piece, background);
}

void XcbWindowServer::layHole(RootRect r, RootRect hole, const std::vector<TopLevel>& layers,
                              const DrawSource& background) {
    // An opaque window that covers the whole hole hides everything below it.
    size_t first = 0;
    bool covered = false;
    for (size_t i = layers.size(); i-- > 0;) {
        if (layers[i].depth != 32 && contains(layers[i].outer, hole)) {
            first = i;
            covered = true;
            break;
        }
    }
    if (!covered) drawBackground(r, hole, background);
    for (size_t i = first; i < layers.size(); ++i) {
        const RootRect part = intersect(layers[i].outer, hole);
        if (isEmpty(part)) continue;
        DrawSource source = windowSource(x_, layers[i]);
        drawInto(x_, *canvas_, source, part.x - layers[i].outer.x, part.y - layers[i].outer.y,
                 shifted(part, r));
        releaseSource(x_, source);
    }
}

// Opaque black where the desktop's background cannot be had.
void XcbWindowServer::drawBackground(RootRect r, RootRect area, const DrawSource& background) {
    if (background.picture != 0)
        drawInto(x_, *canvas_, background, area.x, area.y, shifted(area, r));
    else
        fill(x_, *canvas_, shifted(area, r), 0xFFFF);
}

// The picture's pixels: already where they belong when the canvas is in
// shared memory (once the server is done), else read back into the
// caller's block, the scratch segment, or over the socket.
bool XcbWindowServer::deliver(RootRect r, CapturedImage& image) {
    const RootRect whole{0, 0, r.width, r.height};
    const xcb_pixmap_t pixmap = canvas_->pixmap;
    bool good = true;
    if (canvas_->segment != 0) {
        waitForServer(x_);
        image = borrowedImage(block_ != nullptr ? block_->segment.data : scratch_.data, r);
    } else if (block_ != nullptr && readIntoSegment(x_, block_->segment, pixmap, whole)) {
        image = borrowedImage(block_->segment.data, r);
    } else if (ensureScratchSegment(x_, scratch_, bytesOf(r)) &&
               readIntoSegment(x_, scratch_, pixmap, whole)) {
        image = borrowedImage(scratch_.data, r);
    } else if (xcb_get_image_reply_t* reply = readOverSocket(x_, pixmap, whole)) {
        free(lastReply_);
        lastReply_ = reply;
        image = borrowedImage(xcb_get_image_data(reply), r);
    } else {
        good = false;
    }
    readEvents();
    return good;
}

uint8_t* XcbWindowServer::allocateSharedPixels(size_t bytes) {
    std::lock_guard<std::mutex> hold(lock_);
    int fd = -1;
    uint8_t* data = allocateSharedBlock(bytes, fd);
    if (data == nullptr || fd < 0) return data;
    SharedSegment segment;
    if (x_.hasShm && attachBlock(x_, segment, data, bytes, fd)) {
        blocks_.push_back(Block{segment, Canvas{}, std::nullopt, 0});
    } else if (x_.hasShm) {
        reportOnce(
            x_, "shared block",
            "the X server cannot write into the capture buffer; pictures are copied into it");
    }
    close(fd);
    return data;
}

FramePoint XcbWindowServer::mouseLocation() {
    xcb_connection_t* c = x_.connection;
    xcb_query_pointer_reply_t* p =
        takeReply(x_, xcb_query_pointer_reply, xcb_query_pointer(c, x_.root), "QueryPointer");
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
        takeReply(x_, xcb_xfixes_get_cursor_image_reply, xcb_xfixes_get_cursor_image(c),
                  "XFixesGetCursorImage");
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

bool XcbWindowServer::isOnActiveSpace(uint32_t window) {
    if (window == 0) return true;
    const XAtoms& a = x_.atoms;
    const uint32_t current =
        cardinalOf(x_, x_.root, a.netCurrentDesktop, XCB_ATOM_CARDINAL, kAllDesktops);
    const uint32_t ours = cardinalOf(x_, window, a.netWmDesktop, XCB_ATOM_CARDINAL, kAllDesktops);
    const bool onCurrentDesktop =
        current == kAllDesktops || ours == kAllDesktops || ours == current;
    return onCurrentDesktop && !otherFullScreenActive(window);
}

bool XcbWindowServer::otherFullScreenActive(uint32_t ownWindow) {
    const XAtoms& a = x_.atoms;
    const uint32_t active = cardinalOf(x_, x_.root, a.netActiveWindow, XCB_ATOM_WINDOW, 0);
    if (active == 0 || active == ownWindow) return false;
    std::vector<uint32_t> states =
        cardinalsOf(x_, askProperty(x_, active, a.netWmState, XCB_ATOM_ATOM));
    return std::find(states.begin(), states.end(), a.netWmStateFullscreen) != states.end();
}

int XcbWindowServer::watchSpaces() {
    std::lock_guard<std::mutex> hold(spacesLock_);
    if (spaces_ == nullptr) {
        xcb_connection_t* c = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(c)) {
            xcb_disconnect(c);
            return -1;
        }
        const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_change_window_attributes(c, x_.root, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(c);
        spaces_ = c;
    }
    return xcb_get_file_descriptor(spaces_);
}

uint32_t XcbWindowServer::takeSpaceNotices() {
    std::lock_guard<std::mutex> hold(spacesLock_);
    uint32_t notices = 0;
    if (spaces_ == nullptr) return notices;
    while (xcb_generic_event_t* event = xcb_poll_for_event(spaces_)) {
        if ((event->response_type & 0x7F) == XCB_PROPERTY_NOTIFY) {
            auto* notify = reinterpret_cast<xcb_property_notify_event_t*>(event);
            if (notify->window == x_.root && notify->atom == x_.atoms.netCurrentDesktop)
                notices |= kDesktopChanged;
            if (notify->window == x_.root && notify->atom == x_.atoms.netActiveWindow)
                notices |= kActiveWindowChanged;
        }
        free(event);
    }
    return notices;
}

}  // namespace

std::unique_ptr<WindowServer> makeXcbWindowServer() {
    auto server = std::make_unique<XcbWindowServer>();
    if (!server->open()) return nullptr;
    return server;
}
