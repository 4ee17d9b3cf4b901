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

// The toolkit draws only in true colour: on a screen of fewer bits (8-bit
// colour maps) it crashes in its first drawing.
bool screenDepthSupported(xcb_connection_t* connection, int screenNumber, const char* programName) {
    auto screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (; screenNumber > 0 && screens.rem > 0; --screenNumber) xcb_screen_next(&screens);
    const xcb_screen_t* screen = screens.rem > 0 ? screens.data : nullptr;
    if (screen == nullptr) return true;
    bool trueColour = false;
    for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem > 0; xcb_depth_next(&d))
        for (auto v = xcb_depth_visuals_iterator(d.data); v.rem > 0; xcb_visualtype_next(&v))
            if (v.data->visual_id == screen->root_visual)
                trueColour = v.data->_class == XCB_VISUAL_CLASS_TRUE_COLOR ||
                             v.data->_class == XCB_VISUAL_CLASS_DIRECT_COLOR;
    if (screen->root_depth >= 15 && trueColour) return true;
    std::fprintf(stderr,
                 "%s: the X screen's depth of %u bits is not supported; it needs 15, 16, 24 or 30 "
                 "bits of true colour\n",
                 programName, unsigned(screen->root_depth));
    return false;
}

}  // namespace

bool xDisplayCanBeOpened(const char* programName) {
    if (!toolkitUsesX11()) return true;
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || display[0] == '\0') {
        std::fprintf(stderr, "%s: no X display could be opened: DISPLAY is not set\n", programName);
        return false;
    }
    int screenNumber = 0;
    xcb_connection_t* connection = xcb_connect(display, &screenNumber);
    const bool reached = xcb_connection_has_error(connection) == 0;
    const bool usable = reached && screenDepthSupported(connection, screenNumber, programName);
    xcb_disconnect(connection);
    if (!reached)
        std::fprintf(stderr, "%s: no X display could be opened: cannot connect to \"%s\"\n",
                     programName, display);
    return usable;
}

}  // namespace platform
