// The wall clock (time since the Unix epoch), the one source of every
// millisecond and microsecond stamp the subsystems print or compare.
#pragma once

#include <cstdint>
#include <ctime>

inline int64_t wallClockMicroseconds() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000;
}

// Microseconds truncated, as the stamps have always been.
inline int64_t wallClockMilliseconds() { return wallClockMicroseconds() / 1000; }
