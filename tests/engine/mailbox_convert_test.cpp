// The half-size conversion, the 32-bit decimation, the conversions shared
// among a pool's threads and the high-density test.
#include <gtest/gtest.h>
#include <libyuv/convert.h>
#include <libyuv/convert_from_argb.h>

#include <QGuiApplication>
#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "engine/band_pool.h"
#include "engine/convert.h"
#include "engine/encoder.h"
#include "engine/mailbox.h"
#include "platform/desktop/screens.h"
#include "tests/support/h264_check.h"

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

// Bytes of no pattern, so that a row or pixel out of place shows.
std::vector<uint8_t> noise(size_t bytes, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> out(bytes);
    for (size_t i = 0; i + 4 <= bytes; i += 4) {
        const uint32_t word = random();
        memcpy(out.data() + i, &word, 4);
    }
    return out;
}

// Three workers whatever the machine, so that bands really are shared.
BandPool& testPool() {
    static BandPool pool(3);
    return pool;
}

// An encoder record with only what the conversions write: its I420 input
// picture, no x264 encoder behind it.
class PictureOnly {
  public:
    PictureOnly(int width, int height) {
        EXPECT_EQ(x264_picture_alloc(&picture_, X264_CSP_I420, width, height & ~1), 0);
        encoder_.picIn = &picture_;
        encoder_.width = width;
        encoder_.height = height & ~1;
    }
    ~PictureOnly() {
        x264_picture_clean(&picture_);
        encoder_.picIn = nullptr;
    }
    H264Encoder* encoder() { return &encoder_; }
    // The visible bytes of the three planes, in order.
    std::vector<uint8_t> planes() const {
        std::vector<uint8_t> bytes;
        for (int plane = 0; plane < 3; ++plane) {
            const int w = plane == 0 ? encoder_.width : encoder_.width / 2;
            const int h = plane == 0 ? encoder_.height : encoder_.height / 2;
            for (int y = 0; y < h; ++y) {
                const uint8_t* row =
                    picture_.img.plane[plane] + size_t(y) * picture_.img.i_stride[plane];
                bytes.insert(bytes.end(), row, row + w);
            }
        }
        return bytes;
    }
    // What the whole-picture libyuv calls make of UYVY rows.
    std::vector<uint8_t> wholeFromUYVY(const std::vector<uint8_t>& uyvy) {
        const x264_image_t& img = picture_.img;
        EXPECT_EQ(libyuv::UYVYToI420(uyvy.data(), 2 * encoder_.width, img.plane[0], img.i_stride[0],
                                     img.plane[1], img.i_stride[1], img.plane[2], img.i_stride[2],
                                     encoder_.width, encoder_.height),
                  0);
        return planes();
    }

  private:
    H264Encoder encoder_;
    x264_picture_t picture_{};
};

std::vector<uint8_t> wholeUYVY(const std::vector<uint8_t>& bgra, int width, int height) {
    std::vector<uint8_t> uyvy(size_t(width) * height * 2);
    libyuv::ARGBToUYVY(bgra.data(), 4 * width, uyvy.data(), 2 * width, width, height);
    return uyvy;
}

struct Size {
    int width, height;
};
// 3840 x 2160; an odd height, whose last band has an odd number of rows
// (and whose last row the encoder leaves out), in bands of 35 rows were they
// not kept to pairs of rows; a picture too small to share.
constexpr Size kBandedSizes[] = {{3840, 2160}, {1920, 1201}, {64, 6}};

TEST(BandedConversions, HalfSizeRowsFromAnyFirstRowMatchTheWholePicture) {
    const int width = 64, height = 20;
    const auto src = noise(size_t(width) * height * 4, 1);
    const std::vector<uint8_t> whole = halve(src, width, height);
    const size_t rowBytes = size_t(halfSizeWidth(width)) * 2;
    for (int first = 0; first < height / 2; ++first) {
        for (int rows = 1; first + rows <= height / 2; ++rows) {
            std::vector<uint8_t> out(whole.size(), 0xEE);
            bgraToUYVYHalfRows(src.data(), out.data(), width, first, rows);
            const auto begin = whole.begin() + std::ptrdiff_t(first * rowBytes);
            ASSERT_TRUE(std::equal(begin, begin + std::ptrdiff_t(rows * rowBytes),
                                   out.begin() + std::ptrdiff_t(first * rowBytes)))
                << "rows " << first << " to " << first + rows - 1;
        }
    }
}

TEST(BandedConversions, HalfSizeInBandsGivesTheWholePictureBytes) {
    // At 3840 and 2560 pixels the bands are 9 and 13 output rows long: odd
    // band boundaries, whose first row comes from source row 4k + 1.
    for (const Size size : {Size{3840, 2160}, Size{2560, 1442}, Size{1923, 7}}) {
        const auto src = noise(size_t(size.width) * size.height * 4, 2);
        const std::vector<uint8_t> whole = halve(src, size.width, size.height);
        std::vector<uint8_t> banded(whole.size(), 0xEE);
        bgraToUYVYHalfInBands(testPool(), src.data(), banded.data(), size.width, size.height);
        EXPECT_TRUE(banded == whole) << size.width << "x" << size.height;
    }
}

TEST(BandedConversions, BgraToI420InBandsGivesTheWholePictureBytes) {
    for (const Size size : kBandedSizes) {
        const auto bgra = noise(size_t(size.width) * size.height * 4, 3);
        PictureOnly expected(size.width, size.height);
        const std::vector<uint8_t> whole =
            expected.wholeFromUYVY(wholeUYVY(bgra, size.width, size.height));
        PictureOnly banded(size.width, size.height);
        std::vector<uint8_t> scratch(size_t(bandScratchBytes(testPool(), size.width)));
        ASSERT_TRUE(bgraToI420InBands(testPool(), banded.encoder(), bgra.data(), size.width,
                                      size.height, scratch.data(), int64_t(scratch.size())));
        EXPECT_TRUE(banded.planes() == whole) << size.width << "x" << size.height;
    }
}

// Greys, pure red, green and blue with their mixtures, and gradients, in
// blocks of whole macroblocks.
std::vector<uint8_t> colourChart(int width, int height) {
    static const Pixel kMixtures[] = {
        kRed,   kGreen, kBlue, {0, 255, 255, 255}, {255, 255, 0, 255}, {255, 0, 255, 255},
        kWhite, kBlack};
    std::vector<uint8_t> bytes(size_t(width) * height * 4);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            Pixel colour{};
            if (y < 16) {
                const auto grey = uint8_t(x / 16 * 17);
                colour = {grey, grey, grey, 255};
            } else if (y < 32) {
                colour = kMixtures[x * 8 / width];
            } else {
                colour = {uint8_t(x), uint8_t(255 - x), uint8_t((x + 4 * y) & 0xFF), 255};
            }
            memcpy(&bytes[(size_t(y) * width + x) * 4], colour.data(), 4);
        }
    }
    return bytes;
}

// The chart through an encoder set up as for the default bit-rate item, its
// picture filled by `convert`, then out of ffmpeg's decoder as BGRA.
template <typename Convert>
std::vector<uint8_t> encodedAndDecoded(int width, int height, Convert convert) {
    const HXSenderState state = h264check::makeHXState(0);
    H264Encoder* encoder = setupH264(width, height, 60, 1, state.bitRate[0], &state, 0, 0, 0);
    EXPECT_NE(encoder, nullptr);
    if (encoder == nullptr) return {};
    convert(encoder);
    std::vector<uint8_t> coded(kMaxCodedPictureBytes);
    int32_t keyframe = 0;
    int64_t pts = 0, dts = 0;
    const int32_t bytes = encodeUYVYFrame(encoder, kPictureTypeIDR, nullptr, width, height,
                                          coded.data(), 0, &keyframe, &pts, &dts);
    closeH264Encoder(encoder);
    EXPECT_GT(bytes, 0);
    coded.resize(size_t(std::max(bytes, 0)));
    const h264check::TempDir temp;
    EXPECT_TRUE(h264check::writeFile(temp.path + "chart.h264", coded));
    const auto pictures = h264check::decodeToBgra(temp.path + "chart.h264", width, height);
    return pictures.size() == 1 ? pictures[0] : std::vector<uint8_t>{};
}

TEST(BandedConversions, OnePassColoursDecodeAsThePathThroughUyvy) {
    const int width = 256, height = 64;
    const std::vector<uint8_t> chart = colourChart(width, height);
    std::vector<uint8_t> scratch(size_t(bandScratchBytes(testPool(), width)));
    const std::vector<uint8_t> onePass = encodedAndDecoded(width, height, [&](H264Encoder* e) {
        EXPECT_TRUE(bgraToI420InBands(testPool(), e, chart.data(), width, height, scratch.data(),
                                      int64_t(scratch.size())));
    });
    const std::vector<uint8_t> uyvy = wholeUYVY(chart, width, height);
    const std::vector<uint8_t> twoPass = encodedAndDecoded(width, height, [&](H264Encoder* e) {
        EXPECT_TRUE(convertUYVYBand(e, uyvy.data(), width, 0, height));
    });
    ASSERT_EQ(onePass.size(), chart.size());
    ASSERT_EQ(twoPass.size(), chart.size());
    for (size_t i = 0; i < chart.size(); ++i) {
        ASSERT_LE(std::abs(int(onePass[i]) - int(twoPass[i])), 1)
            << "pixel " << i / 4 % width << ", " << i / 4 / width << " byte " << i % 4;
    }
    // Flat greys and colours come out as the source had them, give or take
    // the studio range's rounding and the coding.
    for (const int pixel : {0, 15 * 16 + 3, 16 * width + 5, 16 * width + 37, 16 * width + 69}) {
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(onePass[size_t(pixel) * 4 + c], chart[size_t(pixel) * 4 + c], 3)
                << "pixel " << pixel;
    }
}

TEST(BandedConversions, UyvyToI420InBandsGivesTheWholePictureBytes) {
    for (const Size size : kBandedSizes) {
        const auto uyvy = noise(size_t(size.width) * size.height * 2, 4);
        PictureOnly expected(size.width, size.height);
        const std::vector<uint8_t> whole = expected.wholeFromUYVY(uyvy);
        PictureOnly banded(size.width, size.height);
        ASSERT_TRUE(
            uyvyToI420InBands(testPool(), banded.encoder(), uyvy.data(), size.width, size.height));
        EXPECT_TRUE(banded.planes() == whole) << size.width << "x" << size.height;
    }
}

TEST(BandedConversions, RefusesPicturesThatDoNotFitTheEncoderOrTheScratch) {
    PictureOnly picture(64, 6);
    const auto bgra = noise(size_t(66) * 6 * 4, 5);
    std::vector<uint8_t> scratch(size_t(bandScratchBytes(testPool(), 66)));
    // A width other than the encoder's, and a scratch one byte short.
    EXPECT_FALSE(bgraToI420InBands(testPool(), picture.encoder(), bgra.data(), 66, 6,
                                   scratch.data(), int64_t(scratch.size())));
    EXPECT_FALSE(bgraToI420InBands(testPool(), picture.encoder(), bgra.data(), 64, 6,
                                   scratch.data(), bandScratchBytes(testPool(), 64) - 1));
    EXPECT_FALSE(uyvyToI420InBands(testPool(), picture.encoder(), bgra.data(), 66, 6));
    EXPECT_FALSE(uyvyToI420InBands(testPool(), nullptr, bgra.data(), 64, 6));
}

TEST(BandedConversions, CopyInBandsCopiesEveryRowOnce) {
    for (const Size size : {Size{3840, 2160}, Size{1366, 769}, Size{3, 1}}) {
        const size_t rowBytes = size_t(size.width) * 4;
        const auto src = noise(rowBytes * size.height + 4, 6);
        std::vector<uint8_t> dst(src.size(), 0xEE);
        copyInBands(testPool(), dst.data(), src.data(), int64_t(rowBytes), size.height);
        // The four bytes after the picture stay as they were.
        EXPECT_TRUE(std::equal(src.begin(), src.end() - 4, dst.begin()))
            << size.width << "x" << size.height;
        EXPECT_EQ(std::vector<uint8_t>(dst.end() - 4, dst.end()), std::vector<uint8_t>(4, 0xEE));
    }
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
