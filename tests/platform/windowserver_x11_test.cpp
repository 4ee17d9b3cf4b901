// The X11 window server against a private Xvfb with windows of known colours.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/windowserver/xcb_window_server.h"
#include "tests/support/audio_receiver.h"
#include "tests/support/xvfb.h"

using testsupport::BackgroundProgram;
using testsupport::TestWindows;
using testsupport::TestWindowSpec;
using testsupport::waitUntil;
using testsupport::XvfbServer;

namespace {

// The colour at (x, y): screen pictures carry no alpha.
uint32_t pixelAt(const CapturedImage& image, int x, int y) {
    uint32_t p;
    memcpy(&p, image.pixels.get() + static_cast<size_t>(y) * image.bytesPerRow + x * 4, 4);
    return p & 0xFFFFFFu;
}

class X11WindowServer : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(xvfb.ok());
        xvfb.makeDefault();
        server = makeXcbWindowServer();
        ASSERT_NE(server, nullptr);
        ASSERT_TRUE(windows.ok());
    }

    const WindowInfo* find(const std::vector<WindowInfo>& list, uint32_t id) {
        for (const WindowInfo& w : list) {
            if (w.windowNumber == id) return &w;
        }
        return nullptr;
    }

    XvfbServer xvfb{1920, 1200};
    TestWindows windows{xvfb.display()};
    std::unique_ptr<WindowServer> server;
};

TEST_F(X11WindowServer, OneScreenWithItsFrameAndHeight) {
    std::vector<ScreenInfo> screens = server->screens();
    ASSERT_EQ(screens.size(), 1u);
    EXPECT_EQ(screens[0].frame.x, 0.0);
    EXPECT_EQ(screens[0].frame.y, 0.0);
    EXPECT_EQ(screens[0].frame.width, 1920.0);
    EXPECT_EQ(screens[0].frame.height, 1200.0);
    EXPECT_EQ(server->mainScreenHeight(), 1200.0);
}

TEST_F(X11WindowServer, ListsWindowsFrontToBackWithTheirProperties) {
    uint32_t back = windows.create({.x = 10,
                                    .y = 20,
                                    .width = 300,
                                    .height = 200,
                                    .rgb = 0xff0000,
                                    .title = "Back window",
                                    .wmClass = "BackApp"});
    uint32_t front = windows.create({.x = 50,
                                     .y = 60,
                                     .width = 400,
                                     .height = 100,
                                     .rgb = 0x00ff00,
                                     .title = "",
                                     .wmClass = "FrontApp",
                                     .above = true});
    windows.create({.x = 0,
                    .y = 0,
                    .width = 1920,
                    .height = 30,
                    .rgb = 0x0000ff,
                    .wmClass = "Panel",
                    .windowType = "_NET_WM_WINDOW_TYPE_DOCK"});
    std::vector<WindowInfo> list;
    ASSERT_TRUE(server->listWindows(list));
    ASSERT_EQ(list.size(), 2u) << "the dock is left out";
    EXPECT_EQ(list[0].windowNumber, front);
    EXPECT_EQ(list[1].windowNumber, back);
    EXPECT_TRUE(list[1].onScreen);
    EXPECT_EQ(list[1].ownerPid, getpid());
    EXPECT_TRUE(list[1].ownerIsRunningApplication);
    EXPECT_EQ(list[1].ownerName, "BackApp");
    EXPECT_EQ(list[1].title, "Back window");
    ASSERT_TRUE(list[1].bounds);
    EXPECT_EQ(list[1].bounds->x, 10.0);
    EXPECT_EQ(list[1].bounds->y, 20.0);
    EXPECT_EQ(list[1].bounds->width, 300.0);
    EXPECT_EQ(list[1].bounds->height, 200.0);
    EXPECT_EQ(list[1].layer, 0);
    EXPECT_FALSE(list[0].title) << "a window without a name has no title";
    EXPECT_GT(*list[0].layer, 0) << "an always-on-top window stands above normal ones";
}

// A window of an old toolkit (Xt, Xaw) names no process in _NET_WM_PID: its
// owner is the local process that made it, here the test itself.
TEST_F(X11WindowServer, OwnerFallsBackToTheProcessNameAndUnknownProcessesAreNotApplications) {
    uint32_t unnamed = windows.create({.width = 100, .height = 100, .title = "no class"});
    uint32_t stranger =
        windows.create({.width = 100, .height = 100, .wmClass = "Ghost", .pid = 0x3fffffff});
    uint32_t anonymous = windows.create({.width = 100, .height = 100, .wmClass = "Anon", .pid = 0});
    std::vector<WindowInfo> list;
    ASSERT_TRUE(server->listWindows(list));
    char comm[64] = {};
    FILE* f = fopen("/proc/self/comm", "r");
    ASSERT_NE(f, nullptr);
    ASSERT_NE(fgets(comm, sizeof comm, f), nullptr);
    fclose(f);
    comm[strcspn(comm, "\n")] = '\0';
    ASSERT_NE(find(list, unnamed), nullptr);
    EXPECT_EQ(find(list, unnamed)->ownerName, std::string(comm));
    EXPECT_FALSE(find(list, stranger)->ownerIsRunningApplication);
    EXPECT_EQ(find(list, anonymous)->ownerPid, getpid()) << "the process that made it";
    EXPECT_TRUE(find(list, anonymous)->ownerIsRunningApplication);
    EXPECT_EQ(find(list, anonymous)->ownerName, "Anon");
}

// A class in Latin-1, as its property type has it, is listed as UTF-8 text;
// the window is named once, not at every rebuild of the list.
TEST_F(X11WindowServer, AClassThatIsNotUtf8IsReadAsLatin1AndNamedOnce) {
    const uint32_t cafe = windows.create({.width = 100, .height = 100, .wmClass = "Caf\xe9"});
    testing::internal::CaptureStdout();
    std::vector<WindowInfo> list;
    ASSERT_TRUE(server->listWindows(list));
    ASSERT_TRUE(server->listWindows(list));
    const std::string said = testing::internal::GetCapturedStdout();
    ASSERT_NE(find(list, cafe), nullptr);
    EXPECT_EQ(find(list, cafe)->ownerName, "Caf\xc3\xa9");
    char named[32];
    snprintf(named, sizeof named, "window 0x%x: ", cafe);
    EXPECT_NE(said.find(named), std::string::npos) << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
}

TEST_F(X11WindowServer, FollowsTheWindowManagersStackingListWhenThereIsOne) {
    uint32_t a = windows.create({.width = 100, .height = 100, .wmClass = "A"});
    uint32_t b = windows.create({.width = 100, .height = 100, .wmClass = "B"});
    uint32_t bottomToTop[] = {b, a};
    windows.setStackingList(bottomToTop, 2);
    std::vector<WindowInfo> list;
    ASSERT_TRUE(server->listWindows(list));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].windowNumber, a);
    EXPECT_EQ(list[1].windowNumber, b);
}

TEST_F(X11WindowServer, ScreenImageHasTheRectanglesSizeAndColours) {
    windows.create({.x = 100, .y = 100, .width = 200, .height = 200, .rgb = 0x112233});
    CapturedImage image;
    ASSERT_TRUE(server->captureImage({0, 0, 1920, 1200}, CaptureFilter::allWindows, 0, image));
    EXPECT_EQ(image.width, 1920);
    EXPECT_EQ(image.height, 1200);
    EXPECT_EQ(image.bytesPerRow, 1920 * 4);
    EXPECT_EQ(image.byteLength, 1920u * 1200u * 4u);
    EXPECT_EQ(pixelAt(image, 150, 150), 0x112233u);
    ASSERT_TRUE(server->captureImage({100, 100, 50, 40}, CaptureFilter::allWindows, 0, image));
    EXPECT_EQ(image.width, 50);
    EXPECT_EQ(image.height, 40);
    EXPECT_EQ(pixelAt(image, 0, 0), 0x112233u);
    EXPECT_EQ(pixelAt(image, 49, 39), 0x112233u);
}

TEST_F(X11WindowServer, PartOfTheRectangleOffTheScreenIsTransparent) {
    windows.create({.x = 1800, .y = 1100, .width = 120, .height = 100, .rgb = 0x445566});
    CapturedImage image;
    ASSERT_TRUE(server->captureImage({1800, 1100, 400, 300}, CaptureFilter::allWindows, 0, image));
    EXPECT_EQ(image.width, 400);
    EXPECT_EQ(image.height, 300);
    EXPECT_EQ(pixelAt(image, 10, 10), 0x445566u);
    EXPECT_EQ(pixelAt(image, 200, 10), 0u);
    EXPECT_EQ(pixelAt(image, 10, 200), 0u);
    EXPECT_FALSE(server->captureImage({5000, 5000, 10, 10}, CaptureFilter::allWindows, 0, image));
    EXPECT_FALSE(server->captureImage({0, 0, 0, 10}, CaptureFilter::allWindows, 0, image));
}

// A crop window dragged partly off the screen: what lies off it is black in
// every picture, never what the block held before.
TEST_F(X11WindowServer, BelowAWindowPartlyOffTheScreenTheRestIsBlack) {
    windows.setRootBackground(0x102030);
    windows.create({.x = 1500, .y = 900, .width = 420, .height = 300, .rgb = 0x00ff00});
    const uint32_t crop =
        windows.create({.x = 1600, .y = 1000, .width = 640, .height = 360, .rgb = 0xff0000});
    const size_t size = 1920u * 1200u * 4u;
    uint8_t* block = server->allocateSharedPixels(size);
    ASSERT_NE(block, nullptr);
    for (int round = 0; round < 2; ++round) {
        memset(block, 0x5A, size);
        server->sharedPixelsChanged(block);
        CapturedImage image;
        ASSERT_TRUE(server->captureImageInto(
            {1600, 1000, 640, 360}, CaptureFilter::onScreenBelowWindow, crop, block, size, image));
        EXPECT_EQ(pixelAt(image, 10, 10), 0x00FF00u) << "the window below, on the screen";
        EXPECT_EQ(pixelAt(image, 400, 10), 0u) << "right of the screen";
        EXPECT_EQ(pixelAt(image, 10, 300), 0u) << "below the screen";
        EXPECT_EQ(pixelAt(image, 639, 359), 0u);
    }
}

TEST_F(X11WindowServer, OneWindowAloneEvenWhenCovered) {
    uint32_t red =
        windows.create({.x = 100, .y = 100, .width = 300, .height = 200, .rgb = 0xff0000});
    windows.create({.x = 50, .y = 50, .width = 600, .height = 600, .rgb = 0x0000ff});
    CapturedImage image;
    ASSERT_TRUE(
        server->captureImage({100, 100, 300, 200}, CaptureFilter::includingWindow, red, image));
    EXPECT_EQ(image.width, 300);
    EXPECT_EQ(pixelAt(image, 0, 0), 0xFF0000u);
    EXPECT_EQ(pixelAt(image, 299, 199), 0xFF0000u);
    // A larger area holds the window alone, transparent around it.
    ASSERT_TRUE(
        server->captureImage({100, 100, 1920, 1080}, CaptureFilter::includingWindow, red, image));
    EXPECT_EQ(image.width, 1920);
    EXPECT_EQ(pixelAt(image, 150, 150), 0xFF0000u);
    EXPECT_EQ(pixelAt(image, 400, 150), 0u);
    windows.unmap(red);
    EXPECT_FALSE(
        server->captureImage({100, 100, 300, 200}, CaptureFilter::includingWindow, red, image));
}

TEST_F(X11WindowServer, BelowAWindowLeavesItAndThoseAboveOut) {
    windows.create({.x = 0, .y = 0, .width = 800, .height = 800, .rgb = 0x00ff00});
    uint32_t middle =
        windows.create({.x = 100, .y = 100, .width = 200, .height = 200, .rgb = 0xff0000});
    windows.create({.x = 250, .y = 250, .width = 200, .height = 200, .rgb = 0x0000ff});
    CapturedImage image;
    ASSERT_TRUE(
        server->captureImage({0, 0, 800, 800}, CaptureFilter::onScreenBelowWindow, middle, image));
    EXPECT_EQ(pixelAt(image, 150, 150), 0x00FF00u);
    EXPECT_EQ(pixelAt(image, 400, 400), 0x00FF00u);
    EXPECT_EQ(pixelAt(image, 600, 600), 0x00FF00u);
    ASSERT_TRUE(server->captureImage({0, 0, 800, 800}, CaptureFilter::allWindows, 0, image));
    EXPECT_EQ(pixelAt(image, 150, 150), 0xFF0000u);
    EXPECT_EQ(pixelAt(image, 400, 400), 0x0000FFu);
}

TEST_F(X11WindowServer, BelowAWindowAwayFromTheRectangleIsTheScreenAsItIs) {
    windows.create({.x = 0, .y = 0, .width = 400, .height = 400, .rgb = 0x00ff00});
    uint32_t away =
        windows.create({.x = 1000, .y = 1000, .width = 100, .height = 100, .rgb = 0xff0000});
    CapturedImage image;
    ASSERT_TRUE(
        server->captureImage({0, 0, 400, 400}, CaptureFilter::onScreenBelowWindow, away, image));
    EXPECT_EQ(pixelAt(image, 200, 200), 0x00FF00u);
}

TEST_F(X11WindowServer, BelowTheLeftOutWindowsIsTheScreenAsItWouldBeWithoutThem) {
    windows.setRootBackground(0x304050);
    windows.create({.x = 0,
                    .y = 0,
                    .width = 600,
                    .height = 400,
                    .rgb = 0x806040,
                    .windowType = "_NET_WM_WINDOW_TYPE_DESKTOP"});
    windows.create({.x = 500, .y = 300, .width = 400, .height = 300, .rgb = 0x20a020});
    const FrameRect area{0, 0, 1200, 900};
    CapturedImage shown;
    ASSERT_TRUE(server->captureImage(area, CaptureFilter::allWindows, 0, shown));
    std::vector<uint32_t> expected;
    for (int y = 0; y < shown.height; ++y)
        for (int x = 0; x < shown.width; ++x) expected.push_back(pixelAt(shown, x, y));
    EXPECT_EQ(pixelAt(shown, 1100, 800), 0x304050u) << "the root's own colour";

    uint32_t main =
        windows.create({.x = 300, .y = 200, .width = 700, .height = 500, .rgb = 0xff00ff});
    windows.create({.x = 900, .y = 100, .width = 200, .height = 200, .rgb = 0xffff00});
    CapturedImage below;
    ASSERT_TRUE(server->captureImage(area, CaptureFilter::onScreenBelowWindow, main, below));
    ASSERT_EQ(below.byteLength, expected.size() * 4);
    size_t differing = 0;
    for (int y = 0; y < below.height; ++y)
        for (int x = 0; x < below.width; ++x)
            differing += pixelAt(below, x, y) != expected[static_cast<size_t>(y) * below.width + x];
    EXPECT_EQ(differing, 0u);
    EXPECT_EQ(pixelAt(below, 350, 250), 0x806040u) << "the desktop window";
    EXPECT_EQ(pixelAt(below, 950, 650), 0x304050u) << "the root, uncovered";
    EXPECT_EQ(pixelAt(below, 1000, 150), 0x304050u) << "the root under a window above";

    windows.setWallpaper(0x123456);
    ASSERT_TRUE(server->captureImage(area, CaptureFilter::onScreenBelowWindow, main, below));
    EXPECT_EQ(pixelAt(below, 950, 650), 0x123456u) << "the published wallpaper";
}

// Without the program's own windows: where they show, what lies below them;
// windows in front of them stay. Covered wholly, or not mapped, they leave
// the plain picture of the screen.
TEST_F(X11WindowServer, WithoutOwnWindowsOnlyWhereTheyShowIsPutTogetherAgain) {
    windows.setRootBackground(0x304050);
    windows.create({.x = 0, .y = 0, .width = 500, .height = 500, .rgb = 0x00ff00});
    const uint32_t main =
        windows.create({.x = 100, .y = 100, .width = 600, .height = 400, .rgb = 0xff00ff});
    const uint32_t crop =
        windows.create({.x = 800, .y = 100, .width = 300, .height = 300, .rgb = 0xff0000});
    const uint32_t front =
        windows.create({.x = 400, .y = 300, .width = 400, .height = 300, .rgb = 0xffff00});
    const FrameRect area{0, 0, 1200, 800};
    CapturedImage image;
    ASSERT_TRUE(
        server->captureImageWithout(area, std::vector<uint32_t>{main, 0, crop}, nullptr, 0, image));
    EXPECT_EQ(pixelAt(image, 200, 200), 0x00FF00u) << "below the main window";
    EXPECT_EQ(pixelAt(image, 600, 200), 0x304050u);
    EXPECT_EQ(pixelAt(image, 900, 200), 0x304050u) << "below the crop window";
    EXPECT_EQ(pixelAt(image, 450, 350), 0xFFFF00u) << "in front of the main window";
    EXPECT_EQ(pixelAt(image, 750, 550), 0xFFFF00u);
    auto expectThePlainScreen = [&](const char* when) {
        CapturedImage plain, without;
        ASSERT_TRUE(server->captureImage(area, CaptureFilter::allWindows, 0, plain));
        std::vector<uint32_t> expected;
        for (int y = 0; y < plain.height; ++y)
            for (int x = 0; x < plain.width; ++x) expected.push_back(pixelAt(plain, x, y));
        ASSERT_TRUE(server->captureImageWithout(area, std::vector<uint32_t>{main, crop}, nullptr, 0,
                                                without));
        size_t differing = 0;
        for (int y = 0; y < without.height; ++y)
            for (int x = 0; x < without.width; ++x)
                differing += pixelAt(without, x, y) != expected[size_t(y) * without.width + x];
        EXPECT_EQ(differing, 0u) << when;
    };
    windows.unmap(crop);
    windows.resize(front, 1000, 700);
    windows.move(front, 50, 50);
    expectThePlainScreen("the main window covered, the crop window hidden");
    windows.unmap(main);
    windows.unmap(front);
    expectThePlainScreen("neither on screen");
}

// A compositing manager that starts while the program runs, and one that
// runs when a connection makes its first picture and then quits: none is
// kept from starting. Behind the main window the desktop's own background
// shows before and after each; while one runs the server paints that
// background nowhere, so it shows as it last was, or black when it was
// never seen.
TEST_F(X11WindowServer, CompositorsComeAndGoWhilePicturesAreMade) {
    windows.setRootBackground(0x304050);
    const uint32_t main =
        windows.create({.x = 100, .y = 100, .width = 400, .height = 300, .rgb = 0xff00ff});
    auto screenPixel = [&] {  // away from every window
        CapturedImage image;
        server->captureImage({1500, 1000, 1, 1}, CaptureFilter::allWindows, 0, image);
        return image.pixels ? pixelAt(image, 0, 0) : 0xFFFFFFFFu;
    };
    auto behindMain = [&](WindowServer& from) {
        CapturedImage image;
        if (!from.captureImage({100, 100, 400, 300}, CaptureFilter::onScreenBelowWindow, main,
                               image))
            return 0xFFFFFFFFu;
        return pixelAt(image, 200, 150);
    };
    // A compositor is at work once it paints the desktop itself, and was
    // kept from starting when it exits.
    auto start = [&](BackgroundProgram& compositor, uint32_t desktop) {
        return waitUntil([&] { return !compositor.running() || screenPixel() != desktop; },
                         10000) &&
               compositor.running() && windows.selectionOwner("_NET_WM_CM_S0") != 0;
    };
    auto quit = [&](BackgroundProgram& compositor, uint32_t desktop) {
        compositor.stop();
        return waitUntil([&] { return screenPixel() == desktop; }, 10000);
    };
    EXPECT_EQ(behindMain(*server), 0x304050u) << "before any compositor";
    {
        BackgroundProgram compositor(xvfb.display(), {"xcompmgr"});
        ASSERT_TRUE(start(compositor, 0x304050)) << "a compositor started while pictures are made";
        EXPECT_EQ(behindMain(*server), 0x304050u) << "while it runs";
        windows.setRootBackground(0x405060);
        ASSERT_TRUE(quit(compositor, 0x405060));
        EXPECT_EQ(behindMain(*server), 0x405060u) << "at once after it quit";
    }
    BackgroundProgram compositor(xvfb.display(), {"xcompmgr"});
    ASSERT_TRUE(start(compositor, 0x405060));
    std::unique_ptr<WindowServer> late = makeXcbWindowServer();
    ASSERT_NE(late, nullptr);
    EXPECT_EQ(behindMain(*late), 0u) << "a compositor that ran before the first picture";
    ASSERT_TRUE(quit(compositor, 0x405060));
    EXPECT_EQ(behindMain(*late), 0x405060u) << "after that compositor quit";
}

TEST_F(X11WindowServer, PicturesAreWrittenStraightIntoTheSharedBlock) {
    windows.setRootBackground(0x102030);
    windows.create({.x = 0, .y = 0, .width = 800, .height = 600, .rgb = 0x00ff00});
    uint32_t main =
        windows.create({.x = 700, .y = 500, .width = 300, .height = 300, .rgb = 0xff0000});
    const size_t size = 1920u * 1200u * 4u;
    uint8_t* block = server->allocateSharedPixels(size);
    ASSERT_NE(block, nullptr);
    CapturedImage image;
    ASSERT_TRUE(server->captureImageInto({0, 0, 1920, 1200}, CaptureFilter::onScreenBelowWindow,
                                         main, block, size, image));
    EXPECT_EQ(image.pixels.get(), block);
    EXPECT_EQ(pixelAt(image, 750, 550), 0x00FF00u);
    EXPECT_EQ(pixelAt(image, 900, 700), 0x102030u);
    EXPECT_EQ(pixelAt(image, 1500, 1000), 0x102030u);
    uint8_t other[64];
    ASSERT_TRUE(server->captureImageInto({0, 0, 4, 4}, CaptureFilter::allWindows, 0, other,
                                         sizeof other, image));
    EXPECT_NE(image.pixels.get(), other) << "only the shared block is written into";
}

// A picture in a shared block is made again only where the screen changed
// since that block's last picture; the capture buffer's two blocks take
// turns, so each misses what went into the other. After each kind of change
// a picture must equal one made from nothing.
TEST_F(X11WindowServer, APictureKeptInTheSharedBlockFollowsEveryChange) {
    windows.setRootBackground(0x102030);
    windows.create({.x = 0, .y = 0, .width = 800, .height = 600, .rgb = 0x00ff00});
    const uint32_t away =
        windows.create({.x = 1200, .y = 100, .width = 300, .height = 300, .rgb = 0x0000ff});
    const uint32_t hidden =
        windows.create({.x = 750, .y = 550, .width = 100, .height = 100, .rgb = 0x404040});
    const uint32_t main =
        windows.create({.x = 700, .y = 500, .width = 300, .height = 300, .rgb = 0xff0000});
    const FrameRect area{0, 0, 1920, 1200};
    const size_t size = 1920u * 1200u * 4u;
    uint8_t* blocks[2] = {server->allocateSharedPixels(size), server->allocateSharedPixels(size)};
    ASSERT_NE(blocks[0], nullptr);
    ASSERT_NE(blocks[1], nullptr);
    uint8_t* block = blocks[1];
    // Fresh pictures come from a connection of their own, which keeps none.
    std::unique_ptr<WindowServer> other = makeXcbWindowServer();
    ASSERT_NE(other, nullptr);
    auto expectFreshPicture = [&](const char* after) {
        block = block == blocks[0] ? blocks[1] : blocks[0];
        CapturedImage kept, fresh;
        ASSERT_TRUE(server->captureImageInto(area, CaptureFilter::onScreenBelowWindow, main, block,
                                             size, kept));
        ASSERT_EQ(kept.pixels.get(), block);
        ASSERT_TRUE(other->captureImage(area, CaptureFilter::onScreenBelowWindow, main, fresh));
        ASSERT_EQ(kept.byteLength, fresh.byteLength);
        size_t differing = 0;
        for (int y = 0; y < kept.height; ++y)
            for (int x = 0; x < kept.width; ++x)
                differing += pixelAt(kept, x, y) != pixelAt(fresh, x, y);
        EXPECT_EQ(differing, 0u) << after;
    };
    expectFreshPicture("the first picture");
    expectFreshPicture("the first picture in the other block");
    expectFreshPicture("nothing changed");
    windows.paint(away, 0xaaaaaa);
    expectFreshPicture("a window in view repainted");
    expectFreshPicture("the other block after the repaint");
    windows.paint(away, 0x101010);
    expectFreshPicture("a repaint while the other block waits");
    expectFreshPicture("a block two changes behind");
    windows.move(away, 1300, 700);
    expectFreshPicture("a window in view moved");
    windows.paint(hidden, 0x777777);
    expectFreshPicture("a window under the left-out one repainted");
    windows.move(main, 100, 100);
    expectFreshPicture("the left-out window moved");
    for (uint8_t* written : blocks) {
        memset(written, 0x5A, size / 2);
        server->sharedPixelsChanged(written);
    }
    expectFreshPicture("a block written by someone else");
    expectFreshPicture("the other block written by someone else");
}

TEST_F(X11WindowServer, AnXErrorFailsTheCaptureAndIsReportedOnce) {
    CapturedImage image;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(
        server->captureImage({0, 0, 10, 10}, CaptureFilter::includingWindow, 0x3ffffe, image));
    EXPECT_FALSE(
        server->captureImage({0, 0, 10, 10}, CaptureFilter::includingWindow, 0x3ffffe, image));
    const std::string said = testing::internal::GetCapturedStdout();
    EXPECT_NE(said.find("X error BadWindow (3) from QueryTree"), std::string::npos) << said;
    EXPECT_EQ(said.find("X error"), said.rfind("X error")) << said;
}

TEST_F(X11WindowServer, TheMainWindowIsOffTheActiveSpaceOnAnotherDesktopOrBehindAFullScreenWindow) {
    uint32_t ours = windows.create({.width = 100, .height = 100});
    EXPECT_TRUE(server->isOnActiveSpace(ours)) << "no window manager has said otherwise";
    windows.setCardinal(windows.root(), "_NET_CURRENT_DESKTOP", "CARDINAL", 0);
    windows.setCardinal(ours, "_NET_WM_DESKTOP", "CARDINAL", 1);
    EXPECT_FALSE(server->isOnActiveSpace(ours));
    windows.setCardinal(windows.root(), "_NET_CURRENT_DESKTOP", "CARDINAL", 1);
    EXPECT_TRUE(server->isOnActiveSpace(ours));
    windows.setCardinal(ours, "_NET_WM_DESKTOP", "CARDINAL", 0xFFFFFFFF);  // on every desktop
    EXPECT_TRUE(server->isOnActiveSpace(ours));

    uint32_t video = windows.create({.width = 1920, .height = 1200});
    windows.setAtom(video, "_NET_WM_STATE", "_NET_WM_STATE_FULLSCREEN");
    windows.setCardinal(windows.root(), "_NET_ACTIVE_WINDOW", "WINDOW", video);
    EXPECT_FALSE(server->isOnActiveSpace(ours));
    EXPECT_TRUE(server->otherFullScreenActive(ours));
    windows.setCardinal(windows.root(), "_NET_ACTIVE_WINDOW", "WINDOW", ours);
    EXPECT_TRUE(server->isOnActiveSpace(ours));
    EXPECT_FALSE(server->otherFullScreenActive(ours));
}

TEST_F(X11WindowServer, ChangesOfTheDesktopAndTheActiveWindowAreAnnounced) {
    int fd = server->watchSpaces();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(server->takeSpaceNotices(), 0u);
    auto heard = [&] {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10000) != 1) return 0u;  // a bound for a broken server, not a wait
        return server->takeSpaceNotices();
    };
    windows.setCardinal(windows.root(), "_NET_CURRENT_DESKTOP", "CARDINAL", 2);
    EXPECT_EQ(heard(), kDesktopChanged);
    windows.setCardinal(windows.root(), "_NET_ACTIVE_WINDOW", "WINDOW", windows.root());
    EXPECT_EQ(heard(), kActiveWindowChanged);
}

// Every filter's picture on a private 800 x 600 server of the given depth,
// taken a few times over, since later pictures may take other paths.
void expectColoursThroughEveryFilter(int depth, bool sharedMemory) {
    SCOPED_TRACE("depth " + std::to_string(depth));
    XvfbServer xvfb(800, 600, depth, sharedMemory);
    ASSERT_TRUE(xvfb.ok());
    xvfb.makeDefault();
    TestWindows windows(xvfb.display());
    windows.setRootBackground(0x0000ff);
    const uint32_t green =
        windows.create({.x = 0, .y = 0, .width = 400, .height = 300, .rgb = 0x00ff00});
    const uint32_t red =
        windows.create({.x = 200, .y = 100, .width = 400, .height = 300, .rgb = 0xff0000});
    std::unique_ptr<WindowServer> server = makeXcbWindowServer();
    ASSERT_NE(server, nullptr);
    const size_t size = 800u * 600u * 4u;
    uint8_t* block = server->allocateSharedPixels(size);
    ASSERT_NE(block, nullptr);
    CapturedImage image;
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(server->captureImageInto({0, 0, 800, 600}, CaptureFilter::allWindows, 0, block,
                                             size, image));
        EXPECT_EQ(pixelAt(image, 300, 200), 0xFF0000u);
        EXPECT_EQ(pixelAt(image, 100, 100), 0x00FF00u);
        ASSERT_TRUE(server->captureImageInto({0, 0, 800, 600}, CaptureFilter::onScreenBelowWindow,
                                             red, block, size, image));
        EXPECT_EQ(pixelAt(image, 300, 200), 0x00FF00u);
        EXPECT_EQ(pixelAt(image, 500, 350), 0x0000FFu);
        ASSERT_TRUE(
            server->captureImage({200, 100, 400, 300}, CaptureFilter::includingWindow, red, image));
        EXPECT_EQ(pixelAt(image, 0, 0), 0xFF0000u);
        EXPECT_EQ(pixelAt(image, 399, 299), 0xFF0000u);
        ASSERT_TRUE(
            server->captureImage({0, 0, 400, 300}, CaptureFilter::includingWindow, green, image));
        EXPECT_EQ(pixelAt(image, 399, 299), 0x00FF00u);
    }
}

TEST(X11WindowServerWithoutSharedMemory, PicturesStillArrive) {
    expectColoursThroughEveryFilter(24, false);
}

// Screens of 16 and 15 bits a pixel, and of 30 (10 bits a colour), give the
// same 32-bit pictures as a 24-bit one.
TEST(X11WindowServerOnFewerBits, PicturesHaveTheirColours) {
    for (int depth : {16, 15, 30}) expectColoursThroughEveryFilter(depth, true);
}

// The toolkit cannot draw on an 8-bit screen: the program says so in one
// line and exits with status 1 before it draws anything.
TEST(X11WindowServerOnFewerBits, TheProgramRefusesAnEightBitScreenInOneLine) {
    XvfbServer xvfb(640, 480, 8);
    ASSERT_TRUE(xvfb.ok());
    const char* dir = getenv("NDITABRIVO_BUILD_DIR");
    const std::string command =
        "DISPLAY=" + xvfb.display() + " QT_QPA_PLATFORM=xcb XDG_CONFIG_HOME=/nonexistent " +
        (dir != nullptr ? dir : ".") + "/NDITabrivo 2>&1 >/dev/null; echo status $?";
    FILE* run = popen(command.c_str(), "r");
    ASSERT_NE(run, nullptr);
    std::string said;
    char line[512];
    while (fgets(line, sizeof line, run) != nullptr) said += line;
    pclose(run);
    EXPECT_EQ(said,
              "NDITabrivo: the X screen's depth of 8 bits is not supported; it needs 15, 16, 24 "
              "or 30 bits of true colour\nstatus 1\n");
}

TEST_F(X11WindowServer, PointerMovesAndTheMouseLocationIsBottomUp) {
    server->postPointerMove(960, 600);
    windows.sync();
    int x = -1, y = -1;
    ASSERT_TRUE(windows.pointer(x, y));
    EXPECT_EQ(x, 960);
    EXPECT_EQ(y, 600);
    server->postPointerMove(100, 200);
    windows.sync();
    FramePoint p = server->mouseLocation();
    EXPECT_EQ(p.x, 100.0);
    EXPECT_EQ(p.y, 1000.0);
}

TEST_F(X11WindowServer, CurrentCursorHasAPicture) {
    CursorImage picture;
    FramePoint hot;
    ASSERT_TRUE(server->currentCursor(picture, hot));
    EXPECT_GT(picture.width, 0);
    EXPECT_EQ(picture.pixels.size(), static_cast<size_t>(picture.width) * picture.height * 4);
}

}  // namespace
