#include "platform/windowserver/space_watch.h"

#include <algorithm>

namespace {

constexpr uint32_t kAllDesktops = 0xFFFFFFFF;

}  // namespace

bool onActiveSpace(XContext& x, uint32_t window) {
    if (window == 0) return true;
    const XAtoms& a = x.atoms;
    const uint32_t current =
        cardinalOf(x, x.root, a.netCurrentDesktop, XCB_ATOM_CARDINAL, kAllDesktops);
    const uint32_t ours = cardinalOf(x, window, a.netWmDesktop, XCB_ATOM_CARDINAL, kAllDesktops);
    const bool onCurrentDesktop =
        current == kAllDesktops || ours == kAllDesktops || ours == current;
    return onCurrentDesktop && !otherFullScreenIsActive(x, window);
}

bool otherFullScreenIsActive(XContext& x, uint32_t ownWindow) {
    const XAtoms& a = x.atoms;
    const uint32_t active = cardinalOf(x, x.root, a.netActiveWindow, XCB_ATOM_WINDOW, 0);
    if (active == 0 || active == ownWindow) return false;
    std::vector<uint32_t> states =
        cardinalsOf(x, askProperty(x, active, a.netWmState, XCB_ATOM_ATOM));
    return std::find(states.begin(), states.end(), a.netWmStateFullscreen) != states.end();
}

int startSpaceWatch(XContext& x, SpaceWatch& watch) {
    std::lock_guard<std::mutex> hold(watch.lock);
    if (watch.connection == nullptr) {
        xcb_connection_t* c = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(c)) {
            xcb_disconnect(c);
            return -1;
        }
        const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_change_window_attributes(c, x.root, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(c);
        watch.connection = c;
    }
    return xcb_get_file_descriptor(watch.connection);
}

uint32_t takeSpaceChanges(XContext& x, SpaceWatch& watch) {
    std::lock_guard<std::mutex> hold(watch.lock);
    uint32_t notices = 0;
    if (watch.connection == nullptr) return notices;
    while (xcb_generic_event_t* event = xcb_poll_for_event(watch.connection)) {
        if ((event->response_type & 0x7F) == XCB_PROPERTY_NOTIFY) {
            auto* notify = reinterpret_cast<xcb_property_notify_event_t*>(event);
            if (notify->window == x.root && notify->atom == x.atoms.netCurrentDesktop)
                notices |= kDesktopChanged;
            if (notify->window == x.root && notify->atom == x.atoms.netActiveWindow)
                notices |= kActiveWindowChanged;
        }
        free(event);
    }
    return notices;
}

void releaseSpaceWatch(SpaceWatch& watch) {
    std::lock_guard<std::mutex> hold(watch.lock);
    if (watch.connection != nullptr) xcb_disconnect(watch.connection);
    watch.connection = nullptr;
}
