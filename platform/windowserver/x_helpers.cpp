#include "platform/windowserver/x_helpers.h"

#include <xcb/composite.h>
#include <xcb/randr.h>
#include <xcb/res.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

xcb_atom_t internAtom(XContext& x, const char* name) {
    xcb_connection_t* c = x.connection;
    xcb_intern_atom_reply_t* reply =
        takeReply(x, xcb_intern_atom_reply,
                  xcb_intern_atom(c, 0, static_cast<uint16_t>(strlen(name)), name), "InternAtom");
    xcb_atom_t atom = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    free(reply);
    return atom;
}

void internAtoms(XContext& x) {
    XAtoms& a = x.atoms;
    a.netClientListStacking = internAtom(x, "_NET_CLIENT_LIST_STACKING");
    a.netWmPid = internAtom(x, "_NET_WM_PID");
    a.netWmName = internAtom(x, "_NET_WM_NAME");
    a.utf8String = internAtom(x, "UTF8_STRING");
    a.netWmState = internAtom(x, "_NET_WM_STATE");
    a.netWmStateAbove = internAtom(x, "_NET_WM_STATE_ABOVE");
    a.netWmStateBelow = internAtom(x, "_NET_WM_STATE_BELOW");
    a.netWmStateFullscreen = internAtom(x, "_NET_WM_STATE_FULLSCREEN");
    a.netWmStateHidden = internAtom(x, "_NET_WM_STATE_HIDDEN");
    a.netWmWindowType = internAtom(x, "_NET_WM_WINDOW_TYPE");
    a.netWmWindowTypeDock = internAtom(x, "_NET_WM_WINDOW_TYPE_DOCK");
    a.netWmWindowTypeDesktop = internAtom(x, "_NET_WM_WINDOW_TYPE_DESKTOP");
    a.netCurrentDesktop = internAtom(x, "_NET_CURRENT_DESKTOP");
    a.netActiveWindow = internAtom(x, "_NET_ACTIVE_WINDOW");
    a.netWmDesktop = internAtom(x, "_NET_WM_DESKTOP");
    a.xRootPixmapId = internAtom(x, "_XROOTPMAP_ID");
}

bool hasExtension(xcb_connection_t* c, xcb_extension_t* extension) {
    const xcb_query_extension_reply_t* data = xcb_get_extension_data(c, extension);
    return data != nullptr && data->present;
}

// Render's direct-colour format of a depth with 8 bits per channel.
xcb_render_pictformat_t findFormat(const xcb_render_query_pict_formats_reply_t* formats,
                                   uint8_t depth, uint16_t alphaMask) {
    xcb_render_pictforminfo_iterator_t it = xcb_render_query_pict_formats_formats_iterator(formats);
    for (; it.rem > 0; xcb_render_pictforminfo_next(&it)) {
        const xcb_render_pictforminfo_t& f = *it.data;
        const xcb_render_directformat_t& d = f.direct;
        if (f.type == XCB_RENDER_PICT_TYPE_DIRECT && f.depth == depth && d.red_mask == 0xFF &&
            d.red_shift == 16 && d.green_shift == 8 && d.blue_shift == 0 &&
            d.alpha_mask == alphaMask && (alphaMask == 0 || d.alpha_shift == 24))
            return f.id;
    }
    return 0;
}

// Render's format of the root's visual: what the screen's own pixels are,
// whatever their depth.
xcb_render_pictformat_t formatOfRootVisual(const XContext& x,
                                           const xcb_render_query_pict_formats_reply_t* formats) {
    auto screens = xcb_render_query_pict_formats_screens_iterator(formats);
    for (; screens.rem > 0; xcb_render_pictscreen_next(&screens)) {
        auto depths = xcb_render_pictscreen_depths_iterator(screens.data);
        for (; depths.rem > 0; xcb_render_pictdepth_next(&depths)) {
            auto visuals = xcb_render_pictdepth_visuals_iterator(depths.data);
            for (; visuals.rem > 0; xcb_render_pictvisual_next(&visuals))
                if (visuals.data->visual == x.screen->root_visual) return visuals.data->format;
        }
    }
    return 0;
}

void learnRenderFormats(XContext& x) {
    xcb_connection_t* c = x.connection;
    free(takeReply(x, xcb_render_query_version_reply, xcb_render_query_version(c, 0, 11),
                   "RenderQueryVersion"));
    xcb_render_query_pict_formats_reply_t* formats =
        takeReply(x, xcb_render_query_pict_formats_reply, xcb_render_query_pict_formats(c),
                  "RenderQueryPictFormats");
    if (formats != nullptr) {
        x.rgb24 = findFormat(formats, 24, 0);
        x.argb32 = findFormat(formats, 32, 0xFF);
        x.rootFormat = formatOfRootVisual(x, formats);
    }
    free(formats);
    x.hasRender = x.rgb24 != 0 && x.argb32 != 0;
}

void learnShm(XContext& x) {
    xcb_shm_query_version_reply_t* version = takeReply(
        x, xcb_shm_query_version_reply, xcb_shm_query_version(x.connection), "ShmQueryVersion");
    if (version == nullptr) {
        x.hasShm = false;
        return;
    }
    x.shmPassesFds =
        version->major_version > 1 || (version->major_version == 1 && version->minor_version >= 2);
    x.shmPixmaps = version->shared_pixmaps && version->pixmap_format == XCB_IMAGE_FORMAT_Z_PIXMAP;
    free(version);
}

// Composite, RandR, XFixes and Render answer only clients that announce the
// version they speak.
void announceVersions(XContext& x) {
    xcb_connection_t* c = x.connection;
    if (x.hasComposite) {
        free(takeReply(x, xcb_composite_query_version_reply, xcb_composite_query_version(c, 0, 4),
                       "CompositeQueryVersion"));
    }
    if (x.hasRandr) {
        free(takeReply(x, xcb_randr_query_version_reply, xcb_randr_query_version(c, 1, 5),
                       "RandrQueryVersion"));
    }
    if (x.hasXFixes) {
        x.xfixesFirstEvent = xcb_get_extension_data(c, &xcb_xfixes_id)->first_event;
        free(takeReply(x, xcb_xfixes_query_version_reply, xcb_xfixes_query_version(c, 5, 0),
                       "XFixesQueryVersion"));
    }
    if (x.hasRes) {
        xcb_res_query_version_reply_t* version = takeReply(
            x, xcb_res_query_version_reply, xcb_res_query_version(c, 1, 2), "ResQueryVersion");
        x.hasRes =
            version != nullptr && (version->server_major > 1 ||
                                   (version->server_major == 1 && version->server_minor >= 2));
        free(version);
    }
    if (x.hasShm) learnShm(x);
    if (x.hasRender) learnRenderFormats(x);
}

// 24-bit pixels stored in 32 bits, as the pictures handed out are laid out.
bool depthTakes32Bits(xcb_connection_t* c, uint8_t depth) {
    xcb_format_iterator_t it = xcb_setup_pixmap_formats_iterator(xcb_get_setup(c));
    for (; it.rem > 0; xcb_format_next(&it))
        if (it.data->depth == depth) return it.data->bits_per_pixel == 32;
    return false;
}

// The root visual's red, green and blue masks; false when it is not found.
bool rootVisualMasks(const xcb_screen_t* screen, uint32_t masks[3]) {
    for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem > 0; xcb_depth_next(&d)) {
        for (auto v = xcb_depth_visuals_iterator(d.data); v.rem > 0; xcb_visualtype_next(&v)) {
            if (v.data->visual_id != screen->root_visual) continue;
            masks[0] = v.data->red_mask;
            masks[1] = v.data->green_mask;
            masks[2] = v.data->blue_mask;
            return true;
        }
    }
    return false;
}

const char* errorName(uint8_t code) {
    static const char* const names[] = {
        "Success",   "BadRequest", "BadValue",    "BadWindow",   "BadPixmap", "BadAtom",
        "BadCursor", "BadFont",    "BadMatch",    "BadDrawable", "BadAccess", "BadAlloc",
        "BadColor",  "BadGC",      "BadIDChoice", "BadName",     "BadLength", "BadImplementation"};
    return code < sizeof names / sizeof names[0] ? names[code] : "an extension's error";
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
    context.rootSize = {0, 0, it.data->width_in_pixels, it.data->height_in_pixels};
    internAtoms(context);
    const std::string compositorSelection = "_NET_WM_CM_S" + std::to_string(screenNumber);
    context.atoms.netWmCmS = internAtom(context, compositorSelection.c_str());
    context.hasShm = hasExtension(c, &xcb_shm_id);
    context.hasComposite = hasExtension(c, &xcb_composite_id);
    context.hasRender = hasExtension(c, &xcb_render_id);
    context.hasXTest = hasExtension(c, &xcb_test_id);
    context.hasXFixes = hasExtension(c, &xcb_xfixes_id);
    context.hasRandr = hasExtension(c, &xcb_randr_id);
    context.hasRes = hasExtension(c, &xcb_res_id);
    announceVersions(context);
    if (it.data->root_depth == 24 && depthTakes32Bits(c, 24)) context.canvasDepth = 24;
    if (it.data->root_depth == 30 && depthTakes32Bits(c, 30) &&
        rootVisualMasks(it.data, context.rootMasks))
        context.canvasDepth = 30;
    return true;
}

void closeXContext(XContext& context) {
    if (context.connection != nullptr) xcb_disconnect(context.connection);
    context = XContext{};
}

void reportOnce(XContext& context, const std::string& cause, const std::string& line) {
    std::lock_guard<std::mutex> hold(*context.reportedLock);
    if (!context.reported.insert(cause).second) return;
    printf("window server: %s\n", line.c_str());
    fflush(stdout);
}

void reportXError(XContext& context, const xcb_generic_error_t* error, const char* request) {
    const std::string cause = "X error " + std::to_string(error->error_code) + " " +
                              std::to_string(error->major_code) + "." +
                              std::to_string(error->minor_code);
    std::string line = std::string("X error ") + errorName(error->error_code) + " (" +
                       std::to_string(error->error_code) + ") from " +
                       (request ? request : "a request") + " (opcode " +
                       std::to_string(error->major_code) + "." + std::to_string(error->minor_code) +
                       ")";
    reportOnce(context, cause, line);
}

bool requestSucceeded(XContext& context, xcb_void_cookie_t cookie, const char* request) {
    xcb_generic_error_t* error = xcb_request_check(context.connection, cookie);
    if (error == nullptr) return true;
    reportXError(context, error, request);
    free(error);
    return false;
}

void waitForServer(XContext& context) {
    xcb_connection_t* c = context.connection;
    free(takeReply(context, xcb_get_input_focus_reply, xcb_get_input_focus(c), "GetInputFocus"));
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
        takeReply(context, xcb_get_property_reply, request.cookie, "GetProperty");
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

uint32_t cardinalOf(XContext& context, xcb_window_t window, xcb_atom_t property, xcb_atom_t type,
                    uint32_t fallback) {
    std::vector<uint32_t> values =
        cardinalsOf(context, askProperty(context, window, property, type));
    return values.empty() ? fallback : values[0];
}

RootRect intersect(RootRect a, RootRect b) {
    int32_t x0 = std::max(a.x, b.x);
    int32_t y0 = std::max(a.y, b.y);
    int32_t x1 = std::min(a.x + a.width, b.x + b.width);
    int32_t y1 = std::min(a.y + a.height, b.y + b.height);
    if (x1 <= x0 || y1 <= y0) return {x0, y0, 0, 0};
    return {x0, y0, x1 - x0, y1 - y0};
}

void subtract(RootRect area, RootRect cut, std::vector<RootRect>& out) {
    const RootRect c = intersect(area, cut);
    if (isEmpty(c)) {
        if (!isEmpty(area)) out.push_back(area);
        return;
    }
    const int32_t right = area.x + area.width, bottom = area.y + area.height;
    const RootRect pieces[] = {
        {area.x, area.y, area.width, c.y - area.y},                      // above
        {area.x, c.y, c.x - area.x, c.height},                           // left
        {c.x + c.width, c.y, right - (c.x + c.width), c.height},         // right
        {area.x, c.y + c.height, area.width, bottom - (c.y + c.height)}  // below
    };
    for (const RootRect& piece : pieces)
        if (!isEmpty(piece)) out.push_back(piece);
}

std::vector<TopLevel> topLevels(XContext& context) {
    std::vector<TopLevel> windows;
    xcb_connection_t* c = context.connection;
    xcb_query_tree_reply_t* tree =
        takeReply(context, xcb_query_tree_reply, xcb_query_tree(c, context.root), "QueryTree");
    if (tree == nullptr) return windows;
    const xcb_window_t* children = xcb_query_tree_children(tree);
    int count = xcb_query_tree_children_length(tree);
    // Ask for every child's attributes and geometry before reading any
    // answer: one round trip instead of two per window.
    std::vector<xcb_get_window_attributes_cookie_t> attributes(static_cast<size_t>(count));
    std::vector<xcb_get_geometry_cookie_t> geometries(static_cast<size_t>(count));
    std::vector<PropertyRequest> types(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        attributes[static_cast<size_t>(i)] = xcb_get_window_attributes(c, children[i]);
        geometries[static_cast<size_t>(i)] = xcb_get_geometry(c, children[i]);
        types[static_cast<size_t>(i)] =
            askProperty(context, children[i], context.atoms.netWmWindowType, XCB_ATOM_ATOM);
    }
    for (int i = 0; i < count; ++i) {
        // A window gone since the tree was read is left out.
        xcb_get_window_attributes_reply_t* a =
            takeReply(context, xcb_get_window_attributes_reply, attributes[static_cast<size_t>(i)],
                      "GetWindowAttributes");
        xcb_get_geometry_reply_t* g = takeReply(context, xcb_get_geometry_reply,
                                                geometries[static_cast<size_t>(i)], "GetGeometry");
        std::vector<uint32_t> type = cardinalsOf(context, types[static_cast<size_t>(i)]);
        if (a != nullptr && g != nullptr && children[i] != context.ownWindow) {
            int32_t border = 2 * g->border_width;
            windows.push_back({children[i],
                               {g->x, g->y, g->width + border, g->height + border},
                               a->map_state == XCB_MAP_STATE_VIEWABLE,
                               a->_class == XCB_WINDOW_CLASS_INPUT_OUTPUT,
                               g->depth,
                               std::find(type.begin(), type.end(),
                                         context.atoms.netWmWindowTypeDesktop) != type.end()});
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
        xcb_query_tree_reply_t* tree =
            takeReply(context, xcb_query_tree_reply, xcb_query_tree(c, window), "QueryTree");
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
    xcb_get_geometry_cookie_t geometry = xcb_get_geometry(c, window);
    xcb_translate_coordinates_cookie_t position =
        xcb_translate_coordinates(c, window, context.root, 0, 0);
    xcb_get_geometry_reply_t* g =
        takeReply(context, xcb_get_geometry_reply, geometry, "GetGeometry");
    xcb_translate_coordinates_reply_t* t =
        takeReply(context, xcb_translate_coordinates_reply, position, "TranslateCoordinates");
    std::optional<RootRect> rect;
    if (g != nullptr && t != nullptr) rect = RootRect{t->dst_x, t->dst_y, g->width, g->height};
    free(g);
    free(t);
    return rect;
}
