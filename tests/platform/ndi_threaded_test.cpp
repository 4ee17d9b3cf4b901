#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/ndi/ndi.h"
#include "tests/platform/ndi_loopback.h"

using namespace nditest;

namespace {

constexpr int kFrames = 200;

// Fills a buffer whose every byte tells which frame it belongs to.
std::vector<uint8_t> patterned(size_t size, int frame) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(frame * 31 + i);
    return bytes;
}

bool matchesPattern(const uint8_t* bytes, size_t size, int frame) {
    for (size_t i = 0; i < size; ++i) {
        if (bytes[i] != static_cast<uint8_t>(frame * 31 + i)) return false;
    }
    return true;
}

void sendVideoFrames(NDIlib_send_instance_t sender, size_t size) {
    for (int i = 0; i < kFrames; ++i) {
        std::vector<uint8_t> bytes = patterned(size, i);
        NDIlib_video_frame_v2_t frame;
        frame.xres = 1280;
        frame.yres = 720;
        frame.FourCC = NDIlib_FourCC_type_H264;
        frame.timecode = i;
        frame.p_data = bytes.data();
        frame.data_size_in_bytes = static_cast<int32_t>(bytes.size());
        NDIlib_send_send_video_v2(sender, &frame);
    }
}

void sendAudioFrames(NDIlib_send_instance_t sender) {
    for (int i = 0; i < kFrames; ++i) {
        std::vector<float> samples(2 * 1920);
        for (size_t s = 0; s < samples.size(); ++s) samples[s] = static_cast<float>(i + s);
        NDIlib_audio_frame_v2_t frame;
        frame.no_channels = 2;
        frame.no_samples = 1920;
        frame.channel_stride_in_bytes = 1920 * 4;
        frame.timecode = i;
        frame.p_data = samples.data();
        NDIlib_send_send_audio_v2(sender, &frame);
    }
}

struct Tally {
    int video = 0;
    int audio = 0;
    bool intact = true;
};

// Reads until both kinds are complete; every frame must come whole and in
// its own order.
Tally readAll(NDIlib_recv_instance_t receiver) {
    Tally tally;
    while (tally.video < kFrames || tally.audio < kFrames) {
        NDIlib_video_frame_v2_t video;
        NDIlib_audio_frame_v2_t audio;
        switch (NDIlib_recv_capture_v2(receiver, &video, &audio, nullptr, 5000)) {
            case NDIlib_frame_type_video:
                tally.intact &= video.timecode == tally.video &&
                                matchesPattern(video.p_data, video.data_size_in_bytes, tally.video);
                ++tally.video;
                NDIlib_recv_free_video_v2(receiver, &video);
                break;
            case NDIlib_frame_type_audio:
                tally.intact &= audio.timecode == tally.audio && audio.no_samples == 1920 &&
                                audio.p_data[1920 + 5] == static_cast<float>(tally.audio + 1925);
                ++tally.audio;
                NDIlib_recv_free_audio_v2(receiver, &audio);
                break;
            default:
                return tally;
        }
    }
    return tally;
}

}  // namespace

TEST(NDIThreads, VideoAndAudioFromTwoThreadsArriveIntact) {
    NDIlib_send_instance_t sender = makeSender();
    ASSERT_NE(sender, nullptr);
    NDIlib_recv_instance_t receiver = makeReceiver(addressOf(sender));
    ASSERT_NE(receiver, nullptr);
    ASSERT_TRUE(waitForConnections(sender, 1));

    Tally tally;
    std::thread reader([&] { tally = readAll(receiver); });
    std::thread video([&] { sendVideoFrames(sender, 30000); });
    std::thread audio([&] { sendAudioFrames(sender); });
    video.join();
    audio.join();
    reader.join();
    EXPECT_EQ(tally.video, kFrames);
    EXPECT_EQ(tally.audio, kFrames);
    EXPECT_TRUE(tally.intact);
    NDIlib_recv_destroy(receiver);
    NDIlib_send_destroy(sender);
}

TEST(NDIThreads, StalledReceiverIsDroppedAndDoesNotHoldUpOthers) {
    NDIlib_send_instance_t sender = makeSender();
    ASSERT_NE(sender, nullptr);
    NDIlib_recv_instance_t receiver = makeReceiver(addressOf(sender));
    ASSERT_NE(receiver, nullptr);
    const int stalled = rawConnect(NDIlib_send_get_port(sender));  // connects, never reads
    ASSERT_GE(stalled, 0);
    ASSERT_TRUE(waitForConnections(sender, 2));

    testing::internal::CaptureStderr();
    Tally tally;
    std::thread reader([&] { tally = readAll(receiver); });
    // Big frames fill the stalled socket's buffers within a few sends.
    std::thread video([&] { sendVideoFrames(sender, 1 << 20); });
    std::thread audio([&] { sendAudioFrames(sender); });
    video.join();
    audio.join();
    reader.join();
    const std::string errors = testing::internal::GetCapturedStderr();

    EXPECT_EQ(tally.video, kFrames);
    EXPECT_EQ(tally.audio, kFrames);
    EXPECT_TRUE(tally.intact);
    EXPECT_EQ(NDIlib_send_get_no_connections(sender, 0), 1);
    EXPECT_NE(errors.find("stalled"), std::string::npos);
    close(stalled);
    NDIlib_recv_destroy(receiver);
    NDIlib_send_destroy(sender);
}
