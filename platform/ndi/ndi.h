// The built-in NDI runtime: the calls, records and constants the engine uses,
// implemented over a TCP transport of our own. Third-party NDI receivers cannot
// read it; our receiver side (used by tests and ndi-recv) can.
#pragma once

#include <cstdint>

// Four-character codes as the runtime reads them: first character in the
// lowest byte.
constexpr uint32_t ndiFourCC(char a, char b, char c, char d) {
    return static_cast<uint32_t>(static_cast<uint8_t>(a)) |
           static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24;
}

enum NDIlib_FourCC_video_type_e : uint32_t {
    NDIlib_FourCC_type_BGRA = ndiFourCC('B', 'G', 'R', 'A'),  // 0x41524742
    NDIlib_FourCC_type_RGBA = ndiFourCC('R', 'G', 'B', 'A'),  // 0x41424752
    NDIlib_FourCC_type_UYVY = ndiFourCC('U', 'Y', 'V', 'Y'),  // 0x59565955
    NDIlib_FourCC_type_H264 = ndiFourCC('H', '2', '6', '4'),  // 0x34363248
    NDIlib_FourCC_type_h264 = ndiFourCC('h', '2', '6', '4'),  // 0x34363268
};

enum NDIlib_frame_format_type_e : int32_t {
    NDIlib_frame_format_type_interleaved = 0,
    NDIlib_frame_format_type_progressive = 1,
};

enum NDIlib_frame_type_e : int32_t {
    NDIlib_frame_type_none = 0,
    NDIlib_frame_type_video = 1,
    NDIlib_frame_type_audio = 2,
    NDIlib_frame_type_metadata = 3,
    NDIlib_frame_type_error = 4,
};

// Colour formats a receiver may ask for; ours hands frames back as sent.
enum NDIlib_recv_color_format_e : int32_t {
    NDIlib_recv_color_format_BGRX_BGRA = 0,
    NDIlib_recv_color_format_UYVY_BGRA = 1,
    NDIlib_recv_color_format_fastest = 100,
    NDIlib_recv_color_format_compressed_v2 = 301,
};

enum NDIlib_recv_bandwidth_e : int32_t {
    NDIlib_recv_bandwidth_metadata_only = -10,
    NDIlib_recv_bandwidth_audio_only = 10,
    NDIlib_recv_bandwidth_lowest = 0,
    NDIlib_recv_bandwidth_highest = 100,
};

// "Now" for timecodes and "none given" for timestamps.
constexpr int64_t NDIlib_send_timecode_synthesize = INT64_MAX;
constexpr int64_t NDIlib_recv_timestamp_undefined = INT64_MAX;

struct NDIlib_send_create_t {
    const char* p_ndi_name = nullptr;
    const char* p_groups = nullptr;
    bool clock_video = false;
    bool clock_audio = false;
};

struct NDIlib_video_frame_v2_t {
    int32_t xres = 0;
    int32_t yres = 0;
    uint32_t FourCC = 0;
    int32_t frame_rate_N = 30000;
    int32_t frame_rate_D = 1001;
    float picture_aspect_ratio = 0.0f;
    int32_t frame_format_type = NDIlib_frame_format_type_progressive;
    int64_t timecode = NDIlib_send_timecode_synthesize;
    uint8_t* p_data = nullptr;
    union {
        int32_t line_stride_in_bytes;
        int32_t data_size_in_bytes;  // byte count of compressed data
    };
    const char* p_metadata = nullptr;
    int64_t timestamp = 0;

    NDIlib_video_frame_v2_t() : line_stride_in_bytes(0) {}
};

struct NDIlib_audio_frame_v2_t {
    int32_t sample_rate = 48000;
    int32_t no_channels = 2;
    int32_t no_samples = 0;
    int64_t timecode = NDIlib_send_timecode_synthesize;
    float* p_data = nullptr;  // planar: channel c starts at c * channel_stride_in_bytes
    int32_t channel_stride_in_bytes = 0;
    const char* p_metadata = nullptr;
    int64_t timestamp = 0;
};

struct NDIlib_metadata_frame_t {
    int32_t length = 0;  // bytes of p_data including its terminating NUL; 0 = count them
    int64_t timecode = NDIlib_send_timecode_synthesize;
    char* p_data = nullptr;
};

struct NDIlib_source_t {
    const char* p_ndi_name = nullptr;
    const char* p_url_address = nullptr;  // "host:port"
};

struct NDIlib_recv_create_v3_t {
    NDIlib_source_t source_to_connect_to;
    int32_t color_format = NDIlib_recv_color_format_UYVY_BGRA;
    int32_t bandwidth = NDIlib_recv_bandwidth_highest;
    bool allow_video_fields = true;
    const char* p_ndi_recv_name = nullptr;
};

struct NDIlib_send_instance_type;
using NDIlib_send_instance_t = NDIlib_send_instance_type*;
struct NDIlib_recv_instance_type;
using NDIlib_recv_instance_t = NDIlib_recv_instance_type*;

// The runtime. NDIlib_initialize reports false when the runtime cannot run:
// here, when the environment variable NDI_RUNTIME_DISABLED is "1" at the call.
bool NDIlib_initialize();
void NDIlib_destroy();
const char* NDIlib_version();

// Sending. A sender listens on TCP: NDI_PORT (default 5960, 0 = a free port)
// on NDI_BIND (default all interfaces); it prints its name and port once.
// Null when the port cannot be taken. Video, audio and metadata sends may come
// from different threads at once; each returns once the frame has been handed
// to every connected receiver (a stalled receiver is dropped, not waited for).
NDIlib_send_instance_t NDIlib_send_create_v2(const NDIlib_send_create_t* p_create_settings,
                                             const char* p_config_data);
void NDIlib_send_destroy(NDIlib_send_instance_t p_instance);
void NDIlib_send_send_video_v2(NDIlib_send_instance_t p_instance,
                               const NDIlib_video_frame_v2_t* p_video_data);
void NDIlib_send_send_audio_v2(NDIlib_send_instance_t p_instance,
                               const NDIlib_audio_frame_v2_t* p_audio_data);
void NDIlib_send_send_metadata(NDIlib_send_instance_t p_instance,
                               const NDIlib_metadata_frame_t* p_metadata);
// True while some receiver that connected has not yet been sent a keyframe of
// the probe frame's FourCC.
bool NDIlib_send_is_keyframe_required(NDIlib_send_instance_t p_instance,
                                      const NDIlib_video_frame_v2_t* p_probe);

// Extensions of ours for tools and tests.
// The TCP port the sender listens on; 0 for a null instance.
int NDIlib_send_get_port(NDIlib_send_instance_t p_instance);
// Number of receivers currently connected.
int NDIlib_send_get_no_connections(NDIlib_send_instance_t p_instance, uint32_t timeout_in_ms);

// Receiving. The receiver connects to source_to_connect_to.p_url_address
// ("host:port") at creation; null when that fails.
NDIlib_recv_instance_t NDIlib_recv_create_v4(const NDIlib_recv_create_v3_t* p_create_settings,
                                             const char* p_config_data);
void NDIlib_recv_destroy(NDIlib_recv_instance_t p_instance);
// Extension of ours: the name the source announced when we connected.
const char* NDIlib_recv_get_source_name(NDIlib_recv_instance_t p_instance);
// Waits up to timeout_in_ms for one frame and fills the record of its kind
// (each pointer may be null: frames of that kind are then read and dropped).
// A broken connection or a malformed message gives NDIlib_frame_type_error.
NDIlib_frame_type_e NDIlib_recv_capture_v2(NDIlib_recv_instance_t p_instance,
                                           NDIlib_video_frame_v2_t* p_video_data,
                                           NDIlib_audio_frame_v2_t* p_audio_data,
                                           NDIlib_metadata_frame_t* p_metadata,
                                           uint32_t timeout_in_ms);
void NDIlib_recv_free_video_v2(NDIlib_recv_instance_t p_instance,
                               const NDIlib_video_frame_v2_t* p_video_data);
void NDIlib_recv_free_audio_v2(NDIlib_recv_instance_t p_instance,
                               const NDIlib_audio_frame_v2_t* p_audio_data);
void NDIlib_recv_free_metadata(NDIlib_recv_instance_t p_instance,
                               const NDIlib_metadata_frame_t* p_metadata);
