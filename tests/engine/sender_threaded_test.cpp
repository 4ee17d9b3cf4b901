#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "engine/sender.h"
#include "tests/platform/ndi_loopback.h"

namespace {

size_t countOf(const std::string& text, const std::string& piece) {
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace

TEST(SenderThreads, VideoAndAudioThreadsCreateOneSender) {
    testing::internal::CaptureStdout();
    std::atomic<bool> go{false};
    NDIlib_send_instance_t seen[2] = {};
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([&, i] {
            while (!go) std::this_thread::yield();
            seen[i] = ensureNDISender();
        });
    }
    go = true;
    for (auto& t : threads) t.join();
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_NE(seen[0], nullptr);
    EXPECT_EQ(seen[0], seen[1]);
    EXPECT_EQ(countOf(out, "HX2 Using Default NDI Mode"), 1u);
    destroyNDISender();
}

TEST(SenderThreads, DestroyWaitsForAudioInFlightAndLaterSendsAreSkipped) {
    testing::internal::CaptureStdout();
    NDIlib_send_instance_t sender = ensureNDISender();
    testing::internal::GetCapturedStdout();
    ASSERT_NE(sender, nullptr);
    NDIlib_recv_instance_t receiver = nditest::makeReceiver(nditest::addressOf(sender));
    ASSERT_NE(receiver, nullptr);
    std::atomic<int> sends{0};
    std::atomic<bool> stop{false};
    std::thread audioThread([&] {
        std::vector<float> samples(2 * 480, 0.25f);
        NDIlib_audio_frame_v2_t frame;
        frame.no_samples = 480;
        frame.p_data = samples.data();
        frame.channel_stride_in_bytes = 480 * 4;
        // Holds the handle it was given, as the audio path does between its
        // look-up and its send.
        while (!stop) {
            sendNDIFrames(sender, nullptr, &frame, nullptr);
            ++sends;
        }
    });
    while (sends < 50) std::this_thread::yield();
    destroyNDISender();  // on this thread, as the sender thread does
    EXPECT_EQ(theNDISender.load(), nullptr);
    // The source is gone: its receiver's connection ends.
    EXPECT_EQ(NDIlib_recv_capture_v2(receiver, nullptr, nullptr, nullptr, 5000),
              NDIlib_frame_type_error);
    NDIlib_recv_destroy(receiver);
    const int afterDestroy = sends;
    while (sends < afterDestroy + 50) std::this_thread::yield();  // skipped, not crashing
    stop = true;
    audioThread.join();
}
