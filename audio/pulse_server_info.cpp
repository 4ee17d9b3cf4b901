// What libsoundio's PulseAudio back end reads of the server.
//
// Each time the back end reads the server's devices (at its first event
// delivery, and again whenever a sink or source comes or goes) it asks for
// the server information and the lists of sinks and sources, and handles the
// answers on libpulse's thread in two ways that end the process:
//
// - it copies the names of the default sink and source with strdup, and a
//   server without any output device has no default sink and hands a null
//   name: the program died at start-up when no sink existed, and mid-stream
//   when the last one went away. Asking the server first cannot keep the back
//   end from that: the last sink may go between the question and the back
//   end's own read.
// - it copies each device's channel map into a layout of at most 24
//   channels, whatever the map's width (the server allows 32), and a wider
//   device overwrites what follows in its record.
//
// So the back end's three requests are answered here. Its calls into libpulse
// resolve to the program first, so these definitions receive them, hand them
// on to libpulse's own functions and pass the answers back with an empty name
// wherever the server has none, and with channel maps cut to the 24 channels
// the back end holds. No device carries an empty name: the back end then
// takes no device as the default, exactly as when it lists no device of that
// kind. A device's leading channels stay what they are, and a stream asks the
// server for its channels by position, so capture is not changed by the cut.
// Everything else the back end reads is the server's own.
#include <dlfcn.h>
#include <pulse/introspect.h>
#include <pulse/operation.h>
#include <soundio/soundio.h>

#include <algorithm>
#include <new>

#include "audio/helpers.h"

namespace {

template <typename Callback>
using Request = pa_operation* (*)(pa_context*, Callback, void*);

// libpulse's own function of that name.
template <typename Callback>
Request<Callback> libpulseRequest(const char* name) {
    return reinterpret_cast<Request<Callback>>(dlsym(RTLD_NEXT, name));
}

// libpulse's own function of that name, for one that takes a context alone.
using ContextCall = void (*)(pa_context*);
ContextCall libpulseCall(const char* name) {
    return reinterpret_cast<ContextCall>(dlsym(RTLD_NEXT, name));
}

// Looked up at the first request, whenever that comes.
Request<pa_server_info_cb_t> serverInfoRequest() {
    static const auto request = libpulseRequest<pa_server_info_cb_t>("pa_context_get_server_info");
    return request;
}
Request<pa_sink_info_cb_t> sinkListRequest() {
    static const auto request = libpulseRequest<pa_sink_info_cb_t>("pa_context_get_sink_info_list");
    return request;
}
Request<pa_source_info_cb_t> sourceListRequest() {
    static const auto request =
        libpulseRequest<pa_source_info_cb_t>("pa_context_get_source_info_list");
    return request;
}

// Who asked; lives until the request is answered or cancelled.
template <typename Callback>
struct Asker {
    Callback callback;
    void* userdata;
};

// libpulse reports the end of every operation, answered or cancelled (the
// connection lost), after the last answer.
template <typename Callback>
void forgetAsker(pa_operation* operation, void* userdata) {
    if (pa_operation_get_state(operation) != PA_OPERATION_RUNNING) {
        delete static_cast<Asker<Callback>*>(userdata);
    }
}

// Hands the request on with `answer` in place of the asker's callback.
template <typename Callback>
pa_operation* askFor(Request<Callback> request, Callback answer, pa_context* context,
                     Callback callback, void* userdata) {
    if (request == nullptr) return nullptr;
    if (callback == nullptr) return request(context, nullptr, userdata);
    // Out of memory the request fails as libpulse's own would.
    auto* asker = new (std::nothrow) Asker<Callback>{callback, userdata};
    if (asker == nullptr) return nullptr;
    pa_operation* operation = request(context, answer, asker);
    if (operation == nullptr) {
        delete asker;
        return nullptr;
    }
    pa_operation_set_state_callback(operation, forgetAsker<Callback>, asker);
    return operation;
}

void answerWithNames(pa_context* context, const pa_server_info* info, void* userdata) {
    const auto* asker = static_cast<const Asker<pa_server_info_cb_t>*>(userdata);
    // A failed request answers with no information at all, which the back
    // end reads all the same: it gets one without defaults instead.
    pa_server_info named{};
    if (info != nullptr) named = *info;
    if (named.default_sink_name == nullptr) named.default_sink_name = "";
    if (named.default_source_name == nullptr) named.default_source_name = "";
    asker->callback(context, &named, asker->userdata);
}

template <typename Info>
void answerWithHeldChannels(pa_context* context, const Info* info, int eol, void* userdata) {
    using Callback = void (*)(pa_context*, const Info*, int, void*);
    const auto* asker = static_cast<const Asker<Callback>*>(userdata);
    if (info == nullptr) {
        asker->callback(context, info, eol, asker->userdata);
        return;
    }
    Info held = *info;
    held.channel_map.channels =
        uint8_t(std::min<int>(held.channel_map.channels, SOUNDIO_MAX_CHANNELS));
    asker->callback(context, &held, eol, asker->userdata);
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) pa_operation* pa_context_get_server_info(
    pa_context* context, pa_server_info_cb_t callback, void* userdata) {
    return askFor(serverInfoRequest(), &answerWithNames, context, callback, userdata);
}

__attribute__((visibility("default"))) pa_operation* pa_context_get_sink_info_list(
    pa_context* context, pa_sink_info_cb_t callback, void* userdata) {
    return askFor<pa_sink_info_cb_t>(sinkListRequest(), &answerWithHeldChannels<pa_sink_info>,
                                     context, callback, userdata);
}

__attribute__((visibility("default"))) pa_operation* pa_context_get_source_info_list(
    pa_context* context, pa_source_info_cb_t callback, void* userdata) {
    return askFor<pa_source_info_cb_t>(sourceListRequest(), &answerWithHeldChannels<pa_source_info>,
                                       context, callback, userdata);
}

// When memory is short libpulse cannot make a context (its shared memory pool
// cannot be mapped); the back end then tears down the context it does not
// have all the same, and libpulse ends the process on a null context. There
// is nothing to tear down, and the connection fails as any other.
__attribute__((visibility("default"))) void pa_context_disconnect(pa_context* context) {
    static const auto disconnect = libpulseCall("pa_context_disconnect");
    if (context != nullptr && disconnect != nullptr) disconnect(context);
}

__attribute__((visibility("default"))) void pa_context_unref(pa_context* context) {
    static const auto unref = libpulseCall("pa_context_unref");
    if (context != nullptr && unref != nullptr) unref(context);
}

}  // extern "C"

bool pulseServerInfoGuarded() {
    const auto answeredHere = [](const char* name, void* here) {
        return dlsym(RTLD_DEFAULT, name) == here;
    };
    return serverInfoRequest() != nullptr && sinkListRequest() != nullptr &&
           sourceListRequest() != nullptr &&
           answeredHere("pa_context_get_server_info",
                        reinterpret_cast<void*>(&pa_context_get_server_info)) &&
           answeredHere("pa_context_get_sink_info_list",
                        reinterpret_cast<void*>(&pa_context_get_sink_info_list)) &&
           answeredHere("pa_context_get_source_info_list",
                        reinterpret_cast<void*>(&pa_context_get_source_info_list));
}
