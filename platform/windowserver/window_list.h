// The on-screen window list of an X display, front to back. Internal to
// platform/windowserver.
#pragma once

#include <vector>

#include "platform/windowserver/x_helpers.h"

// Fills windows with every client window in stacking order, front first,
// bounds relative to the first screen's corner; docks, desktop windows and
// hidden windows are left out.
void listXWindows(XContext& context, RootRect firstScreen, std::vector<WindowInfo>& windows);
