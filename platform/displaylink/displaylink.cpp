#include "platform/displaylink/displaylink.h"

#include <pthread.h>
#include <time.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/clock/clock.h"

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

double rateOfMode(const xcb_randr_mode_info_t& mode) {
    double lines = mode.vtotal;
    if (mode.mode_flags & XCB_RANDR_MODE_FLAG_DOUBLE_SCAN) lines *= 2;
    if (mode.mode_flags & XCB_RANDR_MODE_FLAG_INTERLACE) lines /= 2;
    if (mode.htotal == 0 || lines <= 0) return 0.0;
    return double(mode.dot_clock) / (double(mode.htotal) * lines);
}

xcb_randr_mode_t modeOfCrtc(xcb_connection_t* c, xcb_randr_crtc_t crtc, xcb_timestamp_t stamp) {
    if (crtc == XCB_NONE) return XCB_NONE;
    auto* info = xcb_randr_get_crtc_info_reply(c, xcb_randr_get_crtc_info(c, crtc, stamp), nullptr);
    if (info == nullptr) return XCB_NONE;
    xcb_randr_mode_t mode = info->mode;
    free(info);
    return mode;
}

xcb_randr_crtc_t crtcOfPrimaryOutput(xcb_connection_t* c, xcb_window_t root,
                                     xcb_timestamp_t stamp) {
    auto* primary =
        xcb_randr_get_output_primary_reply(c, xcb_randr_get_output_primary(c, root), nullptr);
    if (primary == nullptr) return XCB_NONE;
    xcb_randr_output_t output = primary->output;
    free(primary);
    if (output == XCB_NONE) return XCB_NONE;
    auto* info =
        xcb_randr_get_output_info_reply(c, xcb_randr_get_output_info(c, output, stamp), nullptr);
    if (info == nullptr) return XCB_NONE;
    xcb_randr_crtc_t crtc = info->crtc;
    free(info);
    return crtc;
}

// The mode shown by the primary output, else by the first lit CRTC.
xcb_randr_mode_t firstScreenMode(xcb_connection_t* c, xcb_window_t root,
                                 const xcb_randr_get_screen_resources_current_reply_t* res) {
    xcb_randr_mode_t mode = modeOfCrtc(c, crtcOfPrimaryOutput(c, root, res->config_timestamp),
                                       res->config_timestamp);
    const xcb_randr_crtc_t* crtcs = xcb_randr_get_screen_resources_current_crtcs(res);
    int count = xcb_randr_get_screen_resources_current_crtcs_length(res);
    for (int i = 0; mode == XCB_NONE && i < count; ++i)
        mode = modeOfCrtc(c, crtcs[i], res->config_timestamp);
    return mode;
}

double rateFromResources(xcb_connection_t* c, xcb_window_t root) {
    auto* res = xcb_randr_get_screen_resources_current_reply(
        c, xcb_randr_get_screen_resources_current(c, root), nullptr);
    if (res == nullptr) return 0.0;
    double rate = 0.0;
    xcb_randr_mode_t wanted = firstScreenMode(c, root, res);
    const xcb_randr_mode_info_t* modes = xcb_randr_get_screen_resources_current_modes(res);
    int count = xcb_randr_get_screen_resources_current_modes_length(res);
    for (int i = 0; wanted != XCB_NONE && i < count; ++i)
        if (modes[i].id == wanted) rate = rateOfMode(modes[i]);
    free(res);
    return rate;
}

// The older, whole-screen answer, for servers whose modes carry no timings.
double rateFromScreenInfo(xcb_connection_t* c, xcb_window_t root) {
    auto* info = xcb_randr_get_screen_info_reply(c, xcb_randr_get_screen_info(c, root), nullptr);
    if (info == nullptr) return 0.0;
    double rate = info->rate;
    free(info);
    return rate;
}

double queryRate(xcb_connection_t* c, int screenNumber) {
    auto* version =
        xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr);
    if (version == nullptr) return 0.0;
    free(version);
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber && it.rem > 0; ++i) xcb_screen_next(&it);
    if (it.rem == 0) return 0.0;
    double rate = rateFromResources(c, it.data->root);
    if (rate < 1.0) rate = rateFromScreenInfo(c, it.data->root);
    return rate;
}

void sleepUntil(uint64_t deadline) {
    timespec ts{};
    ts.tv_sec = time_t(deadline / 1'000'000'000u);
    ts.tv_nsec = long(deadline % 1'000'000'000u);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
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
        uint64_t flagsOut = 0;
        link->callback(link, &now, &output, 0, &flagsOut, link->context);
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
    int screenNumber = 0;
    xcb_connection_t* c = xcb_connect(nullptr, &screenNumber);
    double rate = 0.0;
    if (xcb_connection_has_error(c) == 0) rate = queryRate(c, screenNumber);
    xcb_disconnect(c);
    return (rate >= 1.0 && rate <= 1000.0) ? rate : kDefaultRate;
}

int32_t startDisplayLink(DisplayLinkOutputCallback callback, void* context) {
    if (callback == nullptr) {
        fprintf(stderr, "startDisplayLink: no callback\n");
        return -1;
    }
    auto* link = new DisplayLink{callback, context, refreshPeriodNs(displayRefreshRate())};
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
