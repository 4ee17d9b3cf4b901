// The desktop in front and the active window: whether one of our windows is
// on the active space, and a watch that hears when either changes.
// Internal to platform/windowserver.
#pragma once

#include <mutex>

#include "platform/windowserver/x_helpers.h"

// A connection of its own, so that its descriptor becomes readable exactly
// when a notice comes.
struct SpaceWatch {
    xcb_connection_t* connection = nullptr;
    std::mutex lock;
};

bool onActiveSpace(XContext& x, uint32_t window);
bool otherFullScreenIsActive(XContext& x, uint32_t ownWindow);
// The watch's descriptor, -1 when no connection can be had.
int startSpaceWatch(XContext& x, SpaceWatch& watch);
// kDesktopChanged and kActiveWindowChanged bits heard since the last call.
uint32_t takeSpaceChanges(XContext& x, SpaceWatch& watch);
void releaseSpaceWatch(SpaceWatch& watch);
