// The capture functions end to end on a private X server: the application
// list of real windows, whole-screen and window captures into the buffer,
// and synthetic mouse input.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "settings/prefs.h"
#include "capture/app_list.h"
#include "capture/cursor_overlay.h"
#include "capture/host_events.h"
#include "capture/source_capture.h"
#include "common/globals.h"
#include "platform/windowserver/window_server.h"
#include "tests/support/xvfb.h"

using testsupport::TestWindows;
using testsupport::XvfbServer;

namespace {

class CaptureOnX11 : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(xvfb.ok());
        // The process's window server connects on first use, to this display.
        xvfb.makeDefault();
        ASSERT_TRUE(windows.ok());
        resetPrefs();
        mainScreenHeight = static_cast<float>(windowServer().mainScreenHeight());
        buffer = static_cast<uint8_t*>(malloc(kMaxFrameBytes));
        ASSERT_NE(buffer, nullptr);
    }
    void TearDown() override {
        free(buffer);
        free(list);
    }

    uint32_t pixelAt(int x, int y) {
        uint32_t p;
        memcpy(&p, buffer + (static_cast<size_t>(y) * captureWidth + x) * 4, 4);
        return p;
    }

    XvfbServer xvfb{1920, 1200};
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
    EXPECT_EQ(pixelAt(0, 0), 0xFFFF8000u);
    EXPECT_EQ(pixelAt(319, 239), 0xFFFF8000u);
    free(theAppList);
    theAppList = nullptr;
}

TEST_F(CaptureOnX11, ScreenCaptureHasTheScreensSize) {
    windows.create({.x = 1900, .y = 1180, .width = 20, .height = 20, .rgb = 0x123456});
    getTheBitmap(buffer, surroundings);
    EXPECT_EQ(captureWidth, 1920);
    EXPECT_EQ(captureHeight, 1200);
    EXPECT_EQ(pixelAt(1919, 1199), 0xFF123456u);
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
    EXPECT_NE(pixelAt(960, 600), 0xFF336699u) << "the arrow's tip";
    EXPECT_EQ(pixelAt(955, 600), 0xFF336699u);
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
