#include "platform/windowserver/below_window.h"

#include <algorithm>
#include <utility>

#include "platform/windowserver/screen_grab.h"

namespace {

// Holes are kept apart, so that no part of the picture is drawn twice where
// left-out windows overlap.
void addHole(RootRect hole, std::vector<RootRect>& holes) {
    std::vector<RootRect> fresh{hole}, rest;
    for (const RootRect& known : holes) {
        rest.clear();
        for (const RootRect& piece : fresh) subtract(piece, known, rest);
        fresh.swap(rest);
    }
    holes.insert(holes.end(), fresh.begin(), fresh.end());
}

void drawLayer(XContext& x, const Picture& picture, const DrawSource& source, const TopLevel& layer,
               RootRect part) {
    drawInto(x, *picture.canvas, source, part.x - layer.outer.x, part.y - layer.outer.y,
             shifted(part, picture.area));
}

// Opaque black where the desktop's background cannot be had.
void drawBackground(XContext& x, const Picture& picture, RootRect area,
                    const DrawSource& background) {
    if (background.picture != 0)
        drawInto(x, *picture.canvas, background, area.x, area.y, shifted(area, picture.area));
    else
        fill(x, *picture.canvas, shifted(area, picture.area), 0xFFFF);
}

void layHole(XContext& x, const Picture& picture, RootRect hole,
             const std::vector<TopLevel>& layers, const DrawSource& background) {
    // An opaque window that covers the whole hole hides everything below it.
    size_t first = 0;
    bool covered = false;
    for (size_t i = layers.size(); i-- > 0;) {
        if (layers[i].depth != 32 && contains(layers[i].outer, hole)) {
            first = i;
            covered = true;
            break;
        }
    }
    if (!covered) drawBackground(x, picture, hole, background);
    for (size_t i = first; i < layers.size(); ++i) {
        const RootRect part = intersect(layers[i].outer, hole);
        if (isEmpty(part)) continue;
        DrawSource source = windowSource(x, layers[i]);
        drawLayer(x, picture, source, layers[i], part);
        releaseSource(x, source);
    }
}

// A hole with a translucent window in it is laid bottom to top, since such
// a window shows what is below it; otherwise every pixel is drawn once,
// from the topmost window that reaches it.
void composeHole(XContext& x, const Picture& picture, RootRect hole,
                 const std::vector<TopLevel>& layers, const DrawSource& background) {
    const bool seeThrough = std::any_of(layers.begin(), layers.end(), [hole](const TopLevel& t) {
        return t.depth == 32 && !isEmpty(intersect(t.outer, hole));
    });
    if (seeThrough) return layHole(x, picture, hole, layers, background);
    std::vector<RootRect> open{hole}, rest;
    for (size_t i = layers.size(); i-- > 0 && !open.empty();) {
        const TopLevel& layer = layers[i];
        if (isEmpty(intersect(layer.outer, hole))) continue;
        DrawSource source = windowSource(x, layer);
        if (source.picture == 0) continue;  // left out: what is below shows
        rest.clear();
        for (const RootRect& piece : open) {
            const RootRect part = intersect(layer.outer, piece);
            drawLayer(x, picture, source, layer, part);
            subtract(piece, part, rest);
        }
        releaseSource(x, source);
        open.swap(rest);
    }
    for (const RootRect& piece : open) drawBackground(x, picture, piece, background);
}

// Past this many pieces a left-out window counts whole: the picture stays
// right (its area is put together again) and the count of pieces bounded.
constexpr size_t kMostPieces = 32;

bool opaqueOnScreen(const TopLevel& t) { return t.viewable && t.inputOutput && t.depth != 32; }

// Where window (at index i of the stack) shows: its part of shown that no
// opaque window above it covers. A translucent window lets it show through.
void addWhereItShows(const std::vector<TopLevel>& stack, size_t i, RootRect shown,
                     std::vector<RootRect>& holes) {
    std::vector<RootRect> pieces{intersect(stack[i].outer, shown)}, rest;
    for (size_t j = i + 1; j < stack.size() && !pieces.empty(); ++j) {
        if (!opaqueOnScreen(stack[j])) continue;
        rest.clear();
        for (const RootRect& piece : pieces) subtract(piece, stack[j].outer, rest);
        pieces.swap(rest);
        if (pieces.size() > kMostPieces) {
            pieces.assign(1, intersect(stack[i].outer, shown));
            break;
        }
    }
    for (const RootRect& piece : pieces)
        if (!isEmpty(piece)) addHole(piece, holes);
}

// The windows that show in a hole, bottom to top, desktop windows first.
std::vector<TopLevel> layersWithout(const std::vector<TopLevel>& stack,
                                    const std::vector<xcb_window_t>& tops) {
    auto shows = [&tops](const TopLevel& t) {
        return t.viewable && t.inputOutput &&
               std::find(tops.begin(), tops.end(), t.id) == tops.end();
    };
    std::vector<TopLevel> layers;
    for (const TopLevel& t : stack)
        if (shows(t) && t.desktop) layers.push_back(t);
    for (const TopLevel& t : stack)
        if (shows(t) && !t.desktop) layers.push_back(t);
    return layers;
}

// Every hole put together from the layers over the desktop's background.
void composeHoles(GrabContext& g, Picture& picture, const std::vector<RootRect>& holes,
                  const std::vector<TopLevel>& layers) {
    XContext& x = g.x;
    DrawSource background = backgroundSource(x, g.background, publishedWallpaper(g),
                                             std::exchange(g.compositorChanged, false));
    for (const RootRect& hole : holes) composeHole(x, picture, hole, layers, background);
    releaseSource(x, background);
}

}  // namespace

// When none of the left-out windows shows in the picture's area, this is a
// plain picture of the screen; otherwise only where they show costs more.
void composeWithout(GrabContext& g, Picture& picture, std::span<const xcb_window_t> leftOut) {
    XContext& x = g.x;
    useComposite(g);
    std::vector<xcb_window_t> tops;
    for (xcb_window_t window : leftOut) {
        const xcb_window_t top = window != 0 ? topLevelHolding(g, window) : 0;
        if (top != 0) tops.push_back(top);
    }
    // Asked after every top-level above: the tree stays as it is from here.
    const std::vector<TopLevel>& stack = windowTree(g);
    const RootRect shown = intersect(picture.area, rootBounds(x));
    std::vector<RootRect> holes;
    for (size_t i = 0; i < stack.size(); ++i) {
        const TopLevel& t = stack[i];
        if (t.viewable && t.inputOutput && std::find(tops.begin(), tops.end(), t.id) != tops.end())
            addWhereItShows(stack, i, shown, holes);
    }
    const bool allHole = std::any_of(holes.begin(), holes.end(),
                                     [&](RootRect hole) { return contains(hole, picture.area); });
    if (!allHole) composeScreenAround(g, picture, holes);
    if (!holes.empty()) composeHoles(g, picture, holes, layersWithout(stack, tops));
}

// Only the areas the left-out windows reach cost more than a plain screen
// picture.
void composeBelow(GrabContext& g, Picture& picture, xcb_window_t window) {
    XContext& x = g.x;
    const RootRect r = picture.area;
    useComposite(g);
    const xcb_window_t top = topLevelHolding(g, window);
    const std::vector<TopLevel>& stack = windowTree(g);
    auto cut =
        std::find_if(stack.begin(), stack.end(), [top](const TopLevel& t) { return t.id == top; });
    // Holes stop at the screen's edge: off it the picture is black, as a
    // picture of the screen alone has it, whatever lies there.
    const RootRect shown = intersect(r, rootBounds(x));
    std::vector<RootRect> holes;
    bool allHole = false;
    for (auto it = cut; it != stack.end(); ++it) {
        RootRect hole = intersect(it->outer, shown);
        if (!it->viewable || !it->inputOutput || isEmpty(hole)) continue;
        addHole(hole, holes);
        allHole = allHole || contains(hole, r);
    }
    if (holes.empty()) return composeScreenAround(g, picture, {});
    if (!allHole) composeScreenAround(g, picture, holes);
    // The windows below that show, bottom to top, desktop windows first.
    std::vector<TopLevel> layers;
    for (auto it = stack.begin(); it != cut; ++it)
        if (it->viewable && it->inputOutput && it->desktop) layers.push_back(*it);
    for (auto it = stack.begin(); it != cut; ++it)
        if (it->viewable && it->inputOutput && !it->desktop) layers.push_back(*it);
    composeHoles(g, picture, holes, layers);
}
