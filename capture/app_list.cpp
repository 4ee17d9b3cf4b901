#include "capture/app_list.h"

#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/bounded_text.h"

AppRecord* theAppList = nullptr;
int32_t theAppCount = 0;
AppRecord* appScratch = nullptr;
int32_t appScratchCount = 0;

namespace {

constexpr double kMinWindowHeight = 30.0;
// The program's own windows (main window, crop window) are never a source.
constexpr const char* kOwnName = "NDITabrivo";

bool makeScratch() {
    if (appScratch == nullptr) {
        appScratch = static_cast<AppRecord*>(calloc(kMaxApps, sizeof(AppRecord)));
    }
    return appScratch != nullptr;
}

// Only a visible window of a running application with a name can be chosen;
// any other entry leaves no trace in the list.
bool isCandidate(const WindowInfo& w) {
    return w.onScreen && w.ownerPid && w.ownerIsRunningApplication && w.ownerName;
}

// The record of the entry's process, a new one when there is none yet;
// null when the table is full.
AppRecord* recordFor(int32_t pid) {
    int32_t index = findApplicationByPID(pid);
    if (index >= 0) return &appScratch[index];
    if (appScratchCount == kMaxApps) return nullptr;
    AppRecord* record = &appScratch[appScratchCount++];
    record->windowCount = 0;
    return record;
}

bool isAccepted(const WindowInfo& w, const AppRecord& record, WindowRecord& slot) {
    if (!w.bounds) return false;
    slot.bounds = *w.bounds;
    if (slot.bounds.height < kMinWindowHeight) return false;
    if (strcasecmp(record.ownerName, kOwnName) == 0) return false;
    if (!w.layer) return false;
    slot.layer = *w.layer;
    if (slot.layer < 0) return false;
    if (!w.windowNumber) return false;
    slot.windowNumber = *w.windowNumber;
    return true;
}

void collect(const WindowInfo& w) {
    if (!isCandidate(w)) return;
    AppRecord* record = recordFor(*w.ownerPid);
    if (record == nullptr) return;
    record->pid = *w.ownerPid;
    if (record->windowCount == kMaxAppWindows) return;
    WindowRecord& slot = record->windows[record->windowCount];
    copyBoundedUtf8(slot.windowName, sizeof slot.windowName,
                    w.title ? w.title->c_str() : "UNKNOWN");
    copyBoundedUtf8(record->ownerName, sizeof record->ownerName, w.ownerName->c_str());
    if (isAccepted(w, *record, slot)) ++record->windowCount;
}

bool nameTaken(const AppRecord* result, int32_t count, const char* name) {
    for (int32_t i = 0; i < count; ++i) {
        if (strcmp(result[i].ownerName, name) == 0) return true;
    }
    return false;
}

// Second pass: processes without windows drop out, and a later process
// with an owner name already listed adds nothing.
int32_t gather(AppRecord* result) {
    int32_t count = 0;
    for (int32_t i = 0; i < appScratchCount; ++i) {
        const AppRecord& from = appScratch[i];
        if (from.windowCount == 0 || nameTaken(result, count, from.ownerName)) continue;
        AppRecord& to = result[count++];
        memcpy(to.ownerName, from.ownerName, sizeof to.ownerName);
        to.pid = from.pid;
        for (int32_t k = 0; k < from.windowCount; ++k)
            to.windows[to.windowCount++] = from.windows[k];
    }
    return count;
}

}  // namespace

int32_t findApplicationByPID(int32_t pid) {
    if (!makeScratch()) return -1;
    for (int32_t i = 0; i < appScratchCount; ++i) {
        if (appScratch[i].pid == pid) return i;
    }
    return -1;
}

AppRecord* getApplicationWindowList(int32_t* outCount) {
    *outCount = 0;
    if (!makeScratch()) return nullptr;
    std::fill_n(appScratch, kMaxApps, AppRecord{});
    appScratchCount = 0;
    std::vector<WindowInfo> windows;
    if (windowServer().listWindows(windows)) {
        for (const WindowInfo& w : windows) collect(w);
    }
    // At least one record's room, so an empty list is still an array.
    auto* result = static_cast<AppRecord*>(
        calloc(appScratchCount > 0 ? appScratchCount : 1, sizeof(AppRecord)));
    if (result == nullptr) return nullptr;
    *outCount = gather(result);
    return result;
}
