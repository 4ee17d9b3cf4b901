#include "engine/video_send.h"

#include "platform/clock/clock.h"

TimebaseInfo timebaseInfo;

uint64_t currentTime100ns() {
    const uint64_t ticks = platform::hostTicks();
    if (timebaseInfo.denom.load(std::memory_order_acquire) == 0) {
        const platform::HostTimebase base = platform::hostTimebase();
        timebaseInfo.numer.store(base.numer, std::memory_order_relaxed);
        timebaseInfo.denom.store(base.denom, std::memory_order_release);
    }
    const uint64_t denom = timebaseInfo.denom.load(std::memory_order_acquire);
    const uint64_t numer = timebaseInfo.numer.load(std::memory_order_relaxed);
    return ticks * numer / (denom * 100);
}

int32_t sendVideoToNDI(const uint8_t*, int32_t, int32_t, uint32_t, int32_t, int32_t, int32_t) {
    return 0;
}
