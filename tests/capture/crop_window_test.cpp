#include "capture/crop_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QWidget>
#include <string>

#include "app/view_controller.h"
#include "tests/support/fake_window_server.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

TEST(CropBoxMapping, StoringTruncatesTowardZero) {
    CropBox box = cropBoxFromFrame({10.6, 20.4, 640.9, 360.2}, 1080.0);
    EXPECT_EQ(box.width, 640);
    EXPECT_EQ(box.height, 360);
    EXPECT_EQ(box.left, 10);
    EXPECT_EQ(box.top, 699);  // 1080 - (20.4 + 360.2), from the upper edge
    EXPECT_EQ(cropBoxFromFrame({-10.7, 0, 100, 100}, 1080.0).left, -10);
    EXPECT_EQ(cropBoxFromFrame({0, 1000.5, 100, 100}, 1080.0).top, -20);
}

TEST(CropBoxMapping, PlacingAndStoringAreInverses) {
    for (CropBox box : {defaultCropBox, CropBox{640, 360, 0, 0}, CropBox{300, 200, -50, -70},
                        CropBox{1920, 1080, 1000, 3000}}) {
        CropBox back = cropBoxFromFrame(frameFromCropBox(box, 1080.0), 1080.0);
        EXPECT_EQ(back.width, box.width);
        EXPECT_EQ(back.height, box.height);
        EXPECT_EQ(back.top, box.top);
        EXPECT_EQ(back.left, box.left);
    }
}

TEST(CropBoxMapping, ADamagedBoxIsPlacedInsideTheScreens) {
    const std::vector<ScreenInfo> screens = {{{0, 0, 1920, 1080}}, {{1920, 56, 1280, 1024}}};
    FrameRect huge = placeInsideScreens(frameFromCropBox({100000, 100000, 0, 0}, 1080), screens);
    EXPECT_EQ(huge.x, 0.0);
    EXPECT_EQ(huge.y, 0.0);
    EXPECT_EQ(huge.width, 3200.0);
    EXPECT_EQ(huge.height, 1080.0);
    FrameRect far = placeInsideScreens(
        frameFromCropBox({640, 360, -2147483647 - 1, 2147483647}, 1080), screens);
    EXPECT_EQ(far.x, 3200.0 - 640);
    EXPECT_EQ(far.y, 1080.0 - 360);
    EXPECT_EQ(far.width, 640.0);
    FrameRect none = placeInsideScreens(frameFromCropBox({-5, 0, 10, 10}, 1080), screens);
    EXPECT_EQ(none.width, 1.0);
    EXPECT_EQ(none.height, 1.0);
    FrameRect fits{100, 200, 300, 400};
    FrameRect same = placeInsideScreens(fits, screens);
    EXPECT_EQ(same.x, 100.0);
    EXPECT_EQ(same.y, 200.0);
    EXPECT_EQ(same.width, 300.0);
}

TEST(CropBoxMapping, TheDefaultBoxLiesOnTheScreen) {
    FrameRect frame = frameFromCropBox(defaultCropBox, 1080.0);
    EXPECT_EQ(frame.x, 100.0);
    EXPECT_EQ(frame.y, 260.0);  // lower edge; the upper edge is 100 below the top
    EXPECT_EQ(frame.width, 1280.0);
    EXPECT_EQ(frame.height, 720.0);
    EXPECT_EQ(frameFromCropBox(defaultCropBox, 0.0).y, -820.0);  // no main screen: M is 0
}

QApplication& application() {
    static int argc = 1;
    static char name[] = "crop_window_test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

void sendMouse(QWidget* to, QEvent::Type type, Qt::MouseButton button) {
    Qt::MouseButtons held =
        type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button);
    QMouseEvent event(type, QPointF(5, 5), QPointF(5, 5), button, held, Qt::NoModifier);
    QApplication::sendEvent(to, &event);
}

// A real crop window on Qt's offscreen platform, with a main screen 1080
// points high and a mouse the test moves.
class CropWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetPrefs();
        thePrefs.cropBoxWidth = 640;
        thePrefs.cropBoxHeight = 360;
        thePrefs.cropBoxTop = 50;
        thePrefs.cropBoxLeft = 30;
        screens.fake.screenList = {ScreenInfo{FrameRect{0, 0, 1920, 1080}}};
        cropWindowMoving = 0;
        theViewController = &mainWindow;
        theCropWindow = &crop;
        crop.setBringMainWindowToFront([this] { mainWindow.bringMainWindowToFront(); });
    }
    void TearDown() override {
        theViewController = nullptr;
        theCropWindow = nullptr;
    }
    void showCropWindow() {
        CaptureStdout();
        crop.showWindow();
        QApplication::processEvents();
        loadOutput = GetCapturedStdout();
    }
    QRect geometry() { return crop.window()->geometry(); }
    void settle() {
        for (int i = 0; i < 5; ++i) QApplication::processEvents();
    }

    QApplication& app = application();  // before any widget
    ScopedFakeWindowServer screens;
    ViewController mainWindow;
    cropWindow crop{"cropWindow"};
    std::string loadOutput;
};

TEST_F(CropWindowTest, WithoutAWindowTheFrameIsZeroAndNothingBreaks) {
    EXPECT_EQ(crop.window(), nullptr);
    EXPECT_EQ(crop.windowNumber(), 0u);
    FrameRect f = crop.frame();
    EXPECT_EQ(f.x + f.y + f.width + f.height, 0.0);
    screens.fake.mouse = {40, 50};
    crop.windowWillMove();
    screens.fake.mouse = {45, 45};
    FrameRect during = crop.getCurrentFrameDuringMove();
    EXPECT_EQ(during.x, 5.0);
    EXPECT_EQ(during.y, -5.0);
    EXPECT_EQ(during.width, 0.0);
    crop.setIsVisible(true);
    cropWindow unknown("noSuchWindow");
    unknown.showWindow();
    EXPECT_EQ(unknown.window(), nullptr);
    CaptureStdout();
    crop.pleaseInitCropWindow();
    EXPECT_EQ(GetCapturedStdout(), "Starting Crop : existing Crop is 640x360 @ 50,30\n");
}

TEST_F(CropWindowTest, LoadingGivesTheLookAndPlacesTheWindowQuietly) {
    showCropWindow();
    ASSERT_NE(crop.window(), nullptr);
    EXPECT_EQ(loadOutput, "");
    EXPECT_EQ(geometry(), QRect(30, 50, 640, 360));
    FrameRect f = crop.frame();
    EXPECT_EQ(f.x, 30.0);
    EXPECT_EQ(f.y, 1080.0 - 50 - 360);
    EXPECT_EQ(f.width, 640.0);
    EXPECT_EQ(f.height, 360.0);
    EXPECT_DOUBLE_EQ(crop.window()->windowOpacity(), 0.2);
    EXPECT_EQ(crop.window()->palette().color(QPalette::Window), QColor(Qt::red));
    EXPECT_FALSE(crop.window()->testAttribute(Qt::WA_QuitOnClose));
    EXPECT_NE(crop.windowNumber(), 0u);
    crop.setIsVisible(false);
    EXPECT_FALSE(crop.window()->isVisible());
}

TEST_F(CropWindowTest, ResetPrintsTheOldBoxThenPlacesTheDefault) {
    showCropWindow();
    crop.setIsVisible(false);  // a reset acts on a hidden window too
    CaptureStdout();
    crop.pleaseResetCropBoundaries();
    crop.pleaseResetCropBoundaries();
    EXPECT_EQ(GetCapturedStdout(),
              "Resetting Crop : existing Crop is 640x360 @ 50,30\n"
              "Resetting Crop : existing Crop is 1280x720 @ 100,100\n");
    EXPECT_EQ(thePrefs.cropBoxWidth, 1280);
    EXPECT_EQ(thePrefs.cropBoxHeight, 720);
    EXPECT_EQ(thePrefs.cropBoxTop, 100);
    EXPECT_EQ(thePrefs.cropBoxLeft, 100);
    EXPECT_EQ(geometry(), QRect(100, 100, 1280, 720));
    EXPECT_EQ(crop.frame().y, 1080.0 - 100 - 720);

    // On a smaller screen the default box reaches past its lower edge and
    // stays as it is: the window shows the box, and the box what is shown.
    screens.fake.screenList = {ScreenInfo{FrameRect{0, 0, 1366, 768}}};
    crop.pleaseResetCropBoundaries();
    settle();
    EXPECT_EQ(geometry(), QRect(100, 100, 1280, 720));
    EXPECT_EQ(thePrefs.cropBoxTop, 100);
    EXPECT_EQ(thePrefs.cropBoxLeft, 100);
}

// A box from damaged settings, off every screen, is brought onto them and
// stored as placed, whether or not the crop option is on.
TEST_F(CropWindowTest, ABoxOffEveryScreenIsBroughtOnAndStoredAsPlaced) {
    thePrefs.cropBoxTop = 5000;
    thePrefs.cropBoxLeft = -9000;
    showCropWindow();
    settle();
    EXPECT_TRUE(QRect(0, 0, 1920, 1080).contains(geometry()));
    EXPECT_EQ(geometry().size(), QSize(640, 360));
    EXPECT_EQ(thePrefs.cropBoxWidth, 640);
    EXPECT_EQ(thePrefs.cropBoxHeight, 360);
    EXPECT_EQ(thePrefs.cropBoxTop, 1080 - 360);
    EXPECT_EQ(thePrefs.cropBoxLeft, 0);
}

TEST_F(CropWindowTest, InitPrintsAndPlacesWithoutChangingTheBox) {
    showCropWindow();
    crop.window()->setGeometry(500, 500, 100, 100);
    settle();
    CaptureStdout();
    crop.pleaseInitCropWindow();
    settle();
    EXPECT_EQ(GetCapturedStdout(), "Starting Crop : existing Crop is 640x360 @ 50,30\n");
    EXPECT_EQ(geometry(), QRect(30, 50, 640, 360));
    EXPECT_EQ(thePrefs.cropBoxWidth, 640);
    EXPECT_EQ(thePrefs.cropBoxTop, 50);
}

TEST_F(CropWindowTest, MovesAndResizesAreStoredOnlyWithTheCropOptionOn) {
    showCropWindow();
    crop.window()->move(200, 300);
    crop.window()->resize(800, 600);
    settle();
    EXPECT_EQ(thePrefs.cropBoxLeft, 30);
    EXPECT_EQ(thePrefs.cropBoxWidth, 640);

    thePrefs.cropWindow = 1;
    crop.window()->move(210, 310);  // places the frame; the box is the inside
    settle();
    QRect inside = geometry();
    EXPECT_GE(inside.x(), 210);
    EXPECT_EQ(thePrefs.cropBoxLeft, inside.x());
    EXPECT_EQ(thePrefs.cropBoxTop, inside.y());
    crop.window()->resize(720, 400);
    settle();
    EXPECT_EQ(thePrefs.cropBoxWidth, 720);
    EXPECT_EQ(thePrefs.cropBoxHeight, 400);
    EXPECT_EQ(thePrefs.cropBoxTop, inside.y());
}

TEST_F(CropWindowTest, NotificationsFromAnotherWindowLeaveTheBox) {
    showCropWindow();
    thePrefs.cropWindow = 1;
    crop.window()->setGeometry(11, 12, 300, 200);  // stored: the crop window moved
    settle();
    ASSERT_EQ(thePrefs.cropBoxLeft, 11);
    QWidget other;
    other.setGeometry(700, 700, 50, 50);
    crop.windowDidMove(&other);
    crop.windowDidResize(&other);
    crop.windowDidMove(nullptr);
    EXPECT_EQ(thePrefs.cropBoxLeft, 11);
    EXPECT_EQ(thePrefs.cropBoxWidth, 300);
}

TEST_F(CropWindowTest, AResizeBringsTheMainWindowForwardWhateverTheOption) {
    showCropWindow();
    mainWindow.hide();
    crop.window()->resize(300, 300);
    settle();
    EXPECT_TRUE(mainWindow.isVisible());
    EXPECT_EQ(thePrefs.cropBoxWidth, 640);
}

TEST_F(CropWindowTest, DuringADragTheFrameFollowsTheMouse) {
    showCropWindow();
    screens.fake.mouse = {500, 400};
    crop.windowWillMove();
    EXPECT_EQ(cropWindowMoving.load(), 1);
    screens.fake.mouse = {530, 380};
    FrameRect during = crop.getCurrentFrameDuringMove();
    EXPECT_EQ(during.x, 30.0 + 30);
    EXPECT_EQ(during.y, 670.0 - 20);
    EXPECT_EQ(during.width, 640.0);
    EXPECT_EQ(during.height, 360.0);
    // The window's size then changes; the drag keeps the size it began with.
    crop.window()->resize(100, 100);
    EXPECT_EQ(crop.getCurrentFrameDuringMove().width, 640.0);
}

TEST_F(CropWindowTest, PressingMovingAndReleasingDragsTheWindow) {
    showCropWindow();
    thePrefs.cropWindow = 1;
    mainWindow.hide();
    screens.fake.mouse = {100, 100};
    sendMouse(crop.window(), QEvent::MouseButtonPress, Qt::LeftButton);
    EXPECT_EQ(cropWindowMoving.load(), 1);
    EXPECT_TRUE(mainWindow.isVisible());
    screens.fake.mouse = {140, 70};  // right 40, down 30
    sendMouse(crop.window(), QEvent::MouseMove, Qt::LeftButton);
    settle();
    EXPECT_EQ(geometry(), QRect(70, 80, 640, 360));
    sendMouse(&mainWindow, QEvent::MouseButtonRelease, Qt::LeftButton);
    EXPECT_EQ(cropWindowMoving.load(), 0);
    EXPECT_EQ(thePrefs.cropBoxLeft, 70);
    EXPECT_EQ(thePrefs.cropBoxTop, 80);
    // Moves without the button held do not move the window.
    screens.fake.mouse = {0, 0};
    sendMouse(crop.window(), QEvent::MouseMove, Qt::NoButton);
    cropWindowMoving = 1;
    sendMouse(crop.window(), QEvent::MouseMove, Qt::NoButton);
    settle();
    EXPECT_EQ(geometry(), QRect(70, 80, 640, 360));
}

TEST_F(CropWindowTest, OnlyALeftMouseUpEndsTheMovingState) {
    showCropWindow();
    cropWindowMoving = 1;
    sendMouse(&mainWindow, QEvent::MouseButtonRelease, Qt::RightButton);
    EXPECT_EQ(cropWindowMoving.load(), 1);
    sendMouse(&mainWindow, QEvent::MouseButtonRelease, Qt::LeftButton);
    EXPECT_EQ(cropWindowMoving.load(), 0);
    sendMouse(&mainWindow, QEvent::MouseButtonRelease, Qt::LeftButton);  // no drag: harmless
    EXPECT_EQ(cropWindowMoving.load(), 0);
}

}  // namespace
