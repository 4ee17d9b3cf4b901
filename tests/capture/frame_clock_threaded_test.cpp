// The frame clock with its real neighbours (source capture on the fake window
// server, the frame mailbox and its sender thread) while a tick thread and
// the main thread run at once: every frame the sender takes must be one whole
// picture with its own size.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "capture/frame_clock.h"
#include "capture/source_capture.h"
#include "common/globals.h"
#include "engine/mailbox.h"
#include "settings/prefs.h"
#include "tests/support/fake_window_server.h"

namespace {

using namespace std::chrono_literals;

// Only a failing run waits this long; a passing one stops as soon as its
// condition holds. Black frames clear the whole 132 MB buffer each time, which
// under ThreadSanitizer beside a loaded machine takes seconds per frame.
constexpr auto kPatience = 120s;

// Capture k fills its picture with one value and gives it a size of its own,
// so that a picture copied with another's size, or half of one picture and
// half of the next, shows.
uint32_t fillOf(int k) { return 0xFF000000u | uint32_t(k); }
int32_t widthOf(uint32_t fill) { return 64 + int32_t(fill % 7) * 32; }
int32_t heightOf(uint32_t fill) { return 36 + int32_t(fill % 5) * 20; }

std::atomic<int> wholeFrames{0};
std::atomic<int> blackFrames{0};
std::atomic<int> brokenFrames{0};

int32_t checkFrame(const uint8_t* pixels, int32_t width, int32_t height, uint32_t, int32_t, int32_t,
                   int32_t) {
    if (width <= 0 || height <= 0) return 0;
    uint32_t first;
    memcpy(&first, pixels, 4);
    const size_t count = size_t(width) * size_t(height);
    bool uniform = true;
    for (size_t i = 1; i < count && uniform; ++i) uniform = memcmp(pixels + i * 4, &first, 4) == 0;
    if (!uniform)
        ++brokenFrames;
    else if (first == 0)
        ++blackFrames;
    else if (width != widthOf(first) || height != heightOf(first))
        ++brokenFrames;
    else
        ++wholeFrames;
    return 0;
}

class FrameClockThreads : public ::testing::Test {
  protected:
    void SetUp() override {
        resetPrefs();
        liveOutputMode = 0;
        channelCountChanged = 0;  // only capture steps in the queue
        setFrameConsumer(checkFrame);
        hooks.perform = [this](std::function<void()> work) {
            std::lock_guard<std::mutex> hold(queueLock);
            queue.push_back(std::move(work));
        };
        hooks.submit = [this](uint8_t* pixels, uint32_t tag) {
            submitFrame(pixels, tag);
            ++submissions;
        };
        hooks.capture = [this](uint8_t* buffer) {
            uint32_t fill = fillOf(++captures);
            screens.fake.fillBgra = fill;
            screens.fake.screenList = {
                ScreenInfo{FrameRect{0, 0, double(widthOf(fill)), double(heightOf(fill))}}};
            return getTheBitmap(buffer, noWindows);
        };
        hooks.loadApplicationMenu = [] {};
        hooks.updateMetering = [] {};
        hooks.updateChannelCount = [] {};
        hooks.pleaseInitCropWindow = [] {};
        hooks.tickCount = [] { return uint32_t(0); };
        // Refreshes of a 60 Hz display a thousand times faster than real.
        ticker = std::thread([this] {
            for (uint64_t refresh = 1; !stop; ++refresh) {
                frameClockTick(hooks, refresh * 16'666'667);
                std::this_thread::sleep_for(1ms);
            }
        });
    }
    void TearDown() override {
        stop = true;
        ticker.join();
        for (auto& work : takeQueue()) work();  // a step left waiting would hold the next test's
    }
    std::deque<std::function<void()>> takeQueue() {
        std::lock_guard<std::mutex> hold(queueLock);
        return std::exchange(queue, {});
    }
    // The main thread's run loop for a while.
    void runMainThread(std::chrono::milliseconds duration) {
        auto end = std::chrono::steady_clock::now() + duration;
        while (std::chrono::steady_clock::now() < end) {
            for (auto& work : takeQueue()) work();
            std::this_thread::sleep_for(200us);
        }
    }

    // Runs the main thread until done() or the limit.
    template <typename Done>
    void runMainThreadUntil(Done done, std::chrono::seconds limit) {
        auto end = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < end) runMainThread(50ms);
    }

    ScopedFakeWindowServer screens;
    NoOwnWindows noWindows;
    FrameClockHooks hooks;
    std::mutex queueLock;
    std::deque<std::function<void()>> queue;
    int captures = 0;  // main thread only
    std::atomic<int> submissions{0};
    std::atomic<bool> stop{false};
    std::thread ticker;
};

TEST_F(FrameClockThreads, EveryFrameSentIsOneWholePictureWithItsOwnSize) {
    runMainThreadUntil([] { return wholeFrames > 30; }, kPatience);
    liveOutputMode = 2;
    runMainThreadUntil([] { return blackFrames > 3; }, kPatience);
    liveOutputMode = 0;
    int whole = wholeFrames;
    runMainThreadUntil([&] { return wholeFrames > whole + 3; }, kPatience);
    EXPECT_EQ(brokenFrames.load(), 0);
    EXPECT_GT(wholeFrames.load(), whole + 3);
    EXPECT_GT(blackFrames.load(), 3);
}

TEST_F(FrameClockThreads, TicksWhileTheMainThreadIsHeldStillSubmitButQueueOneStep) {
    runMainThreadUntil([] { return wholeFrames > 3; }, kPatience);
    const int submittedBefore = submissions;
    // The main thread is held until five ticks have submitted.
    const auto limit = std::chrono::steady_clock::now() + kPatience;
    while (submissions < submittedBefore + 5 && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(1ms);
    auto held = takeQueue();
    EXPECT_GE(submissions - submittedBefore, 5);
    EXPECT_EQ(held.size(), 1u);  // one step waits, not one a tick
    const int capturesBefore = captures;
    for (auto& work : held) work();
    EXPECT_EQ(captures - capturesBefore, int(held.size()));
    runMainThreadUntil([&] { return captures > capturesBefore + 2; }, kPatience);
    EXPECT_GT(captures, capturesBefore + 2);  // and the ticks queue steps again
    EXPECT_EQ(brokenFrames.load(), 0);
}

TEST_F(FrameClockThreads, ModeOneStopsSubmissionsAtTheNextTick) {
    runMainThread(200ms);
    liveOutputMode = 1;
    runMainThread(100ms);  // a tick under way when the mode changed
    int submitted = submissions;
    int captured = captures;
    runMainThread(200ms);
    EXPECT_EQ(submissions.load(), submitted);
    EXPECT_EQ(captures, captured);
}

}  // namespace
