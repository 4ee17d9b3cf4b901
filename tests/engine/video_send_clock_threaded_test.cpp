// Two threads (sender and audio) reading the 100 ns clock for the first time
// at once must both see a whole timebase.
#include <gtest/gtest.h>

#include <latch>
#include <thread>

#include "engine/video_send.h"

namespace {

TEST(CurrentTime100nsThreads, FirstReadsOnTwoThreadsAgree) {
    std::latch go(2);
    uint64_t readings[2] = {};
    auto reader = [&](int which) {
        go.arrive_and_wait();
        readings[which] = currentTime100ns();
    };
    std::thread video(reader, 0), audio(reader, 1);
    video.join();
    audio.join();
    const uint64_t after = currentTime100ns();
    for (uint64_t reading : readings) {
        EXPECT_GT(reading, 0u);
        EXPECT_LE(reading, after);
        EXPECT_LT(after - reading, 10000000u);  // within a second of each other
    }
}

}  // namespace
