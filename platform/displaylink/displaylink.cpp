#include "platform/displaylink/displaylink.h"

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

#include "common/diagnostics.h"
#include "platform/clock/clock.h"
#include "platform/windowserver/window_server.h"

namespace platform {

struct DisplayLink {
    DisplayLinkOutputCallback callback;
    void* context;
    uint64_t period;
};

namespace {

constexpr double kDefaultRate = 60.0;

// The link is made once and kept until the process ends; its thread holds the
// only other pointer to it.
std::atomic<DisplayLink*> theDisplayLink{nullptr};

void sleepUntil(uint64_t deadline) {
    timespec ts{};
    ts.tv_sec = time_t(deadline / 1'000'000'000u);
    ts.tv_nsec = long(deadline % 1'000'000'000u);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// What the tick's work throws (memory or a thread it cannot get) costs that
// tick only; the next one tries again.
void tick(DisplayLink* link, DisplayLinkTimeStamp now, DisplayLinkTimeStamp output) {
    static RepeatedLine tickFailed;
    uint64_t flagsOut = 0;
    try {
        link->callback(link, &now, &output, 0, &flagsOut, link->context);
        tickFailed.ended();
    } catch (const std::exception& error) {
        tickFailed.write("displaylink: the tick failed: %s", error.what());
    }
}

// Deadlines stay on one grid from the start; refreshes that a slow callback
// or a stalled thread missed are skipped, not made up for in a burst.
void* runDisplayLink(void* argument) {
    auto* link = static_cast<DisplayLink*>(argument);
    uint64_t deadline = hostTicks() + link->period;
    for (;;) {
        sleepUntil(deadline);
        DisplayLinkTimeStamp now{hostTicks(), link->period};
        DisplayLinkTimeStamp output{deadline, link->period};
        tick(link, now, output);
        deadline += link->period;
        uint64_t after = hostTicks();
        if (after >= deadline) deadline += ((after - deadline) / link->period + 1) * link->period;
    }
}

}  // namespace

uint64_t refreshPeriodNs(double rate) {
    if (!(rate >= 1.0 && rate <= 1000.0)) rate = kDefaultRate;
    return uint64_t(1e9 / rate + 0.5);
}

double displayRefreshRate() {
    const double rate = windowServer().refreshRate();
    return (rate >= 1.0 && rate <= 1000.0) ? rate : kDefaultRate;
}

int32_t startDisplayLink(DisplayLinkOutputCallback callback, void* context) {
    if (callback == nullptr) {
        fprintf(stderr, "startDisplayLink: no callback\n");
        return -1;
    }
    auto* link =
        new (std::nothrow) DisplayLink{callback, context, refreshPeriodNs(displayRefreshRate())};
    if (link == nullptr) {
        fprintf(stderr, "startDisplayLink: out of memory\n");
        return -1;
    }
    DisplayLink* none = nullptr;
    if (!theDisplayLink.compare_exchange_strong(none, link)) {
        delete link;
        fprintf(stderr, "startDisplayLink: the display link is already running\n");
        return -1;
    }
    pthread_t thread;
    int err = pthread_create(&thread, nullptr, runDisplayLink, link);
    if (err != 0) {
        theDisplayLink.store(nullptr);
        delete link;
        fprintf(stderr, "startDisplayLink: cannot start its thread (error %d)\n", err);
        return -1;
    }
    pthread_setname_np(thread, "displaylink");
    pthread_detach(thread);
    return 0;
}

}  // namespace platform
