#include "capture/source_capture.h"

#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "capture/app_list.h"
#include "capture/compositor.h"
#include "capture/cursor_overlay.h"
#include "common/globals.h"
#include "settings/prefs.h"

FrameRect applySizeRule(FrameRect rect, int32_t scalingMode) {
    if (scalingMode == 1) {
        rect.width = 1920;
        rect.height = 1080;
    } else if (scalingMode == 2) {
        rect.width = 1280;
        rect.height = 720;
    }
    return rect;
}

uint8_t* allocateCaptureBuffer() {
    return windowServer().allocateSharedPixels(static_cast<size_t>(kMaxFrameBytes));
}

namespace {

// What one capture asks of the window server.
struct CaptureRequest {
    FrameRect rect;  // top-left coordinates
    CaptureFilter filter = CaptureFilter::allWindows;
    uint32_t windowNumber = 0;
    bool cursor = false;
    std::array<uint32_t, 2> leftOut = {};  // for withoutWindows: the program's own windows
};

// Bottom-left frame to top-left rectangle, against the main screen's height
// taken at start-up.
FrameRect topLeftRect(const FrameRect& frame) {
    return {frame.x, mainScreenHeight - (frame.y + frame.height), frame.width, frame.height};
}

// The frontmost listed window, but in a full-screen space the last of the
// windows with the greatest layer: the full-screen one stands above the
// application's others.
int32_t chooseWindow(const AppRecord& app) {
    int32_t k = 0;
    if (fullScreenSpaceActive == 0 || app.windowCount < 2) return k;
    int32_t highest = 0;
    for (int32_t i = 0; i < app.windowCount; ++i) {
        if (app.windows[i].layer >= highest) {
            k = i;
            highest = app.windows[i].layer;
        }
    }
    return k;
}

bool applicationWindowRequest(CaptureRequest& request) {
    const int32_t which = thePrefs.whichApp;
    if (theAppList == nullptr || which < 0 || which >= theAppCount) return false;
    const WindowRecord& window = theAppList[which].windows[chooseWindow(theAppList[which])];
    request = {applySizeRule(window.bounds, thePrefs.scalingMode), CaptureFilter::includingWindow,
               window.windowNumber, false};
    return true;
}

FrameRect cropRectangle(CaptureSurroundings& surroundings) {
    FrameRect frame = surroundings.cropWindowMoving() ? surroundings.getCurrentFrameDuringMove()
                                                      : surroundings.cropWindowFrame();
    return applySizeRule(topLeftRect(frame), thePrefs.scalingMode);
}

FrameRect screenRectangle(const ScreenInfo& screen, int32_t which) {
    FrameRect rect = topLeftRect(screen.frame);
    // The first screen holds the origin of both spaces.
    if (which == 0) rect.y = screen.frame.y;
    return applySizeRule(rect, thePrefs.scalingMode);
}

// The crop rectangle or a screen as the user sees it, but without the
// program's own windows (the main window, the tinted crop window) wherever
// they stand: windows the user put in front of them stay in the picture. A
// screen with the cursor has every window, the main window included.
bool screenRequest(CaptureSurroundings& surroundings, CaptureRequest& request) {
    const int32_t which = thePrefs.whichScreen;
    const std::vector<ScreenInfo> screens = windowServer().screens();
    if (which < 0 || static_cast<size_t>(which) >= screens.size()) return false;
    const uint32_t mainWindow = surroundings.mainWindowNumber();
    const uint32_t cropWindow = surroundings.cropWindowNumber();
    if (thePrefs.cropWindow != 0) {
        request = {cropRectangle(surroundings),
                   CaptureFilter::withoutWindows,
                   cropWindow,
                   false,
                   {cropWindow, mainWindow}};
    } else if (thePrefs.showMouse != 0) {
        request = {screenRectangle(screens[which], which), CaptureFilter::allWindows, mainWindow,
                   true};
    } else {
        request = {screenRectangle(screens[which], which),
                   CaptureFilter::withoutWindows,
                   mainWindow,
                   false,
                   {mainWindow, cropWindow}};
    }
    return true;
}

bool takePicture(const CaptureRequest& request, uint8_t* buffer, CapturedImage& image) {
    const auto capacity = static_cast<size_t>(kMaxFrameBytes);
    if (request.filter == CaptureFilter::withoutWindows)
        return windowServer().captureImageWithout(request.rect, request.leftOut, buffer, capacity,
                                                  image);
    return windowServer().captureImageInto(request.rect, request.filter, request.windowNumber,
                                           buffer, capacity, image);
}

// The frame mailbox drops larger pictures, so they are not taken at all.
bool fitsTheMailbox(double width, double height) {
    if (width <= kMaxFrameWidth && height <= kMaxFrameHeight) return true;
    static std::atomic<bool> reported{false};
    if (!reported.exchange(true)) {
        printf(
            "capture: a %.0f x %.0f picture is larger than the %d x %d the sender takes; not "
            "captured\n",
            std::ceil(width), std::ceil(height), kMaxFrameWidth, kMaxFrameHeight);
    }
    return false;
}

// The encoder takes even widths only. The right edge moves in by a pixel
// when the rectangle covers an odd number of them, so the window server
// makes an even picture and no row has to be moved to close up the rows.
FrameRect withEvenPixelWidth(FrameRect rect) {
    const double left = std::floor(rect.x), right = std::ceil(rect.x + rect.width);
    if (std::fmod(right - left, 2.0) != 0.0) rect.width = right - 1.0 - rect.x;
    return rect;
}

// Only a window server that pads rows to an odd stride of its own gives one
// here; the picture is refused rather than moved.
bool evenStride(int32_t width) {
    if (width % 2 == 0) return true;
    static std::atomic<bool> reported{false};
    if (!reported.exchange(true))
        printf("capture: the window server gave rows of %d pixels, an odd number; not captured\n",
               width);
    return false;
}

// The picture's bytes as they are (unless the window server wrote them into
// the buffer already), then its size: the stride in pixels and the row
// count made even.
bool takeIntoBuffer(const CapturedImage& image, uint8_t* buffer, int32_t& width, int32_t& height) {
    if (image.bytesPerRow <= 4 || !image.pixels) return false;
    if (image.byteLength > static_cast<size_t>(kMaxFrameBytes)) return false;
    width = image.bytesPerRow / 4;
    height = static_cast<int32_t>(image.byteLength / (static_cast<size_t>(width) * 4));
    if (!fitsTheMailbox(width, height) || !evenStride(width)) return false;
    if (image.pixels.get() != buffer) {
        memcpy(buffer, image.pixels.get(), image.byteLength);
        captureBufferOverwritten(buffer);
    }
    if (height % 2 != 0) height -= 1;
    return true;
}

// The cursor is drawn on the picture in place: its rows must be whole.
bool canTakeTheCursor(const CapturedImage& image) {
    return image.width > 0 && image.height > 0 && image.bytesPerRow >= image.width * 4 &&
           image.byteLength >=
               static_cast<size_t>(image.bytesPerRow) * static_cast<size_t>(image.height);
}

}  // namespace

void captureBufferOverwritten(const uint8_t* buffer) { windowServer().sharedPixelsChanged(buffer); }

bool getTheBitmap(uint8_t* buffer, CaptureSurroundings& surroundings) {
    CaptureRequest request;
    bool asked = false;
    switch (thePrefs.screenOrAppMode) {
        case 1:
            asked = applicationWindowRequest(request);
            break;
        case 0:
            asked = screenRequest(surroundings, request);
            break;
        default:
            return false;
    }
    if (!asked || !fitsTheMailbox(request.rect.width, request.rect.height)) return false;
    request.rect = withEvenPixelWidth(request.rect);
    CapturedImage image;
    if (!takePicture(request, buffer, image)) return false;
    int32_t width = 0, height = 0;
    if (request.cursor && !canTakeTheCursor(image)) return false;
    if (!takeIntoBuffer(image, buffer, width, height)) return false;
    if (request.cursor) {
        const FrameRect& r = request.rect;
        drawMouseCursor({buffer, image.width, image.height, image.bytesPerRow},
                        {r.x, mainScreenHeight - (r.y + r.height)});
        captureBufferOverwritten(buffer);
    }
    captureWidth = width;
    captureHeight = height;
    return true;
}
