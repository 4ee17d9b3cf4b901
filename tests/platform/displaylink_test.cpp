#include "platform/displaylink/displaylink.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "tests/support/fake_window_server.h"

namespace {

TEST(DisplayLink, PeriodFollowsTheRateAndFallsBackTo60Hz) {
    EXPECT_EQ(platform::refreshPeriodNs(60.0), 16'666'667u);
    EXPECT_EQ(platform::refreshPeriodNs(50.0), 20'000'000u);
    EXPECT_EQ(platform::refreshPeriodNs(59.94), 16'683'350u);
    EXPECT_EQ(platform::refreshPeriodNs(0.0), 16'666'667u);
    EXPECT_EQ(platform::refreshPeriodNs(-30.0), 16'666'667u);
    EXPECT_EQ(platform::refreshPeriodNs(5000.0), 16'666'667u);
    EXPECT_EQ(platform::refreshPeriodNs(NAN), 16'666'667u);
}

TEST(DisplayLink, RateIs60HzWithoutADisplay) {
    unsetenv("DISPLAY");
    EXPECT_EQ(platform::displayRefreshRate(), 60.0);
    setenv("DISPLAY", ":65000", 1);  // nobody listens there
    EXPECT_EQ(platform::displayRefreshRate(), 60.0);
}

TEST(DisplayLink, RefreshRateComesFromTheModesTimings) {
    // 1080p at 60 Hz: a 148.5 MHz pixel clock over 2200 x 1125 pixels.
    EXPECT_DOUBLE_EQ(refreshRateOfMode({148'500'000, 2200, 1125, false, false}), 60.0);
    EXPECT_NEAR(refreshRateOfMode({148'351'648, 2200, 1125, false, false}), 59.94, 0.0001);
    // 1080i: each refresh is one field of half the lines.
    EXPECT_DOUBLE_EQ(refreshRateOfMode({74'250'000, 2200, 1125, false, true}), 60.0);
    // A double-scanned 320 x 240 mode sends every line twice.
    EXPECT_NEAR(refreshRateOfMode({12'587'500, 400, 262, true, false}), 60.05, 0.01);
    EXPECT_EQ(refreshRateOfMode({148'500'000, 0, 1125, false, false}), 0.0);
    EXPECT_EQ(refreshRateOfMode({148'500'000, 2200, 0, false, false}), 0.0);
}

TEST(DisplayLink, RateIsTheWindowServersWhenPlausible) {
    ScopedFakeWindowServer server;
    server.fake.refreshRateHz = 50.0;
    EXPECT_EQ(platform::displayRefreshRate(), 50.0);
    server.fake.refreshRateHz = 0.0;
    EXPECT_EQ(platform::displayRefreshRate(), 60.0);
    server.fake.refreshRateHz = 5000.0;
    EXPECT_EQ(platform::displayRefreshRate(), 60.0);
}

struct TickLog {
    std::atomic<int> count{0};
    std::atomic<bool> offGrid{false};
    std::atomic<bool> wrongArguments{false};
    std::atomic<uint64_t> firstDeadline{0};
    std::atomic<std::thread::id> thread{};
};

int32_t recordTick(platform::DisplayLink* link, const platform::DisplayLinkTimeStamp* now,
                   const platform::DisplayLinkTimeStamp* output, uint64_t flagsIn,
                   uint64_t* flagsOut, void* context) {
    auto* log = static_cast<TickLog*>(context);
    if (link == nullptr || now == nullptr || output == nullptr || flagsOut == nullptr ||
        flagsIn != 0 || now->hostTime < output->hostTime || output->refreshPeriod == 0)
        log->wrongArguments = true;
    uint64_t first = 0;
    if (!log->firstDeadline.compare_exchange_strong(first, output->hostTime)) {
        if ((output->hostTime - first) % output->refreshPeriod != 0) log->offGrid = true;
    }
    log->thread = std::this_thread::get_id();
    // A slow callback: the link must skip the refreshes it missed.
    if (log->count.fetch_add(1) == 2) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return 0;
}

TEST(DisplayLink, TicksOnItsOwnThreadOnOneGridAndStartsOnce) {
    unsetenv("DISPLAY");
    static TickLog log;
    ASSERT_EQ(platform::startDisplayLink(recordTick, &log), 0);
    EXPECT_EQ(platform::startDisplayLink(recordTick, &log), -1);
    for (int i = 0; i < 1000 && log.count < 10; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_GE(log.count.load(), 10);
    EXPECT_FALSE(log.wrongArguments);
    EXPECT_FALSE(log.offGrid);
    EXPECT_NE(log.thread.load(), std::this_thread::get_id());
}

TEST(DisplayLink, RefusesANullCallback) {
    EXPECT_EQ(platform::startDisplayLink(nullptr, nullptr), -1);
}

}  // namespace
