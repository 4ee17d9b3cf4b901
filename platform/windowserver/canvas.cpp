#include "platform/windowserver/canvas.h"

#include <xcb/composite.h>
#include <xcb/shm.h>

#include <cstring>

bool prepareCanvas(XContext& context, Canvas& canvas, int32_t width, int32_t height,
                   uint32_t segment) {
    if (canvas.pixmap != 0 && canvas.width == width && canvas.height == height &&
        canvas.segment == segment)
        return true;
    releaseCanvas(context, canvas);
    xcb_connection_t* c = context.connection;
    const xcb_pixmap_t pixmap = xcb_generate_id(c);
    const auto w = static_cast<uint16_t>(width), h = static_cast<uint16_t>(height);
    // The screen's own depth: drawing the screen in is then a plain copy.
    const uint8_t depth = context.canvasDepth;
    xcb_void_cookie_t made =
        segment != 0
            ? xcb_shm_create_pixmap_checked(c, pixmap, context.root, w, h, depth, segment, 0)
            : xcb_create_pixmap_checked(c, depth, pixmap, context.root, w, h);
    if (!requestSucceeded(context, made, "CreatePixmap")) return false;
    const xcb_render_picture_t picture = xcb_generate_id(c);
    const xcb_render_pictformat_t format = depth == 24   ? context.rgb24
                                           : depth == 32 ? context.argb32
                                                         : context.rootFormat;
    xcb_render_create_picture(c, picture, pixmap, format, 0, nullptr);
    const xcb_gcontext_t gc = xcb_generate_id(c);
    // Copies from the root take what its windows show.
    const uint32_t values[] = {XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS, 0};
    xcb_create_gc(c, gc, pixmap, XCB_GC_SUBWINDOW_MODE | XCB_GC_GRAPHICS_EXPOSURES, values);
    canvas = {pixmap, picture, width, height, segment, gc, depth};
    return true;
}

void releaseCanvas(XContext& context, Canvas& canvas) {
    if (canvas.pixmap == 0) return;
    xcb_render_free_picture(context.connection, canvas.picture);
    xcb_free_gc(context.connection, canvas.gc);
    xcb_free_pixmap(context.connection, canvas.pixmap);
    canvas = Canvas{};
}

namespace {

xcb_render_pictformat_t formatOfDepth(const XContext& context, uint8_t depth) {
    if (depth == 24) return context.rgb24;
    if (depth == 32) return context.argb32;
    if (depth == context.screen->root_depth) return context.rootFormat;
    return 0;
}

DrawSource sourceOf(XContext& context, xcb_drawable_t drawable, uint8_t depth, xcb_pixmap_t owned) {
    xcb_connection_t* c = context.connection;
    const xcb_render_pictformat_t format = formatOfDepth(context, depth);
    if (format == 0) {
        reportOnce(context, "depth " + std::to_string(depth),
                   "windows of depth " + std::to_string(depth) + " are left out of pictures");
        if (owned != 0) xcb_free_pixmap(c, owned);
        return {};
    }
    const xcb_render_picture_t picture = xcb_generate_id(c);
    // Drawing from a window takes what its children show too.
    const uint32_t includeInferiors = XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS;
    xcb_render_create_picture(c, picture, drawable, format, XCB_RENDER_CP_SUBWINDOW_MODE,
                              &includeInferiors);
    return {picture, owned, depth == 32};
}

}  // namespace

// A plain copy from the root is much cheaper for the server than Render's
// composite whenever the canvas has the screen's depth.
DrawSource screenSource(XContext& context) {
    DrawSource source = sourceOf(context, context.root, context.screen->root_depth, 0);
    if (source.picture != 0 && context.screen->root_depth == context.canvasDepth)
        source.copyable = context.root;
    return source;
}

DrawSource windowSource(XContext& context, const TopLevel& window) {
    if (!context.hasComposite) return sourceOf(context, window.id, window.depth, 0);
    xcb_connection_t* c = context.connection;
    const xcb_pixmap_t pixmap = xcb_generate_id(c);
    xcb_composite_name_window_pixmap(c, window.id, pixmap);
    DrawSource source = sourceOf(context, pixmap, window.depth, pixmap);
    if (source.picture != 0 && window.depth == context.canvasDepth) source.copyable = pixmap;
    return source;
}

DrawSource pixmapSource(XContext& context, xcb_pixmap_t pixmap) {
    return sourceOf(context, pixmap, context.screen->root_depth, 0);
}

void releaseSource(XContext& context, DrawSource& source) {
    if (source.picture != 0) xcb_render_free_picture(context.connection, source.picture);
    if (source.pixmap != 0) xcb_free_pixmap(context.connection, source.pixmap);
    source = DrawSource{};
}

void drawInto(XContext& context, const Canvas& canvas, const DrawSource& source, int32_t sourceX,
              int32_t sourceY, RootRect to) {
    if (source.picture == 0 || isEmpty(to)) return;
    if (source.copyable != 0 && !source.translucent) {
        xcb_copy_area(context.connection, source.copyable, canvas.pixmap, canvas.gc,
                      static_cast<int16_t>(sourceX), static_cast<int16_t>(sourceY),
                      static_cast<int16_t>(to.x), static_cast<int16_t>(to.y),
                      static_cast<uint16_t>(to.width), static_cast<uint16_t>(to.height));
        return;
    }
    const uint8_t op = source.translucent ? XCB_RENDER_PICT_OP_OVER : XCB_RENDER_PICT_OP_SRC;
    xcb_render_composite(context.connection, op, source.picture, XCB_NONE, canvas.picture,
                         static_cast<int16_t>(sourceX), static_cast<int16_t>(sourceY), 0, 0,
                         static_cast<int16_t>(to.x), static_cast<int16_t>(to.y),
                         static_cast<uint16_t>(to.width), static_cast<uint16_t>(to.height));
}

void fill(XContext& context, const Canvas& canvas, RootRect to, uint16_t alpha) {
    if (isEmpty(to)) return;
    const xcb_render_color_t black{0, 0, 0, alpha};
    const xcb_rectangle_t area{static_cast<int16_t>(to.x), static_cast<int16_t>(to.y),
                               static_cast<uint16_t>(to.width), static_cast<uint16_t>(to.height)};
    xcb_render_fill_rectangles(context.connection, XCB_RENDER_PICT_OP_SRC, canvas.picture, black, 1,
                               &area);
}

bool redirectTopLevels(XContext& context) {
    if (!context.hasComposite) return false;
    xcb_connection_t* c = context.connection;
    // Automatic: the server goes on painting the screen; the windows merely
    // gain pixels of their own that covering windows cannot spoil.
    if (!requestSucceeded(context,
                          xcb_composite_redirect_subwindows_checked(
                              c, context.root, XCB_COMPOSITE_REDIRECT_AUTOMATIC),
                          "CompositeRedirectSubwindows")) {
        reportOnce(context, "composite", "Composite refused to redirect the windows");
        return false;
    }
    return true;
}

void narrowToEightBits(const XContext& context, uint8_t* pixels, size_t count) {
    int shift[3], cut[3];
    for (int i = 0; i < 3; ++i) {
        const uint32_t mask = context.rootMasks[i];
        shift[i] = mask != 0 ? __builtin_ctz(mask) : 0;
        const int bits = __builtin_popcount(mask);
        shift[i] += bits > 8 ? bits - 8 : 0;
        cut[i] = bits > 8 ? 0xFF : (1 << bits) - 1;
    }
    for (size_t i = 0; i < count; ++i) {
        uint32_t p;
        memcpy(&p, pixels + i * 4, 4);
        const uint32_t r = (p >> shift[0]) & uint32_t(cut[0]);
        const uint32_t g = (p >> shift[1]) & uint32_t(cut[1]);
        const uint32_t b = (p >> shift[2]) & uint32_t(cut[2]);
        const uint32_t out = b | (g << 8) | (r << 16);
        memcpy(pixels + i * 4, &out, 4);
    }
}
