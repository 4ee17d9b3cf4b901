#include "platform/windowserver/x_display.h"

#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

bool toolkitUsesX11() {
    const char* platformName = std::getenv("QT_QPA_PLATFORM");
    return platformName == nullptr || platformName[0] == '\0' ||
           std::strncmp(platformName, "xcb", 3) == 0;
}

}  // namespace

bool xDisplayCanBeOpened(const char* programName) {
    if (!toolkitUsesX11()) return true;
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || display[0] == '\0') {
        std::fprintf(stderr, "%s: no X display could be opened: DISPLAY is not set\n", programName);
        return false;
    }
    xcb_connection_t* connection = xcb_connect(display, nullptr);
    const bool reached = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    if (!reached)
        std::fprintf(stderr, "%s: no X display could be opened: cannot connect to \"%s\"\n",
                     programName, display);
    return reached;
}

}  // namespace platform
