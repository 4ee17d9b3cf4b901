#include "platform/windowserver/x_helpers.h"

#include <xcb/composite.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

xcb_atom_t internAtom(xcb_connection_t* c, const char* name) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<uint16_t>(strlen(name)), name), nullptr);
    xcb_atom_t atom = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    free(reply);
    return atom;
}

void internAtoms(XContext& context) {
    xcb_connection_t* c = context.connection;
    XAtoms& a = context.atoms;
    a.netClientListStacking = internAtom(c, "_NET_CLIENT_LIST_STACKING");
    a.netWmPid = internAtom(c, "_NET_WM_PID");
    a.netWmName = internAtom(c, "_NET_WM_NAME");
    a.utf8String = internAtom(c, "UTF8_STRING");
    a.netWmState = internAtom(c, "_NET_WM_STATE");
    a.netWmStateAbove = internAtom(c, "_NET_WM_STATE_ABOVE");
    a.netWmStateBelow = internAtom(c, "_NET_WM_STATE_BELOW");
    a.netWmStateFullscreen = internAtom(c, "_NET_WM_STATE_FULLSCREEN");
    a.netWmStateHidden = internAtom(c, "_NET_WM_STATE_HIDDEN");
    a.netWmWindowType = internAtom(c, "_NET_WM_WINDOW_TYPE");
    a.netWmWindowTypeDock = internAtom(c, "_NET_WM_WINDOW_TYPE_DOCK");
    a.netWmWindowTypeDesktop = internAtom(c, "_NET_WM_WINDOW_TYPE_DESKTOP");
}

bool hasExtension(xcb_connection_t* c, xcb_extension_t* extension) {
    const xcb_query_extension_reply_t* data = xcb_get_extension_data(c, extension);
    return data != nullptr && data->present;
}

// Composite and XFixes answer only clients that announce the version they
// speak.
void announceVersions(XContext& context) {
    xcb_connection_t* c = context.connection;
    if (context.hasComposite) {
        free(xcb_composite_query_version_reply(c, xcb_composite_query_version(c, 0, 4), nullptr));
    }
    if (context.hasRandr) {
        free(xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr));
    }
    if (context.hasXFixes) {
        free(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 4, 0), nullptr));
    }
}

}  // namespace

bool openXContext(XContext& context) {
    int screenNumber = 0;
    xcb_connection_t* c = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(c)) {
        xcb_disconnect(c);
        printf("window server: cannot connect to the X display \"%s\"\n",
               getenv("DISPLAY") ? getenv("DISPLAY") : "");
        return false;
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber && it.rem > 0; ++i) xcb_screen_next(&it);
    if (it.rem == 0) {
        xcb_disconnect(c);
        printf("window server: the X display has no screen %d\n", screenNumber);
        return false;
    }
    context.connection = c;
    context.screen = it.data;
    context.root = it.data->root;
    internAtoms(context);
    context.hasShm = hasExtension(c, &xcb_shm_id);
    context.hasComposite = hasExtension(c, &xcb_composite_id);
    context.hasXTest = hasExtension(c, &xcb_test_id);
    context.hasXFixes = hasExtension(c, &xcb_xfixes_id);
    context.hasRandr = hasExtension(c, &xcb_randr_id);
    announceVersions(context);
    return true;
}

void closeXContext(XContext& context) {
    if (context.connection != nullptr) xcb_disconnect(context.connection);
    context = XContext{};
}

RootRect rootBounds(const XContext& context) {
    return {0, 0, context.screen->width_in_pixels, context.screen->height_in_pixels};
}

std::vector<RootRect> screenRects(XContext& context) {
    std::vector<RootRect> rects;
    xcb_connection_t* c = context.connection;
    xcb_randr_get_monitors_reply_t* monitors =
        context.hasRandr
            ? xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, context.root, 1), nullptr)
            : nullptr;
    if (monitors != nullptr) {
        // The primary monitor is the first screen, the origin of every
        // global coordinate; the others follow in RandR's order.
        xcb_randr_monitor_info_iterator_t it = xcb_randr_get_monitors_monitors_iterator(monitors);
        for (; it.rem > 0; xcb_randr_monitor_info_next(&it)) {
            RootRect r{it.data->x, it.data->y, it.data->width, it.data->height};
            if (it.data->primary) {
                rects.insert(rects.begin(), r);
            } else {
                rects.push_back(r);
            }
        }
        free(monitors);
    }
    if (rects.empty()) rects.push_back(rootBounds(context));
    return rects;
}

void watchScreenChanges(XContext& context) {
    if (!context.hasRandr) return;
    xcb_randr_select_input(context.connection, context.root,
                           XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                               XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
    xcb_flush(context.connection);
}

bool screensChanged(XContext& context) {
    const xcb_query_extension_reply_t* randr =
        xcb_get_extension_data(context.connection, &xcb_randr_id);
    bool changed = false;
    // Only RandR's notices are asked for on this connection; anything else
    // is dropped as it comes.
    while (xcb_generic_event_t* event = xcb_poll_for_event(context.connection)) {
        uint8_t type = event->response_type & 0x7F;
        if (randr != nullptr && (type == randr->first_event + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
                                 type == randr->first_event + XCB_RANDR_NOTIFY)) {
            changed = true;
        }
        free(event);
    }
    return changed;
}

PropertyRequest askProperty(XContext& context, xcb_window_t window, xcb_atom_t property,
                            xcb_atom_t type) {
    if (property == XCB_ATOM_NONE) return {};
    // 64 KiB of 32-bit units: more than any name or window list we read.
    return {xcb_get_property(context.connection, 0, window, property, type, 0, 16384), true};
}

namespace {

xcb_get_property_reply_t* propertyReply(XContext& context, PropertyRequest request) {
    if (!request.asked) return nullptr;
    xcb_get_property_reply_t* reply =
        xcb_get_property_reply(context.connection, request.cookie, nullptr);
    if (reply != nullptr && reply->type == XCB_ATOM_NONE) {
        free(reply);
        return nullptr;
    }
    return reply;
}

}  // namespace

std::vector<uint32_t> cardinalsOf(XContext& context, PropertyRequest request) {
    std::vector<uint32_t> values;
    xcb_get_property_reply_t* reply = propertyReply(context, request);
    if (reply == nullptr) return values;
    if (reply->format == 32) {
        const auto* data = static_cast<const uint32_t*>(xcb_get_property_value(reply));
        int count = xcb_get_property_value_length(reply) / 4;
        values.assign(data, data + count);
    }
    free(reply);
    return values;
}

std::optional<std::string> textOf(XContext& context, PropertyRequest request) {
    xcb_get_property_reply_t* reply = propertyReply(context, request);
    if (reply == nullptr) return std::nullopt;
    std::optional<std::string> text;
    if (reply->format == 8) {
        const char* data = static_cast<const char*>(xcb_get_property_value(reply));
        text.emplace(data, static_cast<size_t>(xcb_get_property_value_length(reply)));
    }
    free(reply);
    return text;
}

RootRect intersect(RootRect a, RootRect b) {
    int32_t x0 = std::max(a.x, b.x);
    int32_t y0 = std::max(a.y, b.y);
    int32_t x1 = std::min(a.x + a.width, b.x + b.width);
    int32_t y1 = std::min(a.y + a.height, b.y + b.height);
    if (x1 <= x0 || y1 <= y0) return {x0, y0, 0, 0};
    return {x0, y0, x1 - x0, y1 - y0};
}

std::vector<TopLevel> topLevels(XContext& context) {
    std::vector<TopLevel> windows;
    xcb_connection_t* c = context.connection;
    xcb_query_tree_reply_t* tree =
        xcb_query_tree_reply(c, xcb_query_tree(c, context.root), nullptr);
    if (tree == nullptr) return windows;
    const xcb_window_t* children = xcb_query_tree_children(tree);
    int count = xcb_query_tree_children_length(tree);
    // Ask for every child's attributes and geometry before reading any
    // answer: one round trip instead of two per window.
    std::vector<xcb_get_window_attributes_cookie_t> attributes(static_cast<size_t>(count));
    std::vector<xcb_get_geometry_cookie_t> geometries(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        attributes[static_cast<size_t>(i)] = xcb_get_window_attributes(c, children[i]);
        geometries[static_cast<size_t>(i)] = xcb_get_geometry(c, children[i]);
    }
    for (int i = 0; i < count; ++i) {
        xcb_get_window_attributes_reply_t* a =
            xcb_get_window_attributes_reply(c, attributes[static_cast<size_t>(i)], nullptr);
        xcb_get_geometry_reply_t* g =
            xcb_get_geometry_reply(c, geometries[static_cast<size_t>(i)], nullptr);
        if (a != nullptr && g != nullptr) {
            int32_t border = 2 * g->border_width;
            windows.push_back({children[i],
                               {g->x, g->y, g->width + border, g->height + border},
                               a->map_state == XCB_MAP_STATE_VIEWABLE,
                               a->_class == XCB_WINDOW_CLASS_INPUT_OUTPUT});
        }
        free(a);
        free(g);
    }
    free(tree);
    return windows;
}

xcb_window_t topLevelOf(XContext& context, xcb_window_t window) {
    xcb_connection_t* c = context.connection;
    // Nesting deeper than this is not a window tree a client makes.
    for (int depth = 0; depth < 64 && window != 0; ++depth) {
        xcb_query_tree_reply_t* tree = xcb_query_tree_reply(c, xcb_query_tree(c, window), nullptr);
        if (tree == nullptr) return 0;
        xcb_window_t parent = tree->parent;
        free(tree);
        if (parent == context.root) return window;
        window = parent;
    }
    return 0;
}

std::optional<RootRect> windowRootRect(XContext& context, xcb_window_t window) {
    xcb_connection_t* c = context.connection;
    xcb_get_geometry_reply_t* g = xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr);
    xcb_translate_coordinates_reply_t* t = xcb_translate_coordinates_reply(
        c, xcb_translate_coordinates(c, window, context.root, 0, 0), nullptr);
    std::optional<RootRect> rect;
    if (g != nullptr && t != nullptr) rect = RootRect{t->dst_x, t->dst_y, g->width, g->height};
    free(g);
    free(t);
    return rect;
}
