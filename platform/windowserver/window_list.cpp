#include "platform/windowserver/window_list.h"

#include <unistd.h>
#include <xcb/res.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <utility>

namespace {

// _NET_WM_STATE_ABOVE raises a window over the normal ones, as a floating
// panel's layer does.
constexpr int32_t kAboveLayer = 3;

// Everything asked about one window: all windows' requests go out before
// the first answer is read, so the list costs a round trip, not one per
// property and window.
struct WindowRequests {
    xcb_window_t window;
    xcb_get_window_attributes_cookie_t attributes;
    xcb_get_geometry_cookie_t geometry;
    xcb_translate_coordinates_cookie_t position;
    PropertyRequest type, state, pid, wmClass, netName, wmName;
};

// The answers, all read whether or not the window is kept.
struct WindowAnswers {
    bool exists = false;
    bool viewable = false;
    std::optional<RootRect> rect;
    std::vector<uint32_t> types, states, pid;
    std::optional<std::string> wmClass, netName, wmName;
};

WindowRequests askAbout(XContext& x, xcb_window_t window) {
    xcb_connection_t* c = x.connection;
    const XAtoms& a = x.atoms;
    return {window,
            xcb_get_window_attributes(c, window),
            xcb_get_geometry(c, window),
            xcb_translate_coordinates(c, window, x.root, 0, 0),
            askProperty(x, window, a.netWmWindowType, XCB_ATOM_ATOM),
            askProperty(x, window, a.netWmState, XCB_ATOM_ATOM),
            askProperty(x, window, a.netWmPid, XCB_ATOM_CARDINAL),
            askProperty(x, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING),
            askProperty(x, window, a.netWmName, a.utf8String),
            askProperty(x, window, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY)};
}

WindowAnswers readAnswers(XContext& x, const WindowRequests& r) {
    WindowAnswers answers;
    // A window may be gone since the list was read: it is then left out.
    xcb_get_window_attributes_reply_t* attributes =
        takeReply(x, xcb_get_window_attributes_reply, r.attributes, "GetWindowAttributes");
    xcb_get_geometry_reply_t* geometry =
        takeReply(x, xcb_get_geometry_reply, r.geometry, "GetGeometry");
    xcb_translate_coordinates_reply_t* position =
        takeReply(x, xcb_translate_coordinates_reply, r.position, "TranslateCoordinates");
    answers.exists = attributes != nullptr;
    answers.viewable = attributes != nullptr && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
    if (geometry != nullptr && position != nullptr) {
        answers.rect =
            RootRect{position->dst_x, position->dst_y, geometry->width, geometry->height};
    }
    free(attributes);
    free(geometry);
    free(position);
    answers.types = cardinalsOf(x, r.type);
    answers.states = cardinalsOf(x, r.state);
    answers.pid = cardinalsOf(x, r.pid);
    answers.wmClass = textOf(x, r.wmClass);
    answers.netName = textOf(x, r.netName);
    answers.wmName = textOf(x, r.wmName);
    return answers;
}

// Old toolkits (Xt, Xaw) name no process in _NET_WM_PID. The server knows
// the process of the local client that made the window; a client on another
// machine has none there, and its windows stay without an owner.
void askMissingOwners(XContext& x, const std::vector<WindowRequests>& requests,
                      std::vector<WindowAnswers>& answers) {
    if (!x.hasRes) return;
    std::vector<std::pair<size_t, xcb_res_query_client_ids_cookie_t>> asked;
    for (size_t i = 0; i < answers.size(); ++i) {
        if (!answers[i].exists || !answers[i].pid.empty()) continue;
        const xcb_res_client_id_spec_t spec{requests[i].window,
                                            XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
        asked.emplace_back(i, xcb_res_query_client_ids(x.connection, 1, &spec));
    }
    for (const auto& [i, cookie] : asked) {
        xcb_res_query_client_ids_reply_t* reply =
            takeReply(x, xcb_res_query_client_ids_reply, cookie, "ResQueryClientIds");
        if (reply == nullptr) continue;
        for (auto it = xcb_res_query_client_ids_ids_iterator(reply); it.rem > 0;
             xcb_res_client_id_value_next(&it)) {
            if ((it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) != 0 &&
                xcb_res_client_id_value_value_length(it.data) >= 1)
                answers[i].pid = {xcb_res_client_id_value_value(it.data)[0]};
        }
        free(reply);
    }
}

bool processExists(int32_t pid) {
    char path[32];
    snprintf(path, sizeof path, "/proc/%d", pid);
    return pid > 0 && access(path, F_OK) == 0;
}

std::optional<std::string> processName(int32_t pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    if (!std::getline(comm, name) || name.empty()) return std::nullopt;
    return name;
}

// WM_CLASS holds the instance and the class name, each NUL-terminated.
std::optional<std::string> className(const std::optional<std::string>& wmClass) {
    if (!wmClass) return std::nullopt;
    size_t split = wmClass->find('\0');
    if (split == std::string::npos || split + 1 >= wmClass->size()) return std::nullopt;
    std::string name = wmClass->substr(split + 1);
    name.resize(strnlen(name.c_str(), name.size()));
    if (name.empty()) return std::nullopt;
    return name;
}

bool isUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const size_t length = lead < 0x80           ? 1
                              : (lead >> 5) == 0x6  ? 2
                              : (lead >> 4) == 0xE  ? 3
                              : (lead >> 3) == 0x1E ? 4
                                                    : 0;
        if (length == 0 || i + length > text.size()) return false;
        for (size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        i += length;
    }
    return true;
}

// WM_CLASS is Latin-1 by its type, though most programs put UTF-8 there: a
// name that is not UTF-8 is read as Latin-1, and said once per name, so
// that every name the list gives is text.
std::optional<std::string> textOfName(XContext& x, xcb_window_t window,
                                      const std::optional<std::string>& name) {
    if (!name || isUtf8(*name)) return name;
    std::string text;
    for (unsigned char c : *name) {
        if (c < 0x80) {
            text += static_cast<char>(c);
        } else {
            text += static_cast<char>(0xC0 | (c >> 6));
            text += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    char line[400];
    snprintf(line, sizeof line,
             "window 0x%x: its class or process name is not UTF-8; read as Latin-1: \"%.300s\"",
             window, text.c_str());
    reportOnce(x, "class " + *name, line);
    return text;
}

bool isExcluded(const XAtoms& a, const WindowAnswers& answers) {
    for (uint32_t type : answers.types) {
        if (type == a.netWmWindowTypeDock || type == a.netWmWindowTypeDesktop) return true;
    }
    for (uint32_t state : answers.states) {
        if (state == a.netWmStateHidden) return true;
    }
    return false;
}

int32_t layerOf(const XAtoms& a, const WindowAnswers& answers) {
    for (uint32_t state : answers.states) {
        if (state == a.netWmStateAbove) return kAboveLayer;
    }
    return 0;
}

WindowInfo describe(XContext& x, xcb_window_t window, const WindowAnswers& answers,
                    RootRect first) {
    const XAtoms& a = x.atoms;
    WindowInfo info;
    info.onScreen = answers.viewable;
    info.layer = layerOf(a, answers);
    if (!answers.pid.empty() && answers.pid[0] <= INT32_MAX)
        info.ownerPid = static_cast<int32_t>(answers.pid[0]);
    // An application here is a live local process that has put a window
    // up: named in _NET_WM_PID, or known to the server as the window's maker.
    info.ownerIsRunningApplication =
        info.ownerPid && info.onScreen && processExists(*info.ownerPid);
    info.ownerName = className(answers.wmClass);
    if (!info.ownerName && info.ownerPid) info.ownerName = processName(*info.ownerPid);
    info.ownerName = textOfName(x, window, info.ownerName);
    info.title = answers.netName ? answers.netName : answers.wmName;
    if (const std::optional<RootRect>& r = answers.rect) {
        info.bounds =
            FrameRect{static_cast<double>(r->x - first.x), static_cast<double>(r->y - first.y),
                      static_cast<double>(r->width), static_cast<double>(r->height)};
    }
    info.windowNumber = window;
    return info;
}

std::vector<xcb_window_t> stackingFrontToBack(XContext& x) {
    // A window manager publishes its clients bottom to top; without one
    // (Xvfb), the root's children in stacking order are the clients.
    std::vector<uint32_t> stacking =
        cardinalsOf(x, askProperty(x, x.root, x.atoms.netClientListStacking, XCB_ATOM_WINDOW));
    if (stacking.empty()) {
        for (const TopLevel& t : topLevels(x)) {
            if (t.viewable && t.inputOutput) stacking.push_back(t.id);
        }
    }
    return {stacking.rbegin(), stacking.rend()};
}

}  // namespace

void listXWindows(XContext& context, RootRect firstScreen, std::vector<WindowInfo>& windows) {
    windows.clear();
    std::vector<WindowRequests> requests;
    for (xcb_window_t window : stackingFrontToBack(context))
        requests.push_back(askAbout(context, window));
    std::vector<WindowAnswers> answers;
    for (const WindowRequests& r : requests) answers.push_back(readAnswers(context, r));
    askMissingOwners(context, requests, answers);
    for (size_t i = 0; i < requests.size(); ++i) {
        if (answers[i].exists && !isExcluded(context.atoms, answers[i]))
            windows.push_back(describe(context, requests[i].window, answers[i], firstScreen));
    }
}
