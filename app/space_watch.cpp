#include "app/space_watch.h"

#include <xcb/xcb.h>

#include <QGuiApplication>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t kAllDesktops = 0xFFFFFFFF;

xcb_connection_t* qtConnection() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

xcb_window_t rootOf(xcb_connection_t* c) {
    const xcb_setup_t* setup = xcb_get_setup(c);
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(setup);
    return it.rem > 0 ? it.data->root : xcb_window_t{XCB_WINDOW_NONE};
}

// Made when missing: the names exist only once some client has used them, and
// the watch must recognise them when a window manager starts later.
xcb_atom_t atom(xcb_connection_t* c, const char* name) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<uint16_t>(strlen(name)), name), nullptr);
    if (reply == nullptr) return XCB_ATOM_NONE;
    const xcb_atom_t value = reply->atom;
    free(reply);
    return value;
}

// The 32-bit values of a property, at most capacity of them; -1 when the
// window has no such property of that type.
int readCardinals(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property, xcb_atom_t type,
                  uint32_t* values, int capacity) {
    if (property == XCB_ATOM_NONE) return -1;
    xcb_get_property_reply_t* reply = xcb_get_property_reply(
        c, xcb_get_property(c, 0, window, property, type, 0, static_cast<uint32_t>(capacity)),
        nullptr);
    if (reply == nullptr) return -1;
    int count = -1;
    if (reply->type == type && reply->format == 32) {
        count = xcb_get_property_value_length(reply) / 4;
        if (count > capacity) count = capacity;
        memcpy(values, xcb_get_property_value(reply), static_cast<size_t>(count) * 4);
    }
    free(reply);
    return count;
}

uint32_t readCardinal(xcb_connection_t* c, xcb_window_t window, const char* name, xcb_atom_t type,
                      uint32_t fallback) {
    uint32_t value = 0;
    return readCardinals(c, window, atom(c, name), type, &value, 1) == 1 ? value : fallback;
}

// The active window when it belongs to another program and is full screen.
bool otherFullScreenActive(xcb_connection_t* c, xcb_window_t root, xcb_window_t ours) {
    const uint32_t active = readCardinal(c, root, "_NET_ACTIVE_WINDOW", XCB_ATOM_WINDOW, 0);
    if (active == 0 || active == ours) return false;
    const xcb_atom_t fullScreen = atom(c, "_NET_WM_STATE_FULLSCREEN");
    uint32_t states[32];
    const int count = readCardinals(c, active, atom(c, "_NET_WM_STATE"), XCB_ATOM_ATOM, states, 32);
    for (int i = 0; i < count; ++i)
        if (states[i] == fullScreen) return true;
    return false;
}

void addRootPropertyEvents(xcb_connection_t* c, xcb_window_t root) {
    xcb_get_window_attributes_reply_t* attributes =
        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, root), nullptr);
    uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    if (attributes != nullptr) {
        mask |= attributes->your_event_mask;
        free(attributes);
    }
    xcb_change_window_attributes(c, root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(c);
}

}  // namespace

SpaceWatch::SpaceWatch(std::function<void()> onChange) : onChange(std::move(onChange)) {}

SpaceWatch::~SpaceWatch() {
    if (started && qGuiApp) qGuiApp->removeNativeEventFilter(this);
}

bool SpaceWatch::start(uint32_t window) {
    xcb_connection_t* c = qtConnection();
    if (c == nullptr || started) return false;
    ownWindow = window;
    rootWindow = rootOf(c);
    currentDesktopAtom = atom(c, "_NET_CURRENT_DESKTOP");
    activeWindowAtom = atom(c, "_NET_ACTIVE_WINDOW");
    addRootPropertyEvents(c, rootWindow);
    fullScreenInFront = otherFullScreenActive(c, rootWindow, ownWindow);
    qGuiApp->installNativeEventFilter(this);
    started = true;
    return true;
}

bool SpaceWatch::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (eventType != "xcb_generic_event_t") return false;
    auto* event = static_cast<xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_PROPERTY_NOTIFY) return false;
    auto* notify = reinterpret_cast<xcb_property_notify_event_t*>(event);
    if (notify->window != rootWindow) return false;
    if (notify->atom == currentDesktopAtom) {
        onChange();
    } else if (notify->atom == activeWindowAtom) {
        // Focus moves all the time; only a full-screen window taking or
        // leaving the front counts as a change of what is in front.
        const bool now = otherFullScreenActive(qtConnection(), rootWindow, ownWindow);
        if (now != fullScreenInFront) {
            fullScreenInFront = now;
            onChange();
        }
    }
    return false;  // Qt still gets every event
}

bool SpaceWatch::isOnActiveSpace(uint32_t window) {
    xcb_connection_t* c = qtConnection();
    if (c == nullptr || window == 0) return true;
    const xcb_window_t root = rootOf(c);
    const uint32_t current =
        readCardinal(c, root, "_NET_CURRENT_DESKTOP", XCB_ATOM_CARDINAL, kAllDesktops);
    const uint32_t ours =
        readCardinal(c, window, "_NET_WM_DESKTOP", XCB_ATOM_CARDINAL, kAllDesktops);
    const bool onCurrentDesktop =
        current == kAllDesktops || ours == kAllDesktops || ours == current;
    return onCurrentDesktop && !otherFullScreenActive(c, root, window);
}
