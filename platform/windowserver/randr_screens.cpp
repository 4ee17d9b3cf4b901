// Screens and their refresh rate through RandR.
#include <xcb/randr.h>

#include "platform/windowserver/x_helpers.h"

std::vector<RootRect> screenRects(XContext& context) {
    std::vector<RootRect> rects;
    xcb_connection_t* c = context.connection;
    xcb_randr_get_monitors_reply_t* monitors =
        context.hasRandr ? takeReply(context, xcb_randr_get_monitors_reply,
                                     xcb_randr_get_monitors(c, context.root, 1), "RandrGetMonitors")
                         : nullptr;
    if (monitors != nullptr) {
        // The primary monitor is the first screen, the origin of every
        // global coordinate; the others follow in RandR's order.
        xcb_randr_monitor_info_iterator_t it = xcb_randr_get_monitors_monitors_iterator(monitors);
        for (; it.rem > 0; xcb_randr_monitor_info_next(&it)) {
            RootRect r{it.data->x, it.data->y, it.data->width, it.data->height};
            if (it.data->primary) {
                rects.insert(rects.begin(), r);
            } else {
                rects.push_back(r);
            }
        }
        free(monitors);
    }
    if (rects.empty()) rects.push_back(rootBounds(context));
    return rects;
}

void watchScreenChanges(XContext& context) {
    if (!context.hasRandr) return;
    xcb_randr_select_input(context.connection, context.root,
                           XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                               XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
    xcb_flush(context.connection);
}

bool announcesScreenChange(const XContext& context, const xcb_generic_event_t* event) {
    const xcb_query_extension_reply_t* randr =
        xcb_get_extension_data(context.connection, &xcb_randr_id);
    if (randr == nullptr || !randr->present) return false;
    const uint8_t type = event->response_type & 0x7F;
    return type == randr->first_event + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
           type == randr->first_event + XCB_RANDR_NOTIFY;
}

void refreshRootSize(XContext& context) {
    xcb_get_geometry_reply_t* g =
        takeReply(context, xcb_get_geometry_reply,
                  xcb_get_geometry(context.connection, context.root), "GetGeometry");
    if (g != nullptr) context.rootSize = {0, 0, g->width, g->height};
    free(g);
}

namespace {

ModeTimings timingsOf(const xcb_randr_mode_info_t& mode) {
    return {mode.dot_clock, mode.htotal, mode.vtotal,
            (mode.mode_flags & XCB_RANDR_MODE_FLAG_DOUBLE_SCAN) != 0,
            (mode.mode_flags & XCB_RANDR_MODE_FLAG_INTERLACE) != 0};
}

xcb_randr_mode_t modeOfCrtc(XContext& x, xcb_randr_crtc_t crtc, xcb_timestamp_t stamp) {
    if (crtc == XCB_NONE) return XCB_NONE;
    auto* info = takeReply(x, xcb_randr_get_crtc_info_reply,
                           xcb_randr_get_crtc_info(x.connection, crtc, stamp), "RandrGetCrtcInfo");
    if (info == nullptr) return XCB_NONE;
    xcb_randr_mode_t mode = info->mode;
    free(info);
    return mode;
}

xcb_randr_crtc_t crtcOfPrimaryOutput(XContext& x, xcb_timestamp_t stamp) {
    xcb_connection_t* c = x.connection;
    auto* primary = takeReply(x, xcb_randr_get_output_primary_reply,
                              xcb_randr_get_output_primary(c, x.root), "RandrGetOutputPrimary");
    if (primary == nullptr) return XCB_NONE;
    xcb_randr_output_t output = primary->output;
    free(primary);
    if (output == XCB_NONE) return XCB_NONE;
    auto* info = takeReply(x, xcb_randr_get_output_info_reply,
                           xcb_randr_get_output_info(c, output, stamp), "RandrGetOutputInfo");
    if (info == nullptr) return XCB_NONE;
    xcb_randr_crtc_t crtc = info->crtc;
    free(info);
    return crtc;
}

// The mode shown by the primary output, else by the first lit CRTC.
xcb_randr_mode_t firstScreenMode(XContext& x,
                                 const xcb_randr_get_screen_resources_current_reply_t* res) {
    xcb_randr_mode_t mode =
        modeOfCrtc(x, crtcOfPrimaryOutput(x, res->config_timestamp), res->config_timestamp);
    const xcb_randr_crtc_t* crtcs = xcb_randr_get_screen_resources_current_crtcs(res);
    int count = xcb_randr_get_screen_resources_current_crtcs_length(res);
    for (int i = 0; mode == XCB_NONE && i < count; ++i)
        mode = modeOfCrtc(x, crtcs[i], res->config_timestamp);
    return mode;
}

double rateFromResources(XContext& x) {
    auto* res = takeReply(x, xcb_randr_get_screen_resources_current_reply,
                          xcb_randr_get_screen_resources_current(x.connection, x.root),
                          "RandrGetScreenResourcesCurrent");
    if (res == nullptr) return 0.0;
    double rate = 0.0;
    xcb_randr_mode_t wanted = firstScreenMode(x, res);
    const xcb_randr_mode_info_t* modes = xcb_randr_get_screen_resources_current_modes(res);
    int count = xcb_randr_get_screen_resources_current_modes_length(res);
    for (int i = 0; wanted != XCB_NONE && i < count; ++i)
        if (modes[i].id == wanted) rate = refreshRateOfMode(timingsOf(modes[i]));
    free(res);
    return rate;
}

// The older, whole-screen answer, for servers whose modes carry no timings.
double rateFromScreenInfo(XContext& x) {
    auto* info = takeReply(x, xcb_randr_get_screen_info_reply,
                           xcb_randr_get_screen_info(x.connection, x.root), "RandrGetScreenInfo");
    if (info == nullptr) return 0.0;
    double rate = info->rate;
    free(info);
    return rate;
}

}  // namespace

double firstScreenRefreshRate(XContext& context) {
    if (!context.hasRandr) return 0.0;
    double rate = rateFromResources(context);
    if (rate < 1.0) rate = rateFromScreenInfo(context);
    return rate;
}
