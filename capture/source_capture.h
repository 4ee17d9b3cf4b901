// Takes one picture of the chosen source (a window of the chosen
// application, the crop rectangle or a whole screen, with the cursor when
// asked) into the capture buffer.
#pragma once

#include <cstdint>

#include "platform/windowserver/window_server.h"

// What the capture needs from the program's own windows. The crop window's
// controller and the main window provide it; tests fake it.
class CaptureSurroundings {
  public:
    virtual ~CaptureSurroundings() = default;
    // The crop window's frame, bottom-left coordinates.
    virtual FrameRect cropWindowFrame() = 0;
    virtual uint32_t cropWindowNumber() = 0;
    // True while the user drags the crop window; its frame then lags behind
    // the mouse, so the capture asks for the frame computed from the drag.
    virtual bool cropWindowMoving() = 0;
    virtual FrameRect getCurrentFrameDuringMove() = 0;
    virtual uint32_t mainWindowNumber() = 0;
};

// Surroundings of a program that shows no windows of its own (tools,
// tests): nothing is left out of a screen and there is no crop window.
class NoOwnWindows : public CaptureSurroundings {
  public:
    FrameRect cropWindowFrame() override { return {}; }
    uint32_t cropWindowNumber() override { return 0; }
    bool cropWindowMoving() override { return false; }
    FrameRect getCurrentFrameDuringMove() override { return {}; }
    uint32_t mainWindowNumber() override { return 0; }
};

// A block of kMaxFrameBytes bytes for the capture buffer, where the window
// server can write pictures straight into it; never released. Null when
// there is no memory.
uint8_t* allocateCaptureBuffer();
// Every write into a capture block other than a capture must be told (a
// black fill): the window server may otherwise copy only the parts of the
// screen that changed over what it holds of its last picture there.
void captureBufferOverwritten(const uint8_t* buffer);

// Captures the source the settings choose into buffer (kMaxFrameBytes
// bytes) and sets captureWidth and captureHeight, both made even (the width
// is the row stride in pixels). A picture larger than the frame mailbox
// takes (kMaxFrameWidth x kMaxFrameHeight) is not captured, with one line
// the first time. False when anything fails: both sizes stay as they were,
// but the buffer may hold part of a picture, so the last picture must be
// kept elsewhere. Main thread only.
bool getTheBitmap(uint8_t* buffer, CaptureSurroundings& surroundings);

// The rectangle the size rule leaves: scalingMode 1 takes a 1920 x 1080 area,
// 2 a 1280 x 720 area, from the same origin; anything else keeps the size.
FrameRect applySizeRule(FrameRect rect, int32_t scalingMode);
