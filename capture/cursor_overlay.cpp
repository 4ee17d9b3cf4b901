#include "capture/cursor_overlay.h"

#include <QImage>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "capture/cursor_png.h"
#include "common/globals.h"
#include "settings/prefs.h"

OverlayPicture overlay;
const CursorImage* thisPointer = nullptr;
FramePoint hotSpot;

int loadCursorPicture() {
    hotSpot = {1.0, 3.0};
    QImage png = QImage::fromData(kCursorPng, static_cast<int>(kCursorPngSize), "PNG");
    if (png.isNull()) {
        printf("cannot decode the cursor picture mac-osx-arrow-cursor.png\n");
        return -1;
    }
    // Premultiplied 32-bit ARGB is B, G, R, A in memory on this machine.
    QImage argb = png.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    CursorImage& image = overlay.image;
    image.width = argb.width();
    image.height = argb.height();
    image.pixels.resize(static_cast<size_t>(image.width) * static_cast<size_t>(image.height) * 4);
    for (int row = 0; row < image.height; ++row) {
        memcpy(image.pixels.data() + static_cast<size_t>(row) * image.width * 4,
               argb.constScanLine(row), static_cast<size_t>(image.width) * 4);
    }
    overlay.width = image.width;  // one pixel per point
    overlay.height = image.height;
    thisPointer = &overlay.image;
    return 0;
}

CursorPlacement cursorPlacement(FramePoint p, int32_t scale, double pictureWidth,
                                double pictureHeight, FramePoint hot) {
    const double s = scale;
    return {std::trunc(std::trunc(p.x) - s * hot.x),
            std::trunc(std::trunc(p.y) - s * (pictureHeight - hot.y)),
            static_cast<double>(scale * static_cast<int32_t>(std::trunc(pictureWidth))),
            static_cast<double>(scale * static_cast<int32_t>(std::trunc(pictureHeight)))};
}

namespace {

// The capture's pixels in a new block of the same layout: the surface the
// cursor is drawn on. False when the layout cannot hold the picture.
bool copyCapture(const CapturedImage& capture, CapturedImage& copy) {
    if (!capture.pixels || capture.width <= 0 || capture.height <= 0 ||
        capture.bytesPerRow < capture.width * 4) {
        return false;
    }
    const size_t bytes =
        static_cast<size_t>(capture.bytesPerRow) * static_cast<size_t>(capture.height);
    if (capture.byteLength < bytes) return false;
    auto* pixels = static_cast<uint8_t*>(malloc(bytes));
    if (pixels == nullptr) return false;
    memcpy(pixels, capture.pixels.get(), bytes);
    copy = capture;
    copy.pixels = std::shared_ptr<const uint8_t>(
        pixels, [](const uint8_t* p) { free(const_cast<uint8_t*>(p)); });
    copy.byteLength = bytes;
    return true;
}

BgraSurface surfaceOf(CapturedImage& copy) {
    return {const_cast<uint8_t*>(copy.pixels.get()), copy.width, copy.height, copy.bytesPerRow};
}

// Draws picture with its bottom-up placement over the surface.
void drawCursor(BgraSurface surface, const CursorImage& picture, const CursorPlacement& at) {
    const int64_t top =
        static_cast<int64_t>(surface.height) - static_cast<int64_t>(at.y + at.height);
    drawPictureOver(surface, picture, static_cast<int64_t>(at.x), top,
                    static_cast<int64_t>(at.width), static_cast<int64_t>(at.height));
}

// The mouse position inside the captured picture, bottom-up: measured from
// the captured rectangle's lower-left corner, not from the first screen's.
FramePoint mouseInCapture(FramePoint captureOrigin) {
    FramePoint mouse = windowServer().mouseLocation();
    return {mouse.x - captureOrigin.x, mouse.y - captureOrigin.y};
}

}  // namespace

void drawMouseCursor(BgraSurface surface, FramePoint captureOrigin) {
    const int32_t scale = thePrefs.bigMouse != 0 ? 4 : 1;
    // The window server gives the position in the picture's own pixels, also
    // on a high-density screen, so it is not doubled there: doubling put the
    // cursor at twice its place, or off the picture.
    const FramePoint p = mouseInCapture(captureOrigin);
    if (thisPointer == nullptr) return;
    drawCursor(surface, *thisPointer,
               cursorPlacement(p, scale, overlay.width, overlay.height, hotSpot));
}

bool appendMouseCursor(const CapturedImage& capture, FramePoint captureOrigin,
                       CapturedImage& result) {
    if (!copyCapture(capture, result)) return false;
    drawMouseCursor(surfaceOf(result), captureOrigin);
    return true;
}

bool appendMouseCursor2(const CapturedImage& capture, FramePoint captureOrigin,
                        CapturedImage& result) {
    const int32_t scale = thePrefs.bigMouse != 0 ? 4 : 1;
    const FramePoint p = mouseInCapture(captureOrigin);
    CursorImage picture;
    FramePoint hot;
    const bool shown = windowServer().currentCursor(picture, hot);
    if (!copyCapture(capture, result)) return false;
    if (!shown) return true;
    // This variant goes through 32-bit integers throughout.
    const int32_t s = scale;
    const int32_t x = static_cast<int32_t>(static_cast<int32_t>(p.x) - s * hot.x);
    const int32_t y =
        static_cast<int32_t>(static_cast<int32_t>(p.y) + s * hot.y - s * picture.height);
    drawCursor(surfaceOf(result), picture,
               {static_cast<double>(x), static_cast<double>(y),
                static_cast<double>(s * picture.width), static_cast<double>(s * picture.height)});
    return true;
}
