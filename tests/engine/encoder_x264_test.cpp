#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/encoder.h"
#include "engine/sender.h"
#include "tests/support/h264_check.h"

namespace {

HXSenderState makeState(int32_t quality) {
    HXSenderState state{};
    std::strcpy(state.preset, "ultrafast");
    std::strcpy(state.tune, "zerolatency");
    state.quality = quality;
    return state;
}

std::vector<uint8_t> uyvyPicture(int width, int height, int n) {
    const std::vector<uint8_t> bgra = h264check::movingBgraPicture(width, height, n);
    std::vector<uint8_t> uyvy(static_cast<size_t>(width) * height * 2);
    for (size_t i = 0; i < uyvy.size(); i += 4) {
        const uint8_t* p = &bgra[i * 2];
        uyvy[i] = 128;
        uyvy[i + 1] = static_cast<uint8_t>(16 + (p[1] * 219) / 255);
        uyvy[i + 2] = 128;
        uyvy[i + 3] = static_cast<uint8_t>(16 + (p[5] * 219) / 255);
    }
    return uyvy;
}

struct Coded {
    int32_t bytes = 0;
    int32_t keyframe = -1;
    int64_t pts = -1;
    std::vector<uint8_t> data;
};

Coded encodeOne(H264Encoder* encoder, int32_t type, const std::vector<uint8_t>& uyvy, int w,
                int h) {
    Coded coded;
    std::vector<uint8_t> output(kMaxCodedPictureBytes);
    int64_t dts = 0;
    coded.bytes = encodeUYVYFrame(encoder, type, uyvy.data(), w, h, output.data(), 0,
                                  &coded.keyframe, &coded.pts, &dts);
    if (coded.bytes > 0) coded.data.assign(output.begin(), output.begin() + coded.bytes);
    return coded;
}

}  // namespace

TEST(EncoderSetup, QualityFromTheSenderStateCappedAtTheStreamsBitRate) {
    HXSenderState state = makeState(25);
    testing::internal::CaptureStdout();
    H264Encoder* encoder = setupH264(640, 360, 60, 1, 6000, &state, 1, 0, 0);
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_NE(encoder, nullptr);
    EXPECT_NE(out.find("setupH264 = 640 x 360\n"), std::string::npos);
    EXPECT_NE(out.find("NOT CBR Mode"), std::string::npos);
    EXPECT_NE(out.find("qualityLevel for stream 1 = 25\n"), std::string::npos);
    EXPECT_EQ(encoder->param->rc.i_rc_method, X264_RC_CRF);
    EXPECT_FLOAT_EQ(encoder->param->rc.f_rf_constant, 25.0f);
    EXPECT_EQ(encoder->param->rc.i_vbv_max_bitrate, 6000);
    EXPECT_GT(encoder->param->rc.i_vbv_buffer_size, 0);
    EXPECT_EQ(encoder->param->i_keyint_max, 100);
    EXPECT_EQ(encoder->param->rc.i_lookahead, 0);
    EXPECT_EQ(encoder->param->b_repeat_headers, 1);
    EXPECT_EQ(encoder->quality, 25);
    EXPECT_FLOAT_EQ(encoder->scale, 1.0f);
    EXPECT_STREQ(theEncoderTuning[1].preset, "ultrafast");
    EXPECT_EQ(theEncoderTuning[1].quality[0], 25);
    closeH264Encoder(encoder);
}

// Bits per second of two seconds of noise at 60 frames a second, encoded as
// the sender state of bit-rate setting `mode` has it: noise is the picture
// constant quality alone would spend most on.
double noiseBitsPerSecond(int32_t mode) {
    HXSenderState state = h264check::makeHXState(mode);
    constexpr int kW = 640, kH = 360, kFrames = 120;
    testing::internal::CaptureStdout();
    H264Encoder* encoder = setupH264(kW, kH, 60, 1, state.bitRate[0], &state, 0, 0, 0);
    testing::internal::GetCapturedStdout();
    if (encoder == nullptr) return -1.0;
    std::vector<uint8_t> noise(size_t(kW) * kH * 2);
    uint32_t seed = 2463534242u;
    int64_t bytes = 0;
    for (int n = 0; n < kFrames; ++n) {
        for (uint8_t& b : noise) {
            seed ^= seed << 13, seed ^= seed >> 17, seed ^= seed << 5;
            b = static_cast<uint8_t>(16 + seed % 220);
        }
        bytes +=
            encodeOne(encoder, n == 0 ? kPictureTypeIDR : kPictureTypeAuto, noise, kW, kH).bytes;
    }
    closeH264Encoder(encoder);
    return double(bytes) * 8.0 * 60.0 / kFrames;
}

TEST(EncoderRate, TheBitRateSettingBoundsTheStream) {
    const double low = noiseBitsPerSecond(6), high = noiseBitsPerSecond(0);
    std::printf("noise at 640 x 360, 60/s: 2 Mbit/s setting %.2f Mbit/s, 24 Mbit/s setting %.2f\n",
                low / 1e6, high / 1e6);
    EXPECT_GT(low, 0.0);
    EXPECT_LE(low, 1.25 * 2000e3);
    EXPECT_LE(high, 1.25 * 24000e3);
    EXPECT_GE(high, 2.0 * low);
}

TEST(EncoderSetup, BitRateSetUpCapsTheRate) {
    HXSenderState state = makeState(20);
    state.useCBR = 1;
    testing::internal::CaptureStdout();
    H264Encoder* encoder = setupH264(320, 240, 30000, 1001, 4000, &state, 0, 0, 0);
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_NE(encoder, nullptr);
    EXPECT_NE(out.find("Using CBR Mode"), std::string::npos);
    EXPECT_NE(out.find("x264 INIT dims: 320x240 rate : 30000/1001\n"), std::string::npos);
    EXPECT_EQ(encoder->param->rc.i_rc_method, X264_RC_ABR);
    EXPECT_EQ(encoder->param->rc.i_bitrate, 4000);
    EXPECT_EQ(encoder->param->rc.i_vbv_max_bitrate, 4800);
    EXPECT_EQ(encoder->param->rc.i_vbv_buffer_size, 6000);
    EXPECT_EQ(encoder->bitRate, 4000);
    closeH264Encoder(encoder);
}

TEST(EncoderSetup, TuningRecordCarriesTheStateAndConstants) {
    HXSenderState state = makeState(17);
    EncoderTuning tuning{};
    initEncoderTuning(&tuning, &state);
    EXPECT_STREQ(tuning.tune, "zerolatency");
    EXPECT_EQ(tuning.reserved2, 2);
    EXPECT_FLOAT_EQ(tuning.factors[0], 1.2f);
    EXPECT_FLOAT_EQ(tuning.factors[2], 1.5f);
    EXPECT_FLOAT_EQ(tuning.factors[3], 2.0f);
    EXPECT_EQ(tuning.reserved10, 10);
    EXPECT_EQ(tuning.quality[2], 17);
}

TEST(EncoderSetup, OddWidthOrBadStreamGivesNoEncoder) {
    HXSenderState state = makeState(20);
    testing::internal::CaptureStdout();
    EXPECT_EQ(setupH264(641, 360, 60, 1, 0, &state, 0, 0, 0), nullptr);
    EXPECT_EQ(setupH264(640, 360, 60, 1, 0, &state, 2, 0, 0), nullptr);
    EXPECT_EQ(setupH264(640, 1, 60, 1, 0, &state, 0, 0, 0), nullptr);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("x264_encoder_open error!"), std::string::npos);
}

TEST(EncoderEncode, PictureTypesAndNumbering) {
    HXSenderState state = makeState(20);
    H264Encoder* encoder = setupH264(320, 180, 60, 1, 0, &state, 0, 0, 0);
    ASSERT_NE(encoder, nullptr);
    const int64_t first = frameCounter.load();
    const Coded idr = encodeOne(encoder, kPictureTypeIDR, uyvyPicture(320, 180, 0), 320, 180);
    ASSERT_GT(idr.bytes, 0);
    EXPECT_EQ(idr.keyframe, 1);
    EXPECT_EQ(idr.pts, first);
    const std::vector<int> types = h264check::nalTypes(idr.data);
    ASSERT_GE(types.size(), 3u);
    EXPECT_EQ(types[0], 7);
    EXPECT_EQ(types[1], 8);
    EXPECT_EQ(types.back(), 5);
    const Coded next = encodeOne(encoder, kPictureTypeAuto, uyvyPicture(320, 180, 1), 320, 180);
    ASSERT_GT(next.bytes, 0);
    EXPECT_EQ(next.keyframe, 0);
    EXPECT_EQ(next.pts, first + 1);
    EXPECT_EQ(h264check::nalTypes(next.data).back(), 1);
    closeH264Encoder(encoder);

    // A new encoder carries on with the picture numbers.
    encoder = setupH264(320, 180, 60, 1, 0, &state, 0, 0, 0);
    ASSERT_NE(encoder, nullptr);
    EXPECT_EQ(encodeOne(encoder, kPictureTypeAuto, uyvyPicture(320, 180, 2), 320, 180).pts,
              first + 2);
    closeH264Encoder(encoder);
}

TEST(EncoderEncode, OddHeightDropsTheLastRowAndDecodes) {
    HXSenderState state = makeState(20);
    H264Encoder* encoder = setupH264(320, 181, 60, 1, 0, &state, 0, 0, 0);
    ASSERT_NE(encoder, nullptr);
    EXPECT_EQ(encoder->height, 180);
    EXPECT_EQ(encoder->width, 320);
    const std::vector<uint8_t> source = uyvyPicture(320, 181, 3);
    const Coded coded = encodeOne(encoder, kPictureTypeIDR, source, 320, 181);
    ASSERT_GT(coded.bytes, 0);
    closeH264Encoder(encoder);

    const h264check::TempDir temp;
    const std::string& dir = temp.path;
    ASSERT_TRUE(h264check::writeFile(dir + "odd.h264", coded.data));
    const auto pictures = h264check::decodeToI420(dir + "odd.h264", 320, 180);
    ASSERT_EQ(pictures.size(), 1u);
    EXPECT_GE(h264check::psnr(h264check::lumaOfI420(pictures[0], 320, 180),
                              h264check::lumaOfUyvy(source.data(), 320, 180)),
              30.0);
}

TEST(EncoderEncode, SourceThatDoesNotFitIsRefused) {
    HXSenderState state = makeState(20);
    H264Encoder* encoder = setupH264(320, 180, 60, 1, 0, &state, 0, 0, 0);
    ASSERT_NE(encoder, nullptr);
    const std::vector<uint8_t> wide = uyvyPicture(640, 180, 0);
    EXPECT_EQ(encodeOne(encoder, kPictureTypeAuto, wide, 640, 180).bytes, -1);
    EXPECT_EQ(encodeOne(encoder, kPictureTypeAuto, wide, 320, 0).bytes, -1);
    EXPECT_EQ(
        encodeUYVYFrame(nullptr, -1, wide.data(), 320, 180, nullptr, 0, nullptr, nullptr, nullptr),
        -1);
    closeH264Encoder(encoder);
}

TEST(EncoderEncode, ScalingPathStaysInsideThePicture) {
    HXSenderState state = makeState(20);
    H264Encoder* encoder = setupH264(320, 180, 60, 1, 0, &state, 0, 0, 0);
    ASSERT_NE(encoder, nullptr);
    encoder->scale = 0.5f;
    EXPECT_GT(encodeOne(encoder, kPictureTypeIDR, uyvyPicture(320, 180, 0), 320, 180).bytes, 0);
    encoder->scale = 3.0f;  // clipped to the picture
    EXPECT_GT(encodeOne(encoder, kPictureTypeAuto, uyvyPicture(320, 180, 1), 320, 180).bytes, 0);
    closeH264Encoder(encoder);
}

TEST(EncoderEncode, OtherFrontEndsDecode) {
    HXSenderState state = makeState(20);
    H264Encoder* encoder = setupH264(320, 180, 60, 1, 0, &state, 0, 0, 0);
    ASSERT_NE(encoder, nullptr);
    std::vector<uint8_t> y(320 * 180, 100), u(160 * 90, 90), v(160 * 90, 150);
    std::vector<uint8_t> output(kMaxCodedPictureBytes), stream;
    int32_t n = encodeI420Frame(encoder, 0, y.data(), u.data(), v.data(), output.data());
    ASSERT_GT(n, 0);
    stream.insert(stream.end(), output.begin(), output.begin() + n);
    std::vector<uint8_t> yuyv(320 * 180 * 2);
    for (size_t i = 0; i < yuyv.size(); i += 4) {
        yuyv[i] = 100, yuyv[i + 1] = 90, yuyv[i + 2] = 100, yuyv[i + 3] = 150;
    }
    n = encodeYUYVFrame(encoder, 1, yuyv.data(), output.data());
    ASSERT_GT(n, 0);
    stream.insert(stream.end(), output.begin(), output.begin() + n);
    EXPECT_EQ(encodeYUYVFrame(nullptr, 1, yuyv.data(), output.data()), -1);
    closeH264Encoder(encoder);

    const h264check::TempDir temp;
    const std::string& dir = temp.path;
    ASSERT_TRUE(h264check::writeFile(dir + "fronts.h264", stream));
    const auto pictures = h264check::decodeToI420(dir + "fronts.h264", 320, 180);
    ASSERT_EQ(pictures.size(), 2u);
    for (const auto& picture : pictures) {
        EXPECT_NEAR(picture[320 * 90 + 160], 100, 3);
        EXPECT_NEAR(picture[320 * 180 + 80 * 45], 90, 3);         // U
        EXPECT_NEAR(picture[320 * 180 + 160 * 90 + 80], 150, 3);  // V
    }
}

TEST(EncoderNalCopy, CapAtOneMillionBytes) {
    std::vector<uint8_t> a(400000, 1), b(500000, 2), c(200000, 3);
    x264_nal_t nals[3] = {};
    nals[0].p_payload = a.data(), nals[0].i_payload = 400000;
    nals[1].p_payload = b.data(), nals[1].i_payload = 500000;
    nals[2].p_payload = c.data(), nals[2].i_payload = 200000;
    std::vector<uint8_t> output(kMaxCodedPictureBytes, 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(copyNalPayloads(nals, 3, output.data()), 900000);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Frame data is too large - reduce data rate\n");
    EXPECT_EQ(output[399999], 1);
    EXPECT_EQ(output[400000], 2);
    EXPECT_EQ(output[900000], 0);

    nals[1].i_payload = 399999;
    testing::internal::CaptureStdout();
    EXPECT_EQ(copyNalPayloads(nals, 3, output.data()), 999999);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(output[999998], 3);

    nals[1].i_payload = 400000;
    testing::internal::CaptureStdout();
    EXPECT_EQ(copyNalPayloads(nals, 3, output.data()), 800000);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("too large"), std::string::npos);
}
