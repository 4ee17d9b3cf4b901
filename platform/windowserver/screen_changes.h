// What of the screen changed since the last picture, as the server counts it
// with DAMAGE, so that the unchanged part of a picture still in the caller's
// block is not copied again. Internal to platform/windowserver.
#pragma once

#include <xcb/damage.h>
#include <xcb/xfixes.h>

#include <cstdint>
#include <vector>

#include "platform/windowserver/canvas.h"
#include "platform/windowserver/x_helpers.h"

// How many takes back a copy can reach: the caller alternates between two
// blocks, so a block's picture is two takes old when its turn comes again.
inline constexpr uint64_t kTakesKept = 2;

struct ScreenChanges {
    xcb_damage_damage_t damage = 0;
    xcb_xfixes_region_t changed = 0;  // the last take
    xcb_xfixes_region_t earlier = 0;  // the take before it
    xcb_xfixes_region_t copied = 0;   // what one copy draws
    xcb_xfixes_region_t holes = 0;    // parts of the picture drawn otherwise
    uint64_t takes = 0;
    bool unavailable = false;
};

// Starts counting, once per connection; false where the server lacks DAMAGE
// or XFixes, and then on every later call.
bool countScreenChanges(XContext& context, ScreenChanges& changes);
// Takes what changed since the last take and counts on from there: every
// change is in exactly one take. Call it before each picture of the screen.
void takeScreenChanges(XContext& context, ScreenChanges& changes);
// Copies into the canvas, which holds a picture of root area r made
// `missed` takes ago (1 or kTakesKept), what the takes since then hold in
// r, except inside holes.
void copyScreenChanges(XContext& context, ScreenChanges& changes, const Canvas& canvas, RootRect r,
                       const std::vector<RootRect>& holes, uint64_t missed);
void releaseScreenChanges(XContext& context, ScreenChanges& changes);
