// The server information that libsoundio's PulseAudio back end asks for.
//
// Each time the back end reads the server's devices (at its first event
// delivery, and again whenever a sink or source comes or goes) it copies the
// names of the default sink and source with strdup, on libpulse's thread. A
// server without any output device has no default sink and hands a null name
// there, and the process dies: at start-up when no sink exists, mid-stream
// when the last one goes away. Asking the server first cannot keep the back
// end from that: the last sink may go between the question and the back
// end's own read.
//
// So the back end's one request for the server information is answered here.
// Its calls into libpulse resolve to the program first, so this definition
// receives the request, hands it on to libpulse's own function and passes the
// answer back with an empty name wherever the server has none. No device
// carries an empty name: the back end then takes no device as the default,
// exactly as when it lists no device of that kind, and everything else it
// reads is the server's own.
#include <dlfcn.h>
#include <pulse/introspect.h>
#include <pulse/operation.h>

#include "audio/helpers.h"

namespace {

using ServerInfoRequest = pa_operation* (*)(pa_context*, pa_server_info_cb_t, void*);

ServerInfoRequest libpulseServerInfoRequest() {
    static const auto request =
        reinterpret_cast<ServerInfoRequest>(dlsym(RTLD_NEXT, "pa_context_get_server_info"));
    return request;
}

// Who asked; lives until the request is answered or cancelled.
struct Asker {
    pa_server_info_cb_t callback;
    void* userdata;
};

void answerWithNames(pa_context* context, const pa_server_info* info, void* userdata) {
    const auto* asker = static_cast<const Asker*>(userdata);
    // A failed request answers with no information at all, which the back
    // end reads all the same: it gets one without defaults instead.
    pa_server_info named{};
    if (info != nullptr) named = *info;
    if (named.default_sink_name == nullptr) named.default_sink_name = "";
    if (named.default_source_name == nullptr) named.default_source_name = "";
    asker->callback(context, &named, asker->userdata);
}

// libpulse reports the end of every operation, answered or cancelled (the
// connection lost), after the answer itself.
void forgetAsker(pa_operation* operation, void* userdata) {
    if (pa_operation_get_state(operation) != PA_OPERATION_RUNNING) {
        delete static_cast<Asker*>(userdata);
    }
}

}  // namespace

extern "C" __attribute__((visibility("default"))) pa_operation* pa_context_get_server_info(
    pa_context* context, pa_server_info_cb_t callback, void* userdata) {
    const ServerInfoRequest request = libpulseServerInfoRequest();
    if (request == nullptr) return nullptr;
    if (callback == nullptr) return request(context, nullptr, userdata);
    auto* asker = new Asker{callback, userdata};
    pa_operation* operation = request(context, answerWithNames, asker);
    if (operation == nullptr) {
        delete asker;
        return nullptr;
    }
    pa_operation_set_state_callback(operation, forgetAsker, asker);
    return operation;
}

bool pulseServerInfoGuarded() {
    return libpulseServerInfoRequest() != nullptr &&
           dlsym(RTLD_DEFAULT, "pa_context_get_server_info") ==
               reinterpret_cast<void*>(&pa_context_get_server_info);
}
