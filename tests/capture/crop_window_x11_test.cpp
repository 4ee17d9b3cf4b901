// The crop window on a real X server: placed from the crop box it lands where
// the box says on the X screen, the window server's frames and the
// controller's agree, and a close from the window manager reaches the
// program's own crop option.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <xcb/xcb.h>

#include <QApplication>
#include <QWidget>

#include "app/persistence.h"
#include "app/view_controller.h"
#include "capture/crop_window.h"
#include "common/globals.h"
#include "settings/prefs.h"
#include "tests/app/main_window_fixture.h"
#include "tests/support/xvfb.h"

namespace {

// Qt connects to one display a process: one X server for every test here,
// made before the application, which it outlives.
testsupport::XvfbServer& xServer() {
    static testsupport::XvfbServer x(1600, 900);
    x.makeDefault();
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    return x;
}

// Only a failing run waits this long for the window manager's answer.
constexpr int kPatienceMs = 10000;

// The top-left corner of window's inside in root coordinates.
bool rootPosition(const std::string& display, uint32_t window, int& x, int& y) {
    xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
    bool ok = false;
    if (xcb_connection_has_error(c) == 0) {
        xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
        auto* reply = xcb_translate_coordinates_reply(
            c, xcb_translate_coordinates(c, window, root, 0, 0), nullptr);
        if (reply != nullptr) {
            x = reply->dst_x;
            y = reply->dst_y;
            ok = true;
        }
        free(reply);
    }
    xcb_disconnect(c);
    return ok;
}

TEST(CropWindowOnX, LandsWhereTheBoxSaysAndStoresWhereItWasMoved) {
    testsupport::XvfbServer& x = xServer();
    ASSERT_TRUE(x.ok());
    QApplication& app = mainwindowtest::application();

    resetPrefs();
    thePrefs.cropWindow = 1;
    thePrefs.cropBoxWidth = 400;
    thePrefs.cropBoxHeight = 300;
    thePrefs.cropBoxTop = 120;
    thePrefs.cropBoxLeft = 250;
    cropWindow crop("cropWindow");
    crop.showWindow();
    for (int i = 0; i < 20; ++i) app.processEvents();

    int left = -1, top = -1;
    ASSERT_TRUE(rootPosition(x.display(), crop.windowNumber(), left, top));
    EXPECT_EQ(left, 250);
    EXPECT_EQ(top, 120);
    FrameRect frame = crop.frame();  // bottom-left, the X screen 900 high
    EXPECT_EQ(frame.x, 250.0);
    EXPECT_EQ(frame.y, 900.0 - 120 - 300);
    EXPECT_EQ(frame.width, 400.0);

    crop.window()->setGeometry(600, 500, 320, 200);
    for (int i = 0; i < 20; ++i) app.processEvents();
    ASSERT_TRUE(rootPosition(x.display(), crop.windowNumber(), left, top));
    EXPECT_EQ(left, 600);
    EXPECT_EQ(top, 500);
    EXPECT_EQ(thePrefs.cropBoxLeft, 600);
    EXPECT_EQ(thePrefs.cropBoxTop, 500);
    EXPECT_EQ(thePrefs.cropBoxWidth, 320);
    EXPECT_EQ(thePrefs.cropBoxHeight, 200);

    // A box from a damaged settings file: the window stays on the screen.
    thePrefs.cropBoxWidth = 100000;
    thePrefs.cropBoxHeight = 2147483647;
    thePrefs.cropBoxTop = -2147483647;
    thePrefs.cropBoxLeft = 2147483647;
    crop.pleaseInitCropWindow();
    for (int i = 0; i < 20; ++i) app.processEvents();
    ASSERT_TRUE(rootPosition(x.display(), crop.windowNumber(), left, top));
    const QRect placed = crop.window()->geometry();
    EXPECT_GE(left, 0);
    EXPECT_GE(top, 0);
    EXPECT_LE(left + placed.width(), 1600);
    EXPECT_LE(top + placed.height(), 900);

    // The window manager's close button is the user's: the program is told.
    // Its own closes are not.
    int closedByUser = 0;
    crop.setWhenClosedByUser([&closedByUser] { ++closedByUser; });
    testsupport::TestWindows windows(x.display());
    ASSERT_TRUE(windows.askToClose(crop.windowNumber()));
    EXPECT_TRUE(mainwindowtest::processEventsUntil([&] { return !crop.window()->isVisible(); },
                                                   kPatienceMs));
    EXPECT_EQ(closedByUser, 1);
    crop.setIsVisible(true);
    crop.window()->close();
    EXPECT_EQ(closedByUser, 1);
}

// The main window's start-up wires the crop window: the window manager's
// close button turns the crop option off, as unticking it would.
TEST(CropWindowOnX, ClosingItFromTheWindowManagerTurnsTheProgramsCropOptionOff) {
    testsupport::XvfbServer& x = xServer();
    ASSERT_TRUE(x.ok());
    mainwindowtest::application();
    mainwindowtest::TempConfigHome config;
    setenv("NDITABRIVO_UPDATE_HOST", "127.0.0.1:1", 1);  // nothing listens there
    resetPrefs();
    thePrefs.outputMode = 1;  // nothing to capture
    thePrefs.cropWindow = 1;
    savePrefs();  // what start-up loads
    {
        ViewController vc;
        testing::internal::CaptureStdout();
        vc.viewDidLoad();
        testing::internal::GetCapturedStdout();
        ASSERT_NE(theCropWindow, nullptr);
        QWidget* window = theCropWindow->window();
        ASSERT_TRUE(
            mainwindowtest::processEventsUntil([&] { return window->isVisible(); }, kPatienceMs));
        testsupport::TestWindows windows(x.display());
        ASSERT_TRUE(windows.askToClose(theCropWindow->windowNumber()));
        EXPECT_TRUE(mainwindowtest::processEventsUntil([] { return thePrefs.cropWindow == 0; },
                                                       kPatienceMs));
        EXPECT_FALSE(window->isVisible());
    }
    delete theCropWindow;
    theCropWindow = nullptr;
}

}  // namespace
