#include "platform/windowserver/composite_grabber.h"

#include <xcb/composite.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/windowserver/shm_grabber.h"

bool redirectTopLevels(XContext& context) {
    if (!context.hasComposite) return false;
    xcb_connection_t* c = context.connection;
    // Automatic: the server goes on painting the screen; the windows merely
    // gain pixels of their own that covering windows cannot spoil.
    xcb_generic_error_t* error =
        xcb_request_check(c, xcb_composite_redirect_subwindows_checked(
                                 c, context.root, XCB_COMPOSITE_REDIRECT_AUTOMATIC));
    if (error != nullptr) {
        free(error);
        printf("window server: Composite refused to redirect the windows\n");
        return false;
    }
    return true;
}

namespace {

// The window's pixels as a Z-format image of the part given in the
// drawable's own coordinates; the named pixmap when Composite keeps one.
xcb_get_image_reply_t* readDrawable(XContext& context, xcb_window_t topLevel, RootRect part) {
    xcb_connection_t* c = context.connection;
    xcb_drawable_t drawable = topLevel;
    xcb_pixmap_t pixmap = 0;
    if (context.hasComposite) {
        pixmap = xcb_generate_id(c);
        xcb_composite_name_window_pixmap(c, topLevel, pixmap);
        drawable = pixmap;
    }
    xcb_get_image_reply_t* reply = xcb_get_image_reply(
        c,
        xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, static_cast<int16_t>(part.x),
                      static_cast<int16_t>(part.y), static_cast<uint16_t>(part.width),
                      static_cast<uint16_t>(part.height), ~0u),
        nullptr);
    if (pixmap != 0) xcb_free_pixmap(c, pixmap);
    return reply;
}

}  // namespace

bool copyWindowArea(XContext& context, xcb_window_t topLevel, RootRect outer, RootRect area,
                    uint8_t* dst, int32_t stride, RootRect origin) {
    RootRect r = intersect(intersect(outer, area), origin);
    if (isEmpty(r)) return true;
    RootRect part{r.x - outer.x, r.y - outer.y, r.width, r.height};
    xcb_get_image_reply_t* reply = readDrawable(context, topLevel, part);
    if (reply == nullptr) return false;
    const size_t rowBytes = static_cast<size_t>(r.width) * 4;
    bool good = (reply->depth == 24 || reply->depth == 32) &&
                static_cast<size_t>(xcb_get_image_data_length(reply)) >=
                    rowBytes * static_cast<size_t>(r.height);
    if (good) {
        const uint8_t* src = xcb_get_image_data(reply);
        for (int32_t row = 0; row < r.height; ++row) {
            uint8_t* to = dst +
                          static_cast<size_t>(r.y - origin.y + row) * static_cast<size_t>(stride) +
                          static_cast<size_t>(r.x - origin.x) * 4;
            memcpy(to, src + rowBytes * static_cast<size_t>(row), rowBytes);
            if (reply->depth == 24) makeOpaque(to, static_cast<size_t>(r.width));
        }
    }
    free(reply);
    return good;
}
