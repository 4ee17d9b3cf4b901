#include "platform/windowserver/screen_changes.h"

#include <cstdlib>
#include <utility>

namespace {

bool announceDamage(XContext& x) {
    const xcb_query_extension_reply_t* data = xcb_get_extension_data(x.connection, &xcb_damage_id);
    if (data == nullptr || !data->present) return false;
    xcb_damage_query_version_reply_t* version =
        takeReply(x, xcb_damage_query_version_reply, xcb_damage_query_version(x.connection, 1, 1),
                  "DamageQueryVersion");
    const bool known = version != nullptr;
    free(version);
    return known;
}

xcb_rectangle_t rectangleOf(RootRect r) {
    return {static_cast<int16_t>(r.x), static_cast<int16_t>(r.y), static_cast<uint16_t>(r.width),
            static_cast<uint16_t>(r.height)};
}

xcb_xfixes_region_t makeRegion(xcb_connection_t* c) {
    const xcb_xfixes_region_t region = xcb_generate_id(c);
    xcb_xfixes_create_region(c, region, 0, nullptr);
    return region;
}

}  // namespace

bool countScreenChanges(XContext& x, ScreenChanges& changes) {
    if (changes.damage != 0) return true;
    if (changes.unavailable) return false;
    if (!x.hasXFixes || !announceDamage(x)) {
        changes.unavailable = true;
        return false;
    }
    xcb_connection_t* c = x.connection;
    changes.damage = xcb_generate_id(c);
    // One notice when the count goes from nothing to something: the count
    // itself stays on the server and is taken as a region.
    xcb_damage_create(c, changes.damage, x.root, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    changes.changed = makeRegion(c);
    changes.earlier = makeRegion(c);
    changes.copied = makeRegion(c);
    changes.holes = makeRegion(c);
    return true;
}

void takeScreenChanges(XContext& x, ScreenChanges& changes) {
    std::swap(changes.changed, changes.earlier);
    // The server takes the count and starts a new one in one step, so a
    // change is either in this take or counted for the next.
    xcb_damage_subtract(x.connection, changes.damage, XCB_NONE, changes.changed);
    ++changes.takes;
}

void copyScreenChanges(XContext& x, ScreenChanges& changes, const Canvas& canvas, RootRect r,
                       const std::vector<RootRect>& holes, uint64_t missed) {
    xcb_connection_t* c = x.connection;
    if (missed >= kTakesKept)
        xcb_xfixes_union_region(c, changes.changed, changes.earlier, changes.copied);
    else
        xcb_xfixes_copy_region(c, changes.changed, changes.copied);
    std::vector<xcb_rectangle_t> rects;
    rects.reserve(holes.size());
    for (const RootRect& hole : holes) rects.push_back(rectangleOf(hole));
    xcb_xfixes_set_region(c, changes.holes, static_cast<uint32_t>(rects.size()), rects.data());
    xcb_xfixes_subtract_region(c, changes.copied, changes.holes, changes.copied);
    xcb_xfixes_set_gc_clip_region(c, canvas.gc, changes.copied, static_cast<int16_t>(-r.x),
                                  static_cast<int16_t>(-r.y));
    xcb_copy_area(c, x.root, canvas.pixmap, canvas.gc, static_cast<int16_t>(r.x),
                  static_cast<int16_t>(r.y), 0, 0, static_cast<uint16_t>(r.width),
                  static_cast<uint16_t>(r.height));
    xcb_xfixes_set_gc_clip_region(c, canvas.gc, XCB_NONE, 0, 0);
}

void releaseScreenChanges(XContext& x, ScreenChanges& changes) {
    if (changes.damage != 0 && x.connection != nullptr) {
        xcb_damage_destroy(x.connection, changes.damage);
        for (xcb_xfixes_region_t region :
             {changes.changed, changes.earlier, changes.copied, changes.holes})
            xcb_xfixes_destroy_region(x.connection, region);
    }
    changes = ScreenChanges{};
}
