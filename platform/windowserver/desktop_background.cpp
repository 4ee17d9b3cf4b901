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

// Made off screen before it is mapped, so that it never shows; a compositing
// manager that already keeps every window off screen refuses it.
bool makeStandIn(XContext& x, DesktopBackground& background) {
    xcb_connection_t* c = x.connection;
    const RootRect root = rootBounds(x);
    const xcb_window_t window = xcb_generate_id(c);
    const uint32_t values[] = {XCB_BACK_PIXMAP_PARENT_RELATIVE, 1};
    xcb_create_window(c, x.screen->root_depth, window, x.root, 0, 0,
                      static_cast<uint16_t>(root.width), static_cast<uint16_t>(root.height), 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, x.screen->root_visual,
                      XCB_CW_BACK_PIXMAP | XCB_CW_OVERRIDE_REDIRECT, values);
    if (!requestSucceeded(
            x, xcb_composite_redirect_window_checked(c, window, XCB_COMPOSITE_REDIRECT_MANUAL),
            "CompositeRedirectWindow")) {
        xcb_destroy_window(c, window);
        reportOnce(x, "stand-in",
                   "another program composites the screen; the desktop behind left-out windows "
                   "comes out black unless a wallpaper is published");
        return false;
    }
    refuseInput(x, window);
    const uint32_t lowest = XCB_STACK_MODE_BELOW;
    xcb_configure_window(c, window, XCB_CONFIG_WINDOW_STACK_MODE, &lowest);
    xcb_map_window(c, window);
    x.ownWindow = window;
    background.standIn = window;
    background.size = root;
    background.painted = {};
    return true;
}

void fitAndRepaint(XContext& x, DesktopBackground& background) {
    xcb_connection_t* c = x.connection;
    const RootRect root = rootBounds(x);
    if (root.width != background.size.width || root.height != background.size.height) {
        const uint32_t size[] = {static_cast<uint32_t>(root.width),
                                 static_cast<uint32_t>(root.height)};
        xcb_configure_window(c, background.standIn,
                             XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, size);
        background.size = root;
        background.painted = {};
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - background.painted < kRepaintInterval) return;
    xcb_clear_area(c, 0, background.standIn, 0, 0, 0, 0);
    background.painted = now;
}

}  // namespace

DrawSource backgroundSource(XContext& context, DesktopBackground& background,
                            xcb_pixmap_t wallpaper) {
    if (wallpaper != XCB_NONE && context.screen->root_depth == 24)
        return pixmapSource(context, wallpaper);
    if (!context.hasComposite || background.unavailable) return {};
    if (background.standIn == 0 && !makeStandIn(context, background)) {
        background.unavailable = true;
        return {};
    }
    fitAndRepaint(context, background);
    return windowSource(context, {background.standIn, background.size, true, true,
                                  context.screen->root_depth, false});
}

void releaseDesktopBackground(XContext& context, DesktopBackground& background) {
    if (background.standIn != 0 && context.connection != nullptr)
        xcb_destroy_window(context.connection, background.standIn);
    context.ownWindow = 0;
    background = DesktopBackground{};
}
