// Checking H.264 output against a real decoder (ffmpeg) and collecting the
// compressed packets a receiver gets.
//
//   auto recv = h264check::connectReceiver(sender);          // loopback
//   ... send frames ...
//   std::vector<h264check::Packet> packets;
//   h264check::collectPackets(recv, 10, 5000, &packets);     // 10 'H264' packets
//   h264check::TempDir temp;                                 // removed at scope end
//   std::string path = temp.path + "out.h264";
//   h264check::writeFile(path, h264check::annexBOf(packets));
//   auto pictures = h264check::decodeToI420(path, 1280, 720);  // one per picture
//   double db = h264check::psnr(h264check::lumaOfI420(pictures[0], 1280, 720),
//                               h264check::lumaOfBgra(source, 1280, 720));
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/hx_send.h"
#include "engine/sender.h"
#include "platform/ndi/ndi.h"

namespace h264check {

// One compressed video frame as received.
struct Packet {
    uint32_t fourcc = 0;  // 'H264' or 'h264'
    int32_t xres = 0;
    int32_t yres = 0;
    int32_t frameRateN = 0;
    int32_t frameRateD = 0;
    int32_t frameFormatType = 0;
    int64_t timecode = 0;
    HXPacketHeader header;       // valid when valid is true
    bool valid = false;          // readHXPacket accepted it
    std::vector<uint8_t> bytes;  // the whole packet, header included
    // The Annex B bytes behind the header (empty when not valid).
    std::vector<uint8_t> annexB() const;
};

// A received compressed frame as a Packet (header checked with readHXPacket).
Packet packetOf(const NDIlib_video_frame_v2_t& frame);

// A sender of the built-in runtime listening on a free loopback port (the
// runtime is initialised first); null on failure. Destroy it with
// NDIlib_send_destroy or destroyNDIHXSender.
NDIlib_send_instance_t createLoopbackSender();

// A private compressed-path state as the program's sender creation fills it
// for the bit-rate setting mode (x264 "ultrafast"/"zerolatency", its quality
// and bit rates), with no stream set up yet.
HXSenderState makeHXState(int32_t bitRateMode);

// Puts the program's sending back as a fresh process has it: the shared
// sender destroyed with both streams' encoders, theHXState zeroed, no refusal
// remembered, a runtime that runs, sockets on a free loopback port. Tests that
// reach theNDISender call it before and after.
void resetSharedSender();

// An uncompressed video frame record over pixels (rows packed), progressive,
// 16:9, as video sending builds it.
NDIlib_video_frame_v2_t videoFrame(uint32_t fourcc, const uint8_t* pixels, int width, int height,
                                   int rateN = 60, int rateD = 1);

// A receiver connected to the sender's port on 127.0.0.1, once the sender
// counts one connection more than before; null on failure. Free it with NDIlib_recv_destroy.
NDIlib_recv_instance_t connectReceiver(NDIlib_send_instance_t sender);

// Reads frames until `count` video frames of FourCC 'H264' have arrived (the
// 'h264' ones in between are kept too) or timeoutMs has passed. Audio and
// metadata frames are dropped. Returns the number of 'H264' packets read.
int collectPackets(NDIlib_recv_instance_t recv, int count, int timeoutMs, std::vector<Packet>* out);

// The concatenated Annex B bytes of the valid 'H264' packets, in order.
std::vector<uint8_t> annexBOf(const std::vector<Packet>& packets);

// NAL unit types present in an Annex B byte run, in order (5 IDR, 7 SPS, 8 PPS).
std::vector<int> nalTypes(const std::vector<uint8_t>& annexB);

// A fresh private directory under $TMPDIR (or /tmp), removed with its
// contents when the object goes; path ends in '/' (empty when none could be
// made).
struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path;
};
bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> readFile(const std::string& path);

// Decodes an H.264 Annex B file with ffmpeg to I420 pictures of width x height
// (every picture the decoder gives, none dropped or repeated). Empty when
// ffmpeg fails or its output is not whole pictures of that size.
std::vector<std::vector<uint8_t>> decodeToI420(const std::string& path, int width, int height);
// The same as BGRA pictures.
std::vector<std::vector<uint8_t>> decodeToBgra(const std::string& path, int width, int height);

// Standard output of `ffmpeg -nostdin -loglevel error ARGUMENTS`; empty when
// ffmpeg fails.
std::vector<uint8_t> ffmpegOutput(const std::string& arguments);

// ffprobe's view of a video file's first stream: size and decoded frame count.
struct ProbeResult {
    int width = 0;
    int height = 0;
    int frames = 0;
    std::string codec;
};
bool probeVideo(const std::string& path, ProbeResult* out);

// Luma planes of a source picture, computed as the encoder path does
// (BT.601 studio range), and of a decoded I420 picture.
std::vector<uint8_t> lumaOfBgra(const uint8_t* bgra, int width, int height);
std::vector<uint8_t> lumaOfUyvy(const uint8_t* uyvy, int width, int height);
std::vector<uint8_t> lumaOfI420(const std::vector<uint8_t>& i420, int width, int height);

// Peak signal-to-noise ratio in dB of two equal-sized 8-bit planes; 100 for
// identical ones, 0 when the sizes differ.
double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);

// A smooth moving BGRA test picture (gradients and a sliding box), number n of
// a sequence; opaque alpha.
std::vector<uint8_t> movingBgraPicture(int width, int height, int n);

}  // namespace h264check
