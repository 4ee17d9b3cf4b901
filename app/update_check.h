// The start-up check for a newer published version: one plain-HTTP GET of the
// version file through libcurl, and a desktop notification when the published
// version is higher than the running one. The request runs on a thread of its
// own, so that a server that is slow or never answers holds nothing up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// The body of one request as it arrives. data is NUL-terminated once anything
// has arrived, and null after an allocation failure.
struct ResponseBuffer {
    char* data;
    uint64_t size;
};

// Bytes of a response body that are kept; the rest is read and dropped. The
// version sits at the start of the body, so a runaway or hostile server cannot
// make the check hold more than this.
inline constexpr uint64_t kMaxResponseBytes = 64 * 1024;

// Shows a notification; the real one goes to the desktop's notification
// service. Returns false when it could not be handed on.
using UpdateNotifier = std::function<bool(const char* title, const char* body)>;

inline constexpr const char* kUpdateTitle = "Software Update Available!";
inline constexpr const char* kUpdateBody =
    "A new version of NDI Tabrivo is available.\nClick on the Corvel link for details";

// The whole check against the version built into the program, started on a
// thread of its own; returns at once. Its outcome reaches the main thread by a
// queued perform, which notifies on the desktop when a newer version is
// published and then calls whenDone, if given. With NDITABRIVO_UPDATE_HOST set
// but empty, the check is off: one line says so, no host is asked, and
// whenDone still comes by a queued perform.
void versionControl(std::function<void()> whenDone = {});
// The whole check against runningVersion (read from its leading decimal
// number, "2.1.3" counts as 2.1) on the calling thread; notify is called at
// most once. Returns true when it was called.
bool versionControl(const char* runningVersion, const UpdateNotifier& notify);

// A notification of this program is shown even while its window is in front.
bool shouldPresentNotification();

// The version file's URL: the maker's host, or NDITABRIVO_UPDATE_HOST (host or
// host:port) when set and not empty.
std::string versionFileUrl();

// The latest published version, or 0.0 when none could be read: only the body
// of a complete 2xx response counts, and only when it begins with a number
// that is finite as a float. Prints "Latest Version is %f" with a version
// read, else "Latest Version data not available"; with the check off (see
// versionControl) it asks no host and prints only that it is off.
float getLatestVersion();

// One GET of url. Returns the body, NUL-terminated, in an allocation the caller
// releases with free(), and its length in *outSize; null (and *outSize 0) when
// the receive buffer could not be allocated.
char* httpGetToMemory(const char* url, uint32_t* outSize);

// As httpGetToMemory, but the body only of a transfer that completed with a
// 2xx status; otherwise null and *outSize 0 (a status other than 2xx gets one
// line on standard error).
char* httpGetCompletedBody(const char* url, uint32_t* outSize);

// One POST of postText to url. Hands back the body without a NUL in a fresh
// allocation of exactly *outSize bytes (release with free()) through
// *outBuffer, or *outSize 0 and *outBuffer null when nothing was kept. Returns 0.
int httpPostToMemory(const char* url, const char* postText, uint32_t* outSize, char** outBuffer);

// libcurl's write function: appends size * nmemb bytes to the ResponseBuffer
// at userp. Returns the bytes taken, 0 when the buffer could not grow.
size_t writeMemoryCallback(void* data, size_t size, size_t nmemb, void* userp);
