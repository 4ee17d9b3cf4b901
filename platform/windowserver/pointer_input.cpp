#include "platform/windowserver/pointer_input.h"

#include <xcb/xfixes.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

int16_t toInt16(double v) {
    return static_cast<int16_t>(std::clamp(std::floor(v), -32768.0, 32767.0));
}

}  // namespace

FramePoint pointerLocation(XContext& x, RootRect first) {
    xcb_query_pointer_reply_t* p = takeReply(
        x, xcb_query_pointer_reply, xcb_query_pointer(x.connection, x.root), "QueryPointer");
    if (p == nullptr) return {};
    FramePoint location{static_cast<double>(p->root_x - first.x),
                        static_cast<double>(first.y + first.height - p->root_y)};
    free(p);
    return location;
}

bool cursorPicture(XContext& x, CursorImage& picture, FramePoint& hotSpot) {
    if (!x.hasXFixes) return false;
    xcb_xfixes_get_cursor_image_reply_t* reply =
        takeReply(x, xcb_xfixes_get_cursor_image_reply, xcb_xfixes_get_cursor_image(x.connection),
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

void fakePointerMove(XContext& x, RootRect first, double toX, double toY) {
    if (!x.hasXTest) return;
    xcb_test_fake_input(x.connection, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, x.root,
                        toInt16(toX + first.x), toInt16(toY + first.y), 0);
    xcb_flush(x.connection);
}

void fakePointerButton(XContext& x, int xButton, bool down) {
    if (!x.hasXTest) return;
    xcb_test_fake_input(x.connection, down ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE,
                        static_cast<uint8_t>(xButton), XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_flush(x.connection);
}
