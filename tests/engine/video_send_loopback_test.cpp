// Frames through video sending (directly, and submitted through the mailbox
// and its sender thread) to a receiver on loopback, decoded by ffmpeg. Every
// test starts without the shared sender; the mailbox and its sender thread,
// once started, stay for the rest of the process, as in the program.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/globals.h"
#include "engine/convert.h"
#include "engine/hx_send.h"
#include "engine/mailbox.h"
#include "engine/sender.h"
#include "engine/video_send.h"
#include "settings/prefs.h"
#include "tests/engine/mailbox_recorder.h"
#include "tests/support/h264_check.h"

namespace {

constexpr double kMinPsnr = 30.0;

class VideoSendLoopback : public testing::Test {
  protected:
    void SetUp() override { reset(); }
    void TearDown() override {
        if (recv != nullptr) NDIlib_recv_destroy(recv);
        // The sender thread must be done with the sender before it goes.
        if (theNDISendData.load() != nullptr) {
            EXPECT_TRUE(mailboxtest::waitMailboxEmpty());
        }
        reset();
    }
    static void reset() {
        h264check::resetSharedSender();
        thePrefs.prescaleIt = 0;
        displayIsRetina = 0;
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
    ASSERT_EQ(theNDISender.load(), nullptr);
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
    ASSERT_EQ(theNDISender.load(), nullptr);
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
    ASSERT_TRUE(mailboxtest::startMailbox());
    // What the mailbox's creation finds on a high-density display.
    displayIsRetina = 1;
    thePrefs.prescaleIt = 1;
    ASSERT_TRUE(connect());
    const int width = 3840, height = 2160, frames = 3;
    std::vector<std::vector<uint8_t>> luma;
    std::vector<uint8_t> half(size_t(1920) * 1080 * 2);
    for (int n = 0; n < frames; ++n) {
        const auto picture = h264check::movingBgraPicture(width, height, n);
        submitAndWait(picture, width, height);
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

// Reads video frames until count have come; their FourCCs and packets.
std::vector<h264check::Packet> receiveVideo(NDIlib_recv_instance_t recv, int count) {
    std::vector<h264check::Packet> packets;
    while (static_cast<int>(packets.size()) < count) {
        NDIlib_video_frame_v2_t frame;
        const NDIlib_frame_type_e type =
            NDIlib_recv_capture_v2(recv, &frame, nullptr, nullptr, 20000);
        if (type == NDIlib_frame_type_error || type == NDIlib_frame_type_none) break;
        if (type != NDIlib_frame_type_video) continue;
        packets.push_back(h264check::packetOf(frame));
        NDIlib_recv_free_video_v2(recv, &frame);
    }
    return packets;
}

TEST_F(VideoSendLoopback, EachPictureArrivesUnderBothFourCCs) {
    ASSERT_TRUE(connect());
    const auto picture = h264check::movingBgraPicture(640, 360, 0);
    sendVideoToNDI(picture.data(), 640, 360, kPixelTagBGRA, 7, 1, 1);
    const auto packets = receiveVideo(recv, 2);
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].fourcc, NDIlib_FourCC_type_H264);
    EXPECT_EQ(packets[1].fourcc, NDIlib_FourCC_type_h264);
    EXPECT_TRUE(packets[0].valid);
    EXPECT_EQ(packets[0].bytes, packets[1].bytes);
    EXPECT_EQ(packets[0].header.flags, 1u);
}

TEST_F(VideoSendLoopback, AReceiverWaitingOnlyForLowerCaseH264GetsAKeyframe) {
    ASSERT_TRUE(connect());
    NDIlib_send_instance_t sender = theNDISender.load();
    // The stream runs past its opening keyframes.
    for (int n = 0; n < 4; ++n) {
        const auto picture = h264check::movingBgraPicture(640, 360, n);
        sendVideoToNDI(picture.data(), 640, 360, kPixelTagBGRA, 7, 1, 1);
    }
    receiveVideo(recv, 8);
    // A newcomer is handed an 'H264' keyframe by hand: it now waits for 'h264'
    // alone.
    NDIlib_recv_instance_t late = h264check::connectReceiver(sender);
    ASSERT_NE(late, nullptr);
    std::vector<uint8_t> key(kHXPacketHeaderSize);
    HXPacketHeader header;
    header.flags = 1;
    writeHXPacketHeader(key.data(), header);
    NDIlib_video_frame_v2_t byHand;
    byHand.xres = 640;
    byHand.yres = 360;
    byHand.FourCC = NDIlib_FourCC_type_H264;
    byHand.p_data = key.data();
    byHand.data_size_in_bytes = static_cast<int32_t>(key.size());
    NDIlib_send_send_video_v2(sender, &byHand);
    NDIlib_video_frame_v2_t probe;
    probe.FourCC = NDIlib_FourCC_type_H264;
    EXPECT_FALSE(NDIlib_send_is_keyframe_required(sender, &probe));
    // Forced keyframes are spaced out: wait until the runtime would grant one.
    probe.FourCC = NDIlib_FourCC_type_h264;
    for (int i = 0; i < 2000 && !NDIlib_send_is_keyframe_required(sender, &probe); ++i)
        usleep(1000);
    ASSERT_TRUE(NDIlib_send_is_keyframe_required(sender, &probe));

    const auto picture = h264check::movingBgraPicture(640, 360, 4);
    sendVideoToNDI(picture.data(), 640, 360, kPixelTagBGRA, 7, 1, 1);
    const auto packets = receiveVideo(late, 3);
    NDIlib_recv_destroy(late);
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(packets[1].fourcc, NDIlib_FourCC_type_H264);
    EXPECT_EQ(packets[1].header.flags, 1u);
    EXPECT_EQ(packets[2].fourcc, NDIlib_FourCC_type_h264);
}

}  // namespace
