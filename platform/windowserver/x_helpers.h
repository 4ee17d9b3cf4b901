// What the X11 back end's parts share: the connection, the atoms, property
// reads, and the move between X11 root coordinates and global coordinates.
// Internal to platform/windowserver.
#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <optional>
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
};

struct XContext {
    xcb_connection_t* connection = nullptr;
    xcb_screen_t* screen = nullptr;
    xcb_window_t root = 0;
    XAtoms atoms{};
    bool hasShm = false;
    bool hasComposite = false;
    bool hasXTest = false;
    bool hasXFixes = false;
    bool hasRandr = false;
};

// Opens the display named by DISPLAY and learns what it offers. False, with
// one diagnostic line, when there is no X server.
bool openXContext(XContext& context);
void closeXContext(XContext& context);

// The first screen's rectangle in root coordinates (RandR's first active
// output, the whole root without RandR); the origin of global coordinates.
struct RootRect {
    int32_t x, y, width, height;
};
std::vector<RootRect> screenRects(XContext& context);
RootRect rootBounds(const XContext& context);
// Asks to hear of screens added, removed or resized.
void watchScreenChanges(XContext& context);
// True when the screens changed since the last call; reads waiting events.
bool screensChanged(XContext& context);

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

// The part of a rectangle that two rectangles share; empty when width or
// height is 0.
RootRect intersect(RootRect a, RootRect b);
inline bool isEmpty(RootRect r) { return r.width <= 0 || r.height <= 0; }

// A child of the root, in stacking order.
struct TopLevel {
    xcb_window_t id;
    RootRect outer;  // with its border, root coordinates
    bool viewable;
    bool inputOutput;
};
// The root's children bottom to top (QueryTree order).
std::vector<TopLevel> topLevels(XContext& context);
// The child of the root that holds window, 0 when there is none.
xcb_window_t topLevelOf(XContext& context, xcb_window_t window);
// The inside of window in root coordinates, nothing when it does not exist.
std::optional<RootRect> windowRootRect(XContext& context, xcb_window_t window);
