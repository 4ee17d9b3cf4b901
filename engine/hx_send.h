// The compressed video path: every video frame leaves as one H.264 picture
// behind an HXPacketHeader, sent under FourCC 'H264' (and again under 'h264').
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/ndi/ndi.h"

struct HXSenderState;

// Fixed buffers of one stream, allocated at each encoder set-up. The scratch
// holds the UYVY form of the largest frame the capture can deliver, so no
// accepted frame can overrun it.
inline constexpr int64_t kEncodedDataBytes = 5000000;
inline constexpr int64_t kPacketBytes = 5500000;
inline constexpr int64_t kUyvyScratchBytes = int64_t{7680} * 4320 * 2;

// The header in front of every compressed picture: 44 bytes on the wire,
// little-endian, no gaps. The struct is the decoded form; writeHXPacketHeader
// and readHXPacket convert.
inline constexpr uint32_t kHXPacketHeaderSize = 44;
inline constexpr uint32_t kHXCodecH264 = 0x34363248;  // "H264"
struct HXPacketHeader {
    uint32_t headerSize = kHXPacketHeaderSize;
    uint32_t codec = kHXCodecH264;
    int64_t pts = 0;  // 100 ns units
    int64_t dts = 0;
    uint64_t reserved = 0;
    uint32_t flags = 0;  // 1: keyframe
    uint32_t dataSize = 0;
    uint32_t extraDataSize = 0;
};

// Writes the 44 wire bytes of header at dst.
void writeHXPacketHeader(uint8_t* dst, const HXPacketHeader& header);

// Checks one received compressed packet of size bytes and decodes its header:
// header size 44, codec "H264", dataSize within the packet. Returns 0, or -1
// with one line on standard error naming what is wrong.
int32_t readHXPacket(const uint8_t* data, int64_t size, HXPacketHeader* header);

// The single entry of the compressed path. With a video frame: keeps the
// stream's encoder in step with the frame, decides on a keyframe, encodes and
// sends the packet (stream mode 0: 'H264', 1: 'h264', 2: 'H264' then the same
// bytes again as 'h264'). Without one: forwards the audio, then the metadata
// frame. Frames it cannot encode are dropped with a diagnostic. A raised
// bitRateChanged re-creates the encoder with the bit rates and quality of the
// current bit-rate setting (thePrefs.theBitRateMode). Returns 0. Runs on the
// sender thread only.
int32_t sendFunctionSendData(NDIlib_send_instance_t sender, NDIlib_video_frame_v2_t* video,
                             const NDIlib_audio_frame_v2_t* audio,
                             const NDIlib_metadata_frame_t* metadata, int64_t unused,
                             HXSenderState* state, int32_t streamMode);

// Destroys the sender and the runtime, then frees both streams' encoders and
// buffers. Leaves theNDISender as it is. Returns 0.
int32_t destroyNDIHXSender(NDIlib_send_instance_t sender, HXSenderState* state);

// Debug aids, unused by the program: append encoded bytes to
// <temporary directory>/h264data_<stream>.h264 (recreated on first use), and
// print the data rate about once a second.
extern FILE* h264DumpFiles[2];
void dumpH264ToFile(const uint8_t* bytes, int32_t length, int32_t stream);
extern int64_t dataRateBytes;
extern double dataRateTime;
int32_t printDataRate(int32_t count);
