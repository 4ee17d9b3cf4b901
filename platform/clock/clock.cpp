#include "platform/clock/clock.h"

#include <time.h>

namespace platform {

uint64_t hostTicks() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1'000'000'000u + uint64_t(ts.tv_nsec);
}

HostTimebase hostTimebase() { return HostTimebase{1, 1}; }

uint32_t systemTickCount() { return uint32_t(hostTicks() * 60 / 1'000'000'000u); }

}  // namespace platform
