#include "app/update_check.h"

#include <curl/curl.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "common/diagnostics.h"
#include "platform/desktop/main_thread.h"
#include "platform/desktop/notifications.h"

namespace {

constexpr const char* kVersionFilePath = "/ndi/nditabrivoversion.txt";
constexpr const char* kUserAgent = "libcurl-agent/1.0";
// The check runs beside everything else; these only free its thread from a
// dead server in the end.
constexpr long kConnectTimeoutSeconds = 5;
constexpr long kTransferTimeoutSeconds = 10;

// The number at the start of text the way atof reads it, but independent of
// the process's locale: the application's toolkit adopts the user's locale,
// in which "2.5" could otherwise read as 2. Empty when there is no number (an
// error page, garbage) or when it is not finite as a float ("inf", "nan",
// "1e39"): no version can be compared with it.
std::optional<float> leadingDecimal(const char* text) {
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    if (*p == '+') ++p;
    double value = 0.0;
    const auto result = std::from_chars(p, p + std::strlen(p), value, std::chars_format::general);
    if (result.ec != std::errc()) return std::nullopt;
    const float version = static_cast<float>(value);
    if (!std::isfinite(version)) return std::nullopt;
    return version;
}

// "%f" in the C locale, whatever locale the process runs in.
void printLatestVersion(float version) {
    char digits[64];
    const auto result =
        std::to_chars(digits, digits + sizeof digits - 1, version, std::chars_format::fixed, 6);
    *result.ptr = '\0';
    std::printf("Latest Version is %s\n", digits);
}

void startResponse(ResponseBuffer* response) {
    response->data = static_cast<char*>(std::malloc(1));
    response->size = 0;
}

// How a request ended: whether the whole response arrived, and its HTTP
// status (0 when none was received).
struct RequestOutcome {
    bool completed = false;
    long status = 0;
};

void setRequestOptions(CURL* curl, const char* url, const char* postText,
                       ResponseBuffer* response) {
    curl_easy_setopt(curl, CURLOPT_URL, url);
    if (postText != nullptr) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, postText);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(std::strlen(postText)));
    }
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeMemoryCallback);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, static_cast<void*>(response));
    curl_easy_setopt(curl, CURLOPT_USERAGENT, kUserAgent);
    // Signals are no way to time out in a threaded program; the URL's host can
    // come from the environment, so nothing beyond the web's own schemes.
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, kTransferTimeoutSeconds);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
}

// One request; the body lands in response.
RequestOutcome performRequest(const char* url, const char* postText, ResponseBuffer* response) {
    RequestOutcome outcome;
    curl_global_init(CURL_GLOBAL_ALL);
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
        diagnosticLine("curl_easy_init() failed");
        curl_global_cleanup();
        return outcome;
    }
    setRequestOptions(curl, url, postText, response);
    const CURLcode result = curl_easy_perform(curl);
    if (result != CURLE_OK)
        diagnosticLine("curl_easy_perform() failed: %s", curl_easy_strerror(result));
    outcome.completed = result == CURLE_OK;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &outcome.status);
    curl_easy_cleanup(curl);
    curl_global_cleanup();
    return outcome;
}

char* getBody(const char* url, uint32_t* outSize, RequestOutcome* outcome) {
    ResponseBuffer response;
    startResponse(&response);
    *outSize = 0;
    if (response.data == nullptr) return nullptr;
    *outcome = performRequest(url, nullptr, &response);
    *outSize = static_cast<uint32_t>(response.size);
    return response.data;
}

bool notifyOnDesktop(const char* title, const char* body) {
    return postDesktopNotification(title, body);
}

// Set but empty, the host turns the check off: nothing is asked of any host.
bool updateCheckTurnedOff() {
    const char* host = std::getenv("NDITABRIVO_UPDATE_HOST");
    return host != nullptr && host[0] == '\0';
}

void reportUpdateCheckOff() {
    std::printf("Update check off: NDITABRIVO_UPDATE_HOST is empty\n");
    std::fflush(stdout);
}

}  // namespace

size_t writeMemoryCallback(void* data, size_t size, size_t nmemb, void* userp) {
    auto* response = static_cast<ResponseBuffer*>(userp);
    size_t n = 0;
    if (__builtin_mul_overflow(size, nmemb, &n) || response->data == nullptr) return 0;
    const uint64_t kept = std::min<uint64_t>(n, kMaxResponseBytes - response->size);
    if (kept == 0) return n;
    char* grown = static_cast<char*>(std::realloc(response->data, response->size + kept + 1));
    if (grown == nullptr) {
        std::printf("not enough memory (realloc returned NULL)\n");
        std::free(response->data);
        response->data = nullptr;
        response->size = 0;  // nothing is held any more, so nothing may be copied
        return 0;
    }
    response->data = grown;
    std::memcpy(response->data + response->size, data, kept);
    response->size += kept;
    response->data[response->size] = '\0';
    return n;
}

char* httpGetToMemory(const char* url, uint32_t* outSize) {
    RequestOutcome outcome;
    return getBody(url, outSize, &outcome);
}

char* httpGetCompletedBody(const char* url, uint32_t* outSize) {
    RequestOutcome outcome;
    char* body = getBody(url, outSize, &outcome);
    if (outcome.completed && outcome.status >= 200 && outcome.status <= 299) return body;
    // An error page or a cut transfer is no version, whatever it begins with;
    // a transfer that failed was reported by the request itself.
    if (outcome.completed) diagnosticLine("update check: HTTP status %ld", outcome.status);
    std::free(body);
    *outSize = 0;
    return nullptr;
}

int httpPostToMemory(const char* url, const char* postText, uint32_t* outSize, char** outBuffer) {
    ResponseBuffer response;
    startResponse(&response);
    *outSize = 0;
    *outBuffer = nullptr;
    if (response.data == nullptr) return 0;
    (void)performRequest(url, postText, &response);
    if (response.size > 0) {
        *outBuffer = static_cast<char*>(std::malloc(response.size));
        if (*outBuffer != nullptr) {
            std::memcpy(*outBuffer, response.data, response.size);
            *outSize = static_cast<uint32_t>(response.size);
        }
    }
    std::free(response.data);
    return 0;
}

std::string versionFileUrl() {
    const char* host = std::getenv("NDITABRIVO_UPDATE_HOST");
    if (host == nullptr || host[0] == '\0') host = NDITABRIVO_WEB_HOST;
    return std::string("http://") + host + kVersionFilePath;
}

float getLatestVersion() {
    if (updateCheckTurnedOff()) {
        reportUpdateCheckOff();
        return 0.0f;
    }
    uint32_t size = 0;
    std::unique_ptr<char, decltype(&std::free)> body(
        httpGetCompletedBody(versionFileUrl().c_str(), &size), &std::free);
    if (body != nullptr && static_cast<int32_t>(size) >= 1) {
        if (const std::optional<float> version = leadingDecimal(body.get())) {
            printLatestVersion(*version);
            std::fflush(stdout);
            return *version;
        }
    }
    std::printf("Latest Version data not available\n");
    std::fflush(stdout);
    return 0.0f;
}

bool versionControl(const char* runningVersion, const UpdateNotifier& notify) {
    const float latest = getLatestVersion();
    if (latest == 0.0f) return false;
    if (runningVersion == nullptr || runningVersion[0] == '\0') return false;
    const float running = leadingDecimal(runningVersion).value_or(0.0f);
    if (!(latest > running)) return false;
    notify(kUpdateTitle, kUpdateBody);
    return true;
}

void versionControl(std::function<void()> whenDone) {
    if (updateCheckTurnedOff()) {
        reportUpdateCheckOff();
        if (whenDone) platform::performOnMainThread(std::move(whenDone));
        return;
    }
    try {
        std::thread([whenDone = std::move(whenDone)]() mutable {
            try {
                const bool newer = versionControl(NDITABRIVO_VERSION,
                                                  [](const char*, const char*) { return true; });
                platform::performOnMainThread([newer, whenDone = std::move(whenDone)] {
                    if (newer) notifyOnDesktop(kUpdateTitle, kUpdateBody);
                    if (whenDone) whenDone();
                });
            } catch (const std::exception& error) {
                diagnosticLine("update check: %s", error.what());
            }
        }).detach();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "update check: no thread for the request: %s\n", error.what());
    }
}

bool shouldPresentNotification() { return true; }
