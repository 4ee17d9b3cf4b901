#include "platform/windowserver/desktop_background.h"

#include <xcb/composite.h>
#include <xcb/xfixes.h>

namespace {

// A root background set by a tool announces nothing, so the stand-in is
// painted again this often.
constexpr std::chrono::seconds kRepaintInterval{1};
// XCB_SHAPE_SK_INPUT: the shape that decides where a window takes input.
constexpr uint8_t kInputShape = 2;

// The stand-in takes no input: clicks on the desktop still reach the root.
void refuseInput(XContext& x, xcb_window_t window) {
    if (!x.hasXFixes) return;
    xcb_connection_t* c = x.connection;
    const xcb_xfixes_region_t nowhere = xcb_generate_id(c);
    xcb_xfixes_create_region(c, nowhere, 0, nullptr);
    xcb_xfixes_set_window_shape_region(c, window, kInputShape, 0, 0, nowhere);
    xcb_xfixes_destroy_region(c, nowhere);
}

xcb_window_t makeWindow(XContext& x, xcb_window_t parent, RootRect at) {
    xcb_connection_t* c = x.connection;
    const xcb_window_t window = xcb_generate_id(c);
    const uint32_t values[] = {XCB_BACK_PIXMAP_PARENT_RELATIVE, 1};
    xcb_create_window(c, x.screen->root_depth, window, parent, static_cast<int16_t>(at.x),
                      static_cast<int16_t>(at.y), static_cast<uint16_t>(at.width),
                      static_cast<uint16_t>(at.height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      x.screen->root_visual, XCB_CW_BACK_PIXMAP | XCB_CW_OVERRIDE_REDIRECT, values);
    return window;
}

// The stand-in is kept off screen by us before it is mapped, so that it
// never shows. Its background is its parent's and so the root's, drawn from
// the root's corner. It is made small and given the root's size once it is
// kept off screen: only then does the server give it all its pixels rather
// than those inside the holder. The holder shows nothing itself: it lies
// off the screen, where a compositing manager draws it too.
bool makeStandIn(XContext& x, DesktopBackground& background) {
    xcb_connection_t* c = x.connection;
    const xcb_window_t holder = makeWindow(x, x.root, {-1, -1, 1, 1});
    const xcb_window_t window = makeWindow(x, holder, {1, 1, 1, 1});
    if (!requestSucceeded(
            x, xcb_composite_redirect_window_checked(c, window, XCB_COMPOSITE_REDIRECT_MANUAL),
            "CompositeRedirectWindow")) {
        xcb_destroy_window(c, holder);
        reportOnce(x, "stand-in",
                   "the desktop's background cannot be had; behind left-out windows it comes "
                   "out black unless a wallpaper is published");
        return false;
    }
    refuseInput(x, window);
    const uint32_t lowest = XCB_STACK_MODE_BELOW;
    xcb_configure_window(c, holder, XCB_CONFIG_WINDOW_STACK_MODE, &lowest);
    xcb_map_window(c, window);
    xcb_map_window(c, holder);
    x.ownWindow = holder;
    background.holder = holder;
    background.standIn = window;
    background.size = {0, 0, 1, 1};
    background.painted = {};
    return true;
}

// Painting while a compositor runs would leave the stand-in as it was.
void fitAndRepaint(XContext& x, DesktopBackground& background) {
    xcb_connection_t* c = x.connection;
    const RootRect root = rootBounds(x);
    if (root.width != background.size.width || root.height != background.size.height) {
        const uint32_t size[] = {static_cast<uint32_t>(root.width),
                                 static_cast<uint32_t>(root.height)};
        xcb_configure_window(c, background.standIn,
                             XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, size);
        background.size = root;
        background.shown = false;
        background.painted = {};
    }
    const auto now = std::chrono::steady_clock::now();
    if (background.compositorRuns || now - background.painted < kRepaintInterval) return;
    xcb_clear_area(c, 0, background.standIn, 0, 0, 0, 0);
    background.painted = now;
    background.shown = true;
}

// A compositor that quits leaves the root's background to the server
// again: the stand-in is painted at once, not a repaint interval later.
void followCompositor(XContext& x, DesktopBackground& background) {
    xcb_get_selection_owner_reply_t* owner =
        takeReply(x, xcb_get_selection_owner_reply,
                  xcb_get_selection_owner(x.connection, x.atoms.netWmCmS), "GetSelectionOwner");
    background.compositorRuns = owner != nullptr && owner->owner != XCB_NONE;
    free(owner);
    background.painted = {};
}

}  // namespace

void watchCompositor(XContext& context) {
    if (!context.hasXFixes) return;
    xcb_xfixes_select_selection_input(context.connection, context.root, context.atoms.netWmCmS,
                                      XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
}

bool announcesCompositorChange(const XContext& context, const xcb_generic_event_t* event) {
    return context.hasXFixes &&
           (event->response_type & 0x7F) == context.xfixesFirstEvent + XCB_XFIXES_SELECTION_NOTIFY;
}

DrawSource backgroundSource(XContext& context, DesktopBackground& background,
                            xcb_pixmap_t wallpaper, bool compositorChanged) {
    if (compositorChanged) followCompositor(context, background);
    if (wallpaper != XCB_NONE && context.screen->root_depth == 24)
        return pixmapSource(context, wallpaper);
    if (!context.hasComposite || background.unavailable) return {};
    if (background.standIn == 0 && !makeStandIn(context, background)) {
        background.unavailable = true;
        return {};
    }
    fitAndRepaint(context, background);
    if (!background.shown) {
        reportOnce(context, "compositor background",
                   "a compositing manager paints the desktop and publishes no wallpaper; behind "
                   "left-out windows the desktop comes out black while it runs");
        return {};
    }
    return windowSource(context, {background.standIn, background.size, true, true,
                                  context.screen->root_depth, false});
}

void releaseDesktopBackground(XContext& context, DesktopBackground& background) {
    if (background.holder != 0 && context.connection != nullptr)
        xcb_destroy_window(context.connection, background.holder);
    context.ownWindow = 0;
    background = DesktopBackground{};
}
