#include "platform/desktop/screens.h"

#include <QGuiApplication>
#include <QScreen>
#include <algorithm>
#include <atomic>
#include <cstdio>

namespace platform {

namespace {

// Written on the main thread, read on a producer thread: the factors first,
// then the count with release, so a reader that sees a count sees its factors.
std::atomic<float> cachedFactors[kMaxCachedScreens];
std::atomic<int32_t> cachedCount{-1};

}  // namespace

int32_t cacheScreenScaleFactors() {
    if (qGuiApp == nullptr) {
        printf("cacheScreenScaleFactors: no application object, screens not read\n");
        return -1;
    }
    float factors[kMaxCachedScreens] = {};
    int32_t count = 0;
    for (const QScreen* screen : QGuiApplication::screens()) {
        if (count == kMaxCachedScreens) break;
        factors[count++] = static_cast<float>(screen->devicePixelRatio());
    }
    setScreenScaleFactors(factors, count);
    return count;
}

void setScreenScaleFactors(const float* factors, int32_t count) {
    count = std::min(count, kMaxCachedScreens);
    for (int32_t i = 0; i < count; ++i)
        cachedFactors[i].store(factors[i], std::memory_order_relaxed);
    cachedCount.store(std::max(count, -1), std::memory_order_release);
}

int32_t copyScreenScaleFactors(float* out, int32_t capacity) {
    const int32_t count = cachedCount.load(std::memory_order_acquire);
    const int32_t copied = std::min(count, capacity);
    for (int32_t i = 0; i < copied; ++i) out[i] = cachedFactors[i].load(std::memory_order_relaxed);
    return count;
}

}  // namespace platform
