// The window server on X11 through XCB. Internal to platform/windowserver:
// the program reaches it through windowServer().
#pragma once

#include <memory>

#include "platform/windowserver/window_server.h"

// A window server on the display named by DISPLAY; null, with a diagnostic
// line, when there is none.
std::unique_ptr<WindowServer> makeXcbWindowServer();
