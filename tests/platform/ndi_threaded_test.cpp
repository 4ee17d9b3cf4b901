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

// Video goes out one picture at a time, each once the receiver has the one
// before: a sender that outran its receiver would make it skip pictures.
void sendVideoInStep(NDIlib_send_instance_t sender, const std::atomic<int>& received) {
    for (int i = 0; i < kFrames; ++i) {
        sendPatternedPicture(sender, 100, 75, i);
        if (!waitUntil([&] { return received.load() > i; })) return;
    }
}

// Audio goes out as fast as it comes: none of it may be lost.
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
    std::atomic<int> video{0};
    int audio = 0;
    bool intact = true;
};

// Reads until both kinds are complete; every frame must come whole and in
// its own order.
void readAll(NDIlib_recv_instance_t receiver, Tally* tally) {
    while (tally->video < kFrames || tally->audio < kFrames) {
        NDIlib_video_frame_v2_t video;
        NDIlib_audio_frame_v2_t audio;
        switch (NDIlib_recv_capture_v2(receiver, &video, &audio, nullptr, 5000)) {
            case NDIlib_frame_type_video:
                tally->intact &=
                    video.timecode == tally->video &&
                    matchesPattern(video.p_data, size_t(video.xres) * video.yres * 4, tally->video);
                NDIlib_recv_free_video_v2(receiver, &video);
                ++tally->video;
                break;
            case NDIlib_frame_type_audio:
                tally->intact &= audio.timecode == tally->audio && audio.no_samples == 1920 &&
                                 audio.p_data[1920 + 5] == static_cast<float>(tally->audio + 1925);
                ++tally->audio;
                NDIlib_recv_free_audio_v2(receiver, &audio);
                break;
            default:
                return;
        }
    }
}

}  // namespace

TEST(NDIThreads, VideoAndAudioFromTwoThreadsArriveIntact) {
    ConnectedPair pair;
    ASSERT_TRUE(pair.ready);
    Tally tally;
    std::thread reader([&] { readAll(pair.receiver, &tally); });
    std::thread video([&] { sendVideoInStep(pair.sender, tally.video); });
    std::thread audio([&] { sendAudioFrames(pair.sender); });
    video.join();
    audio.join();
    reader.join();
    EXPECT_EQ(tally.video, kFrames);
    EXPECT_EQ(tally.audio, kFrames);
    EXPECT_TRUE(tally.intact);
}

TEST(NDIThreads, WaitingForAReceiverEndsWhenOneSaysHello) {
    NDIlib_send_instance_t sender = makeSender();
    ASSERT_NE(sender, nullptr);
    std::atomic<int> counted{-1};
    // The largest timeout waits for ever; it must not return at once.
    std::thread waiter([&] { counted = NDIlib_send_get_no_connections(sender, UINT32_MAX); });
    NDIlib_recv_instance_t receiver = makeReceiver(addressOf(sender));
    ASSERT_NE(receiver, nullptr);
    waiter.join();
    EXPECT_EQ(counted, 1);
    NDIlib_recv_destroy(receiver);
    NDIlib_send_destroy(sender);
}

TEST(NDIThreads, ACaptureWithAHugeTimeoutWaitsForTheFrame) {
    ConnectedPair pair;
    ASSERT_TRUE(pair.ready);
    for (uint32_t timeout : {0x80000000u, UINT32_MAX}) {
        std::atomic<int> type{-1};
        std::thread capture([&] {
            NDIlib_metadata_frame_t got;
            type = NDIlib_recv_capture_v2(pair.receiver, nullptr, nullptr, &got, timeout);
            if (type == NDIlib_frame_type_metadata) NDIlib_recv_free_metadata(pair.receiver, &got);
        });
        char text[] = "<late/>";
        NDIlib_metadata_frame_t metadata;
        metadata.p_data = text;
        NDIlib_send_send_metadata(pair.sender, &metadata);
        capture.join();
        EXPECT_EQ(type, NDIlib_frame_type_metadata) << "timeout " << timeout;
    }
}
