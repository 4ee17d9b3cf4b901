// What the X11 back end's parts share: the connection and what the server
// offers, the atoms, replies taken with their errors, property reads, and
// the window tree. Internal to platform/windowserver.
#pragma once

#include <xcb/render.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/windowserver/window_server.h"

struct XAtoms {
    xcb_atom_t netClientListStacking;
    xcb_atom_t netWmPid;
    xcb_atom_t netWmName;
    xcb_atom_t utf8String;
    xcb_atom_t netWmState;
    xcb_atom_t netWmStateAbove;
    xcb_atom_t netWmStateBelow;
    xcb_atom_t netWmStateFullscreen;
    xcb_atom_t netWmStateHidden;
    xcb_atom_t netWmWindowType;
    xcb_atom_t netWmWindowTypeDock;
    xcb_atom_t netWmWindowTypeDesktop;
    xcb_atom_t netCurrentDesktop;
    xcb_atom_t netActiveWindow;
    xcb_atom_t netWmDesktop;
    xcb_atom_t xRootPixmapId;
    xcb_atom_t netWmCmS;  // _NET_WM_CM_S<screen>: held by the screen's compositing manager
};

// A rectangle in root coordinates (pixels, origin at the root's top-left).
struct RootRect {
    int32_t x, y, width, height;
    bool operator==(const RootRect&) const = default;
};

struct XContext {
    xcb_connection_t* connection = nullptr;
    xcb_screen_t* screen = nullptr;
    xcb_window_t root = 0;
    XAtoms atoms{};
    bool hasShm = false;
    bool shmPassesFds = false;  // MIT-SHM 1.2: segments handed over as file descriptors
    bool shmPixmaps = false;    // pixmaps whose pixels live in a shared segment
    bool hasComposite = false;
    bool hasRender = false;
    bool hasXTest = false;
    bool hasXFixes = false;
    bool hasRandr = false;
    bool hasRes = false;           // X-Resource 1.2: the process of a local client
    uint8_t xfixesFirstEvent = 0;  // XFixes' events are numbered from here
    // Render's formats of 24-bit (no alpha) and 32-bit (premultiplied
    // alpha) pictures, 0 when the server has none.
    xcb_render_pictformat_t rgb24 = 0;
    xcb_render_pictformat_t argb32 = 0;
    // The format of the root's visual (5-6-5 on a 16-bit screen, say): Render
    // turns such pixels into the canvas's 32 bits as it draws them.
    xcb_render_pictformat_t rootFormat = 0;
    // Depth of the pictures put together: the root's when its pixels take
    // 32 bits (24, or 30 with 10 bits a colour), else 32.
    uint8_t canvasDepth = 32;
    // On a screen of 30 bits the pictures keep the screen's own pixels, so
    // that drawing the screen in is a plain copy, and are brought down to 8
    // bits a colour once the server is done, through the root visual's red,
    // green and blue masks.
    uint32_t rootMasks[3] = {0, 0, 0};
    // The root's size; RandR may change it while the program runs.
    RootRect rootSize{0, 0, 0, 0};
    // A window of this back end's own that no list or picture shows.
    xcb_window_t ownWindow = 0;
    // Causes already reported: every cause gets one line, not one per frame.
    std::set<std::string> reported;
    std::unique_ptr<std::mutex> reportedLock = std::make_unique<std::mutex>();
};

// Opens the display named by DISPLAY and learns what it offers. False, with
// one diagnostic line, when there is no X server.
bool openXContext(XContext& context);
void closeXContext(XContext& context);

// Prints line once per cause for the life of the connection.
void reportOnce(XContext& context, const std::string& cause, const std::string& line);
// Reports an X error once per error code and request; request names it.
void reportXError(XContext& context, const xcb_generic_error_t* error, const char* request);

// The reply to a request, taken with its error: an error is reported (once
// per cause) and turns into a null reply.
template <typename Reply, typename Cookie>
Reply* takeReply(XContext& context,
                 Reply* (*read)(xcb_connection_t*, Cookie, xcb_generic_error_t**), Cookie cookie,
                 const char* request) {
    xcb_generic_error_t* error = nullptr;
    Reply* reply = read(context.connection, cookie, &error);
    if (error == nullptr) return reply;
    reportXError(context, error, request);
    free(error);
    free(reply);
    return nullptr;
}
// The outcome of a checked request without a reply; false after an error,
// which is reported once per cause.
bool requestSucceeded(XContext& context, xcb_void_cookie_t cookie, const char* request);
// Waits until the server has handled every request sent so far.
void waitForServer(XContext& context);
// Reads the events waiting on the connection: errors of unchecked requests
// are reported, and each other event is handed to keep (which may be empty).
template <typename Keep>
void readWaitingEvents(XContext& context, Keep keep) {
    while (xcb_generic_event_t* event = xcb_poll_for_event(context.connection)) {
        if (event->response_type == 0) {
            reportXError(context, reinterpret_cast<xcb_generic_error_t*>(event), nullptr);
        } else {
            keep(event);
        }
        free(event);
    }
}

// The root's bounds; the first screen's rectangle and the others.
inline RootRect rootBounds(const XContext& context) { return context.rootSize; }
std::vector<RootRect> screenRects(XContext& context);
// Asks to hear of screens added, removed or resized.
void watchScreenChanges(XContext& context);
// True when event announces a change of the screens.
bool announcesScreenChange(const XContext& context, const xcb_generic_event_t* event);
// Reads the root's size again (after the screens changed).
void refreshRootSize(XContext& context);
// The refresh rate of the first screen's mode, 0 when RandR gives none.
double firstScreenRefreshRate(XContext& context);

// A property asked for now and read later, so that the requests for many
// windows share one round trip. Every request asked must be read.
struct PropertyRequest {
    xcb_get_property_cookie_t cookie{};
    bool asked = false;
};
PropertyRequest askProperty(XContext& context, xcb_window_t window, xcb_atom_t property,
                            xcb_atom_t type);
// The property's 32-bit values, none when it is absent or of another format.
std::vector<uint32_t> cardinalsOf(XContext& context, PropertyRequest request);
// The property's 8-bit text, nothing when it is absent or of another format.
std::optional<std::string> textOf(XContext& context, PropertyRequest request);
// The first 32-bit value of a property, fallback when there is none.
uint32_t cardinalOf(XContext& context, xcb_window_t window, xcb_atom_t property, xcb_atom_t type,
                    uint32_t fallback);

// The part of a rectangle that two rectangles share; empty when width or
// height is 0.
RootRect intersect(RootRect a, RootRect b);
inline bool isEmpty(RootRect r) { return r.width <= 0 || r.height <= 0; }
// Appends to out the parts of area that cut does not reach: at most four
// rectangles, none overlapping.
void subtract(RootRect area, RootRect cut, std::vector<RootRect>& out);
inline bool contains(RootRect outer, RootRect inner) {
    return inner.x >= outer.x && inner.y >= outer.y &&
           inner.x + inner.width <= outer.x + outer.width &&
           inner.y + inner.height <= outer.y + outer.height;
}

// A child of the root, in stacking order.
struct TopLevel {
    xcb_window_t id;
    RootRect outer;  // with its border, root coordinates
    bool viewable;
    bool inputOutput;
    uint8_t depth;
    bool desktop;  // _NET_WM_WINDOW_TYPE_DESKTOP: drawn below every other window
};
// The root's children bottom to top (QueryTree order), without the back
// end's own window.
std::vector<TopLevel> topLevels(XContext& context);
// The child of the root that holds window, 0 when there is none.
xcb_window_t topLevelOf(XContext& context, xcb_window_t window);
// The inside of window in root coordinates, nothing when it does not exist.
std::optional<RootRect> windowRootRect(XContext& context, xcb_window_t window);
