#include "platform/windowserver/grab_context.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace {

CapturedImage borrowedImage(const XContext& x, const Canvas& canvas, uint8_t* pixels, RootRect r) {
    if (keepsWideColours(canvas)) narrowToEightBits(x, pixels, bytesOf(r) / 4);
    CapturedImage image;
    image.pixels = std::shared_ptr<const uint8_t>(pixels, [](const uint8_t*) {});
    image.width = r.width;
    image.height = r.height;
    image.bytesPerRow = r.width * 4;
    image.byteLength = bytesOf(r);
    return image;
}

}  // namespace

void watchRoot(GrabContext& g) {
    watchScreenChanges(g.x);
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(g.x.connection, g.x.root, XCB_CW_EVENT_MASK, &mask);
    watchCompositor(g.x);
}

void readGrabEvents(GrabContext& g) {
    readWaitingEvents(g.x, [&g](const xcb_generic_event_t* event) {
        const uint8_t type = event->response_type & 0x7F;
        if (announcesScreenChange(g.x, event)) {
            g.screensChanged = true;
        } else if (announcesCompositorChange(g.x, event)) {
            g.compositorChanged = true;
        } else if (type == XCB_PROPERTY_NOTIFY) {
            auto* notify = reinterpret_cast<const xcb_property_notify_event_t*>(event);
            if (notify->atom == g.x.atoms.xRootPixmapId) g.wallpaperChanged = true;
        } else if (type >= XCB_CREATE_NOTIFY && type <= XCB_CIRCULATE_REQUEST) {
            g.treeChanged = true;  // a top-level window came, went, moved or changed
        }
    });
}

const std::vector<TopLevel>& windowTree(GrabContext& g) {
    readGrabEvents(g);
    if (std::exchange(g.treeChanged, false)) {
        g.tree = topLevels(g.x);
        g.topOf.clear();
    }
    return g.tree;
}

xcb_window_t topLevelHolding(GrabContext& g, xcb_window_t window) {
    const std::vector<TopLevel>& tree = windowTree(g);
    for (const auto& [asked, top] : g.topOf)
        if (asked == window) return top;
    // A window manager puts clients into frames of its own.
    xcb_window_t top = topLevelOf(g.x, window);
    bool known =
        std::any_of(tree.begin(), tree.end(), [top](const TopLevel& t) { return t.id == top; });
    if (top != 0 && known) g.topOf.emplace_back(window, top);
    return top;
}

xcb_pixmap_t publishedWallpaper(GrabContext& g) {
    if (std::exchange(g.wallpaperChanged, false)) {
        std::vector<uint32_t> pixmaps =
            cardinalsOf(g.x, askProperty(g.x, g.x.root, g.x.atoms.xRootPixmapId, XCB_ATOM_PIXMAP));
        g.wallpaper = pixmaps.empty() ? XCB_NONE : pixmaps[0];
    }
    return g.wallpaper;
}

void useComposite(GrabContext& g) {
    if (g.compositeTried) return;
    g.compositeTried = true;
    if (!redirectTopLevels(g.x)) g.x.hasComposite = false;
}

Block* blockAt(GrabContext& g, const uint8_t* data) {
    for (Block& block : g.blocks)
        if (block.segment.data == data) return &block;
    return nullptr;
}

// The canvas lives in the caller's shared block when it may (the server then
// draws the picture where it is wanted), else in the scratch segment, else
// in the server's memory and is read back afterwards.
bool preparePicture(GrabContext& g, RootRect area, Block* block, Picture& picture) {
    XContext& x = g.x;
    uint32_t segment = 0;
    picture = Picture{area, block, &g.ownCanvas, std::nullopt};
    if (x.shmPixmaps && block != nullptr) {
        segment = block->segment.segment;
        picture.canvas = &block->canvas;
    } else if (x.shmPixmaps && ensureScratchSegment(
                                   x, g.scratch, std::max(bytesOf(area), bytesOf(rootBounds(x))))) {
        segment = g.scratch.segment;
    }
    if (prepareCanvas(x, *picture.canvas, area.width, area.height, segment)) return true;
    // Some servers refuse pixmaps in shared memory: draw in their own.
    x.shmPixmaps = false;
    picture.canvas = &g.ownCanvas;
    return segment != 0 && prepareCanvas(x, g.ownCanvas, area.width, area.height, 0);
}

// The picture's pixels: already where they belong when the canvas is in
// shared memory (once the server is done), else read back into the
// caller's block, the scratch segment, or over the socket.
bool deliverPicture(GrabContext& g, const Picture& picture, CapturedImage& image) {
    XContext& x = g.x;
    const RootRect r = picture.area;
    const RootRect whole{0, 0, r.width, r.height};
    const xcb_pixmap_t pixmap = picture.canvas->pixmap;
    Block* block = picture.block;
    bool good = true;
    if (picture.canvas->segment != 0) {
        waitForServer(x);
        image = borrowedImage(x, *picture.canvas,
                              block != nullptr ? block->segment.data : g.scratch.data, r);
    } else if (block != nullptr && readIntoSegment(x, block->segment, pixmap, whole)) {
        image = borrowedImage(x, *picture.canvas, block->segment.data, r);
    } else if (ensureScratchSegment(x, g.scratch, bytesOf(r)) &&
               readIntoSegment(x, g.scratch, pixmap, whole)) {
        image = borrowedImage(x, *picture.canvas, g.scratch.data, r);
    } else if (xcb_get_image_reply_t* reply = readOverSocket(x, pixmap, whole)) {
        free(g.lastReply);
        g.lastReply = reply;
        image = borrowedImage(x, *picture.canvas, xcb_get_image_data(reply), r);
    } else {
        good = false;
    }
    readGrabEvents(g);
    return good;
}

void releaseGrabContext(GrabContext& g) {
    free(g.lastReply);
    g.lastReply = nullptr;
    releaseCanvas(g.x, g.ownCanvas);
    for (Block& block : g.blocks) releaseCanvas(g.x, block.canvas);
    releaseScreenChanges(g.x, g.changes);
    releaseDesktopBackground(g.x, g.background);
    releaseSegment(g.x, g.scratch);
    // The shared blocks stay mapped: they are the process's capture buffer.
    closeXContext(g.x);
}
