// The source capture's four cases, its size rule and its failure cases,
// against the in-memory window server.
#include "capture/source_capture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "capture/app_list.h"
#include "capture/cursor_overlay.h"
#include "common/globals.h"
#include "settings/prefs.h"
#include "tests/support/fake_window_server.h"

namespace {

constexpr uint32_t kMainWindow = 71;
constexpr uint32_t kCropWindow = 72;

struct FakeSurroundings : CaptureSurroundings {
    FrameRect crop{};
    FrameRect dragged{};
    bool moving = false;
    FrameRect cropWindowFrame() override { return crop; }
    uint32_t cropWindowNumber() override { return kCropWindow; }
    bool cropWindowMoving() override { return moving; }
    FrameRect getCurrentFrameDuringMove() override { return dragged; }
    uint32_t mainWindowNumber() override { return kMainWindow; }
};

class SourceCapture : public ::testing::Test {
  protected:
    void SetUp() override {
        resetPrefs();
        thePrefs.screenOrAppMode = 0;
        thePrefs.whichScreen = 0;
        mainScreenHeight = 900.0f;
        fullScreenSpaceActive = 0;
        displayIsRetina = 0;
        fake().screenList = {{{0, 0, 1440, 900}}, {{1440, -124, 1920, 1080}}};
        buffer = static_cast<uint8_t*>(malloc(kMaxFrameBytes));
        ASSERT_NE(buffer, nullptr);
        memset(buffer, 0xAB, 64);
        captureWidth = 123;
        captureHeight = 456;
    }
    void TearDown() override {
        free(buffer);
        free(theAppList);
        theAppList = nullptr;
        theAppCount = 0;
    }

    FakeWindowServer& fake() { return server.fake; }
    const FakeCaptureRequest& lastCapture() { return server.fake.captures.back(); }

    // One application with windows of the given layers, numbered 100, 101, ...
    void listApp(std::initializer_list<int32_t> layers) {
        theAppList = static_cast<AppRecord*>(calloc(1, sizeof(AppRecord)));
        theAppCount = 1;
        AppRecord& app = theAppList[0];
        for (int32_t layer : layers) {
            WindowRecord& w = app.windows[app.windowCount];
            w.bounds = {100.0 + app.windowCount, 50, 800, 600};
            w.layer = layer;
            w.windowNumber = 100 + static_cast<uint32_t>(app.windowCount);
            ++app.windowCount;
        }
        thePrefs.screenOrAppMode = 1;
        thePrefs.whichApp = 0;
    }

    void expectUntouched() {
        EXPECT_EQ(captureWidth, 123);
        EXPECT_EQ(captureHeight, 456);
        EXPECT_EQ(buffer[0], 0xAB);
        EXPECT_EQ(buffer[63], 0xAB);
    }

    void expectRect(const FrameRect& r, double x, double y, double w, double h) {
        EXPECT_EQ(r.x, x);
        EXPECT_EQ(r.y, y);
        EXPECT_EQ(r.width, w);
        EXPECT_EQ(r.height, h);
    }

    // A picture of rows * stride bytes, whatever its own width says.
    void answerWith(int32_t width, int32_t rows, int32_t stride) {
        auto* pixels =
            static_cast<uint8_t*>(calloc(static_cast<size_t>(rows), static_cast<size_t>(stride)));
        pixels[0] = 0x11;
        fake().image.pixels = std::shared_ptr<const uint8_t>(
            pixels, [](const uint8_t* p) { free(const_cast<uint8_t*>(p)); });
        fake().image.width = width;
        fake().image.height = rows;
        fake().image.bytesPerRow = stride;
        fake().image.byteLength = static_cast<size_t>(rows) * static_cast<size_t>(stride);
    }

    ScopedFakeWindowServer server;
    FakeSurroundings surroundings;
    uint8_t* buffer = nullptr;
};

TEST_F(SourceCapture, ApplicationWindowOutsideAFullScreenSpaceIsTheFrontOne) {
    listApp({0, 3, 3});
    getTheBitmap(buffer, surroundings);
    ASSERT_EQ(fake().captures.size(), 1u);
    EXPECT_EQ(lastCapture().filter, CaptureFilter::includingWindow);
    EXPECT_EQ(lastCapture().windowNumber, 100u);
    expectRect(lastCapture().rect, 100, 50, 800, 600);
    EXPECT_EQ(captureWidth, 800);
    EXPECT_EQ(captureHeight, 600);
}

TEST_F(SourceCapture, InAFullScreenSpaceTheLastWindowOfTheGreatestLayer) {
    fullScreenSpaceActive = 1;
    listApp({0, 3, 3});
    getTheBitmap(buffer, surroundings);
    EXPECT_EQ(lastCapture().windowNumber, 102u);
    free(theAppList);
    listApp({0, 0, 0});
    getTheBitmap(buffer, surroundings);
    EXPECT_EQ(lastCapture().windowNumber, 102u);
    free(theAppList);
    listApp({5, 0});
    getTheBitmap(buffer, surroundings);
    EXPECT_EQ(lastCapture().windowNumber, 100u);
    free(theAppList);
    listApp({0});
    getTheBitmap(buffer, surroundings);
    EXPECT_EQ(lastCapture().windowNumber, 100u);
}

TEST_F(SourceCapture, SizeRuleKeepsTheOriginAndFixesTheArea) {
    listApp({0});
    theAppList[0].windows[0].bounds = {100, 50, 800, 600};
    thePrefs.scalingMode = 1;
    getTheBitmap(buffer, surroundings);
    expectRect(lastCapture().rect, 100, 50, 1920, 1080);
    EXPECT_EQ(lastCapture().filter, CaptureFilter::includingWindow);
    thePrefs.scalingMode = 2;
    getTheBitmap(buffer, surroundings);
    expectRect(lastCapture().rect, 100, 50, 1280, 720);
    thePrefs.scalingMode = 7;
    getTheBitmap(buffer, surroundings);
    expectRect(lastCapture().rect, 100, 50, 800, 600);
}

TEST_F(SourceCapture, FirstScreenIsTakenWithoutTheProgramsOwnWindowsWithItsOwnFrame) {
    getTheBitmap(buffer, surroundings);
    EXPECT_EQ(lastCapture().filter, CaptureFilter::withoutWindows);
    EXPECT_EQ(lastCapture().leftOut, (std::vector<uint32_t>{kMainWindow, kCropWindow}));
    expectRect(lastCapture().rect, 0, 0, 1440, 900);
    EXPECT_EQ(captureWidth, 1440);
    EXPECT_EQ(captureHeight, 900);
    uint32_t first;
    memcpy(&first, buffer, 4);
    EXPECT_EQ(first, fake().fillBgra);
}

TEST_F(SourceCapture, OtherScreensTurnTheirFrameIntoTopLeftCoordinates) {
    thePrefs.whichScreen = 1;
    getTheBitmap(buffer, surroundings);
    expectRect(lastCapture().rect, 1440, -56, 1920, 1080);
}

TEST_F(SourceCapture, CropRectangleIsTakenWithoutTheProgramsOwnWindows) {
    mainScreenHeight = 1080.0f;
    thePrefs.cropWindow = 1;
    thePrefs.showMouse = 1;  // never drawn into a crop
    surroundings.crop = {100, 260, 1280, 720};
    fake().mouse = {110, 900};
    getTheBitmap(buffer, surroundings);
    EXPECT_EQ(lastCapture().filter, CaptureFilter::withoutWindows);
    EXPECT_EQ(lastCapture().leftOut, (std::vector<uint32_t>{kCropWindow, kMainWindow}));
    expectRect(lastCapture().rect, 100, 100, 1280, 720);
    uint32_t pixel;
    memcpy(&pixel, buffer + (60 * 1280 + 10) * 4, 4);
    EXPECT_EQ(pixel, fake().fillBgra);
}

TEST_F(SourceCapture, CropRectangleFollowsTheDrag) {
    mainScreenHeight = 1080.0f;
    thePrefs.cropWindow = 1;
    surroundings.crop = {100, 260, 1280, 720};
    surroundings.moving = true;
    surroundings.dragged = {300, 60, 1280, 720};
    getTheBitmap(buffer, surroundings);
    expectRect(lastCapture().rect, 300, 300, 1280, 720);
}

TEST_F(SourceCapture, WithTheCursorEveryWindowIsTakenAndTheArrowDrawn) {
    ASSERT_EQ(loadCursorPicture(), 0);
    thePrefs.showMouse = 1;
    fake().mouse = {200.5, 450.5};  // the tip lands on column 200, row 900 - 450
    getTheBitmap(buffer, surroundings);
    EXPECT_EQ(lastCapture().filter, CaptureFilter::allWindows);
    EXPECT_EQ(lastCapture().windowNumber, kMainWindow);
    EXPECT_EQ(captureWidth, 1440);
    uint32_t tip, away;
    memcpy(&tip, buffer + (450 * 1440 + 200) * 4, 4);
    memcpy(&away, buffer + (100 * 1440 + 100) * 4, 4);
    EXPECT_NE(tip, fake().fillBgra);
    EXPECT_EQ(away, fake().fillBgra);
}

TEST_F(SourceCapture, OnASecondScreenTheArrowIsPlacedWithinThatScreensPicture) {
    ASSERT_EQ(loadCursorPicture(), 0);
    thePrefs.showMouse = 1;
    thePrefs.whichScreen = 1;
    // 100 points in from the second screen's left edge, 300 below its top.
    fake().mouse = {1540, -124 + 1080 - 300};
    getTheBitmap(buffer, surroundings);
    ASSERT_EQ(captureWidth, 1920);
    uint32_t tip;
    memcpy(&tip, buffer + (300 * 1920 + 100) * 4, 4);
    EXPECT_NE(tip, fake().fillBgra);
}

TEST_F(SourceCapture, StrideAndEvenRowsMakeTheSize) {
    answerWith(1366, 1081, 5504);
    EXPECT_TRUE(getTheBitmap(buffer, surroundings));
    EXPECT_EQ(captureWidth, 1376);
    EXPECT_EQ(captureHeight, 1080);
    EXPECT_EQ(buffer[0], 0x11);

    // The encoder takes even widths only: a crop 881 wide is asked for its
    // left 880 columns, so the picture comes even and is never moved.
    fake().image = {};  // the fake now answers the rectangle asked for
    fake().fillBgra = 0x11223344;
    thePrefs.cropWindow = 1;
    surroundings.crop = {100, 260, 881, 521};
    EXPECT_TRUE(getTheBitmap(buffer, surroundings));
    EXPECT_EQ(lastCapture().rect.x, 100.0);
    EXPECT_EQ(lastCapture().rect.width, 880.0);
    EXPECT_EQ(captureWidth, 880);
    EXPECT_EQ(captureHeight, 520);
    EXPECT_EQ(buffer[880 * 4 * 519 + 879 * 4], 0x44);

    // A server that still gives odd rows: refused with one line, the last
    // picture left as it was.
    answerWith(881, 521, 881 * 4);
    buffer[0] = 0xAB;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(getTheBitmap(buffer, surroundings));
    EXPECT_FALSE(getTheBitmap(buffer, surroundings));
    const std::string said = testing::internal::GetCapturedStdout();
    EXPECT_EQ(said,
              "capture: the window server gave rows of 881 pixels, an odd number; not captured\n");
    EXPECT_EQ(captureWidth, 880);
    EXPECT_EQ(buffer[0], 0xAB);
}

TEST_F(SourceCapture, FailuresLeaveTheBufferAndSizeAlone) {
    thePrefs.screenOrAppMode = 2;
    getTheBitmap(buffer, surroundings);
    EXPECT_TRUE(fake().captures.empty());
    expectUntouched();

    thePrefs.screenOrAppMode = 1;  // no application list
    getTheBitmap(buffer, surroundings);
    listApp({0});
    thePrefs.whichApp = 1;
    getTheBitmap(buffer, surroundings);
    thePrefs.whichApp = -1;
    getTheBitmap(buffer, surroundings);
    EXPECT_TRUE(fake().captures.empty());
    expectUntouched();

    thePrefs.screenOrAppMode = 0;
    thePrefs.whichScreen = 2;
    getTheBitmap(buffer, surroundings);
    thePrefs.cropWindow = 1;
    getTheBitmap(buffer, surroundings);
    EXPECT_TRUE(fake().captures.empty());
    expectUntouched();

    thePrefs.whichScreen = 0;
    thePrefs.cropWindow = 0;
    fake().captureFails = true;
    getTheBitmap(buffer, surroundings);
    thePrefs.showMouse = 1;
    getTheBitmap(buffer, surroundings);
    EXPECT_EQ(fake().captures.size(), 2u);
    expectUntouched();
}

TEST_F(SourceCapture, PicturesTooNarrowOrTooLargeAreRefused) {
    answerWith(1, 1080, 4);
    getTheBitmap(buffer, surroundings);
    expectUntouched();
    // One row more than the buffer holds: announced, never copied.
    fake().image.pixels = std::shared_ptr<const uint8_t>(buffer, [](const uint8_t*) {});
    fake().image.bytesPerRow = kMaxFrameWidth * 4;
    fake().image.byteLength = static_cast<size_t>(kMaxFrameBytes) + kMaxFrameWidth * 4;
    getTheBitmap(buffer, surroundings);
    expectUntouched();
}

TEST_F(SourceCapture, ANullCursorOverlayKeepsThePreviousPicture) {
    thePrefs.showMouse = 1;
    answerWith(10, 10, 40);
    fake().image.byteLength = 39;  // shorter than its rows: no surface can be made of it
    getTheBitmap(buffer, surroundings);
    expectUntouched();
}

}  // namespace
