// The capture functions end to end on a private X server: the application
// list of real windows, whole-screen and window captures into the buffer,
// and synthetic mouse input.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "capture/app_list.h"
#include "capture/cursor_overlay.h"
#include "capture/frame_clock.h"
#include "capture/host_events.h"
#include "capture/source_capture.h"
#include "common/globals.h"
#include "platform/windowserver/window_server.h"
#include "platform/windowserver/xcb_window_server.h"
#include "settings/prefs.h"
#include "tests/support/audio_receiver.h"
#include "tests/support/xvfb.h"

using testsupport::BackgroundProgram;
using testsupport::TestWindows;
using testsupport::XvfbServer;

namespace {

// The process's window server would stay connected to the first test's X
// server, gone by the next test: each test connects one of its own to the
// display it made, and puts it away after.
struct ConnectedWindowServer {
    std::unique_ptr<WindowServer> server = makeXcbWindowServer();
    ConnectedWindowServer() { setWindowServer(server.get()); }
    ~ConnectedWindowServer() { setWindowServer(nullptr); }
    ConnectedWindowServer(const ConnectedWindowServer&) = delete;
    ConnectedWindowServer& operator=(const ConnectedWindowServer&) = delete;
};

class CaptureOnX11 : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(xvfb.ok());
        // The process's window server connects on first use, to this display.
        xvfb.makeDefault();
        connected = std::make_unique<ConnectedWindowServer>();
        ASSERT_NE(connected->server, nullptr);
        ASSERT_TRUE(windows.ok());
        resetPrefs();
        mainScreenHeight = static_cast<float>(windowServer().mainScreenHeight());
        buffer = static_cast<uint8_t*>(malloc(kMaxFrameBytes));
        ASSERT_NE(buffer, nullptr);
    }
    void TearDown() override {
        free(buffer);
        free(list);
        connected.reset();
    }

    uint32_t pixelAt(int x, int y) {
        uint32_t p;
        memcpy(&p, buffer + (static_cast<size_t>(y) * captureWidth + x) * 4, 4);
        return p & 0xFFFFFFu;  // screen pictures carry no alpha
    }

    XvfbServer xvfb{1920, 1200};
    std::unique_ptr<ConnectedWindowServer> connected;
    TestWindows windows{xvfb.display()};
    NoOwnWindows surroundings;
    uint8_t* buffer = nullptr;
    AppRecord* list = nullptr;
    int32_t count = 0;
};

TEST_F(CaptureOnX11, ListsApplicationsFrontToBackByTheRules) {
    windows.create({.x = 0,
                    .y = 0,
                    .width = 300,
                    .height = 300,
                    .rgb = 0x0000ff,
                    .title = "Notes",
                    .wmClass = "Writer"});
    windows.create({.x = 10,
                    .y = 10,
                    .width = 200,
                    .height = 20,
                    .rgb = 0xffffff,
                    .title = "Palette",
                    .wmClass = "Writer"});
    // Other live processes stand in for other applications.
    windows.create({.x = 400,
                    .y = 0,
                    .width = 300,
                    .height = 30,
                    .rgb = 0x00ff00,
                    .wmClass = "Viewer",
                    .pid = getppid()});
    windows.create({.x = 800,
                    .y = 0,
                    .width = 300,
                    .height = 300,
                    .rgb = 0xff0000,
                    .title = "NDI Wendlor HX",
                    .wmClass = "nditabrivo",
                    .pid = 1});
    list = getApplicationWindowList(&count);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(count, 2);
    EXPECT_STREQ(list[0].ownerName, "Viewer");
    ASSERT_EQ(list[0].windowCount, 1);
    EXPECT_STREQ(list[0].windows[0].windowName, "UNKNOWN");
    EXPECT_EQ(list[0].windows[0].bounds.x, 400.0);
    EXPECT_EQ(list[0].windows[0].bounds.height, 30.0);
    EXPECT_STREQ(list[1].ownerName, "Writer");
    ASSERT_EQ(list[1].windowCount, 1) << "the 20-point palette is not listed";
    EXPECT_STREQ(list[1].windows[0].windowName, "Notes");
}

TEST_F(CaptureOnX11, ApplicationWindowIsCapturedAloneEvenWhenCovered) {
    windows.create({.x = 100,
                    .y = 100,
                    .width = 320,
                    .height = 240,
                    .rgb = 0xff8000,
                    .title = "Clock",
                    .wmClass = "Clock"});
    windows.create({.x = 0,
                    .y = 0,
                    .width = 1000,
                    .height = 1000,
                    .rgb = 0x202020,
                    .title = "Cover",
                    .wmClass = "Cover",
                    .pid = getppid()});
    theAppList = getApplicationWindowList(&theAppCount);
    ASSERT_EQ(theAppCount, 2);
    ASSERT_STREQ(theAppList[1].ownerName, "Clock");
    thePrefs.screenOrAppMode = 1;
    thePrefs.whichApp = 1;
    getTheBitmap(buffer, surroundings);
    EXPECT_EQ(captureWidth, 320);
    EXPECT_EQ(captureHeight, 240);
    EXPECT_EQ(pixelAt(0, 0), 0xFF8000u);
    EXPECT_EQ(pixelAt(319, 239), 0xFF8000u);
    free(theAppList);
    theAppList = nullptr;
}

TEST_F(CaptureOnX11, ScreenCaptureHasTheScreensSize) {
    windows.create({.x = 1900, .y = 1180, .width = 20, .height = 20, .rgb = 0x123456});
    getTheBitmap(buffer, surroundings);
    EXPECT_EQ(captureWidth, 1920);
    EXPECT_EQ(captureHeight, 1200);
    EXPECT_EQ(pixelAt(1919, 1199), 0x123456u);
    thePrefs.scalingMode = 1;
    getTheBitmap(buffer, surroundings);
    EXPECT_EQ(captureWidth, 1920);
    EXPECT_EQ(captureHeight, 1080);
}

TEST_F(CaptureOnX11, ScreenCaptureWithTheArrowAtTheMouse) {
    ASSERT_EQ(loadCursorPicture(), 0);
    windows.create({.x = 0, .y = 0, .width = 1920, .height = 1200, .rgb = 0x336699});
    postMouseMoveEvent(0.5f, 0.5f);
    windows.sync();
    thePrefs.showMouse = 1;
    getTheBitmap(buffer, surroundings);
    EXPECT_NE(pixelAt(960, 600), 0x336699u) << "the arrow's tip";
    EXPECT_EQ(pixelAt(955, 600), 0x336699u);
}

// Two monitors side by side on one wide X screen, the second lower and
// shorter: RandR announces them, and the capture takes the second one.
TEST(CaptureOnTwoScreens, OrderCornersPictureAndCursorOfTheSecondScreen) {
    XvfbServer xvfb(3200, 1200);
    ASSERT_TRUE(xvfb.ok());
    ASSERT_TRUE(xvfb.run("xrandr --setmonitor Left 1920/508x1080/286+0+0 screen"));
    ASSERT_TRUE(xvfb.run("xrandr --setmonitor Right 1280/338x1024/270+1920+0 none"));
    xvfb.makeDefault();
    ConnectedWindowServer connected;
    ASSERT_NE(connected.server, nullptr);
    TestWindows windows(xvfb.display());
    windows.create({.x = 1920, .y = 0, .width = 1280, .height = 1024, .rgb = 0x336699});
    windows.create({.x = 0, .y = 0, .width = 1920, .height = 1080, .rgb = 0x996633});

    std::vector<ScreenInfo> screens = windowServer().screens();
    ASSERT_EQ(screens.size(), 2u);
    EXPECT_EQ(screens[0].frame.x, 0.0);
    EXPECT_EQ(screens[0].frame.y, 0.0);
    EXPECT_EQ(screens[0].frame.height, 1080.0);
    EXPECT_EQ(screens[1].frame.x, 1920.0);
    EXPECT_EQ(screens[1].frame.y, 56.0) << "bottom-left: its lower edge 56 above the first's";
    EXPECT_EQ(screens[1].frame.width, 1280.0);
    EXPECT_EQ(screens[1].frame.height, 1024.0);

    resetPrefs();
    mainScreenHeight = static_cast<float>(windowServer().mainScreenHeight());
    auto* buffer = static_cast<uint8_t*>(malloc(kMaxFrameBytes));
    ASSERT_NE(buffer, nullptr);
    NoOwnWindows surroundings;
    ASSERT_EQ(loadCursorPicture(), 0);
    thePrefs.whichScreen = 1;
    thePrefs.showMouse = 1;
    windowServer().postPointerMove(2000, 100);  // top-left global: 80, 100 on the second screen
    windows.sync();
    getTheBitmap(buffer, surroundings);
    EXPECT_EQ(captureWidth, 1280);
    EXPECT_EQ(captureHeight, 1024);
    auto pixelAt = [&](int x, int y) {
        uint32_t p;
        memcpy(&p, buffer + (static_cast<size_t>(y) * captureWidth + x) * 4, 4);
        return p & 0xFFFFFFu;
    };
    EXPECT_EQ(pixelAt(10, 10), 0x336699u);
    EXPECT_EQ(pixelAt(1279, 1023), 0x336699u);
    // The arrow's hot spot (1, 3 in the picture) lies on the mouse.
    EXPECT_NE(pixelAt(80, 100), 0x336699u) << "the arrow's tip";
    EXPECT_EQ(pixelAt(75, 100), 0x336699u);
    EXPECT_EQ(pixelAt(80, 90), 0x336699u);
    free(buffer);
}

TEST_F(CaptureOnX11, APictureLargerThanTheSenderTakesIsRefusedOnceWithOneLine) {
    thePrefs.cropWindow = 1;
    struct HugeCrop : NoOwnWindows {
        FrameRect cropWindowFrame() override { return {0, 0, 8000, 1000}; }
    } huge;
    captureWidth = 16;
    captureHeight = 16;
    testing::internal::CaptureStdout();
    getTheBitmap(buffer, huge);
    getTheBitmap(buffer, huge);
    const std::string said = testing::internal::GetCapturedStdout();
    EXPECT_EQ(captureWidth, 16);
    EXPECT_EQ(captureHeight, 16);
    EXPECT_NE(said.find("8000 x 1000 picture is larger than the 7680 x 4320"), std::string::npos)
        << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
}

TEST_F(CaptureOnX11, TheDefaultSourceIsWrittenIntoTheCaptureBufferWithoutTheMainWindow) {
    windows.create({.x = 0, .y = 0, .width = 1920, .height = 1200, .rgb = 0x224466});
    uint32_t main =
        windows.create({.x = 100, .y = 100, .width = 640, .height = 480, .rgb = 0xffffff});
    struct MainWindow : NoOwnWindows {
        uint32_t number = 0;
        uint32_t mainWindowNumber() override { return number; }
    } ours;
    ours.number = main;
    uint8_t* shared = allocateCaptureBuffer();
    ASSERT_NE(shared, nullptr);
    getTheBitmap(shared, ours);
    EXPECT_EQ(captureWidth, 1920);
    EXPECT_EQ(captureHeight, 1200);
    uint32_t p;
    memcpy(&p, shared + (static_cast<size_t>(300) * 1920 + 300) * 4, 4);
    EXPECT_EQ(p & 0xFFFFFFu, 0x224466u);
}

// The X server writes pictures straight into the capture buffer, so a
// picture that is then refused must not have been written over the last one.
TEST_F(CaptureOnX11, ARefusedCaptureLeavesTheLastPictureAndItsSize) {
    const uint32_t blue = windows.create({.x = 100,
                                          .y = 100,
                                          .width = 640,
                                          .height = 480,
                                          .rgb = 0x1f5e9b,
                                          .title = "Blue",
                                          .wmClass = "Blue"});
    resetFrameClock();
    FrameClockHooks hooks = baseFrameClockHooks();
    hooks.perform = [](std::function<void()>) {};
    hooks.submit = [](uint8_t*, uint32_t) {};
    hooks.capture = [this](uint8_t* into) { return getTheBitmap(into, surroundings); };
    hooks.anyoneReceiving = [] { return true; };
    thePrefs.screenOrAppMode = 1;
    thePrefs.whichApp = 0;
    auto frontPixel = [](int x, int y) {
        uint32_t p;
        memcpy(&p, theCaptureBuffer.load() + (static_cast<size_t>(y) * captureWidth + x) * 4, 4);
        return p & 0xFFFFFFu;
    };
    auto expectTheBlueWindow = [&](const char* after) {
        EXPECT_EQ(captureWidth, 640) << after;
        EXPECT_EQ(captureHeight, 480) << after;
        EXPECT_EQ(frontPixel(0, 0), 0x1F5E9Bu) << after;
        EXPECT_EQ(frontPixel(320, 240), 0x1F5E9Bu) << after;
        EXPECT_EQ(frontPixel(639, 479), 0x1F5E9Bu) << after;
    };
    theAppList = getApplicationWindowList(&theAppCount);
    ASSERT_EQ(theAppCount, 1);
    captureStep(hooks, true);
    expectTheBlueWindow("the first capture");

    windows.resize(blue, 1, 600);  // one pixel a row: not taken
    windows.paint(blue, 0xff0000);
    free(theAppList);
    theAppList = getApplicationWindowList(&theAppCount);
    ASSERT_EQ(theAppList[0].windows[0].bounds.width, 1.0);
    captureStep(hooks, true);
    expectTheBlueWindow("a window one pixel wide");
    free(theAppList);
    theAppList = nullptr;
    resetFrameClock();
}

// The program's own windows as the capture asks for them: the main window and
// the crop window, whose frame is bottom-left.
struct OwnWindows : NoOwnWindows {
    uint32_t main = 0, crop = 0;
    FrameRect cropFrame;
    uint32_t mainWindowNumber() override { return main; }
    uint32_t cropWindowNumber() override { return crop; }
    FrameRect cropWindowFrame() override { return cropFrame; }
};

// Under openbox the user works in other windows after starting the stream:
// those in front of the main window and of the tinted crop window are in
// the picture, the program's own windows are not, and what lies below them
// shows in their place. With the cursor, every window is in the picture.
TEST_F(CaptureOnX11, WindowsInFrontOfTheProgramsOwnAreInThePictureUnderAWindowManager) {
    BackgroundProgram openbox(xvfb.display(), {"openbox", "--sm-disable"});
    ASSERT_TRUE(testsupport::waitUntil([&] { return windows.selectionOwner("WM_S0") != 0; }, 20000))
        << "openbox did not start (is it installed?)";
    windows.setRootBackground(0x1e3f5e);
    OwnWindows ours;
    const uint32_t under = windows.create(
        {.x = 0, .y = 0, .width = 1000, .height = 800, .rgb = 0x808000, .wmClass = "Under"});
    ours.main = windows.create({.x = 100,
                                .y = 100,
                                .width = 600,
                                .height = 400,
                                .rgb = 0xffffff,
                                .wmClass = "NDITabrivo"});
    const uint32_t front = windows.create(
        {.x = 500, .y = 350, .width = 500, .height = 400, .rgb = 0x00ff00, .wmClass = "Front"});
    ours.crop = windows.create({.x = 1200,
                                .y = 100,
                                .width = 500,
                                .height = 400,
                                .rgb = 0xff0000,
                                .wmClass = "NDITabrivo"});
    const uint32_t overCrop = windows.create(
        {.x = 1500, .y = 300, .width = 400, .height = 400, .rgb = 0x0000ff, .wmClass = "OverCrop"});
    const std::vector<uint32_t> frontToBack{overCrop, ours.crop, front, ours.main, under};
    ASSERT_TRUE(windows.frameAll(frontToBack, 20000)) << "openbox did not frame the windows";
    for (auto it = frontToBack.rbegin(); it != frontToBack.rend(); ++it) windows.raise(*it);
    std::vector<WindowInfo> shown;
    ASSERT_TRUE(testsupport::waitUntil(
        [&] {
            windowServer().listWindows(shown);
            std::vector<uint32_t> order;
            for (const WindowInfo& w : shown)
                if (w.onScreen && w.windowNumber) order.push_back(*w.windowNumber);
            return order == frontToBack;
        },
        20000))
        << "openbox did not stack the windows";
    windows.sync();
    const FrameRect crop = *shown[1].bounds;
    ours.cropFrame = {crop.x, mainScreenHeight - (crop.y + crop.height), crop.width, crop.height};

    ASSERT_TRUE(getTheBitmap(buffer, ours));
    EXPECT_EQ(pixelAt(600, 450), 0x00FF00u) << "a window in front of the main window";
    EXPECT_EQ(pixelAt(800, 700), 0x00FF00u);
    EXPECT_EQ(pixelAt(250, 250), 0x808000u) << "below the main window";
    EXPECT_EQ(pixelAt(1300, 250), 0x1E3F5Eu) << "below the crop window";
    EXPECT_EQ(pixelAt(1600, 450), 0x0000FFu) << "a window in front of the crop window";
    thePrefs.cropWindow = 1;
    ASSERT_TRUE(getTheBitmap(buffer, ours));
    EXPECT_EQ(captureWidth, 500);
    EXPECT_EQ(pixelAt(1300 - int(crop.x), 250 - int(crop.y)), 0x1E3F5Eu) << "the tint left out";
    EXPECT_EQ(pixelAt(1600 - int(crop.x), 450 - int(crop.y)), 0x0000FFu);
    thePrefs.cropWindow = 0;
    thePrefs.showMouse = 1;
    ASSERT_TRUE(getTheBitmap(buffer, ours));
    EXPECT_EQ(pixelAt(250, 250), 0xFFFFFFu) << "with the cursor the main window is in";
    EXPECT_EQ(pixelAt(1300, 250), 0xFF0000u);
    EXPECT_EQ(pixelAt(600, 450), 0x00FF00u);
}

TEST_F(CaptureOnX11, SyntheticMoveLandsInTheFixedArea) {
    postMouseMoveEvent(0.5f, 0.5f);
    windows.sync();
    int x = 0, y = 0;
    ASSERT_TRUE(windows.pointer(x, y));
    EXPECT_EQ(x, 960);
    EXPECT_EQ(y, 600);
}

}  // namespace
