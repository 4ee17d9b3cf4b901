// The runtime's wire format: every frame travels as one message, a fixed
// 80-byte little-endian header followed by the frame's data and then its
// metadata text (without NUL). Both ends build and check headers here, so a
// header that passes the check always describes a frame record that can be
// read without running past its data.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/ndi/ndi.h"

namespace ndiwire {

inline constexpr uint32_t kMagic = ndiFourCC('N', 'D', 'T', 'W');
inline constexpr size_t kHeaderSize = 80;
// Caps that keep a broken or hostile peer from making us allocate absurdly.
inline constexpr uint32_t kMaxDataSize = 64u << 20;
inline constexpr uint32_t kMaxMetadataSize = 1u << 20;
inline constexpr int32_t kMaxDimension = 1 << 16;
inline constexpr int32_t kMaxChannels = 1024;

enum MessageType : uint32_t {
    kVideo = 1,
    kAudio = 2,
    kMetadata = 3,
    kHello = 4,  // first message on every connection: the source name
};

struct Header {
    uint32_t type = 0;
    uint32_t dataSize = 0;
    uint32_t metadataSize = 0;
    uint32_t fourCC = 0;
    int32_t xres = 0;
    int32_t yres = 0;
    int32_t frameRateN = 0;
    int32_t frameRateD = 0;
    float aspect = 0.0f;
    int32_t frameFormatType = 0;
    int32_t strideOrSize = 0;  // line stride, or the byte count of compressed video
    int64_t timecode = 0;
    int64_t timestamp = 0;
    int32_t sampleRate = 0;
    int32_t channels = 0;
    int32_t samples = 0;
    int32_t channelStride = 0;
};

// True for FourCCs whose frames carry a byte count instead of a line stride.
bool isCompressed(uint32_t fourCC);

// Headers for frames about to be sent. False, with the reason in *error, when
// the record cannot be sent as it stands (negative sizes, data missing, sizes
// over the caps).
bool headerForVideo(const NDIlib_video_frame_v2_t& frame, Header* header, const char** error);
bool headerForAudio(const NDIlib_audio_frame_v2_t& frame, Header* header, const char** error);
bool headerForMetadata(const NDIlib_metadata_frame_t& frame, Header* header, const char** error);
bool headerForHello(const char* sourceName, Header* header);

void encodeHeader(const Header& header, uint8_t out[kHeaderSize]);
// Decodes and checks a received header; false, with the reason in *error,
// for anything a sender of ours would not have written.
bool decodeHeader(const uint8_t in[kHeaderSize], Header* header, const char** error);

// True when the compressed or uncompressed video data holds a keyframe. For
// H.264 it trusts the keyframe flag of a well-formed packet header in front
// and otherwise looks for an IDR picture in the Annex B bytes.
bool isKeyframe(uint32_t fourCC, const uint8_t* data, size_t size);

}  // namespace ndiwire
