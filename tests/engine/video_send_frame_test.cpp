// The uncompressed frame record video sending builds, and the 100 ns clock.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "engine/video_send.h"
#include "platform/ndi/ndi.h"

namespace {

NDIlib_video_frame_v2_t filled(int32_t width, int32_t height, uint32_t tag, int32_t code = 7,
                               int32_t aspect16x9 = 1, int32_t progressive = 1) {
    static uint8_t pixels[16];
    NDIlib_video_frame_v2_t frame;
    EXPECT_EQ(fillVideoFrame(&frame, pixels, width, height, tag, code, aspect16x9, progressive), 0);
    return frame;
}

TEST(FrameRateTable, AnnouncesEachCodesRate) {
    const std::pair<int32_t, int32_t> expected[] = {{24000, 1001}, {24, 1}, {30000, 1200},
                                                    {30000, 1001}, {30, 1}, {50, 1},
                                                    {60000, 1001}, {60, 1}};
    for (int32_t code = 0; code < kFrameRateCount; ++code) {
        const NDIlib_video_frame_v2_t frame = filled(64, 64, kPixelTagBGRA, code);
        EXPECT_EQ(frame.frame_rate_N, expected[code].first) << "code " << code;
        EXPECT_EQ(frame.frame_rate_D, expected[code].second) << "code " << code;
    }
}

TEST(FillVideoFrame, RefusesCodesOutsideTheTableAndSizesOutsideTheBuffer) {
    uint8_t pixels[16] = {};
    struct Case {
        int32_t width, height, code;
    };
    for (const Case& c : {Case{64, 64, -1}, Case{64, 64, 8}, Case{7681, 64, 7}, Case{64, 4321, 7},
                          Case{0, 64, 7}, Case{64, 0, 7}, Case{-2, 64, 7}}) {
        NDIlib_video_frame_v2_t frame;
        testing::internal::CaptureStdout();
        EXPECT_EQ(fillVideoFrame(&frame, pixels, c.width, c.height, kPixelTagBGRA, c.code, 1, 1),
                  -1);
        EXPECT_NE(testing::internal::GetCapturedStdout().find("frame dropped"), std::string::npos)
            << c.width << "x" << c.height << " code " << c.code;
    }
    EXPECT_EQ(filled(7680, 4320, kPixelTagBGRA).xres, 7680);
}

TEST(FillVideoFrame, FourCCAndStrideFollowThePixelTag) {
    struct Case {
        uint32_t tag;
        int32_t width;
        uint32_t fourcc;
        int32_t stride;
    };
    for (const Case& c : {Case{kPixelTagBGRA, 3840, NDIlib_FourCC_type_BGRA, 15360},
                          Case{kPixelTagARGB, 3840, NDIlib_FourCC_type_BGRA, 15360},
                          Case{kPixelTagRGBA, 1280, NDIlib_FourCC_type_RGBA, 5120},
                          Case{kPixelTag2VUY, 1920, NDIlib_FourCC_type_UYVY, 3840},
                          Case{kPixelTagYUV2, 1920, NDIlib_FourCC_type_UYVY, 3840}}) {
        const NDIlib_video_frame_v2_t frame = filled(c.width, 1080, c.tag);
        EXPECT_EQ(frame.FourCC, c.fourcc) << std::hex << c.tag;
        EXPECT_EQ(frame.line_stride_in_bytes, c.stride) << std::hex << c.tag;
        EXPECT_NE(frame.p_data, nullptr);
    }
    const NDIlib_video_frame_v2_t unknown = filled(1920, 1080, 0x12345678);
    EXPECT_EQ(unknown.FourCC, 0u);
    EXPECT_EQ(unknown.line_stride_in_bytes, 0);
    EXPECT_EQ(unknown.p_data, nullptr);
}

TEST(FillVideoFrame, AspectFormatSizeAndFixedFields) {
    EXPECT_FLOAT_EQ(filled(1280, 1024, kPixelTagBGRA, 7, 1).picture_aspect_ratio, 1.7777778f);
    EXPECT_FLOAT_EQ(filled(1280, 1024, kPixelTagBGRA, 7, 0).picture_aspect_ratio, 1.25f);
    EXPECT_EQ(filled(64, 64, kPixelTagBGRA, 7, 1, 0).frame_format_type,
              NDIlib_frame_format_type_interleaved);
    EXPECT_EQ(filled(64, 64, kPixelTagBGRA, 7, 1, 5).frame_format_type,
              NDIlib_frame_format_type_progressive);
    const NDIlib_video_frame_v2_t frame = filled(1280, 1024, kPixelTagBGRA);
    EXPECT_EQ(frame.xres, 1280);
    EXPECT_EQ(frame.yres, 1024);
    EXPECT_EQ(frame.p_metadata, nullptr);
    EXPECT_EQ(frame.timestamp, INT64_MAX);
}

TEST(FillVideoFrame, TimecodeIsTheClockNow) {
    const auto before = int64_t(currentTime100ns());
    const int64_t timecode = filled(64, 64, kPixelTagBGRA).timecode;
    const auto after = int64_t(currentTime100ns());
    EXPECT_LE(before, timecode);
    EXPECT_LE(timecode, after);
}

TEST(CurrentTime100ns, NeverDecreasesAndCountsHundredsOfNanoseconds) {
    uint64_t last = currentTime100ns();
    EXPECT_EQ(timebaseInfo.denom.load(), 1u);
    EXPECT_EQ(timebaseInfo.numer.load(), 1u);
    for (int i = 0; i < 100000; ++i) {
        const uint64_t now = currentTime100ns();
        ASSERT_GE(now, last);
        last = now;
    }
    // Frames 10 ms apart: about 100,000 units, measured against a second clock
    // so a slow machine's longer sleep does not fail the test.
    const auto start = std::chrono::steady_clock::now();
    const uint64_t first = currentTime100ns();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const uint64_t second = currentTime100ns();
    const auto elapsed100ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                  std::chrono::steady_clock::now() - start)
                                  .count() /
                              100;
    EXPECT_GE(second - first, 100000u - 1000u);
    EXPECT_NEAR(double(second - first), double(elapsed100ns), 10000.0);
}

}  // namespace
