// Frames through video sending (directly, and submitted through the mailbox
// and its sender thread) to a receiver on loopback, decoded by ffmpeg.
// CTest runs every test in a process of its own; tests that need the sender
// or the mailbox not to exist yet skip themselves otherwise.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "settings/prefs.h"
#include "common/globals.h"
#include "engine/mailbox.h"
#include "engine/sender.h"
#include "engine/video_send.h"
#include "tests/engine/mailbox_recorder.h"
#include "tests/support/h264_check.h"

namespace {

constexpr double kMinPsnr = 30.0;

class VideoSendLoopback : public testing::Test {
  protected:
    void SetUp() override {
        setenv("NDI_PORT", "0", 1);
        setenv("NDI_BIND", "127.0.0.1", 1);
    }
    void TearDown() override {
        if (recv != nullptr) NDIlib_recv_destroy(recv);
    }

    // The program's sender, made through the shared entry before any frame so
    // a receiver can be listening when the first one goes out.
    bool connect() {
        NDIlib_send_instance_t sender = ensureNDISender();
        if (sender == nullptr) return false;
        recv = h264check::connectReceiver(sender);
        return recv != nullptr;
    }

    std::vector<h264check::Packet> receive(int count) {
        std::vector<h264check::Packet> packets;
        EXPECT_EQ(h264check::collectPackets(recv, count, 20000, &packets), count);
        return packets;
    }

    // Decodes the 'H264' packets and compares picture i with expectedLuma[i].
    void expectDecodesTo(const std::vector<h264check::Packet>& packets, int width, int height,
                         const std::vector<std::vector<uint8_t>>& expectedLuma) {
        h264check::TempDir temp;
        const std::string path = temp.path + "received.h264";
        ASSERT_TRUE(h264check::writeFile(path, h264check::annexBOf(packets)));
        const auto pictures = h264check::decodeToI420(path, width, height);
        ASSERT_EQ(pictures.size(), expectedLuma.size());
        for (size_t i = 0; i < pictures.size(); ++i)
            EXPECT_GE(
                h264check::psnr(h264check::lumaOfI420(pictures[i], width, height), expectedLuma[i]),
                kMinPsnr)
                << "picture " << i;
    }

    // Submits one capture through the mailbox and waits until it is sent.
    static void submitAndWait(const std::vector<uint8_t>& picture, int width, int height) {
        ASSERT_TRUE(mailboxtest::startMailbox());
        captureWidth = width;
        captureHeight = height;
        submitFrame(picture.data(), kPixelTagBGRA);
        ASSERT_TRUE(mailboxtest::waitMailboxEmpty());
    }

    NDIlib_recv_instance_t recv = nullptr;
};

TEST_F(VideoSendLoopback, FirstFrameCreatesTheSenderAndIsItselfSent) {
    if (theNDISender.load() != nullptr) GTEST_SKIP() << "sender made by an earlier test";
    const auto picture = h264check::movingBgraPicture(640, 360, 0);
    testing::internal::CaptureStdout();
    sendVideoToNDI(picture.data(), 640, 360, kPixelTagBGRA, 7, 1, 1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(theNDISender.load(), nullptr);
    EXPECT_NE(out.find("HX2 Using Default NDI Mode"), std::string::npos);
    // The compressed path set its encoder up for this very frame.
    EXPECT_EQ(theHXState.encoderReady[0], 1);
    EXPECT_EQ(theHXState.lastWidth[0], 640);
    EXPECT_EQ(theHXState.lastRateN[0], 60);
}

TEST_F(VideoSendLoopback, WithoutARuntimeFramesAreDroppedAndTheNextOneTriesAgain) {
    if (theNDISender.load() != nullptr) GTEST_SKIP() << "sender made by an earlier test";
    const auto picture = h264check::movingBgraPicture(640, 360, 0);
    setenv("NDI_RUNTIME_DISABLED", "1", 1);
    testing::internal::CaptureStdout();
    sendVideoToNDI(picture.data(), 640, 360, kPixelTagBGRA, 7, 1, 1);
    sendVideoToNDI(picture.data(), 640, 360, kPixelTagBGRA, 7, 1, 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Cannot run NDI.Cannot run NDI.");
    EXPECT_EQ(theNDISender.load(), nullptr);
    EXPECT_EQ(theHXState.encoderReady[0], 0);
    unsetenv("NDI_RUNTIME_DISABLED");
    sendVideoToNDI(picture.data(), 640, 360, kPixelTagBGRA, 7, 1, 1);
    EXPECT_NE(theNDISender.load(), nullptr);
    EXPECT_EQ(theHXState.encoderReady[0], 1);
}

TEST_F(VideoSendLoopback, ReceiversSeeTheAnnouncedRateFormatAndTimecode) {
    ASSERT_TRUE(connect());
    const auto picture = h264check::movingBgraPicture(640, 360, 0);
    const auto before = int64_t(currentTime100ns());
    sendVideoToNDI(picture.data(), 640, 360, kPixelTagBGRA, 2, 1, 0);
    sendVideoToNDI(picture.data(), 640, 360, kPixelTagBGRA, 3, 1, 1);
    const auto after = int64_t(currentTime100ns());
    const auto packets = receive(2);
    std::vector<const h264check::Packet*> h264;
    for (const auto& packet : packets)
        if (packet.fourcc == NDIlib_FourCC_type_H264) h264.push_back(&packet);
    ASSERT_EQ(h264.size(), 2u);
    EXPECT_EQ(h264[0]->frameRateN, 30000);
    EXPECT_EQ(h264[0]->frameRateD, 1200);
    EXPECT_EQ(h264[0]->frameFormatType, NDIlib_frame_format_type_interleaved);
    EXPECT_EQ(h264[1]->frameRateN, 30000);
    EXPECT_EQ(h264[1]->frameRateD, 1001);
    EXPECT_GE(h264[0]->timecode, before);
    EXPECT_LE(h264[0]->timecode, h264[1]->timecode);
    EXPECT_LE(h264[1]->timecode, after);
}

TEST_F(VideoSendLoopback, SubmittedFramesArriveAsTheSubmittedPictures) {
    ASSERT_TRUE(connect());
    const int width = 1280, height = 720, frames = 8;
    std::vector<std::vector<uint8_t>> luma;
    for (int n = 0; n < frames; ++n) {
        const auto picture = h264check::movingBgraPicture(width, height, n);
        submitAndWait(picture, width, height);
        luma.push_back(h264check::lumaOfBgra(picture.data(), width, height));
    }
    const auto packets = receive(frames);
    ASSERT_FALSE(packets.empty());
    EXPECT_EQ(packets[0].xres, width);
    EXPECT_EQ(packets[0].yres, height);
    expectDecodesTo(packets, width, height, luma);
}

TEST_F(VideoSendLoopback, WideFramesOnAHighDensityDisplayGoOutAtHalfSize) {
    if (theNDISendData.load() != nullptr) GTEST_SKIP() << "mailbox made by an earlier test";
    const float factors[] = {1.0f, 2.0f};
    setScreenScaleFactors(factors, 2);
    thePrefs.prescaleIt = 1;
    ASSERT_TRUE(connect());
    const int width = 3840, height = 2160, frames = 3;
    std::vector<std::vector<uint8_t>> luma;
    std::vector<uint8_t> half(size_t(1920) * 1080 * 2);
    for (int n = 0; n < frames; ++n) {
        const auto picture = h264check::movingBgraPicture(width, height, n);
        submitAndWait(picture, width, height);
        ASSERT_EQ(displayIsRetina, 1);
        bgraToUYVYHalf(picture.data(), half.data(), width, height);
        luma.push_back(h264check::lumaOfUyvy(half.data(), 1920, 1080));
    }
    const auto packets = receive(frames);
    ASSERT_FALSE(packets.empty());
    EXPECT_EQ(packets[0].xres, 1920);
    EXPECT_EQ(packets[0].yres, 1080);
    expectDecodesTo(packets, 1920, 1080, luma);
}

TEST_F(VideoSendLoopback, TestFrameIsABlack1080pPicture) {
    ASSERT_TRUE(connect());
    testing::internal::CaptureStdout();
    EXPECT_EQ(sendTestFrame(), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("NDIlib_version = "), std::string::npos);
    const auto packets = receive(1);
    ASSERT_FALSE(packets.empty());
    EXPECT_EQ(packets[0].xres, 1920);
    EXPECT_EQ(packets[0].yres, 1080);
    const std::vector<uint8_t> black(size_t(1920) * 1080 * 4, 0);
    expectDecodesTo(packets, 1920, 1080, {h264check::lumaOfBgra(black.data(), 1920, 1080)});
}

}  // namespace
