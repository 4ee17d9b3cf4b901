#include "engine/hx_send.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/globals.h"
#include "engine/convert.h"
#include "engine/encoder.h"
#include "engine/sender.h"
#include "settings/prefs.h"
#include "tests/support/h264_check.h"

using h264check::Packet;

namespace {

constexpr int kW = 320;
constexpr int kH = 180;

class HXSend : public testing::Test {
  protected:
    void SetUp() override {
        sender = h264check::createLoopbackSender();
        ASSERT_NE(sender, nullptr);
        recv = h264check::connectReceiver(sender);
        ASSERT_NE(recv, nullptr);
        state = h264check::makeHXState(1);
        firstPicture = frameCounter.load();
    }
    void TearDown() override {
        for (NDIlib_recv_instance_t r : {recv, lateRecv}) {
            if (r != nullptr) NDIlib_recv_destroy(r);
        }
        if (sender != nullptr) destroyNDIHXSender(sender, &state);
        thePrefs.theBitRateMode = 0;
    }

    // Sends picture n at the given size and rate; returns what was printed.
    std::string send(int n, int w = kW, int h = kH, int rateN = 60, int rateD = 1,
                     int32_t streamMode = 2, int32_t formatType = 1) {
        pixels = h264check::movingBgraPicture(w, h, n);
        NDIlib_video_frame_v2_t frame =
            h264check::videoFrame(NDIlib_FourCC_type_BGRA, pixels.data(), w, h, rateN, rateD);
        frame.frame_format_type = formatType;
        testing::internal::CaptureStdout();
        sendFunctionSendData(sender, &frame, nullptr, nullptr, 0, &state, streamMode);
        return testing::internal::GetCapturedStdout();
    }

    // The next 'H264' packet with the 'h264' copy that follows it in mode 2.
    std::vector<Packet> receive(NDIlib_recv_instance_t from, int pictures) {
        std::vector<Packet> packets;
        EXPECT_EQ(h264check::collectPackets(from, pictures, 5000, &packets), pictures);
        return packets;
    }

    std::vector<uint32_t> flagsOf(const std::vector<Packet>& packets) {
        std::vector<uint32_t> flags;
        for (const Packet& p : packets) {
            if (p.fourcc == NDIlib_FourCC_type_H264) flags.push_back(p.header.flags);
        }
        return flags;
    }

    NDIlib_send_instance_t sender = nullptr;
    NDIlib_recv_instance_t recv = nullptr;
    NDIlib_recv_instance_t lateRecv = nullptr;
    HXSenderState state{};
    int64_t firstPicture = 0;
    std::vector<uint8_t> pixels;
};

const char kReinit[] = "sendFunctionSendData re/initialise 264 : stream=0\n";
const char kTearDown[] = "tear down previous : stream=0\n";

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

TEST_F(HXSend, FirstTwoFramesAreKeyframesThenTheEncoderDecides) {
    const std::string first = send(0);
    EXPECT_TRUE(has(first, kReinit));
    EXPECT_TRUE(has(first, "setupH264 for Progressive stream=0 60/1\n"));
    EXPECT_FALSE(has(first, kTearDown));
    EXPECT_EQ(state.encoderReady[0], 1);
    std::vector<Packet> packets = receive(recv, 1);
    for (int n = 1; n < 4; ++n) {
        EXPECT_EQ(send(n), "");
        for (Packet& p : receive(recv, 1)) packets.push_back(std::move(p));
    }
    EXPECT_EQ(flagsOf(packets), (std::vector<uint32_t>{1, 1, 0, 0}));
    const std::vector<int> nals = h264check::nalTypes(packets[0].annexB());
    ASSERT_GE(nals.size(), 3u);
    EXPECT_EQ(nals[0], 7);
    EXPECT_EQ(nals[1], 8);
    EXPECT_EQ(nals.back(), 5);
    EXPECT_EQ(h264check::nalTypes(packets.back().annexB()).back(), 1);
}

TEST_F(HXSend, StreamModeTwoSendsEveryPictureTwiceWithIdenticalBytes) {
    for (int n = 0; n < 3; ++n) send(n);
    std::vector<Packet> packets = receive(recv, 3);
    h264check::collectPackets(recv, 1, 300, &packets);  // the last 'h264' copy
    ASSERT_EQ(packets.size(), 6u);
    for (size_t i = 0; i < packets.size(); i += 2) {
        EXPECT_EQ(packets[i].fourcc, NDIlib_FourCC_type_H264);
        EXPECT_EQ(packets[i + 1].fourcc, NDIlib_FourCC_type_h264);
        EXPECT_EQ(packets[i].bytes, packets[i + 1].bytes);
        EXPECT_TRUE(packets[i + 1].valid);  // codec reads "H264" in both
        EXPECT_EQ(packets[i].xres, kW);
        EXPECT_EQ(packets[i].frameRateN, 60);
        EXPECT_EQ(packets[i].frameFormatType, 1);
    }
}

TEST_F(HXSend, HeaderBytesOnTheWire) {
    send(0);
    send(1);
    send(2);
    const std::vector<Packet> packets = receive(recv, 3);
    const Packet* third = nullptr;
    for (const Packet& p : packets) {
        if (p.fourcc == NDIlib_FourCC_type_H264) third = &p;
    }
    ASSERT_NE(third, nullptr);
    const std::vector<uint8_t>& b = third->bytes;
    ASSERT_GT(b.size(), 44u);
    const int64_t pts = 166666 * (firstPicture + 2);
    auto le = [&](size_t at, int bytes) {
        uint64_t v = 0;
        for (int i = bytes - 1; i >= 0; --i) v = v << 8 | b[at + i];
        return v;
    };
    EXPECT_EQ(le(0, 4), 44u);
    EXPECT_EQ(std::string(b.begin() + 4, b.begin() + 8), "H264");
    EXPECT_EQ(le(8, 8), static_cast<uint64_t>(pts));
    EXPECT_EQ(le(16, 8), static_cast<uint64_t>(pts));
    EXPECT_EQ(le(24, 8), 0u);
    EXPECT_EQ(le(32, 4), 0u);  // third picture: left to the encoder, not a keyframe
    EXPECT_EQ(le(36, 4), b.size() - 44);
    EXPECT_EQ(le(40, 4), 0u);
}

TEST_F(HXSend, PtsFollowsThePictureNumberAcrossRecreations) {
    send(0);
    send(1, kW, kH, 30000, 1001);  // re-creates; picture numbers go on
    send(2, kW, kH, 30000, 1200);
    const std::vector<Packet> packets = receive(recv, 3);
    std::vector<int64_t> pts;
    for (const Packet& p : packets) {
        if (p.fourcc == NDIlib_FourCC_type_H264) pts.push_back(p.header.pts);
    }
    EXPECT_EQ(pts, (std::vector<int64_t>{166666 * firstPicture, 333666 * (firstPicture + 1),
                                         400000 * (firstPicture + 2)}));
}

TEST_F(HXSend, SizeRateAndBitRateChangesRecreateTheEncoderWithAKeyframe) {
    for (int n = 0; n < 3; ++n) send(n);
    std::vector<Packet> packets = receive(recv, 3);
    const std::string sized = send(3, 2 * kW, 2 * kH);
    const std::string rated = send(4, 2 * kW, 2 * kH, 50, 1);
    send(5, 2 * kW, 2 * kH, 50, 1);
    send(6, 2 * kW, 2 * kH, 50, 1);
    thePrefs.theBitRateMode = 5;
    bitRateChanged.store(1);
    const std::string bitRate = send(7, 2 * kW, 2 * kH, 50, 1);
    EXPECT_EQ(bitRateChanged.load(), 0);
    // The new encoder takes the setting the control changed to.
    EXPECT_TRUE(has(bitRate, "qualityLevel for stream 0 = 35\n")) << bitRate;
    EXPECT_EQ(state.bitRate[0], 4000);
    EXPECT_EQ(state.bitRate[1], 1000);
    ASSERT_NE(state.encoder[0], nullptr);
    EXPECT_FLOAT_EQ(state.encoder[0]->param->rc.f_rf_constant, 35.0f);
    EXPECT_EQ(state.encoder[0]->param->rc.i_vbv_max_bitrate, 4000);
    EXPECT_FALSE(has(sized, "qualityLevel for stream 0 = 35\n"));
    for (const std::string& out : {sized, rated, bitRate}) {
        EXPECT_TRUE(has(out, kReinit)) << out;
        EXPECT_TRUE(has(out, kTearDown)) << out;
        EXPECT_TRUE(has(out, "setupH264 for Progressive stream=0 ")) << out;
    }
    EXPECT_TRUE(has(rated, "setupH264 for Progressive stream=0 50/1\n"));
    for (Packet& p : receive(recv, 5)) packets.push_back(std::move(p));
    // Each re-creation is a forced keyframe, followed by the countdown's one.
    EXPECT_EQ(flagsOf(packets), (std::vector<uint32_t>{1, 1, 0, 1, 1, 1, 0, 1}));
    EXPECT_EQ(state.lastWidth[0], 2 * kW);
    EXPECT_EQ(state.lastRateN[0], 50);
}

TEST_F(HXSend, ReceiverJoiningMidStreamGetsAKeyframeNext) {
    for (int n = 0; n < 4; ++n) send(n);
    receive(recv, 4);
    lateRecv = h264check::connectReceiver(sender);
    ASSERT_NE(lateRecv, nullptr);
    for (int n = 4; n < 7; ++n) send(n);
    const std::vector<Packet> late = receive(lateRecv, 3);
    EXPECT_EQ(flagsOf(late), (std::vector<uint32_t>{1, 1, 0}));
    const std::vector<int> nals = h264check::nalTypes(late[0].annexB());
    ASSERT_FALSE(nals.empty());
    EXPECT_EQ(nals[0], 7);
}

TEST_F(HXSend, InterleavedFrameSetsUpInterlacedAndGoesOutInterleaved) {
    const std::string out = send(0, kW, kH, 60, 1, 2, 0);
    EXPECT_TRUE(has(out, "setupH264 for Interlaced stream=0 60/1\n"));
    EXPECT_EQ(send(1, kW, kH, 60, 1, 2, 1), "");  // format type alone: no re-creation
    const std::vector<Packet> packets = receive(recv, 2);
    EXPECT_EQ(packets[0].frameFormatType, 0);
    EXPECT_EQ(packets[2].frameFormatType, 1);
}

TEST_F(HXSend, StreamModeOneUsesTheSecondStream) {
    pixels = h264check::movingBgraPicture(kW, kH, 0);
    NDIlib_video_frame_v2_t frame =
        h264check::videoFrame(NDIlib_FourCC_type_BGRA, pixels.data(), kW, kH);
    testing::internal::CaptureStdout();
    sendFunctionSendData(sender, &frame, nullptr, nullptr, 0, &state, 1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(has(out, "sendFunctionSendData re/initialise 264 : stream=1\n"));
    EXPECT_EQ(frame.line_stride_in_bytes, 2 * kW);
    EXPECT_EQ(state.encoderReady[1], 1);
    EXPECT_EQ(state.encoderReady[0], 0);
    EXPECT_EQ(state.encoder[1]->param->rc.i_vbv_max_bitrate, 4000);  // a quarter of 16 Mbit/s
    std::vector<Packet> packets;
    h264check::collectPackets(recv, 1, 500, &packets);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].fourcc, NDIlib_FourCC_type_h264);
    EXPECT_EQ(packets[0].header.flags, 1u);
}

TEST_F(HXSend, FramesThatCannotBeEncodedAreRefusedWithoutSending) {
    std::vector<uint8_t> rgba(kW * kH * 4, 90);
    struct Case {
        uint32_t fourcc;
        int w, h, rateN, rateD;
        int32_t streamMode;
    };
    const Case cases[] = {
        {NDIlib_FourCC_type_RGBA, kW, kH, 60, 1, 2},  {0, kW, kH, 60, 1, 2},
        {NDIlib_FourCC_type_BGRA, kW, kH, 0, 0, 2},   {NDIlib_FourCC_type_BGRA, kW, kH, 60, 0, 2},
        {NDIlib_FourCC_type_BGRA, 7682, 2, 60, 1, 2}, {NDIlib_FourCC_type_BGRA, 0, kH, 60, 1, 2},
        {NDIlib_FourCC_type_BGRA, kW, kH, 60, 1, 3},  {NDIlib_FourCC_type_BGRA, kW, kH, 60, 1, -1},
    };
    for (const Case& c : cases) {
        NDIlib_video_frame_v2_t frame =
            h264check::videoFrame(c.fourcc, rgba.data(), c.w, c.h, c.rateN, c.rateD);
        testing::internal::CaptureStdout();
        sendFunctionSendData(sender, &frame, nullptr, nullptr, 0, &state, c.streamMode);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(has(out, "refused")) << out;
        EXPECT_FALSE(has(out, "setupH264")) << out;
    }
    EXPECT_EQ(frameCounter.load(), firstPicture);
    EXPECT_EQ(state.encoderReady[0], 0);
    std::vector<Packet> packets;
    EXPECT_EQ(h264check::collectPackets(recv, 1, 300, &packets), 0);
    EXPECT_TRUE(packets.empty());
}

TEST_F(HXSend, OddWidthDropsTheFrameAndRetriesWithTheNext) {
    const std::string first = send(0, kW + 1, kH);
    EXPECT_TRUE(has(first, "x264_encoder_open error!"));
    EXPECT_EQ(state.encoderReady[0], 0);
    EXPECT_EQ(state.encoder[0], nullptr);
    EXPECT_EQ(state.packet[0], nullptr);
    // Tried again with each frame; the lines of a repeated failure are
    // counted, and the count given once a set-up succeeds.
    EXPECT_FALSE(has(send(1, kW + 1, kH), kReinit));
    const std::string recovered = send(2);
    EXPECT_FALSE(has(recovered, kTearDown));
    EXPECT_TRUE(has(recovered, "no encoder for stream 0, frame dropped (repeated 1 more times)\n"))
        << recovered;
    const std::vector<Packet> packets = receive(recv, 1);
    EXPECT_EQ(packets[0].xres, kW);
    EXPECT_EQ(packets[0].header.flags, 1u);
}

TEST_F(HXSend, FrameLargerThanUltraHDFitsTheScratch) {
    // 4096 x 2160 is above 3840 x 2160: the scratch must hold its UYVY form.
    const std::string out = send(0, 4096, 2160);
    EXPECT_TRUE(has(out, "setupH264 = 4096 x 2160\n"));
    const std::vector<Packet> packets = receive(recv, 1);
    ASSERT_FALSE(packets.empty());
    EXPECT_TRUE(packets[0].valid);
    EXPECT_EQ(packets[0].xres, 4096);
    EXPECT_GT(packets[0].header.dataSize, 0u);
}

TEST_F(HXSend, UYVYFramesAreEncodedAsGiven) {
    std::vector<uint8_t> uyvy(kW * kH * 2);
    for (size_t i = 0; i < uyvy.size(); i += 4) {
        uyvy[i] = 128, uyvy[i + 1] = 60, uyvy[i + 2] = 128, uyvy[i + 3] = 200;
    }
    for (uint32_t fourcc : {uint32_t{NDIlib_FourCC_type_UYVY}, ndiFourCC('U', 'Y', 'V', 'A')}) {
        NDIlib_video_frame_v2_t frame = h264check::videoFrame(fourcc, uyvy.data(), kW, kH);
        sendFunctionSendData(sender, &frame, nullptr, nullptr, 0, &state, 2);
    }
    const std::vector<Packet> packets = receive(recv, 2);
    const h264check::TempDir temp;
    ASSERT_TRUE(h264check::writeFile(temp.path + "uyvy.h264", h264check::annexBOf(packets)));
    const auto pictures = h264check::decodeToI420(temp.path + "uyvy.h264", kW, kH);
    ASSERT_EQ(pictures.size(), 2u);
    EXPECT_GE(h264check::psnr(h264check::lumaOfI420(pictures[1], kW, kH),
                              h264check::lumaOfUyvy(uyvy.data(), kW, kH)),
              30.0);
}

// The native path (BGRA, by libyuv) and the half-size path ('2vuy', made by
// the mailbox) use different matrices; each stream announces its own, so a
// decoder shows a red and a green screen alike from both.
TEST_F(HXSend, NativeAndHalfSizePicturesDecodeToTheSameColours) {
    auto redAndGreen = [](int w, int h) {
        std::vector<uint8_t> bgra(size_t(w) * h * 4);
        for (size_t i = 0; i < bgra.size(); i += 4) {
            const bool left = (i / 4) % size_t(w) < size_t(w) / 2;
            bgra[i] = 0, bgra[i + 1] = left ? 0 : 255, bgra[i + 2] = left ? 255 : 0;
            bgra[i + 3] = 255;
        }
        return bgra;
    };
    std::vector<uint8_t> native = redAndGreen(kW, kH), wide = redAndGreen(2 * kW, 2 * kH);
    std::vector<uint8_t> half(size_t(kW) * kH * 2);
    bgraToUYVYHalf(wide.data(), half.data(), 2 * kW, 2 * kH);
    NDIlib_video_frame_v2_t frame =
        h264check::videoFrame(NDIlib_FourCC_type_BGRA, native.data(), kW, kH);
    sendFunctionSendData(sender, &frame, nullptr, nullptr, 0, &state, 2);
    frame = h264check::videoFrame(NDIlib_FourCC_type_UYVY, half.data(), kW, kH);
    testing::internal::CaptureStdout();
    sendFunctionSendData(sender, &frame, nullptr, nullptr, 0, &state, 2);
    EXPECT_TRUE(has(testing::internal::GetCapturedStdout(), kTearDown));
    const h264check::TempDir temp;
    std::vector<std::vector<uint8_t>> decoded;
    for (const Packet& p : receive(recv, 2)) {
        if (p.fourcc != NDIlib_FourCC_type_H264) continue;
        const std::string path = temp.path + std::to_string(decoded.size()) + ".h264";
        ASSERT_TRUE(h264check::writeFile(path, p.annexB()));
        const auto pictures = h264check::decodeToBgra(path, kW, kH);
        ASSERT_EQ(pictures.size(), 1u);
        decoded.push_back(pictures[0]);
    }
    ASSERT_EQ(decoded.size(), 2u);
    for (const int x : {kW / 4, 3 * kW / 4}) {
        const size_t at = (size_t(kH / 2) * kW + x) * 4;
        for (int c = 0; c < 3; ++c) {
            EXPECT_NEAR(decoded[0][at + c], native[at + c], 4)
                << "native, x " << x << " byte " << c;
            EXPECT_NEAR(decoded[1][at + c], native[at + c], 4) << "half, x " << x << " byte " << c;
        }
    }
}

TEST_F(HXSend, WithoutVideoAudioThenMetadataAreForwarded) {
    std::vector<float> samples(2 * 480, 0.25f);
    NDIlib_audio_frame_v2_t audio;
    audio.sample_rate = 48000;
    audio.no_channels = 2;
    audio.no_samples = 480;
    audio.p_data = samples.data();
    audio.channel_stride_in_bytes = 480 * 4;
    char text[] = "<hello/>";
    NDIlib_metadata_frame_t metadata;
    metadata.p_data = text;
    sendFunctionSendData(sender, nullptr, &audio, &metadata, 0, &state, 2);
    NDIlib_video_frame_v2_t v;
    NDIlib_audio_frame_v2_t a;
    NDIlib_metadata_frame_t m;
    EXPECT_EQ(NDIlib_recv_capture_v2(recv, &v, &a, &m, 2000), NDIlib_frame_type_audio);
    EXPECT_EQ(a.no_samples, 480);
    NDIlib_recv_free_audio_v2(recv, &a);
    EXPECT_EQ(NDIlib_recv_capture_v2(recv, &v, &a, &m, 2000), NDIlib_frame_type_metadata);
    EXPECT_STREQ(m.p_data, "<hello/>");
    NDIlib_recv_free_metadata(recv, &m);
    EXPECT_EQ(frameCounter.load(), firstPicture);
}

TEST_F(HXSend, TeardownFreesBothStreamsAndClearsTheSharedSender) {
    send(0);
    send(1, kW, kH, 60, 1, 1);
    ASSERT_EQ(state.encoderReady[0], 1);
    ASSERT_EQ(state.encoderReady[1], 1);
    theNDISender.store(sender);
    destroyNDIHXSender(sender, &state);
    sender = nullptr;
    EXPECT_EQ(theNDISender.load(), nullptr);
    // The source is gone: its receiver's connection ends.
    EXPECT_EQ(NDIlib_recv_capture_v2(recv, nullptr, nullptr, nullptr, 5000),
              NDIlib_frame_type_error);
    for (int s = 0; s < 2; ++s) {
        EXPECT_EQ(state.encoderReady[s], 0);
        EXPECT_EQ(state.encoder[s], nullptr);
        EXPECT_EQ(state.encodedData[s], nullptr);
        EXPECT_EQ(state.uyvyScratch[s], nullptr);
        EXPECT_EQ(state.packet[s], nullptr);
    }
}
