#include "capture/frame_clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/globals.h"
#include "settings/prefs.h"

namespace {

// Records what the frame clock asks for. Requests queued to the "main thread"
// wait in `queue` until the test runs them, as a held main thread would.
struct FrameClockWatch {
    std::vector<std::function<void()>> queue;
    std::vector<std::string> log;
    uint32_t ticks = 100'000;
    uint64_t refreshTime = 1'000'000'000;
    int32_t captureW = 1920, captureH = 1080;
    uint8_t captureValue = 0x7f;
    bool captureFails = false;
    bool receiving = true;
    FrameClockHooks hooks;

    FrameClockWatch() {
        hooks.perform = [this](std::function<void()> work) { queue.push_back(std::move(work)); };
        hooks.submit = [this](uint8_t* pixels, uint32_t tag) {
            std::string what =
                "submit " + std::to_string(captureWidth) + "x" + std::to_string(captureHeight);
            if (pixels == nullptr)
                what += " null";
            else if (captureWidth > 0)
                what += " first " + std::to_string(pixels[0]);
            if (tag != 0x62677261) what += " wrong tag";
            log.push_back(what);
        };
        hooks.capture = [this](uint8_t* buffer) {
            if (captureFails) {
                log.push_back("capture failed");
                return false;
            }
            memset(buffer, captureValue, size_t(captureW) * size_t(captureH) * 4);
            captureWidth = captureW;
            captureHeight = captureH;
            log.push_back("capture");
            return true;
        };
        hooks.loadApplicationMenu = [this] { log.push_back("menu"); };
        hooks.updateMetering = [this] { log.push_back("meter"); };
        hooks.updateChannelCount = [this] { log.push_back("channels"); };
        hooks.pleaseInitCropWindow = [this] { log.push_back("crop"); };
        hooks.tickCount = [this] { return ticks; };
        hooks.anyoneReceiving = [this] { return receiving; };
        hooks.screenSize = [](int32_t& width, int32_t& height) {
            width = 1280;
            height = 720;
            return true;
        };
    }
    // One refresh of a 60 Hz display, as the display link times it.
    void tick(uint64_t period = 16'666'667) { frameClockTick(hooks, refreshTime += period); }
    // Runs what is queued, including what that queues in turn.
    void runMainThread() {
        for (size_t i = 0; i < queue.size(); ++i) {
            auto work = queue[i];
            work();
        }
        queue.clear();
    }
    std::vector<std::string> takeLog() { return std::exchange(log, {}); }
};

class FrameClock : public ::testing::Test {
  protected:
    void SetUp() override {
        resetPrefs();
        liveOutputMode = 0;
        captureBusy = 0;
        channelCountChanged = 0;
        cropInitPending = 0;
        captureWidth = 0;
        captureHeight = 0;
        meterShowsLevel = 0;
        frameRateCode = 7;
        resetFrameClock();
    }
    void TearDown() override {
        liveOutputMode = 1;
        watch.runMainThread();
        resetFrameClock();
    }
    // Audio on and both flags up: a tick owes the meter, the channel count
    // and the crop window one request each, whatever else it does.
    void raiseSmallRequests() {
        thePrefs.audioInput = 1;
        channelCountChanged = 1;
        cropInitPending = 1;
    }
    FrameClockWatch watch;
};

using Log = std::vector<std::string>;

// A due tick's picture is the capture made for it, submitted as soon as it
// is made, not the one made a frame earlier.
TEST_F(FrameClock, EachDueTickAsksForACaptureThatIsSubmittedAsSoonAsItIsMade) {
    channelCountChanged = 1;  // its launch value
    watch.tick();
    EXPECT_TRUE(watch.takeLog().empty());
    EXPECT_EQ(channelCountChanged.load(), 0);
    ASSERT_EQ(watch.queue.size(), 2u);  // the capture step, then the channel count
    watch.runMainThread();
    EXPECT_EQ(watch.takeLog(), (Log{"capture", "submit 1920x1080 first 127", "channels"}));
    for (int value : {9, 10}) {
        watch.captureValue = uint8_t(value);
        watch.tick();
        EXPECT_TRUE(watch.takeLog().empty());
        watch.runMainThread();
        EXPECT_EQ(watch.takeLog(),
                  (Log{"capture", "submit 1920x1080 first " + std::to_string(value)}));
    }
    // A capture that fails sends the last picture in its place.
    watch.captureFails = true;
    watch.tick();
    watch.runMainThread();
    EXPECT_EQ(watch.takeLog(), (Log{"capture failed", "submit 1920x1080 first 10"}));
}

// The frame-rate menu sets the rate sent, not only the rate announced: ten
// seconds of refreshes at 60 and 144 Hz carry the chosen number of frames,
// captured or black, while the meter still goes out on every refresh.
TEST_F(FrameClock, TheChosenRatePacesCapturesAndSubmissionsOnEveryDisplay) {
    struct Case {
        double hz;
        int32_t code;
        double fps;
        int32_t mode = 0;
        int seconds = 10;  // black fills clear 132 MB each: fewer of them
    };
    thePrefs.audioInput = 1;
    for (const Case& c : {Case{60, 2, 25}, Case{60, 3, 29.97}, Case{60, 5, 50}, Case{60, 7, 60},
                          Case{144, 2, 25}, Case{144, 3, 29.97}, Case{144, 5, 50}, Case{144, 7, 60},
                          Case{50, 7, 50}, Case{60, 2, 25, 2, 2}, Case{144, 7, 60, 2, 1}}) {
        resetFrameClock();  // no frame due left from the case before
        frameRateCode = c.code;
        liveOutputMode = c.mode;
        const uint64_t period = uint64_t(1e9 / c.hz + 0.5);
        const int refreshes = int(c.seconds * c.hz);
        for (int i = 0; i < refreshes; ++i) {
            watch.tick(period);
            watch.runMainThread();
        }
        const Log log = watch.takeLog();
        const auto submitted = std::count_if(
            log.begin(), log.end(), [](const std::string& e) { return e.rfind("submit", 0) == 0; });
        EXPECT_NEAR(double(submitted), c.seconds * c.fps, 1.0)
            << c.hz << " Hz, code " << c.code << ", mode " << c.mode;
        EXPECT_EQ(std::count(log.begin(), log.end(), "meter"), refreshes);
        // One capture a frame sent, none for black frames.
        EXPECT_EQ(std::count(log.begin(), log.end(), "capture"), c.mode == 0 ? submitted : 0);
    }
}

// With audio input off the meter is still updated while it shows a level,
// so that it falls to zero rather than freezing.
TEST_F(FrameClock, MeterGoesOutOnEveryTickWithAudioInputAndWhileItShowsALevel) {
    liveOutputMode = 1;
    watch.tick();
    watch.runMainThread();
    EXPECT_TRUE(watch.takeLog().empty());
    thePrefs.audioInput = 1;
    for (int i = 0; i < 2; ++i) {
        watch.tick();
        watch.runMainThread();
    }
    EXPECT_EQ(watch.takeLog(), (Log{"meter", "meter"}));
    thePrefs.audioInput = 0;
    meterShowsLevel = 1;
    watch.tick();
    meterShowsLevel = 0;
    watch.tick();
    watch.runMainThread();
    EXPECT_EQ(watch.takeLog(), (Log{"meter"}));
}

TEST_F(FrameClock, ModeOneStopsCaptureSubmissionAndRefreshButNotTheSmallRequests) {
    thePrefs.autoRefresh = 1;
    raiseSmallRequests();
    liveOutputMode = 1;
    watch.tick();
    watch.runMainThread();
    EXPECT_EQ(watch.takeLog(), (Log{"meter", "channels", "crop"}));
    EXPECT_EQ(cropInitPending.load(), 0);

    updateNDIOutput();  // a step queued before the change finds mode 1
    captureStep(watch.hooks, true);
    EXPECT_TRUE(watch.takeLog().empty());
    EXPECT_EQ(theCaptureBuffer.load(), nullptr);
    EXPECT_EQ(lastAppListRefresh(), 0);
    EXPECT_EQ(captureBusy, 0);
}

TEST_F(FrameClock, BackFromModeOneTheFirstTickSendsAFreshCapture) {
    watch.tick();
    watch.runMainThread();
    watch.takeLog();
    liveOutputMode = 1;
    watch.captureValue = 9;
    watch.tick();
    watch.runMainThread();
    EXPECT_TRUE(watch.takeLog().empty());
    liveOutputMode = 0;
    watch.tick();
    watch.runMainThread();
    EXPECT_EQ(watch.takeLog(), (Log{"capture", "submit 1920x1080 first 9"}));
}

// Black-frame mode from launch: no capture has given a size, so the black
// frames take the screen's and the stream has pictures from the start.
TEST_F(FrameClock, BlackModeBeforeAnyCaptureSendsBlackFramesOfTheScreensSize) {
    liveOutputMode = 2;
    for (int i = 0; i < 2; ++i) {
        watch.tick();
        watch.runMainThread();
    }
    EXPECT_EQ(watch.takeLog(), (Log(2, "submit 1280x720 first 0")));
    // Without a screen to take it from, nothing of size 0 is made up.
    resetFrameClock();
    captureWidth = 0;
    captureHeight = 0;
    watch.hooks.screenSize = nullptr;
    watch.tick();
    watch.runMainThread();
    EXPECT_EQ(watch.takeLog(), (Log{"submit 0x0"}));
}

TEST_F(FrameClock, BlackFramesKeepTheSizeOfTheLastCaptureAndClearTheWholeBuffer) {
    watch.tick();
    watch.runMainThread();
    watch.takeLog();
    liveOutputMode = 2;
    watch.tick();
    watch.runMainThread();
    // One black frame, of the last capture's size.
    EXPECT_EQ(watch.takeLog(), (Log{"submit 1920x1080 first 0"}));
    uint8_t* black = theCaptureBuffer.load();
    black[kMaxFrameBytes - 1] = 0x55;  // beyond the picture in use
    // The capture buffer's two blocks take turns: the second fill is this
    // block's again.
    for (int i = 0; i < 2; ++i) {
        watch.tick();
        watch.runMainThread();
    }
    EXPECT_EQ(watch.takeLog(), (Log(2, "submit 1920x1080 first 0")));
    EXPECT_EQ(theCaptureBuffer.load(), black);
    EXPECT_EQ(black[kMaxFrameBytes - 1], 0);
}

// The display link ticks on its own thread while the main thread runs a
// capture step: that tick queues no second step and submits nothing.
TEST_F(FrameClock, ATickDuringACaptureStepNeitherQueuesNorSubmitsButSendsTheSmallRequests) {
    const auto capture = watch.hooks.capture;
    watch.hooks.capture = [&](uint8_t* buffer) {
        EXPECT_EQ(captureBusy, 1);
        raiseSmallRequests();
        std::thread([&] { watch.tick(); }).join();
        return capture(buffer);
    };
    watch.tick();
    watch.runMainThread();
    EXPECT_EQ(watch.takeLog(),
              (Log{"capture", "submit 1920x1080 first 127", "meter", "channels", "crop"}));
    EXPECT_EQ(captureBusy, 0);
    // A capture step that finds another running leaves the flag to it.
    captureBusy = 1;
    captureStep(watch.hooks, true);
    EXPECT_TRUE(watch.takeLog().empty());
    EXPECT_EQ(captureBusy, 1);
}

// The first tick queues the capture; each later one, finding it still
// waiting, sends the last picture again instead of queueing another.
TEST_F(FrameClock, TicksWhileTheMainThreadIsHeldEachSubmitButQueueOneCapture) {
    for (int i = 0; i < 3; ++i) watch.tick();
    EXPECT_EQ(watch.takeLog(), (Log{"submit 0x0 null", "submit 0x0 null"}));
    ASSERT_EQ(watch.queue.size(), 1u);
    watch.runMainThread();
    EXPECT_EQ(watch.takeLog(), (Log{"capture", "submit 1920x1080 first 127"}));
    // Once it has run, the next tick queues the next one.
    watch.tick();
    EXPECT_EQ(watch.queue.size(), 1u);
}

TEST_F(FrameClock, NobodyReceivingNoCaptureNoSubmissionButTheSmallRequestsGoOn) {
    watch.tick();
    watch.runMainThread();
    watch.takeLog();
    watch.receiving = false;
    raiseSmallRequests();
    for (int i = 0; i < 3; ++i) {
        watch.tick();
        watch.runMainThread();
    }
    EXPECT_EQ(watch.takeLog(), (Log{"meter", "channels", "crop", "meter", "meter"}));
    // A step queued before the receivers left captures nothing either.
    captureStep(watch.hooks, true);
    EXPECT_TRUE(watch.takeLog().empty());
}

TEST_F(FrameClock, NobodyReceivingTheApplicationListStillRefreshes) {
    watch.receiving = false;
    thePrefs.autoRefresh = 1;
    watch.tick();
    watch.runMainThread();
    EXPECT_EQ(watch.takeLog(), (Log{"menu"}));
    watch.ticks += 30;
    watch.tick();
    EXPECT_TRUE(watch.queue.empty());  // nothing due, nothing queued
    watch.ticks += 31;
    watch.tick();
    watch.runMainThread();
    EXPECT_EQ(watch.takeLog(), (Log{"menu"}));
}

TEST_F(FrameClock, AReceiverThatConnectsGetsAFreshCaptureNotTheOneFromBefore) {
    watch.tick();
    watch.runMainThread();
    watch.receiving = false;
    watch.tick();
    watch.runMainThread();
    watch.takeLog();

    watch.receiving = true;
    watch.captureValue = 9;
    watch.tick();
    watch.tick();  // the main thread held: the buffer holds a capture from before, not sent
    EXPECT_TRUE(watch.takeLog().empty());
    watch.runMainThread();
    EXPECT_EQ(watch.takeLog(), (Log{"capture", "submit 1920x1080 first 9"}));
}

TEST_F(FrameClock, AutomaticRefreshAtOnceThenEvery61SystemTicks) {
    thePrefs.autoRefresh = 1;
    captureStep(watch.hooks, true);
    watch.runMainThread();
    EXPECT_EQ(watch.takeLog(), (Log{"capture", "menu"}));
    EXPECT_EQ(lastAppListRefresh(), 100'000);

    watch.ticks += 60;  // however many refreshes that took
    for (int i = 0; i < 5; ++i) captureStep(watch.hooks, true);
    watch.runMainThread();
    EXPECT_EQ(watch.takeLog(), (Log(5, "capture")));

    watch.ticks += 1;
    captureStep(watch.hooks, true);
    watch.runMainThread();
    EXPECT_EQ(watch.takeLog(), (Log{"capture", "menu"}));
    EXPECT_EQ(lastAppListRefresh(), 100'061);
}

TEST_F(FrameClock, AutomaticRefreshGoesOnWhenTheTickCounterWraps) {
    thePrefs.autoRefresh = 1;
    watch.ticks = 0xFFFF'FFF0u;
    captureStep(watch.hooks, true);
    watch.ticks = 0x30;  // 64 ticks later
    captureStep(watch.hooks, true);
    watch.runMainThread();
    EXPECT_EQ(watch.takeLog(), (Log{"capture", "capture", "menu", "menu"}));
}

TEST_F(FrameClock, NoAutomaticRefreshWhenItIsOff) {
    captureStep(watch.hooks, true);
    watch.runMainThread();
    EXPECT_EQ(watch.takeLog(), (Log{"capture"}));
    EXPECT_EQ(lastAppListRefresh(), 0);
}

// updateNDIOutputUnguarded is the same step through the installed hooks.
TEST_F(FrameClock, TheUnguardedStepIgnoresTheBusyFlagAndRefreshesInModeOne) {
    installFrameClockHooks(watch.hooks);
    thePrefs.autoRefresh = 1;
    captureBusy = 1;
    updateNDIOutputUnguarded();
    EXPECT_EQ(watch.takeLog(), (Log{"capture"}));
    EXPECT_EQ(captureBusy, 1);
    liveOutputMode = 1;
    watch.ticks += 61;
    updateNDIOutputUnguarded();
    watch.runMainThread();
    EXPECT_EQ(watch.takeLog(), (Log{"menu", "menu"}));
    EXPECT_EQ(lastAppListRefresh(), 100'061);
    installFrameClockHooks(baseFrameClockHooks());
}

}  // namespace
