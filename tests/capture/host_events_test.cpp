// Wall-clock milliseconds, the host name and synthetic mouse input.
#include "capture/host_events.h"

#include <gtest/gtest.h>
#include <sys/time.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "tests/support/fake_window_server.h"

namespace {

TEST(HostEvents, MillisecondsFollowTheWallClock) {
    timeval before{};
    gettimeofday(&before, nullptr);
    int64_t ms = getTimeInMilliseconds();
    timeval after{};
    gettimeofday(&after, nullptr);
    EXPECT_GE(ms, static_cast<int64_t>(before.tv_sec) * 1000 + before.tv_usec / 1000);
    EXPECT_LE(ms, static_cast<int64_t>(after.tv_sec) * 1000 + after.tv_usec / 1000);
}

TEST(HostEvents, HostNameIsTheMachinesAndFitsTheBuffer) {
    char expected[HOST_NAME_MAX + 1] = {};
    ASSERT_EQ(gethostname(expected, sizeof expected - 1), 0);
    char name[HOST_NAME_MAX + 1];
    getLocalHostName(name, sizeof name);
    EXPECT_STREQ(name, expected);
    char small[4] = {'x', 'x', 'x', 'x'};
    getLocalHostName(small, sizeof small);
    EXPECT_EQ(strlen(small), std::min<size_t>(3, strlen(expected)));
    EXPECT_EQ(strncmp(small, expected, strlen(small)), 0);
}

TEST(HostEvents, ButtonBeforeAnyMoveIsAtTheOrigin) {
    ScopedFakeWindowServer server;
    postMouseButtonEvent(0, 1);
    ASSERT_EQ(server.fake.pointerEvents.size(), 2u);
    EXPECT_TRUE(server.fake.pointerEvents[0].move);
    EXPECT_EQ(server.fake.pointerEvents[0].x, 0.0);
    EXPECT_EQ(server.fake.pointerEvents[0].y, 0.0);
    EXPECT_FALSE(server.fake.pointerEvents[1].move);
    EXPECT_EQ(server.fake.pointerEvents[1].xButton, 1);
    EXPECT_TRUE(server.fake.pointerEvents[1].down);
}

TEST(HostEvents, MovesScaleTheFixedAreaWithoutClamping) {
    ScopedFakeWindowServer server;
    postMouseMoveEvent(0.5f, 0.5f);
    EXPECT_EQ(lastMouseX, 960.0f);
    EXPECT_EQ(lastMouseY, 600.0f);
    postMouseMoveEvent(1.0f, 1.0f);
    postMouseMoveEvent(-0.25f, 2.0f);
    ASSERT_EQ(server.fake.pointerEvents.size(), 3u);
    EXPECT_EQ(server.fake.pointerEvents[0].x, 960.0);
    EXPECT_EQ(server.fake.pointerEvents[0].y, 600.0);
    EXPECT_EQ(server.fake.pointerEvents[1].x, 1920.0);
    EXPECT_EQ(server.fake.pointerEvents[1].y, 1200.0);
    EXPECT_EQ(server.fake.pointerEvents[2].x, -480.0);
    EXPECT_EQ(server.fake.pointerEvents[2].y, 2400.0);
}

TEST(HostEvents, ButtonsPressAndReleaseAtTheLastMove) {
    ScopedFakeWindowServer server;
    postMouseMoveEvent(0.25f, 0.5f);
    server.fake.pointerEvents.clear();
    postMouseButtonEvent(1, 1);
    postMouseButtonEvent(2, 0);
    postMouseButtonEvent(0, 0);
    postMouseButtonEvent(3, 1);
    postMouseButtonEvent(-1, 1);
    ASSERT_EQ(server.fake.pointerEvents.size(), 6u) << "unknown buttons post nothing";
    const int xButtons[] = {3, 2, 1};
    const bool downs[] = {true, false, false};
    for (int i = 0; i < 3; ++i) {
        const FakePointerEvent& move = server.fake.pointerEvents[2 * i];
        const FakePointerEvent& press = server.fake.pointerEvents[2 * i + 1];
        EXPECT_TRUE(move.move);
        EXPECT_EQ(move.x, 480.0);
        EXPECT_EQ(move.y, 600.0);
        EXPECT_EQ(press.xButton, xButtons[i]);
        EXPECT_EQ(press.down, downs[i]);
    }
}

}  // namespace
