#include "platform/windowserver/window_server.h"

#include <atomic>

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
    FramePoint mouseLocation() override { return {}; }
    bool currentCursor(CursorImage&, FramePoint&) override { return false; }
    void postPointerMove(double, double) override {}
    void postPointerButton(int, bool) override {}
};

std::atomic<WindowServer*> installedServer{nullptr};

}  // namespace

WindowServer& windowServer() {
    if (WindowServer* server = installedServer.load()) return *server;
    static std::unique_ptr<WindowServer> x11 = makeXcbWindowServer();
    static AbsentWindowServer absent;
    if (x11) return *x11;
    return absent;
}

void setWindowServer(WindowServer* server) { installedServer.store(server); }
