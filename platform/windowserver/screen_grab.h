// The screen grabber: the screen as it shows, drawn into the picture's
// canvas with plain copies from the root, and in a caller's shared block
// only where the server counted changes since that block's last picture.
// Internal to platform/windowserver.
#pragma once

#include <vector>

#include "platform/windowserver/grab_context.h"

// The screen in the picture's area except inside holes (root coordinates,
// kept apart); off the screen the picture is transparent black.
void composeScreenAround(GrabContext& g, Picture& picture, const std::vector<RootRect>& holes);
