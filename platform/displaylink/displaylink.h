// The display link: one callback per refresh of the first screen, on a thread
// of its own, paced by absolute deadlines on CLOCK_MONOTONIC so that a late
// callback does not push every later refresh back.
#pragma once

#include <cstdint>

namespace platform {

struct DisplayLink;

// When a refresh happens: CLOCK_MONOTONIC nanoseconds (hostTicks) and the
// refresh period in the same unit.
struct DisplayLinkTimeStamp {
    uint64_t hostTime;
    uint64_t refreshPeriod;
};

// Called on the display link's thread once per refresh with the link, the
// time the callback actually runs, the deadline of the refresh it stands for,
// flags (0 in, ignored out) and the context given at start. Returns 0.
using DisplayLinkOutputCallback = int32_t (*)(DisplayLink* link, const DisplayLinkTimeStamp* now,
                                              const DisplayLinkTimeStamp* outputTime,
                                              uint64_t flagsIn, uint64_t* flagsOut, void* context);

// Starts the process's one display link at the refresh rate of the first
// screen (displayRefreshRate). It runs until the process ends. Returns 0, or
// -1 with a diagnostic line when a link was already started or its thread
// could not be made.
int32_t startDisplayLink(DisplayLinkOutputCallback callback, void* context);

// The refresh rate in Hz that the window server reports for the first screen;
// 60 when there is no display or no plausible rate.
double displayRefreshRate();

// Nanoseconds between refreshes at rate Hz; a rate outside 1..1000 Hz counts
// as 60.
uint64_t refreshPeriodNs(double rate);

}  // namespace platform
