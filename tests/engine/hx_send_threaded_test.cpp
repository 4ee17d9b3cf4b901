// The compressed path on its sender thread while audio goes out through the
// same sender from another thread and the bit-rate control raises
// bitRateChanged from a third.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "common/globals.h"
#include "engine/hx_send.h"
#include "engine/sender.h"
#include "tests/support/h264_check.h"

TEST(HXSendThreaded, VideoAudioAndBitRateChangesTogether) {
    constexpr int kW = 320, kH = 180, kPictures = 30, kBlocks = 30;
    NDIlib_send_instance_t sender = h264check::createLoopbackSender();
    ASSERT_NE(sender, nullptr);
    theNDISender.store(sender);  // audio goes through the shared sender's guarded send
    NDIlib_recv_instance_t recv = h264check::connectReceiver(sender);
    ASSERT_NE(recv, nullptr);
    HXSenderState state = h264check::makeHXState(3);

    std::atomic<int> audioFrames{0};
    std::atomic<size_t> packetCount{0};
    std::vector<h264check::Packet> packets;
    std::thread receiver([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline &&
               (audioFrames.load() < kBlocks || packets.size() < 2 * kPictures)) {
            NDIlib_video_frame_v2_t video;
            NDIlib_audio_frame_v2_t audio;
            const auto type = NDIlib_recv_capture_v2(recv, &video, &audio, nullptr, 100);
            if (type == NDIlib_frame_type_audio) {
                audioFrames.fetch_add(1);
                NDIlib_recv_free_audio_v2(recv, &audio);
            } else if (type == NDIlib_frame_type_video) {
                packets.push_back(h264check::packetOf(video));
                packetCount.store(packets.size());
                NDIlib_recv_free_video_v2(recv, &video);
            }
        }
    });
    std::thread audio([&] {
        std::vector<float> planes(2 * 480, 0.5f);
        NDIlib_audio_frame_v2_t frame;
        frame.no_channels = 2;
        frame.no_samples = 480;
        frame.p_data = planes.data();
        frame.channel_stride_in_bytes = 480 * 4;
        for (int i = 0; i < kBlocks; ++i) {
            sendNDIFrames(sender, nullptr, &frame, nullptr);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    // Each picture waits until the last one arrived: a receiver that falls
    // behind loses video up to a keyframe, and a busy machine must not turn
    // that into a failure here.
    std::thread video([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (int n = 0; n < kPictures; ++n) {
            while (packetCount.load() < size_t(2 * n) &&
                   std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            std::vector<uint8_t> pixels = h264check::movingBgraPicture(kW, kH, n);
            NDIlib_video_frame_v2_t frame =
                h264check::videoFrame(NDIlib_FourCC_type_BGRA, pixels.data(), kW, kH);
            sendFunctionSendData(sender, &frame, nullptr, nullptr, 0, &state, 2);
        }
    });
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        bitRateChanged.store(1);
    }
    video.join();
    audio.join();
    receiver.join();

    EXPECT_EQ(audioFrames.load(), kBlocks);
    ASSERT_EQ(packets.size(), 2u * kPictures);
    for (const h264check::Packet& packet : packets) EXPECT_TRUE(packet.valid);
    const h264check::TempDir temp;
    ASSERT_TRUE(h264check::writeFile(temp.path + "s.h264", h264check::annexBOf(packets)));
    EXPECT_EQ(h264check::decodeToI420(temp.path + "s.h264", kW, kH).size(),
              static_cast<size_t>(kPictures));
    NDIlib_recv_destroy(recv);
    destroyNDIHXSender(sender, &state);
}

namespace {

// The destroyer thread started from inside a video send, and what it had
// done by the time that send ended.
std::thread destroyer;
std::atomic<bool> destroyed{false};
std::atomic<bool> destroyedBeforeSendEnded{false};

// Called on the sending thread between the encode and the send of the
// packet, then once the send is done.
void destroyDuringSend(EngineStage stage, int64_t) {
    if (stage == EngineStage::Encode && !destroyer.joinable()) {
        destroyer = std::thread([] {
            destroyNDISender();
            destroyed.store(true);
        });
        // Gives the destroyer time to get through where nothing guards the
        // send; where the send holds the sender, it cannot, and the send goes
        // on after this wait.
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
        while (!destroyed.load() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (stage == EngineStage::Send) destroyedBeforeSendEnded.store(destroyed.load());
}

}  // namespace

TEST(HXSendThreaded, TheSenderIsNotDestroyedUnderAVideoSendInFlight) {
    h264check::resetSharedSender();
    destroyed.store(false);
    destroyedBeforeSendEnded.store(true);
    std::vector<uint8_t> pixels = h264check::movingBgraPicture(320, 180, 0);
    setStageObserver(destroyDuringSend);
    // The frame that creates the shared sender is sent without a receiver.
    sendVideoToNDI(pixels.data(), 320, 180, kPixelTagBGRA, 7, 1, 1);
    setStageObserver(nullptr);
    ASSERT_TRUE(destroyer.joinable());
    destroyer.join();
    EXPECT_FALSE(destroyedBeforeSendEnded.load());
    EXPECT_TRUE(destroyed.load());
    EXPECT_EQ(theNDISender.load(), nullptr);
    h264check::resetSharedSender();
}
