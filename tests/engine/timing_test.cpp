#include "engine/timing.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <cmath>
#include <string>

TEST(Timing, SecondsRoundToTheNearestMicrosecondHalvesUp) {
    EXPECT_DOUBLE_EQ(secondsFromClock(10, 0), 10.0);
    EXPECT_DOUBLE_EQ(secondsFromClock(10, 1499), 10.000001);
    EXPECT_DOUBLE_EQ(secondsFromClock(10, 1500), 10.000002);
    EXPECT_DOUBLE_EQ(secondsFromClock(10, 499), 10.0);
    EXPECT_DOUBLE_EQ(secondsFromClock(10, 500), 10.000001);
    EXPECT_DOUBLE_EQ(secondsFromClock(10, 123456789), 10.123457);
}

TEST(Timing, HalfAMicrosecondBeforeAWholeSecondCarriesIntoIt) {
    EXPECT_DOUBLE_EQ(secondsFromClock(41, 999999500), 42.0);
    EXPECT_DOUBLE_EQ(secondsFromClock(41, 999999999), 42.0);
    EXPECT_DOUBLE_EQ(secondsFromClock(41, 999999499), 41.999999);
}

TEST(Timing, ReadingsAgreeWithTheWallClock) {
    timeval before{};
    gettimeofday(&before, nullptr);
    const int64_t ms = currentTimeMs();
    const int64_t copy = getMillisecondsCopy();
    const int64_t us = getMicroseconds();
    const double seconds = currentTimeSeconds();
    const int64_t beforeUs = int64_t{before.tv_sec} * 1000000 + before.tv_usec;
    EXPECT_GE(us, beforeUs);
    EXPECT_LT(us - beforeUs, 5000000);
    EXPECT_GE(ms, beforeUs / 1000);
    EXPECT_LE(ms, copy);
    EXPECT_LE(copy, us / 1000);
    EXPECT_LT(std::fabs(seconds - static_cast<double>(us) * 1e-6), 5.0);
}

TEST(Timing, ElapsedMsResetsToMinusOneAndCountsFromTheBase) {
    EXPECT_EQ(elapsedMs(nullptr, 1), -1);
    const int32_t elapsed = elapsedMs(nullptr, 0);
    EXPECT_GE(elapsed, 0);
    EXPECT_LT(elapsed, 5000);
}

TEST(Timing, ElapsedMsWithoutResetCountsFromTheEpoch) {
    timeMarkBase = 0;
    const int64_t now = currentTimeMs();
    const int32_t elapsed = elapsedMs(nullptr, 0);
    // Truncated to 32 bits: compare in the same wrap-around.
    EXPECT_LT(static_cast<uint32_t>(elapsed - static_cast<int32_t>(now)), 5000u);
}

TEST(Timing, StopWatchPrintsItsLabelAndUnit) {
    timeMarkMs("start", 1);
    testing::internal::CaptureStdout();
    timeMarkMs("lap", 0);
    const std::string ms = testing::internal::GetCapturedStdout();
    EXPECT_EQ(ms.rfind("lap at ", 0), 0u);
    EXPECT_NE(ms.find(" mSec\n"), std::string::npos);

    timeMarkUs("start", 1);
    testing::internal::CaptureStdout();
    timeMarkUs("lap", 0);
    const std::string us = testing::internal::GetCapturedStdout();
    EXPECT_NE(us.find(" uSec\n"), std::string::npos);
    EXPECT_LT(std::stoll(us.substr(7)), 5000000);
}

TEST(Timing, TheBaseCarriesNoUnitOfItsOwn) {
    // A microsecond base read as milliseconds is a thousand times too large,
    // so now minus it is far negative (after the 32-bit cut, just not small).
    timeMarkUs("reset", 1);
    const int64_t base = timeMarkBase;
    testing::internal::CaptureStdout();
    timeMarkMs("mixed", 0);
    const std::string out = testing::internal::GetCapturedStdout();
    const int64_t expected = currentTimeMs() - base;
    const int32_t printed = std::stoi(out.substr(strlen("mixed at ")));
    EXPECT_LT(std::llabs(static_cast<int64_t>(printed) - static_cast<int32_t>(expected)), 5000);
    EXPECT_GT(std::llabs(printed), 5000);
}
