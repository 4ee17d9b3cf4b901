// The cursor overlay: where the arrow goes, how it is drawn and clipped, and
// that the capture's layout survives.
#include "capture/cursor_overlay.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "common/globals.h"
#include "settings/prefs.h"
#include "tests/support/fake_window_server.h"

namespace {

constexpr uint32_t kGrey = 0xFF808080;
constexpr uint32_t kRed = 0xFFFF0000;

void expectPlacement(const CursorPlacement& p, double x, double y, double w, double h) {
    EXPECT_EQ(p.x, x);
    EXPECT_EQ(p.y, y);
    EXPECT_EQ(p.width, w);
    EXPECT_EQ(p.height, h);
}

TEST(CursorPlacement, WorkedExample) {
    const FramePoint hot{1.0, 3.0};
    expectPlacement(cursorPlacement({500.7, 300.2}, 1, 12, 19, hot), 499, 284, 12, 19);
    expectPlacement(cursorPlacement({500.7, 300.2}, 4, 12, 19, hot), 496, 236, 48, 76);
    expectPlacement(cursorPlacement({1001.4, 600.4}, 1, 12, 19, hot), 1000, 584, 12, 19);
}

TEST(CursorPlacement, TruncatesTowardZero) {
    const FramePoint hot{1.0, 3.0};
    // -0.5 counts as 0, not -1.
    expectPlacement(cursorPlacement({-0.5, -0.5}, 1, 12, 19, hot), -1, -16, 12, 19);
    expectPlacement(cursorPlacement({10.9, 20.9}, 1, 12.8, 19.9, hot), 9, 3, 12, 19);
}

TEST(CursorPicture, LoadsTheArrowWithItsHotSpotOnTheTip) {
    ASSERT_EQ(loadCursorPicture(), 0);
    ASSERT_EQ(thisPointer, &overlay.image);
    EXPECT_EQ(overlay.width, 12.0);
    EXPECT_EQ(overlay.height, 19.0);
    EXPECT_EQ(hotSpot.x, 1.0);
    EXPECT_EQ(hotSpot.y, 3.0);
    const uint8_t* tip = overlay.image.pixels.data() + (3 * 12 + 1) * 4;
    EXPECT_GT(tip[3], 200) << "the tip is opaque";
    EXPECT_LT(tip[2], 100) << "and dark, the outline";
    const uint8_t* inside = overlay.image.pixels.data() + (9 * 12 + 3) * 4;
    EXPECT_GT(inside[2], 200) << "the fill is light";
    EXPECT_EQ(overlay.image.pixels[3], 0) << "the corner is transparent";
}

class CursorOverlay : public ::testing::Test {
  protected:
    void SetUp() override {
        resetPrefs();
        displayIsRetina = 0;
        // A 4 x 5 red picture, hot spot (1, 3), drawn one pixel per point.
        picture.width = 4;
        picture.height = 5;
        picture.pixels.assign(4 * 5 * 4, 0);
        for (size_t i = 0; i < 20; ++i) memcpy(&picture.pixels[i * 4], &kRed, 4);
        overlay.width = 4;
        overlay.height = 5;
        thisPointer = &picture;
        hotSpot = {1.0, 3.0};
        makeCapture(100, 50, 100 * 4);
    }
    void TearDown() override { thisPointer = nullptr; }

    void makeCapture(int32_t width, int32_t height, int32_t stride) {
        size_t bytes = static_cast<size_t>(height) * static_cast<size_t>(stride);
        auto* pixels = static_cast<uint8_t*>(malloc(bytes));
        for (size_t i = 0; i + 4 <= bytes; i += 4) memcpy(pixels + i, &kGrey, 4);
        capture.pixels = std::shared_ptr<const uint8_t>(
            pixels, [](const uint8_t* p) { free(const_cast<uint8_t*>(p)); });
        capture.width = width;
        capture.height = height;
        capture.bytesPerRow = stride;
        capture.byteLength = bytes;
    }

    static uint32_t at(const CapturedImage& image, int x, int y) {
        uint32_t p;
        memcpy(&p, image.pixels.get() + static_cast<size_t>(y) * image.bytesPerRow + x * 4, 4);
        return p;
    }

    // Red exactly over columns [x0, x1) and rows [y0, y1) (top-down), grey
    // everywhere else.
    void expectRedBox(const CapturedImage& image, int x0, int y0, int x1, int y1) {
        int wrong = 0;
        for (int y = 0; y < image.height; ++y) {
            for (int x = 0; x < image.width; ++x) {
                bool inside = x >= x0 && x < x1 && y >= y0 && y < y1;
                if (at(image, x, y) != (inside ? kRed : kGrey)) ++wrong;
            }
        }
        EXPECT_EQ(wrong, 0);
    }

    ScopedFakeWindowServer server;
    CursorImage picture;
    CapturedImage capture;
};

TEST_F(CursorOverlay, DrawsThePictureWithItsHotSpotOnTheMouse) {
    server.fake.mouse = {10.7, 20.2};
    CapturedImage result;
    ASSERT_TRUE(appendMouseCursor(capture, {0, 0}, result));
    // x = 10 - 1 = 9; bottom-up y = 20 - (5 - 3) = 18, so rows 50 - 23 = 27 to 31.
    expectRedBox(result, 9, 27, 13, 32);
}

TEST_F(CursorOverlay, BigMouseIsFourTimesLargerAroundTheSameHotSpot) {
    thePrefs.bigMouse = 1;
    server.fake.mouse = {30, 40};
    CapturedImage result;
    ASSERT_TRUE(appendMouseCursor(capture, {0, 0}, result));
    // x = 30 - 4 = 26, width 16; bottom-up y = 40 - 8 = 32, height 20: rows -2 to 17.
    expectRedBox(result, 26, 0, 42, 18);
}

TEST_F(CursorOverlay, AHighDensityScreenLeavesThePositionInThePicturesPixels) {
    displayIsRetina = 1;
    server.fake.mouse = {10.7, 20.2};
    CapturedImage result;
    ASSERT_TRUE(appendMouseCursor(capture, {0, 0}, result));
    // x = 10 - 1 = 9, bottom-up y = 20 - 2 = 18, rows 50 - 23 = 27 to 31.
    expectRedBox(result, 9, 27, 13, 32);
}

TEST_F(CursorOverlay, PositionIsTakenFromTheCapturedRectanglesCorner) {
    server.fake.mouse = {1510.7, 320.2};
    CapturedImage result;
    ASSERT_TRUE(appendMouseCursor(capture, {1500, 300}, result));
    expectRedBox(result, 9, 27, 13, 32);
}

TEST_F(CursorOverlay, ClippedAtTheEdgesAndAbsentOutside) {
    server.fake.mouse = {0.5, 49.9};  // x -1, bottom-up y 47: rows -2 to 2
    CapturedImage result;
    ASSERT_TRUE(appendMouseCursor(capture, {0, 0}, result));
    expectRedBox(result, 0, 0, 3, 3);
    server.fake.mouse = {99, 1};  // x 98, bottom-up y -1: rows 46 to 50
    ASSERT_TRUE(appendMouseCursor(capture, {0, 0}, result));
    expectRedBox(result, 98, 46, 100, 50);
    server.fake.mouse = {5000, -5000};
    ASSERT_TRUE(appendMouseCursor(capture, {0, 0}, result));
    expectRedBox(result, 0, 0, 0, 0);
}

TEST_F(CursorOverlay, KeepsTheCapturesLayoutAndLeavesItUnchanged) {
    makeCapture(100, 50, 128 * 4);
    const std::shared_ptr<const uint8_t> original = capture.pixels;
    std::vector<uint8_t> before(original.get(), original.get() + capture.byteLength);
    server.fake.mouse = {99, 25};
    CapturedImage result;
    ASSERT_TRUE(appendMouseCursor(capture, {0, 0}, result));
    EXPECT_EQ(result.width, 100);
    EXPECT_EQ(result.height, 50);
    EXPECT_EQ(result.bytesPerRow, 128 * 4);
    EXPECT_EQ(result.byteLength, capture.byteLength);
    EXPECT_NE(result.pixels.get(), original.get());
    EXPECT_EQ(memcmp(original.get(), before.data(), before.size()), 0);
    // The arrow is clipped at the picture's width, not at the row's end.
    EXPECT_EQ(at(result, 100, 25), kGrey);
    EXPECT_EQ(at(result, 99, 25), kRed);
}

TEST_F(CursorOverlay, BlendsTranslucentPixelsOverTheCapture) {
    const uint32_t halfWhite = 0x80808080;  // premultiplied white at half strength
    for (size_t i = 0; i < 20; ++i) memcpy(&picture.pixels[i * 4], &halfWhite, 4);
    server.fake.mouse = {10, 20};
    CapturedImage result;
    ASSERT_TRUE(appendMouseCursor(capture, {0, 0}, result));
    const uint8_t* p = result.pixels.get() + (27 * 100 + 9) * 4;
    EXPECT_NEAR(p[0], 0x80 + 0x80 * 127 / 255, 1);
    EXPECT_EQ(p[3], 255);
}

TEST_F(CursorOverlay, WithoutAPictureTheResultIsACopy) {
    thisPointer = nullptr;
    overlay.width = overlay.height = 0;
    server.fake.mouse = {10, 20};
    CapturedImage result;
    ASSERT_TRUE(appendMouseCursor(capture, {0, 0}, result));
    expectRedBox(result, 0, 0, 0, 0);
}

TEST_F(CursorOverlay, NoImageWhenTheCaptureCannotBeASurface) {
    CapturedImage result;
    capture.bytesPerRow = 99 * 4;  // rows shorter than the width
    EXPECT_FALSE(appendMouseCursor(capture, {0, 0}, result));
    capture.bytesPerRow = 100 * 4;
    capture.byteLength -= 1;
    EXPECT_FALSE(appendMouseCursor(capture, {0, 0}, result));
    EXPECT_FALSE(appendMouseCursor(CapturedImage{}, {0, 0}, result));
}

TEST_F(CursorOverlay, SystemCursorVariantUsesItsPictureAndIntegerPlacement) {
    server.fake.hasCursor = true;
    server.fake.cursor = picture;
    server.fake.cursorHotSpot = {2, 1};
    server.fake.mouse = {10.7, 20.2};
    displayIsRetina = 1;  // never doubles this variant's position
    CapturedImage result;
    ASSERT_TRUE(appendMouseCursor2(capture, {0, 0}, result));
    // x = 10 - 2 = 8; bottom-up y = 20 + 1 - 5 = 16: rows 50 - 21 = 29 to 33.
    expectRedBox(result, 8, 29, 12, 34);
    server.fake.hasCursor = false;
    ASSERT_TRUE(appendMouseCursor2(capture, {0, 0}, result));
    expectRedBox(result, 0, 0, 0, 0);
}

}  // namespace
