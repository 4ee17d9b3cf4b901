// The list of capturable applications and their on-screen windows, behind
// the main window's application menu.
#pragma once

#include <cstdint>

#include "platform/windowserver/window_server.h"

inline constexpr int32_t kMaxApps = 50;
inline constexpr int32_t kMaxAppWindows = 50;
inline constexpr int kAppNameSize = 256;  // 255 bytes of UTF-8 and a NUL

struct WindowRecord {
    char windowName[kAppNameSize];  // "UNKNOWN" when the window has no title
    FrameRect bounds;               // top-left coordinates
    int32_t layer;                  // 0 or more
    uint32_t windowNumber;
};

struct AppRecord {
    char ownerName[kAppNameSize];
    int32_t pid;
    int32_t windowCount;  // 1 to 50 in a returned list
    WindowRecord windows[kMaxAppWindows];
};

// The list the main window keeps and shows: replaced whole at each rebuild
// (the previous array released with free), null before the first. Main
// thread only.
extern AppRecord* theAppList;
extern int32_t theAppCount;

// Work table of one build: kMaxApps records, made by the first build and
// kept for the life of the process.
extern AppRecord* appScratch;
extern int32_t appScratchCount;

// Builds a fresh list from the window server: a zero-filled array owned by
// the caller (release it with free) whose first *outCount records are
// filled. Main thread only.
AppRecord* getApplicationWindowList(int32_t* outCount);

// Index of the appScratch record with that process id, -1 when none.
int32_t findApplicationByPID(int32_t pid);
