#include "app/update_check.h"

void versionControl() {}
bool versionControl(const char*, const UpdateNotifier&) { return false; }
bool shouldPresentNotification() { return true; }
std::string versionFileUrl() { return {}; }
float getLatestVersion() { return 0.0f; }
char* httpGetToMemory(const char*, uint32_t* outSize) {
    *outSize = 0;
    return nullptr;
}
int httpPostToMemory(const char*, const char*, uint32_t* outSize, char** outBuffer) {
    *outSize = 0;
    *outBuffer = nullptr;
    return 0;
}
size_t writeMemoryCallback(void*, size_t, size_t, void*) { return 0; }
