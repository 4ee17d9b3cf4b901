// The half-size conversion, the 32-bit decimation and the high-density test.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <array>
#include <cstdlib>
#include <vector>

#include "engine/mailbox.h"
#include "platform/desktop/screens.h"

namespace {

using Pixel = std::array<uint8_t, 4>;  // B, G, R, A
constexpr Pixel kBlack{0, 0, 0, 255};
constexpr Pixel kWhite{255, 255, 255, 255};
constexpr Pixel kBlue{255, 0, 0, 255};
constexpr Pixel kRed{0, 0, 255, 255};
constexpr Pixel kGreen{0, 255, 0, 0};

std::vector<uint8_t> picture(int width, int height, const std::vector<Pixel>& rowColours) {
    std::vector<uint8_t> bytes(size_t(width) * height * 4);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 4; ++c) bytes[(size_t(y) * width + x) * 4 + c] = rowColours[y][c];
    return bytes;
}

// Output bytes of a half-size conversion, sized exactly as the result, so
// that the address sanitizer catches any write past it.
std::vector<uint8_t> halve(const std::vector<uint8_t>& src, int width, int height) {
    std::vector<uint8_t> dst(size_t(halfSizeWidth(width)) * 2 * (height / 2), 0xEE);
    bgraToUYVYHalf(src.data(), dst.data(), width, height);
    return dst;
}

TEST(HalfSizeConversion, PairTakesUAndY0FromPixel4mAndVAndY1FromPixel4mPlus2) {
    // One source row: white, red, blue, green, black, red, white, green.
    const std::vector<Pixel> row{kWhite, kRed, kBlue, kGreen, kBlack, kRed, kWhite, kGreen};
    std::vector<uint8_t> src;
    for (int y = 0; y < 2; ++y)
        for (const Pixel& p : row) src.insert(src.end(), p.begin(), p.end());
    const std::vector<uint8_t> out = halve(src, 8, 2);
    // Pair 0: U, Y0 of white (127, 235); V, Y1 of blue (118, 31).
    // Pair 1: U, Y0 of black (128, 16); V, Y1 of white (128, 235).
    EXPECT_EQ(out, (std::vector<uint8_t>{127, 235, 118, 31, 128, 16, 128, 235}));
}

TEST(HalfSizeConversion, BlackWhiteAndBlueValues) {
    struct Case {
        Pixel colour;
        uint8_t u, y, v;
    };
    for (const Case& c :
         {Case{kBlack, 128, 16, 128}, Case{kWhite, 127, 235, 128}, Case{kBlue, 239, 31, 118}}) {
        const std::vector<uint8_t> out = halve(picture(4, 2, {c.colour, c.colour}), 4, 2);
        EXPECT_EQ(out, (std::vector<uint8_t>{c.u, c.y, c.v, c.y}))
            << "B " << int(c.colour[0]) << " G " << int(c.colour[1]) << " R " << int(c.colour[2]);
    }
}

TEST(HalfSizeConversion, OutputRowsComeFromSourceRows0_1_4_5) {
    // Rows 2, 3, 6 and 7 must never be used.
    const std::vector<Pixel> rows{kBlack, kWhite, kRed, kGreen, kBlue, kBlack, kRed, kGreen};
    const std::vector<uint8_t> out = halve(picture(4, 8, rows), 4, 8);
    const std::vector<uint8_t> lumaByRow{out[1], out[5], out[9], out[13]};
    EXPECT_EQ(lumaByRow, (std::vector<uint8_t>{16, 235, 31, 16}));
}

// Every byte against the formula, on pixels that reach the extremes of each
// sum, at widths that end inside and outside a block of four pairs.
TEST(HalfSizeConversion, RandomPixelsMatchTheFormulaAtEveryWidth) {
    auto floorShift = [](int sum) { return sum >= 0 ? sum / 256 : -((-sum + 255) / 256); };
    srand(7);
    for (int width : {4, 16, 20, 60, 64, 84, 3840}) {
        const int height = 6;
        std::vector<uint8_t> src(size_t(width) * height * 4);
        for (size_t i = 0; i < src.size(); ++i) {
            const int kind = rand() % 4;
            src[i] = kind == 0 ? 0 : kind == 1 ? 255 : uint8_t(rand());
        }
        const std::vector<uint8_t> out = halve(src, width, height);
        for (int row = 0; row < height / 2; ++row) {
            const uint8_t* in = src.data() + size_t((row / 2) * 4 + row % 2) * width * 4;
            for (int m = 0; m < width / 4; ++m) {
                const uint8_t* a = in + 16 * m;
                const uint8_t* c = a + 8;
                const uint8_t* o = out.data() + (size_t(row) * (width / 4) + m) * 4;
                const int u = floorShift(112 * a[0] - 87 * a[1] - 26 * a[2]) + 128;
                const int ya = floorShift(16 * a[0] + 157 * a[1] + 47 * a[2]) + 16;
                const int v = floorShift(112 * c[2] - 102 * c[1] - 10 * c[0]) + 128;
                const int yc = floorShift(16 * c[0] + 157 * c[1] + 47 * c[2]) + 16;
                ASSERT_EQ((std::vector<int>{o[0], o[1], o[2], o[3]}),
                          (std::vector<int>{u, ya, v, yc}))
                    << "width " << width << " row " << row << " pair " << m;
            }
        }
    }
}

TEST(HalfSizeConversion, WidthsNotAMultipleOf4StayWithinBothBuffers) {
    // Buffers sized exactly: the address sanitizer reports any stray access.
    for (int width : {1, 2, 3, 5, 6, 7, 9, 10, 11, 1922, 1923}) {
        for (int height : {1, 2, 3, 5, 6}) {
            std::vector<Pixel> rows(height, kWhite);
            const std::vector<uint8_t> out = halve(picture(width, height, rows), width, height);
            EXPECT_EQ(out.size(), size_t(width / 4) * 4 * (height / 2));
            for (size_t i = 1; i < out.size(); i += 2)
                ASSERT_EQ(out[i], 235) << width << "x" << height;
        }
    }
    EXPECT_EQ(halfSizeWidth(3840), 1920);
    EXPECT_EQ(halfSizeWidth(1921), 960);
    EXPECT_EQ(halfSizeWidth(1922), 960);
    EXPECT_EQ(halfSizeWidth(0), 0);
    EXPECT_EQ(halfSizeWidth(-8), 0);
}

TEST(HalfSizeConversion, WritesNothingForEmptyPictures) {
    std::vector<uint8_t> dst(16, 0xEE);
    const std::vector<uint8_t> src(64, 0);
    bgraToUYVYHalf(src.data(), dst.data(), 0, 4);
    bgraToUYVYHalf(src.data(), dst.data(), 4, 0);
    bgraToUYVYHalf(src.data(), dst.data(), -4, 4);
    bgraToUYVYHalf(src.data(), dst.data(), 4, -2);
    EXPECT_EQ(dst, std::vector<uint8_t>(16, 0xEE));
}

TEST(Decimate32Half, KeepsEvenColumnsAndRowsOfOddSizes) {
    // Pixel (x, y) holds x + 16 y in every byte.
    const int width = 5, height = 5;
    std::vector<uint8_t> src(size_t(width) * height * 4);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 4; ++c) src[(size_t(y) * width + x) * 4 + c] = uint8_t(x + 16 * y);
    std::vector<uint8_t> dst(2 * 3 * 4);  // width / 2 by ceil(height / 2)
    decimate32Half(src.data(), dst.data(), width, height);
    std::vector<uint8_t> firstBytes;
    for (size_t i = 0; i < dst.size(); i += 4) firstBytes.push_back(dst[i]);
    EXPECT_EQ(firstBytes, (std::vector<uint8_t>{0, 2, 32, 34, 64, 66}));

    std::vector<uint8_t> untouched(8, 0xEE);
    decimate32Half(src.data(), untouched.data(), 0, 5);
    decimate32Half(src.data(), untouched.data(), 5, 0);
    decimate32Half(src.data(), untouched.data(), 1, 5);  // no whole output column
    EXPECT_EQ(untouched, std::vector<uint8_t>(8, 0xEE));
}

TEST(IsRetinaDisplay, AnyFactorAboveOneCounts) {
    struct Case {
        std::vector<float> factors;
        int32_t expected;
    };
    for (const Case& c : {Case{{1.0f, 2.0f}, 1}, Case{{1.0f}, 0}, Case{{0.5f}, 0},
                          Case{{1.0f, 1.5f}, 1}, Case{{}, 0}}) {
        setScreenScaleFactors(c.factors.data(), int32_t(c.factors.size()));
        EXPECT_EQ(isRetinaDisplay(), c.expected) << c.factors.size() << " screens";
    }
    setScreenScaleFactors(nullptr, -1);
    EXPECT_EQ(isRetinaDisplay(), 0);  // screens never handed in
}

TEST(ScreenScaleFactors, ReadFromQtScreens) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(platform::cacheScreenScaleFactors(), -1);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("no application object"),
              std::string::npos);

    // Qt scales every screen by QT_SCALE_FACTOR, as a high-density screen would be.
    setenv("QT_SCALE_FACTOR", "2", 1);
    int argc = 1;
    char name[] = "mailbox_convert_test";
    char* argv[] = {name, nullptr};
    QGuiApplication app(argc, argv);
    ASSERT_GE(platform::cacheScreenScaleFactors(), 1);
    float factor = 0.0f;
    EXPECT_GE(platform::copyScreenScaleFactors(&factor, 1), 1);
    EXPECT_FLOAT_EQ(factor, 2.0f);
}

}  // namespace
