// What of the screen changed since the last picture, as the server counts it
// with DAMAGE, so that the unchanged part of a picture still in the caller's
// block is not copied again. Internal to platform/windowserver.
#pragma once

#include <xcb/damage.h>
#include <xcb/xfixes.h>

#include <vector>

#include "platform/windowserver/canvas.h"
#include "platform/windowserver/x_helpers.h"

struct ScreenChanges {
    xcb_damage_damage_t damage = 0;
    xcb_xfixes_region_t changed = 0;  // taken from the damage for one picture
    xcb_xfixes_region_t holes = 0;    // parts of the picture drawn otherwise
    bool unavailable = false;
};

// Starts counting, once per connection; false where the server lacks DAMAGE
// or XFixes, and then on every later call.
bool countScreenChanges(XContext& context, ScreenChanges& changes);
// Forgets what changed so far: call it before copying the screen whole, so
// that whatever changes after that copy is counted for the next picture.
void forgetScreenChanges(XContext& context, ScreenChanges& changes);
// Copies into the canvas, which holds the last picture of root area r, what
// changed in r since the last copy or forget, except inside holes; what
// changes afterwards is counted for the next picture.
void copyScreenChanges(XContext& context, ScreenChanges& changes, const Canvas& canvas, RootRect r,
                       const std::vector<RootRect>& holes);
void releaseScreenChanges(XContext& context, ScreenChanges& changes);
