// The X11 window server used from several threads at once: captures,
// screens and the mouse stay right and do not trip over one another.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "platform/windowserver/xcb_window_server.h"
#include "tests/support/audio_receiver.h"
#include "tests/support/xvfb.h"

namespace {

uint32_t firstPixel(const CapturedImage& image) {
    uint32_t p;
    memcpy(&p, image.pixels.get(), 4);
    return p & 0xFFFFFFu;  // screen pictures carry no alpha
}

TEST(X11WindowServerThreads, CapturesFromSeveralThreads) {
    testsupport::XvfbServer xvfb(800, 600);
    ASSERT_TRUE(xvfb.ok());
    xvfb.makeDefault();
    testsupport::TestWindows windows(xvfb.display());
    windows.setRootBackground(0x304050);
    uint32_t green = windows.create({.x = 0, .y = 0, .width = 400, .height = 300, .rgb = 0x00ff00});
    windows.create({.x = 0, .y = 0, .width = 200, .height = 200, .rgb = 0xff0000});
    std::unique_ptr<WindowServer> server = makeXcbWindowServer();
    ASSERT_NE(server, nullptr);

    constexpr int kRounds = 40;
    std::atomic<int> wrong{0};
    std::atomic<int> belowDone{0};
    std::atomic<bool> settled{false};
    // Images borrow the grabbers' memory until the next capture, so the
    // threads only check that their captures succeed; the pixels are read
    // once the others are done.
    auto alone = [&] {
        for (int i = 0; i < kRounds; ++i) {
            CapturedImage image;
            if (!server->captureImage({0, 0, 400, 300}, CaptureFilter::includingWindow, green,
                                      image))
                ++wrong;
        }
    };
    auto screen = [&] {
        for (int i = 0; i < kRounds; ++i) {
            CapturedImage image;
            if (!server->captureImage({300, 300, 100, 100}, CaptureFilter::allWindows, 0, image))
                ++wrong;
        }
    };
    auto queries = [&] {
        for (int i = 0; i < kRounds; ++i) {
            if (server->screens().size() != 1 || server->mainScreenHeight() != 600.0) ++wrong;
            server->mouseLocation();
            std::vector<WindowInfo> list;
            if (!server->listWindows(list) || list.size() != 2) ++wrong;
        }
    };
    // Pictures below a window, with the desktop's stand-in, go on while a
    // compositing manager starts and the other threads read its notice.
    auto below = [&] {
        for (; belowDone < kRounds || !settled; ++belowDone) {
            CapturedImage image;
            if (!server->captureImage({0, 0, 400, 300}, CaptureFilter::onScreenBelowWindow, green,
                                      image))
                ++wrong;
        }
    };
    std::thread a(alone), b(screen), c(queries), d(below);
    // Started once the stand-in is there; at work once it paints the
    // desktop itself, and kept from starting when it exits.
    testsupport::waitUntil([&] { return belowDone > 0; }, 10000);
    testsupport::BackgroundProgram compositor(xvfb.display(), {"xcompmgr"});
    auto painted = [&] {
        CapturedImage image;
        return server->captureImage({700, 500, 1, 1}, CaptureFilter::allWindows, 0, image) &&
               firstPixel(image) != 0x304050u;
    };
    testsupport::waitUntil([&] { return !compositor.running() || painted(); }, 10000);
    EXPECT_TRUE(compositor.running()) << "a compositor started while pictures were made";
    settled = true;
    a.join();
    b.join();
    c.join();
    d.join();
    EXPECT_EQ(wrong.load(), 0);
    CapturedImage image;
    ASSERT_TRUE(
        server->captureImage({0, 0, 400, 300}, CaptureFilter::includingWindow, green, image));
    EXPECT_EQ(firstPixel(image), 0x00FF00u);
}

}  // namespace
