// Placeholder while the transport is being written.
#include "platform/ndi/ndi.h"

bool NDIlib_initialize() { return true; }
void NDIlib_destroy() {}
const char* NDIlib_version() { return "NDITabrivo runtime 1.0"; }
NDIlib_send_instance_t NDIlib_send_create_v2(const NDIlib_send_create_t*, const char*) {
    return nullptr;
}
void NDIlib_send_destroy(NDIlib_send_instance_t) {}
void NDIlib_send_send_video_v2(NDIlib_send_instance_t, const NDIlib_video_frame_v2_t*) {}
void NDIlib_send_send_audio_v2(NDIlib_send_instance_t, const NDIlib_audio_frame_v2_t*) {}
void NDIlib_send_send_metadata(NDIlib_send_instance_t, const NDIlib_metadata_frame_t*) {}
bool NDIlib_send_is_keyframe_required(NDIlib_send_instance_t, const NDIlib_video_frame_v2_t*) {
    return false;
}
int NDIlib_send_get_port(NDIlib_send_instance_t) { return 0; }
int NDIlib_send_get_no_connections(NDIlib_send_instance_t, uint32_t) { return 0; }
NDIlib_recv_instance_t NDIlib_recv_create_v4(const NDIlib_recv_create_v3_t*, const char*) {
    return nullptr;
}
void NDIlib_recv_destroy(NDIlib_recv_instance_t) {}
NDIlib_frame_type_e NDIlib_recv_capture_v2(NDIlib_recv_instance_t, NDIlib_video_frame_v2_t*,
                                           NDIlib_audio_frame_v2_t*, NDIlib_metadata_frame_t*,
                                           uint32_t) {
    return NDIlib_frame_type_error;
}
void NDIlib_recv_free_video_v2(NDIlib_recv_instance_t, const NDIlib_video_frame_v2_t*) {}
void NDIlib_recv_free_audio_v2(NDIlib_recv_instance_t, const NDIlib_audio_frame_v2_t*) {}
void NDIlib_recv_free_metadata(NDIlib_recv_instance_t, const NDIlib_metadata_frame_t*) {}
