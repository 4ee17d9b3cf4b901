// Without an X display the program runs on: no screens, no windows, and
// captures that fail quietly.
#include <gtest/gtest.h>

#include <cstdlib>

#include "capture/app_list.h"
#include "capture/source_capture.h"
#include "common/globals.h"
#include "platform/windowserver/window_server.h"
#include "settings/prefs.h"

namespace {

TEST(AbsentWindowServer, EverythingFailsQuietly) {
    setenv("DISPLAY", ":65000", 1);  // no server listens there
    WindowServer& server = windowServer();
    EXPECT_TRUE(server.screens().empty());
    EXPECT_EQ(server.mainScreenHeight(), 0.0);
    std::vector<WindowInfo> windows;
    EXPECT_FALSE(server.listWindows(windows));

    int32_t count = -1;
    AppRecord* list = getApplicationWindowList(&count);
    EXPECT_NE(list, nullptr);
    EXPECT_EQ(count, 0);
    free(list);

    resetPrefs();
    uint8_t buffer[16] = {7};
    captureWidth = 3;
    captureHeight = 4;
    NoOwnWindows surroundings;
    getTheBitmap(buffer, surroundings);
    EXPECT_EQ(captureWidth, 3);
    EXPECT_EQ(captureHeight, 4);
    EXPECT_EQ(buffer[0], 7);
}

}  // namespace
