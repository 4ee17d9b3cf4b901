// The frame clock: at each refresh where the chosen frame rate has a frame
// due, ask the main thread for a capture, which goes to the frame mailbox as
// soon as it is made; carry the meter, channel-count and crop-window requests
// to the main thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "platform/displaylink/displaylink.h"

// 1 while a capture step runs (set and cleared by the step itself), else 0.
// Main thread only: a tick does not read it, since the frame clock's own lock,
// which a step holds from start to end, already tells it a step is under way.
extern int32_t captureBusy;

// Non-zero while the level meter shows a level above zero. The meter writes
// it on the main thread; the tick reads it, so that the meter is still
// updated after audio input goes off until it has fallen to zero. The atomic
// alone guards it.
extern std::atomic<int32_t> meterShowsLevel;

// systemTickCount at the last automatic application-list refresh; 0 at
// launch. Guarded, with the rest of the frame clock's state, by its lock.
int64_t lastAppListRefresh();

// The display link's output callback: one tick, timed by the refresh it
// stands for (outputTime); the other arguments are ignored. Returns 0. Start
// it with platform::startDisplayLink(displayLinkCallback, nullptr).
int32_t displayLinkCallback(platform::DisplayLink* link, const platform::DisplayLinkTimeStamp* now,
                            const platform::DisplayLinkTimeStamp* outputTime, uint64_t flagsIn,
                            uint64_t* flagsOut, void* context);

// The capture step: captures the chosen source into theCaptureBuffer (or
// blanks it in black-frame mode), and refreshes the application list
// automatically about once a second. Main thread only; skipped while a
// capture step runs or in output mode 1. While no receiver is connected it
// captures nothing and only refreshes the list. The step a due tick queues
// also submits its picture (the last one, when the capture fails), so every
// frame sent, black or captured, keeps the chosen rate. The tick queues a
// step only when none is waiting to run, so a main thread slower than the
// display never gathers a backlog of steps; a frame that falls due while one
// waits is the last picture again, submitted by the tick.
void updateNDIOutput();

// The capture step without the busy flag and without the mode-1 skip.
// Returns 0. Main thread only.
int32_t updateNDIOutputUnguarded();

// What a tick and a capture step reach outside the frame clock. The
// application installs hooks that reach its main window; tests pass their own
// to frameClockTick and captureStep to watch the requests.
struct FrameClockHooks {
    // Queue work to the main thread, in order, without waiting.
    std::function<void(std::function<void()>)> perform;
    // Hand pixels with a pixel tag to the frame mailbox (submitFrame).
    std::function<void(uint8_t* pixels, uint32_t tag)> submit;
    // Capture the chosen source into the buffer (getTheBitmap); false when
    // nothing was captured.
    std::function<bool(uint8_t* buffer)> capture;
    std::function<void()> loadApplicationMenu;
    std::function<void()> updateMetering;
    std::function<void()> updateChannelCount;
    std::function<void()> pleaseInitCropWindow;
    // The system tick counter (sixtieths of a second).
    std::function<uint32_t()> tickCount;
    // Whether the stream has anyone to go to (anyReceiverConnected); while it
    // has not, no capture is made and nothing submitted. Unset: always.
    std::function<bool()> anyoneReceiving;
    // The chosen screen's size in pixels, even, which black frames take while
    // no capture has given a size; false when there is none. Unset: none.
    std::function<bool(int32_t& width, int32_t& height)> screenSize;
};
// The hooks the display link and updateNDIOutput use.
const FrameClockHooks& appFrameClockHooks();
// Hooks that reach the main thread, the mailbox and the crop window, with
// the main window's part (capture, menu, meter, channel count) left undone.
FrameClockHooks baseFrameClockHooks();
// Replaces the hooks; call on the main thread before the display link starts.
void installFrameClockHooks(FrameClockHooks hooks);

// One tick at refreshTime (CLOCK_MONOTONIC nanoseconds) and one capture step
// through the given hooks; guarded is false for updateNDIOutputUnguarded. A
// tick asks for a capture or submits only when a frame is due at the rate
// frameRateCode announces; its other requests go out on every tick. A step
// run this way serves no tick and submits nothing.
void frameClockTick(const FrameClockHooks& hooks, uint64_t refreshTime);
void captureStep(const FrameClockHooks& hooks, bool guarded);

// Back to the state of launch: no step waiting, no frame due yet, no
// automatic list refresh yet, no picture (theCaptureBuffer null). The
// capture blocks stay, as they always do. For tests that run the clock more
// than once in a process.
void resetFrameClock();
