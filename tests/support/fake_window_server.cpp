#include "tests/support/fake_window_server.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

double FakeWindowServer::mainScreenHeight() {
    return screenList.empty() ? 0.0 : screenList.front().frame.height;
}

bool FakeWindowServer::listWindows(std::vector<WindowInfo>& windows) {
    windows = hasWindowList ? windowList : std::vector<WindowInfo>{};
    return hasWindowList;
}

bool FakeWindowServer::captureImage(const FrameRect& rect, CaptureFilter filter,
                                    uint32_t windowNumber, CapturedImage& result) {
    captures.push_back({rect, filter, windowNumber});
    if (captureFails) return false;
    if (image.pixels) {
        result = image;
        return true;
    }
    int32_t width = static_cast<int32_t>(rect.width);
    int32_t height = static_cast<int32_t>(rect.height);
    if (width <= 0 || height <= 0) return false;
    size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    auto* pixels = static_cast<uint32_t*>(malloc(count * 4));
    if (pixels == nullptr) return false;
    for (size_t i = 0; i < count; ++i) pixels[i] = fillBgra;
    result.pixels =
        std::shared_ptr<const uint8_t>(reinterpret_cast<uint8_t*>(pixels),
                                       [](const uint8_t* p) { free(const_cast<uint8_t*>(p)); });
    result.width = width;
    result.height = height;
    result.bytesPerRow = width * 4;
    result.byteLength = count * 4;
    return true;
}

bool FakeWindowServer::captureImageWithout(const FrameRect& rect, std::span<const uint32_t> leftOut,
                                           uint8_t* buffer, size_t capacity,
                                           CapturedImage& result) {
    (void)buffer;
    (void)capacity;
    const bool taken = captureImage(rect, CaptureFilter::withoutWindows, 0, result);
    captures.back().leftOut.assign(leftOut.begin(), leftOut.end());
    return taken;
}

bool FakeWindowServer::currentCursor(CursorImage& picture, FramePoint& hotSpot) {
    if (!hasCursor) return false;
    picture = cursor;
    hotSpot = cursorHotSpot;
    return true;
}

FakeWindowServer::~FakeWindowServer() {
    for (int fd : spacePipe_)
        if (fd >= 0) close(fd);
}

int FakeWindowServer::watchSpaces() {
    if (spacePipe_[0] < 0 && pipe2(spacePipe_, O_NONBLOCK | O_CLOEXEC) != 0) return -1;
    return spacePipe_[0];
}

uint32_t FakeWindowServer::takeSpaceNotices() {
    char drained[64];
    while (spacePipe_[0] >= 0 && read(spacePipe_[0], drained, sizeof drained) > 0) {
    }
    const uint32_t notices = pendingNotices_;
    pendingNotices_ = 0;
    return notices;
}

void FakeWindowServer::announceSpaceNotice(uint32_t notice) {
    pendingNotices_ |= notice;
    if (watchSpaces() < 0) return;
    // A full pipe is readable already, which is all the watch needs.
    const ssize_t written = write(spacePipe_[1], "n", 1);
    (void)written;
}
