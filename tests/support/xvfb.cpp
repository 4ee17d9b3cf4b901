#include "tests/support/xvfb.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace testsupport {

namespace {

// Reads the display number Xvfb writes once it listens; "" after 20 s.
std::string readDisplayNumber(int fd) {
    std::string number;
    for (int waited = 0; waited < 200; ++waited) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char c;
        ssize_t n = read(fd, &c, 1);
        if (n <= 0) break;
        if (c == '\n') return number;
        number += c;
    }
    return "";
}

// Ends a child of ours and reaps it.
void endChild(pid_t& pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int status;
    waitpid(pid, &status, 0);
    pid = -1;
}

}  // namespace

XvfbServer::XvfbServer(int width, int height, int depth, bool sharedMemory) {
    int fds[2];
    if (pipe(fds) != 0) return;
    std::string screen =
        std::to_string(width) + "x" + std::to_string(height) + "x" + std::to_string(depth);
    std::string fd = std::to_string(fds[1]);
    pid_ = fork();
    if (pid_ == 0) {
        // A test that crashes must not leave its server running.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        close(fds[0]);
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        dup2(devnull, 2);
        const char* shm = sharedMemory ? "+extension" : "-extension";
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(),
               "-nolisten", "tcp", "+extension", "Composite", shm, "MIT-SHM", "+extension", "XTEST",
               "+extension", "RANDR", "-noreset", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    if (pid_ > 0) {
        std::string number = readDisplayNumber(fds[0]);
        if (!number.empty()) display_ = ":" + number;
    }
    close(fds[0]);
    if (display_.empty()) fprintf(stderr, "Xvfb did not start\n");
}

XvfbServer::~XvfbServer() { endChild(pid_); }

void XvfbServer::makeDefault() const { setenv("DISPLAY", display_.c_str(), 1); }

bool XvfbServer::run(const std::string& command) const {
    const std::string line = "DISPLAY=" + display_ + " " + command;
    return system(line.c_str()) == 0;
}

BackgroundProgram::BackgroundProgram(const std::string& display,
                                     const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        setenv("DISPLAY", display.c_str(), 1);
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        execvp(args[0], args.data());
        _exit(127);
    }
}

bool BackgroundProgram::running() {
    if (pid_ <= 0) return false;
    int status;
    if (waitpid(pid_, &status, WNOHANG) == 0) return true;
    pid_ = -1;
    return false;
}

void BackgroundProgram::stop() { endChild(pid_); }

struct TestWindows::Impl {
    xcb_connection_t* c = nullptr;
    xcb_window_t root = 0;
    std::vector<xcb_window_t> windows;

    xcb_atom_t atom(const char* name) {
        xcb_intern_atom_reply_t* r = xcb_intern_atom_reply(
            c, xcb_intern_atom(c, 0, static_cast<uint16_t>(strlen(name)), name), nullptr);
        xcb_atom_t a = r ? r->atom : xcb_atom_t{XCB_ATOM_NONE};
        free(r);
        return a;
    }
    void set(xcb_window_t w, xcb_atom_t property, xcb_atom_t type, uint8_t format, size_t count,
             const void* data) {
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, property, type, format,
                            static_cast<uint32_t>(count), data);
    }
    void describe(xcb_window_t w, const TestWindowSpec& spec);
    // The root visual's pixel for 0xRRGGBB, each channel cut to its bits.
    uint32_t pixelOf(uint32_t rgb) const {
        uint32_t pixel = 0;
        const uint32_t masks[] = {visual.red_mask, visual.green_mask, visual.blue_mask};
        for (int i = 0; i < 3; ++i) {
            if (masks[i] == 0) continue;  // not a true-colour visual
            const uint32_t channel = (rgb >> (16 - 8 * i)) & 0xFF;
            const int shift = __builtin_ctz(masks[i]), bits = __builtin_popcount(masks[i]);
            // Wider channels (10 bits on a 30-bit screen) repeat the top bits.
            const uint32_t value = bits <= 8 ? channel >> (8 - bits)
                                             : (channel << (bits - 8)) | (channel >> (16 - bits));
            pixel |= (value << shift) & masks[i];
        }
        return pixel;
    }
    xcb_visualtype_t visual{};
};

void TestWindows::Impl::describe(xcb_window_t w, const TestWindowSpec& spec) {
    // As the user placed it (USPosition, USSize): a window manager keeps it
    // there rather than placing it by its own rules.
    uint32_t hints[18] = {1 | 2, static_cast<uint32_t>(spec.x), static_cast<uint32_t>(spec.y),
                          static_cast<uint32_t>(spec.width), static_cast<uint32_t>(spec.height)};
    set(w, XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS, 32, 18, hints);
    if (!spec.title.empty()) {
        set(w, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, spec.title.size(), spec.title.data());
        set(w, atom("_NET_WM_NAME"), atom("UTF8_STRING"), 8, spec.title.size(), spec.title.data());
    }
    if (!spec.wmClass.empty()) {
        std::string value = spec.wmClass + '\0' + spec.wmClass + '\0';
        set(w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8, value.size(), value.data());
    }
    uint32_t pid =
        spec.pid == -1 ? static_cast<uint32_t>(getpid()) : static_cast<uint32_t>(spec.pid);
    if (spec.pid != 0) set(w, atom("_NET_WM_PID"), XCB_ATOM_CARDINAL, 32, 1, &pid);
    if (spec.above) {
        xcb_atom_t above = atom("_NET_WM_STATE_ABOVE");
        set(w, atom("_NET_WM_STATE"), XCB_ATOM_ATOM, 32, 1, &above);
    }
    if (!spec.windowType.empty()) {
        xcb_atom_t type = atom(spec.windowType.c_str());
        set(w, atom("_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM, 32, 1, &type);
    }
}

TestWindows::TestWindows(const std::string& display) : impl_(new Impl) {
    impl_->c = xcb_connect(display.c_str(), nullptr);
    if (xcb_connection_has_error(impl_->c)) return;
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(impl_->c)).data;
    impl_->root = screen->root;
    for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem > 0; xcb_depth_next(&d))
        for (auto v = xcb_depth_visuals_iterator(d.data); v.rem > 0; xcb_visualtype_next(&v))
            if (v.data->visual_id == screen->root_visual) impl_->visual = *v.data;
}

TestWindows::~TestWindows() {
    for (xcb_window_t w : impl_->windows) xcb_destroy_window(impl_->c, w);
    xcb_disconnect(impl_->c);
    delete impl_;
}

bool TestWindows::ok() const { return xcb_connection_has_error(impl_->c) == 0; }

uint32_t TestWindows::create(const TestWindowSpec& spec) {
    if (!ok()) return 0;
    xcb_connection_t* c = impl_->c;
    xcb_window_t w = xcb_generate_id(c);
    uint32_t values[] = {impl_->pixelOf(spec.rgb)};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, w, impl_->root, static_cast<int16_t>(spec.x),
                      static_cast<int16_t>(spec.y), static_cast<uint16_t>(spec.width),
                      static_cast<uint16_t>(spec.height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXEL, values);
    impl_->describe(w, spec);
    xcb_map_window(c, w);
    impl_->windows.push_back(w);
    sync();
    return w;
}

void TestWindows::raise(uint32_t window) {
    uint32_t mode = XCB_STACK_MODE_ABOVE;
    xcb_configure_window(impl_->c, window, XCB_CONFIG_WINDOW_STACK_MODE, &mode);
    sync();
}

void TestWindows::lower(uint32_t window) {
    uint32_t mode = XCB_STACK_MODE_BELOW;
    xcb_configure_window(impl_->c, window, XCB_CONFIG_WINDOW_STACK_MODE, &mode);
    sync();
}

void TestWindows::move(uint32_t window, int x, int y) {
    uint32_t position[] = {static_cast<uint32_t>(x), static_cast<uint32_t>(y)};
    xcb_configure_window(impl_->c, window, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, position);
    sync();
}

void TestWindows::resize(uint32_t window, int width, int height) {
    uint32_t size[] = {static_cast<uint32_t>(width), static_cast<uint32_t>(height)};
    xcb_configure_window(impl_->c, window, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT,
                         size);
    sync();
}

void TestWindows::paint(uint32_t window, uint32_t rgb) {
    const uint32_t pixel = impl_->pixelOf(rgb);
    xcb_change_window_attributes(impl_->c, window, XCB_CW_BACK_PIXEL, &pixel);
    xcb_clear_area(impl_->c, 0, window, 0, 0, 0, 0);
    sync();
}

void TestWindows::unmap(uint32_t window) {
    xcb_unmap_window(impl_->c, window);
    sync();
}

bool TestWindows::askToClose(uint32_t window) {
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = window;
    message.type = impl_->atom("WM_PROTOCOLS");
    message.data.data32[0] = impl_->atom("WM_DELETE_WINDOW");
    message.data.data32[1] = XCB_CURRENT_TIME;
    xcb_generic_error_t* error = xcb_request_check(
        impl_->c, xcb_send_event_checked(impl_->c, 0, window, XCB_EVENT_MASK_NO_EVENT,
                                         reinterpret_cast<const char*>(&message)));
    const bool sent = error == nullptr;
    free(error);
    return sent;
}

void TestWindows::map(uint32_t window) {
    xcb_map_window(impl_->c, window);
    sync();
}

uint32_t TestWindows::root() const { return impl_->root; }

bool TestWindows::framed(uint32_t window) {
    xcb_query_tree_reply_t* tree =
        xcb_query_tree_reply(impl_->c, xcb_query_tree(impl_->c, window), nullptr);
    const bool inFrame = tree != nullptr && tree->parent != impl_->root;
    free(tree);
    return inFrame;
}

bool TestWindows::frameAll(const std::vector<uint32_t>& windows, int timeoutMs) {
    for (int waited = 0; waited <= timeoutMs; waited += 20) {
        bool all = true;
        for (uint32_t w : windows) {
            if (framed(w)) continue;
            all = false;
            map(w);
        }
        if (all) return true;
        usleep(20000);
    }
    return false;
}

void TestWindows::setCardinal(uint32_t window, const char* property, const char* type,
                              uint32_t value) {
    impl_->set(window, impl_->atom(property), impl_->atom(type), 32, 1, &value);
    sync();
}

void TestWindows::setAtom(uint32_t window, const char* property, const char* value) {
    xcb_atom_t atom = impl_->atom(value);
    impl_->set(window, impl_->atom(property), XCB_ATOM_ATOM, 32, 1, &atom);
    sync();
}

void TestWindows::setRootBackground(uint32_t rgb) {
    const uint32_t pixel = impl_->pixelOf(rgb);
    xcb_change_window_attributes(impl_->c, impl_->root, XCB_CW_BACK_PIXEL, &pixel);
    xcb_clear_area(impl_->c, 0, impl_->root, 0, 0, 0, 0);
    sync();
}

void TestWindows::setWallpaper(uint32_t rgb) {
    xcb_connection_t* c = impl_->c;
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    xcb_pixmap_t pixmap = xcb_generate_id(c);
    xcb_create_pixmap(c, screen->root_depth, pixmap, impl_->root, screen->width_in_pixels,
                      screen->height_in_pixels);
    xcb_gcontext_t gc = xcb_generate_id(c);
    const uint32_t pixel = impl_->pixelOf(rgb);
    xcb_create_gc(c, gc, pixmap, XCB_GC_FOREGROUND, &pixel);
    xcb_rectangle_t all{0, 0, screen->width_in_pixels, screen->height_in_pixels};
    xcb_poly_fill_rectangle(c, pixmap, gc, 1, &all);
    xcb_free_gc(c, gc);
    xcb_change_window_attributes(c, impl_->root, XCB_CW_BACK_PIXMAP, &pixmap);
    xcb_clear_area(c, 0, impl_->root, 0, 0, 0, 0);
    impl_->set(impl_->root, impl_->atom("_XROOTPMAP_ID"), XCB_ATOM_PIXMAP, 32, 1, &pixmap);
    sync();
}

void TestWindows::setStackingList(const uint32_t* windows, int count) {
    impl_->set(impl_->root, impl_->atom("_NET_CLIENT_LIST_STACKING"), XCB_ATOM_WINDOW, 32,
               static_cast<size_t>(count), windows);
    sync();
}

uint32_t TestWindows::selectionOwner(const char* name) {
    xcb_get_selection_owner_reply_t* r = xcb_get_selection_owner_reply(
        impl_->c, xcb_get_selection_owner(impl_->c, impl_->atom(name)), nullptr);
    const uint32_t owner = r != nullptr ? r->owner : 0;
    free(r);
    return owner;
}

void TestWindows::sync() {
    free(xcb_get_input_focus_reply(impl_->c, xcb_get_input_focus(impl_->c), nullptr));
}

bool TestWindows::pointer(int& x, int& y) {
    xcb_query_pointer_reply_t* p =
        xcb_query_pointer_reply(impl_->c, xcb_query_pointer(impl_->c, impl_->root), nullptr);
    if (p == nullptr) return false;
    x = p->root_x;
    y = p->root_y;
    free(p);
    return true;
}

}  // namespace testsupport
