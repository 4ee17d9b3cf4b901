// The host clocks the design relies on, on CLOCK_MONOTONIC.
#pragma once

#include <cstdint>

namespace platform {

// Host clock in ticks; one tick is one nanosecond here.
uint64_t hostTicks();

// Ticks-to-nanoseconds ratio of hostTicks (1/1 here).
struct HostTimebase {
    uint32_t numer;
    uint32_t denom;
};
HostTimebase hostTimebase();

// The system tick counter: sixtieths of a second since the clock's start,
// wrapping as an unsigned 32-bit count.
uint32_t systemTickCount();

}  // namespace platform
