// An in-memory window server for unit tests: screens, windows and the mouse
// are what the test puts in; captures are recorded and answered with a
// picture of the requested size.
#pragma once

#include <vector>

#include "platform/windowserver/window_server.h"

struct FakeCaptureRequest {
    FrameRect rect;
    CaptureFilter filter;
    uint32_t windowNumber;
    std::vector<uint32_t> leftOut = {};  // for withoutWindows
};

struct FakePointerEvent {
    bool move;    // false: a button event
    double x, y;  // for moves
    int xButton;  // for button events
    bool down;
};

class FakeWindowServer final : public WindowServer {
  public:
    std::vector<ScreenInfo> screenList;
    bool hasWindowList = true;
    std::vector<WindowInfo> windowList;
    // Captures answer with image when it holds pixels, else with a picture
    // of the rectangle's size filled with fillBgra; nothing when
    // captureFails.
    bool captureFails = false;
    CapturedImage image;
    uint32_t fillBgra = 0xFF336699;
    std::vector<FakeCaptureRequest> captures;
    FramePoint mouse;
    bool hasCursor = false;
    CursorImage cursor;
    FramePoint cursorHotSpot;
    std::vector<FakePointerEvent> pointerEvents;
    double refreshRateHz = 0.0;
    // What the space questions answer.
    bool onActiveSpace = true;
    bool otherFullScreen = false;

    ~FakeWindowServer() override;

    std::vector<ScreenInfo> screens() override { return screenList; }
    double mainScreenHeight() override;
    bool listWindows(std::vector<WindowInfo>& windows) override;
    bool captureImage(const FrameRect& rect, CaptureFilter filter, uint32_t windowNumber,
                      CapturedImage& result) override;
    bool captureImageWithout(const FrameRect& rect, std::span<const uint32_t> leftOut,
                             uint8_t* buffer, size_t capacity, CapturedImage& result) override;
    FramePoint mouseLocation() override { return mouse; }
    bool currentCursor(CursorImage& picture, FramePoint& hotSpot) override;
    void postPointerMove(double x, double y) override {
        pointerEvents.push_back({true, x, y, 0, false});
    }
    void postPointerButton(int xButton, bool down) override {
        pointerEvents.push_back({false, 0.0, 0.0, xButton, down});
    }
    double refreshRate() override { return refreshRateHz; }
    bool isOnActiveSpace(uint32_t) override { return onActiveSpace; }
    bool otherFullScreenActive(uint32_t) override { return otherFullScreen; }
    int watchSpaces() override;
    uint32_t takeSpaceNotices() override;
    // Plays a change of the desktop in front or of the active window: the
    // watch's descriptor becomes readable.
    void announceSpaceNotice(uint32_t notice);

  private:
    int spacePipe_[2] = {-1, -1};
    uint32_t pendingNotices_ = 0;
};

// Installs a fake for the life of a test and puts the previous server back.
class ScopedFakeWindowServer {
  public:
    ScopedFakeWindowServer() { setWindowServer(&fake); }
    ~ScopedFakeWindowServer() { setWindowServer(nullptr); }
    FakeWindowServer fake;
};
