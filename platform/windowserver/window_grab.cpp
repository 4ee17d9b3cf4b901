#include "platform/windowserver/window_grab.h"

bool composeWindow(GrabContext& g, Picture& picture, xcb_window_t window) {
    XContext& x = g.x;
    const RootRect r = picture.area;
    useComposite(g);
    xcb_window_t top = topLevelHolding(g, window);
    if (top == 0) return false;
    std::optional<RootRect> inside = windowRootRect(x, window);
    if (!inside) return false;
    for (const TopLevel& t : windowTree(g)) {
        if (t.id != top) continue;
        if (!t.viewable) return false;
        const RootRect area = intersect(*inside, r);
        if (area != r) fill(x, *picture.canvas, {0, 0, r.width, r.height}, 0);
        DrawSource source = windowSource(x, t);
        drawInto(x, *picture.canvas, source, area.x - t.outer.x, area.y - t.outer.y,
                 shifted(area, r));
        releaseSource(x, source);
        return true;
    }
    return false;
}
