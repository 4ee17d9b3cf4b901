#include "capture/source_capture.h"

#include <cstring>
#include <vector>

#include "settings/prefs.h"
#include "capture/app_list.h"
#include "capture/cursor_overlay.h"
#include "common/globals.h"

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

namespace {

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

bool captureApplicationWindow(CapturedImage& image) {
    const int32_t which = thePrefs.whichApp;
    if (theAppList == nullptr || which < 0 || which >= theAppCount) return false;
    const WindowRecord& window = theAppList[which].windows[chooseWindow(theAppList[which])];
    FrameRect rect = applySizeRule(window.bounds, thePrefs.scalingMode);
    return windowServer().captureImage(rect, CaptureFilter::includingWindow, window.windowNumber,
                                       image);
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

bool captureWithCursor(const FrameRect& rect, uint32_t mainWindow, CapturedImage& image) {
    CapturedImage screen;
    if (!windowServer().captureImage(rect, CaptureFilter::allWindows, mainWindow, screen))
        return false;
    const FramePoint lowerLeft{rect.x, mainScreenHeight - (rect.y + rect.height)};
    return appendMouseCursor(screen, lowerLeft, image);
}

bool captureScreen(CaptureSurroundings& surroundings, CapturedImage& image) {
    const int32_t which = thePrefs.whichScreen;
    const std::vector<ScreenInfo> screens = windowServer().screens();
    if (which < 0 || static_cast<size_t>(which) >= screens.size()) return false;
    const bool crop = thePrefs.cropWindow != 0;
    const FrameRect rect =
        crop ? cropRectangle(surroundings) : screenRectangle(screens[which], which);
    const uint32_t mainWindow = surroundings.mainWindowNumber();
    const uint32_t cropWindow = surroundings.cropWindowNumber();
    if (crop)
        return windowServer().captureImage(rect, CaptureFilter::onScreenBelowWindow, cropWindow,
                                           image);
    if (thePrefs.showMouse != 0) return captureWithCursor(rect, mainWindow, image);
    return windowServer().captureImage(rect, CaptureFilter::onScreenBelowWindow, mainWindow, image);
}

// The picture's bytes as they are, then its size: the stride in pixels and
// the row count made even.
void copyIntoBuffer(const CapturedImage& image, uint8_t* buffer) {
    if (image.bytesPerRow <= 4 || !image.pixels) return;
    if (image.byteLength > static_cast<size_t>(kMaxFrameBytes)) return;
    memcpy(buffer, image.pixels.get(), image.byteLength);
    const int32_t width = image.bytesPerRow / 4;
    int32_t height = static_cast<int32_t>(image.byteLength / (static_cast<size_t>(width) * 4));
    if (height % 2 != 0) height -= 1;
    captureWidth = width;
    captureHeight = height;
}

}  // namespace

void getTheBitmap(uint8_t* buffer, CaptureSurroundings& surroundings) {
    CapturedImage image;
    bool captured = false;
    switch (thePrefs.screenOrAppMode) {
        case 1:
            captured = captureApplicationWindow(image);
            break;
        case 0:
            captured = captureScreen(surroundings, image);
            break;
        default:
            return;
    }
    if (captured) copyIntoBuffer(image, buffer);
}
