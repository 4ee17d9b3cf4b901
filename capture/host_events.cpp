#include "capture/host_events.h"

#include <unistd.h>

#include <climits>

#include "common/bounded_text.h"
#include "common/wall_clock.h"
#include "platform/windowserver/window_server.h"

float lastMouseX = 0.0f;
float lastMouseY = 0.0f;

namespace {

// The synthetic area, whatever the real screens are.
constexpr float kMouseAreaWidth = 1920.0f;
constexpr float kMouseAreaHeight = 1200.0f;

}  // namespace

int64_t getTimeInMilliseconds() { return wallClockMilliseconds(); }

void getLocalHostName(char* buffer, size_t size) {
    if (size == 0) return;
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0) name[0] = '\0';
    copyBoundedUtf8(buffer, size, name);
}

void postMouseMoveEvent(float x, float y) {
    lastMouseX = x * kMouseAreaWidth;
    lastMouseY = y * kMouseAreaHeight;
    windowServer().postPointerMove(lastMouseX, lastMouseY);
}

void postMouseButtonEvent(int32_t button, int32_t down) {
    // X numbers the buttons left 1, middle 2, right 3.
    static constexpr int kXButton[] = {1, 3, 2};
    if (button < 0 || button > 2) return;
    // X presses where the pointer is, which a real mouse may have moved
    // since: put it back at the last synthetic position first.
    windowServer().postPointerMove(lastMouseX, lastMouseY);
    windowServer().postPointerButton(kXButton[button], down != 0);
}
