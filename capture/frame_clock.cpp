#include "capture/frame_clock.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "capture/crop_window.h"
#include "capture/source_capture.h"
#include "common/diagnostics.h"
#include "common/globals.h"
#include "engine/engine.h"
#include "platform/clock/clock.h"
#include "platform/desktop/main_thread.h"
#include "platform/windowserver/window_server.h"
#include "settings/prefs.h"

int32_t captureBusy = 0;
std::atomic<int32_t> meterShowsLevel{0};

namespace {

// The list is rebuilt when the system tick counter has advanced by this many
// sixtieths of a second: just over a second, whatever the refresh rate.
constexpr uint32_t kAppListRefreshTicks = 61;

// The capture step a tick has queued and the main thread has not started.
enum class WaitingStep {
    none,
    listOnly,  // nobody receiving: only the application list is due
    frame,     // a frame was due: the step submits what it captures
};

// What the tick and the capture step share is guarded by `lock` and by
// nothing else, and so are the capture buffer's picture and size and every
// submission. A capture step holds the lock from start to end, so that a
// submission copies one whole picture with its own size and the mailbox
// takes frames one at a time. The tick only tries it and never waits: a
// tick that finds a step under way neither queues nor submits.
struct FrameClockState {
    std::mutex lock;
    // The system tick count at the last automatic application-list refresh;
    // the step sets it, the tick reads it to queue a step that refreshes.
    int64_t lastAppListRefresh = 0;
    // While the main thread is slower than the display (an overloaded
    // machine), one step waits, not one more per refresh, so the window
    // keeps answering and a close is not stuck behind a backlog of captures.
    WaitingStep waiting = WaitingStep::none;
    // The capture in the buffer is fit to send only when it was made while
    // the current receivers were connected: a stale picture from before they
    // came is never their first frame. The tick moves the era on whenever it
    // finds nobody receiving; a capture takes the era it started in.
    uint32_t receivingEra = 0;
    uint32_t captureEra = 0;
    // The chosen frame rate paces the frames, whoever submits them: a frame
    // is due once a refresh reaches the due time, which then moves on by one
    // frame duration, so that what is sent keeps the announced rate whatever
    // the display's refresh rate.
    uint64_t nextFrameDue = 0;
    // The capture buffer is two blocks: theCaptureBuffer, which holds the
    // last finished picture, and the other, into which the next capture or
    // black fill is written; that one takes the first one's place only when
    // it succeeds, so a capture that fails halfway leaves the last picture
    // whole. Allocated once at the largest picture size, never freed.
    uint8_t* blocks[2] = {nullptr, nullptr};
};
FrameClockState theFrameClock;

// Half a frame of slack keeps a refresh that comes a hair early from costing
// a frame; a clock that fell more than a frame behind (a held thread, a
// paused stream) starts again from the refresh rather than making up in a
// burst.
bool takeFrameIfDue(uint64_t refreshTime) {
    const uint64_t duration = frameDurationNs(frameRateCode.load());
    if (duration == 0) return true;
    uint64_t& due = theFrameClock.nextFrameDue;
    if (refreshTime + duration / 2 < due) return false;
    const bool fellBehind = refreshTime > due + duration;
    due = (fellBehind ? refreshTime : due) + duration;
    return true;
}

bool anyoneReceiving(const FrameClockHooks& hooks) {
    return !hooks.anyoneReceiving || hooks.anyoneReceiving();
}

// Compared in the counter's own 32 bits so that it goes on when the counter
// wraps. Called with the lock held.
bool appListRefreshDue(uint32_t count) {
    return thePrefs.autoRefresh != 0 &&
           uint32_t(count - uint32_t(theFrameClock.lastAppListRefresh)) >= kAppListRefreshTicks;
}

// The last finished picture, when it was made for the current receivers.
// Called with the lock held.
void submitLastPicture(const FrameClockHooks& hooks) {
    if (theFrameClock.captureEra == theFrameClock.receivingEra)
        hooks.submit(theCaptureBuffer.load(), kPixelTagBGRA);
}

void runQueuedStep(const FrameClockHooks& hooks);

// Called with the lock held. A step already waiting takes on a frame that
// falls due before it runs.
void queueCaptureStep(const FrameClockHooks& hooks, WaitingStep step) {
    const bool alreadyQueued = theFrameClock.waiting != WaitingStep::none;
    if (step == WaitingStep::frame || !alreadyQueued) theFrameClock.waiting = step;
    if (!alreadyQueued) hooks.perform([&hooks] { runQueuedStep(hooks); });
}

// A due frame is captured by the step it queues and submitted as soon as
// that capture is made, so it leaves close to its own tick instead of one
// frame later. Only when the main thread has not yet run the step of the
// frame before does the tick send the last picture again, keeping the rate.
void requestCaptureAndSubmit(const FrameClockHooks& hooks, uint64_t refreshTime) {
    if (liveOutputMode.load() == 1) return;
    std::unique_lock<std::mutex> hold(theFrameClock.lock, std::try_to_lock);
    if (!hold.owns_lock()) return;
    if (!anyoneReceiving(hooks)) {
        ++theFrameClock.receivingEra;
        // The step still keeps the application list fresh.
        if (appListRefreshDue(hooks.tickCount())) queueCaptureStep(hooks, WaitingStep::listOnly);
        return;
    }
    if (!takeFrameIfDue(refreshTime)) return;
    if (theFrameClock.waiting == WaitingStep::frame)
        submitLastPicture(hooks);
    else
        queueCaptureStep(hooks, WaitingStep::frame);
}

// On failure the step is skipped and the next one tries again. Called with
// the lock held.
uint8_t* nextCaptureBlock() {
    static RepeatedLine noBlock;  // written once, then counted until one is made
    for (uint8_t*& block : theFrameClock.blocks) {
        if (block == nullptr) block = allocateCaptureBuffer();
        if (block == nullptr) {
            noBlock.write("updateNDIOutput: cannot allocate the capture buffer");
            return nullptr;
        }
    }
    noBlock.ended();
    return theFrameClock.blocks[theFrameClock.blocks[0] == theCaptureBuffer.load() ? 1 : 0];
}

// Black frames keep the size of the last capture; before any, they take
// the screen's, so that a stream started in black-frame mode has a picture.
void blankCaptureBlock(const FrameClockHooks& hooks, uint8_t* block) {
    memset(block, 0, size_t(kMaxFrameBytes));
    captureBufferOverwritten(block);
    int32_t width = 0, height = 0;
    if ((captureWidth.load() == 0 || captureHeight.load() == 0) && hooks.screenSize &&
        hooks.screenSize(width, height)) {
        captureWidth = width;
        captureHeight = height;
    }
}

// A step that owes its tick a frame submits the new picture, or the last
// one when none could be made. A capture that fails leaves the last picture
// standing for the current receivers too: when the source has gone (an
// application that quit), it is all there is, and a receiver that came
// since gets it at the chosen rate rather than a stalled source. Called with
// the lock held.
void fillCaptureBuffer(const FrameClockHooks& hooks, bool owesFrame) {
    int32_t mode = liveOutputMode.load();
    if (mode != 0 && mode != 2) return;
    if (!anyoneReceiving(hooks)) return;
    const uint32_t era = theFrameClock.receivingEra;
    uint8_t* block = nextCaptureBlock();
    if (block == nullptr) return;
    if (mode == 2) {
        blankCaptureBlock(hooks, block);
        theCaptureBuffer.store(block);
    } else if (hooks.capture(block)) {
        theCaptureBuffer.store(block);
    }
    theFrameClock.captureEra = era;
    if (owesFrame) submitLastPicture(hooks);
}

// Called with the lock held.
void refreshAppListWhenDue(const FrameClockHooks& hooks) {
    const uint32_t count = hooks.tickCount();
    if (!appListRefreshDue(count)) return;
    hooks.perform(hooks.loadApplicationMenu);
    theFrameClock.lastAppListRefresh = count;
}

// Called with the lock held.
void runCaptureStep(const FrameClockHooks& hooks, bool guarded, bool owesFrame) {
    if (guarded) captureBusy = 1;
    fillCaptureBuffer(hooks, owesFrame);
    refreshAppListWhenDue(hooks);
    if (guarded) captureBusy = 0;
}

bool stepMayRun(bool guarded) {
    return !guarded || (captureBusy == 0 && liveOutputMode.load() != 1);
}

// Whether it runs or finds another step under way, a queued step is no
// longer waiting, so the next due tick queues the next one.
void runQueuedStep(const FrameClockHooks& hooks) {
    std::lock_guard<std::mutex> hold(theFrameClock.lock);
    const bool owesFrame = theFrameClock.waiting == WaitingStep::frame;
    theFrameClock.waiting = WaitingStep::none;
    if (stepMayRun(true)) runCaptureStep(hooks, true, owesFrame);
}

// The chosen screen's size in pixels (the first screen's when the choice is
// not attached), made even for the encoder; false without screens.
bool chosenScreenSize(int32_t& width, int32_t& height) {
    const std::vector<ScreenInfo> screens = windowServer().screens();
    if (screens.empty()) return false;
    const int32_t which = thePrefs.whichScreen;
    const FrameRect& frame =
        screens[which >= 0 && size_t(which) < screens.size() ? size_t(which) : 0].frame;
    width = int32_t(std::clamp(frame.width, 0.0, double(kMaxFrameWidth))) & ~1;
    height = int32_t(std::clamp(frame.height, 0.0, double(kMaxFrameHeight))) & ~1;
    return width > 0 && height > 0;
}

// Until the application installs its own, the hooks reach the main thread,
// the mailbox and the crop window, and leave the main window's part undone.
FrameClockHooks makeBaseHooks() {
    FrameClockHooks hooks;
    hooks.perform = [](std::function<void()> work) {
        platform::performOnMainThread(std::move(work));
    };
    hooks.submit = [](uint8_t* pixels, uint32_t tag) { submitFrame(pixels, tag); };
    hooks.capture = [](uint8_t*) { return false; };
    hooks.loadApplicationMenu = [] {};
    hooks.updateMetering = [] {};
    hooks.updateChannelCount = [] {};
    hooks.pleaseInitCropWindow = [] {
        if (theCropWindow != nullptr) theCropWindow->pleaseInitCropWindow();
    };
    hooks.tickCount = platform::systemTickCount;
    hooks.anyoneReceiving = anyReceiverConnected;
    hooks.screenSize = chosenScreenSize;
    return hooks;
}

FrameClockHooks& installedHooks() {
    static FrameClockHooks hooks = makeBaseHooks();
    return hooks;
}

}  // namespace

const FrameClockHooks& appFrameClockHooks() { return installedHooks(); }

FrameClockHooks baseFrameClockHooks() { return makeBaseHooks(); }

void installFrameClockHooks(FrameClockHooks hooks) { installedHooks() = std::move(hooks); }

void frameClockTick(const FrameClockHooks& hooks, uint64_t refreshTime) {
    requestCaptureAndSubmit(hooks, refreshTime);
    // After audio input goes off the meter is still updated until it has
    // fallen to zero, rather than freezing at its last level.
    if (thePrefs.audioInput != 0 || meterShowsLevel.load() != 0)
        hooks.perform(hooks.updateMetering);
    // A flag raised again after this exchange is answered by the request
    // queued here, which reads the current values when it runs.
    if (channelCountChanged.exchange(0) != 0) hooks.perform(hooks.updateChannelCount);
    if (cropInitPending.exchange(0) != 0) hooks.perform(hooks.pleaseInitCropWindow);
}

void captureStep(const FrameClockHooks& hooks, bool guarded) {
    std::lock_guard<std::mutex> hold(theFrameClock.lock);
    if (stepMayRun(guarded)) runCaptureStep(hooks, guarded, false);
}

int64_t lastAppListRefresh() {
    std::lock_guard<std::mutex> hold(theFrameClock.lock);
    return theFrameClock.lastAppListRefresh;
}

void resetFrameClock() {
    std::lock_guard<std::mutex> hold(theFrameClock.lock);
    theFrameClock.waiting = WaitingStep::none;
    theFrameClock.receivingEra = 0;
    theFrameClock.captureEra = 0;
    theFrameClock.nextFrameDue = 0;
    theFrameClock.lastAppListRefresh = 0;
    theCaptureBuffer.store(nullptr);
}

// The refresh's own deadline, not the moment the callback runs: the frames
// keep their pace even when the link's thread wakes late.
int32_t displayLinkCallback(platform::DisplayLink*, const platform::DisplayLinkTimeStamp* now,
                            const platform::DisplayLinkTimeStamp* outputTime, uint64_t, uint64_t*,
                            void*) {
    const platform::DisplayLinkTimeStamp* refresh = outputTime != nullptr ? outputTime : now;
    frameClockTick(appFrameClockHooks(),
                   refresh != nullptr ? refresh->hostTime : platform::hostTicks());
    return 0;
}

void updateNDIOutput() { captureStep(appFrameClockHooks(), true); }

int32_t updateNDIOutputUnguarded() {
    captureStep(appFrameClockHooks(), false);
    return 0;
}
