#include "platform/windowserver/window_server.h"

#include <atomic>
#include <new>

#include "platform/windowserver/xcb_window_server.h"

namespace {

// Stands in when there is no X display: no screens, no windows, no images,
// so every capture fails quietly and the program runs on.
class AbsentWindowServer final : public WindowServer {
  public:
    std::vector<ScreenInfo> screens() override { return {}; }
    double mainScreenHeight() override { return 0.0; }
    bool listWindows(std::vector<WindowInfo>& windows) override {
        windows.clear();
        return false;
    }
    bool captureImage(const FrameRect&, CaptureFilter, uint32_t, CapturedImage&) override {
        return false;
    }
    bool captureImageWithout(const FrameRect&, std::span<const uint32_t>, uint8_t*, size_t,
                             CapturedImage&) override {
        return false;
    }
    FramePoint mouseLocation() override { return {}; }
    bool currentCursor(CursorImage&, FramePoint&) override { return false; }
    void postPointerMove(double, double) override {}
    void postPointerButton(int, bool) override {}
};

std::atomic<WindowServer*> installedServer{nullptr};

}  // namespace

uint8_t* WindowServer::allocateSharedPixels(size_t bytes) {
    return new (std::nothrow) uint8_t[bytes];
}

double refreshRateOfMode(const ModeTimings& mode) {
    double lines = mode.vtotal;
    if (mode.doubleScan) lines *= 2;
    if (mode.interlace) lines /= 2;
    if (mode.htotal == 0 || lines <= 0) return 0.0;
    return double(mode.dotClock) / (double(mode.htotal) * lines);
}

WindowServer& windowServer() {
    if (WindowServer* server = installedServer.load()) return *server;
    static std::unique_ptr<WindowServer> x11 = makeXcbWindowServer();
    static AbsentWindowServer absent;
    if (x11) return *x11;
    return absent;
}

void setWindowServer(WindowServer* server) { installedServer.store(server); }
