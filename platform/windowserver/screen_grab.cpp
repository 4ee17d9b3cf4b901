#include "platform/windowserver/screen_grab.h"

namespace {

// Only a canvas in the caller's block outlives the picture: the scratch
// segment and the server's memory serve every kind of picture in turn. The
// changes are taken for every picture of the screen in a block, so that
// whichever block comes next knows what it missed; a block that missed more
// than the last two takes is drawn whole.
bool copyOnlyChanges(GrabContext& g, Picture& picture, const std::vector<RootRect>& holes) {
    XContext& x = g.x;
    Block* block = picture.block;
    Canvas& canvas = *picture.canvas;
    // The changes are copied as they are, so only onto a canvas of the
    // screen's own depth.
    // A picture brought down to 8 bits a colour no longer holds the screen's
    // own pixels to copy changes over.
    if (block == nullptr || &canvas != &block->canvas || canvas.depth != x.screen->root_depth ||
        keepsWideColours(canvas) || !countScreenChanges(x, g.changes))
        return false;
    takeScreenChanges(x, g.changes);
    const uint64_t missed = g.changes.takes - block->takenAt;
    block->kept = ScreenPicture{canvas.pixmap, picture.area, rootBounds(x), holes};
    block->takenAt = g.changes.takes;
    if (picture.previous != block->kept || missed > kTakesKept) return false;
    copyScreenChanges(x, g.changes, canvas, picture.area, holes, missed);
    return true;
}

// Off the screen the picture is transparent black: a plain copy from the
// root would leave those pixels as they were.
void drawScreen(XContext& x, const Picture& picture, const DrawSource& screen, RootRect piece) {
    const RootRect shown = intersect(piece, rootBounds(x));
    std::vector<RootRect> off;
    subtract(piece, shown, off);
    for (const RootRect& o : off) fill(x, *picture.canvas, shifted(o, picture.area), 0);
    drawInto(x, *picture.canvas, screen, shown.x, shown.y, shifted(shown, picture.area));
}

}  // namespace

// The screen outside the holes, piece by piece: each is a plain copy for
// the server, cheaper than one drawing limited to the same area.
void composeScreenAround(GrabContext& g, Picture& picture, const std::vector<RootRect>& holes) {
    if (copyOnlyChanges(g, picture, holes)) return;
    std::vector<RootRect> pieces{picture.area}, rest;
    for (const RootRect& hole : holes) {
        rest.clear();
        for (const RootRect& piece : pieces) subtract(piece, hole, rest);
        pieces.swap(rest);
    }
    DrawSource screen = screenSource(g.x);
    for (const RootRect& piece : pieces) drawScreen(g.x, picture, screen, piece);
    releaseSource(g.x, screen);
}
