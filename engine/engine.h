// The NDI output engine's one door: what the other subsystems, the tools and
// their tests call. The engine's own headers (mailbox.h, sender.h, hx_send.h,
// encoder.h, ...) add what only the engine and its tests use. Nothing here
// exposes the encoder or conversion libraries.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "platform/ndi/ndi.h"
#include "platform/ndi/packet_header.h"

// ---------------------------------------------------------------------------
// Pixel tags that travel with every frame, read with the first character in
// the most significant byte.
inline constexpr uint32_t kPixelTagBGRA = 0x62677261;  // 'bgra'
inline constexpr uint32_t kPixelTagARGB = 0x61726762;  // 'argb', sent as 'bgra'
inline constexpr uint32_t kPixelTagRGBA = 0x72676261;  // 'rgba'
inline constexpr uint32_t kPixelTag2VUY = 0x32767579;  // '2vuy', packed U Y0 V Y1
inline constexpr uint32_t kPixelTagYUV2 = 0x79757632;  // 'yuv2', sent as '2vuy'

// ---------------------------------------------------------------------------
// The frame mailbox: one slot between the frame producers (display link, and
// the main thread in black-frame mode) and the one sender thread.

// Values of NDISendData::busy: who holds the frame fields and pixels.
inline constexpr int32_t kSlotFree = 0;
inline constexpr int32_t kSlotSending = 1;  // the sender thread has taken the frame
inline constexpr int32_t kSlotWriting = 2;  // a producer is placing a frame

// The mailbox, one for the life of the process. The frame fields and pixels
// belong to whoever moved busy away from kSlotFree; they describe a complete
// frame while ready is 1 and busy is kSlotFree. The sender thread gives the
// slot back as soon as it no longer reads the pixels (releaseFramePixels),
// which may be long before the frame has been encoded and sent.
struct NDISendData {
    std::atomic<int32_t> running{0};  // set by the sender thread; 0 ends its loop
    std::atomic<int32_t> busy{kSlotFree};
    std::atomic<int32_t> ready{0};  // 1: a complete frame waits
    uint8_t* pixels = nullptr;      // 7680 x 4320 x 4 bytes, never released
    int32_t width = 0;
    int32_t height = 0;
    uint32_t fourcc = 0;
    int32_t frameRateCode = 0;
    int32_t aspect16x9 = 0;
    int32_t progressive = 0;
    // Wakes the idle sender as soon as a frame is placed; it otherwise looks
    // again every 10 ms. Held only around the sender's check, never while it
    // sends.
    std::mutex wakeLock;
    std::condition_variable frameWaiting;
};

// Null until the first frame is submitted; never released.
extern std::atomic<NDISendData*> theNDISendData;

// Posts theCaptureBuffer-sized pixels (captureWidth x captureHeight) with the
// current frame-rate code, 16:9 when thePrefs.scalingMode is set, progressive.
int32_t submitFrame(const uint8_t* pixels, uint32_t fourcc);

// Places one frame in the mailbox, or drops it: the first frame ever creates
// the mailbox and the sender thread instead; frames are dropped while the
// thread has not started, while it still reads the pixels of the frame
// before, while another producer places a frame, and when larger than
// 7680 x 4320 (with a diagnostic line). A frame still waiting is replaced. On
// a high-density display with thePrefs.prescaleIt set, a 'bgra' or 'argb'
// frame of 1921 pixels or wider is halved into '2vuy'. Reads pixels only
// during the call. Returns 0.
int32_t postFrameToSender(const uint8_t* pixels, int32_t width, int32_t height, uint32_t fourcc,
                          int32_t frameRateCode, int32_t aspect16x9, int32_t progressive);

// What the sender thread does with each frame it takes: sendVideoToNDI,
// unless tests and tools put another consumer in its place (null restores it).
using FrameConsumer = int32_t (*)(const uint8_t* pixels, int32_t width, int32_t height,
                                  uint32_t fourcc, int32_t frameRateCode, int32_t aspect16x9,
                                  int32_t progressive);
void setFrameConsumer(FrameConsumer consumer);

// Called by a frame consumer once it has read the last of a frame's pixels
// (the compressed path: once the picture is in the encoder's own buffer).
// When they are the pixels of the frame the calling sender thread has taken
// from the mailbox, the slot is free from then on, so the next frame can be
// placed while this one is still encoded and sent; the consumer must not
// touch the pixels again. Does nothing for any other pixels or thread, and
// for a frame already released.
void releaseFramePixels(const uint8_t* pixels);

// The application hands in the backing scale factors of its screens; the
// engine never asks the window system itself.
void setScreenScaleFactors(const float* factors, int32_t count);

// ---------------------------------------------------------------------------
// The one NDI sender and the settings of the compressed path.

inline constexpr size_t kHXTextSize = 256;
inline constexpr int kHXStreamCount = 2;

struct H264Encoder;

// Shared state of the compressed path. The settings half (networkMode to tune,
// interlaced, allKeyframes) is written only by setupNDIHXSender, before the new
// sender is published in theNDISender; the per-stream half (encoderReady to
// keyframeCountdownB) belongs to the compressed send path on the sender thread.
struct HXSenderState {
    int32_t networkMode;
    char multicastNetPrefix[kHXTextSize];
    char multicastNetMask[kHXTextSize];
    int32_t useCBR;
    int32_t quality;
    int32_t bitRate[kHXStreamCount];  // kbit/s
    char preset[kHXTextSize];
    char tune[kHXTextSize];
    int32_t encoderReady[kHXStreamCount];
    H264Encoder* encoder[kHXStreamCount];
    int32_t lastWidth[kHXStreamCount];
    int32_t lastHeight[kHXStreamCount];
    int32_t lastRateN[kHXStreamCount];
    int32_t lastRateD[kHXStreamCount];
    uint8_t* encodedData[kHXStreamCount];  // 5,000,000 bytes
    uint8_t* uyvyScratch[kHXStreamCount];  // 7680 x 4320 x 2 bytes
    uint8_t* packet[kHXStreamCount];       // 5,500,000 bytes
    int32_t keyframeCountdownA[kHXStreamCount];
    int32_t keyframeCountdownB[kHXStreamCount];
    int32_t interlaced;
    int32_t allKeyframes;
};

// Zero-filled at start, never released.
extern HXSenderState theHXState;

// Null until created, null again after destroyNDISender. Its one guard is
// senderLock (sender.cpp): creation (ensureNDISender) and destruction
// (destroyNDISender) hold it exclusively, and every use of the sender, the
// audio sends (sendNDIFrames) and the video sends with their keyframe probes
// (sendVideoToNDI, through a SenderHold) and the connection count, holds it
// shared, so no send is in flight while a sender is created or destroyed;
// video and audio still send at the same time. Atomic too, so that a thread
// may look whether one exists without taking the lock.
extern std::atomic<NDIlib_send_instance_t> theNDISender;

// bitRateTable[mode] for mode 0 to 6, else 16000 (kbit/s).
int32_t bitRateForMode(int32_t mode);
// qualityTable[mode] for mode 0 to 6, else 21.
int32_t qualityForMode(int32_t mode);
// Writes the bit rates of both streams and the quality that a bit-rate
// setting selects: stream 0 from bitRateForMode, stream 1 a quarter of it. A
// setting outside the menu's 0 to 6 also gets one diagnostic line.
void applyBitRateMode(HXSenderState* state, int32_t mode);

// The one entry through which video (sender thread) and audio (audio thread)
// get the sender: returns theNDISender, creating it first when it is null.
// Creation happens under a lock, so the two threads never create two senders.
// Null when creation fails: drop the frame or block. When the runtime runs but
// refuses the sender (its port taken, for example), creation is tried again
// no sooner than a few seconds later, so a refusal costs one line, not one
// line a frame.
NDIlib_send_instance_t ensureNDISender();

// True while some receiver is connected to theNDISender, and also while no
// sender exists yet: until then nobody can have connected, and the frame
// that creates the sender must still be made. Safe from any thread.
bool anyReceiverConnected();

// Prints "NDIlib_version = %s\n".
void printNDIVersion();

// ---------------------------------------------------------------------------
// Video sending and the compressed packets receivers get.

// Hands one frame to the compressed send path, creating the NDI sender first
// when none exists. Runs on the sender thread (or, for sendTestFrame, on a
// thread that never overlaps it). The pixels are read only during the call.
// Returns 0; a frame that cannot be sent (no sender, refused by
// fillVideoFrame) is dropped, and the next one tries again. While the sender
// has no receiver, frames are dropped before any conversion or encoding (the
// frame that creates the sender excepted).
int32_t sendVideoToNDI(const uint8_t* pixels, int32_t width, int32_t height, uint32_t fourcc,
                       int32_t frameRateCode, int32_t aspect16x9, int32_t progressive);

// Nanoseconds of one frame at the rate frameRateCode announces; 0 for a code
// that announces none.
uint64_t frameDurationNs(int32_t frameRateCode);

// Checks one received compressed packet of size bytes and decodes its header:
// header size 44, codec "H264", dataSize within the packet. Returns 0, or -1
// with one line on standard error naming what is wrong.
int32_t readHXPacket(const uint8_t* data, int64_t size, HXPacketHeader* header);

// The single entry of the compressed path. With a video frame: keeps the
// stream's encoder in step with the frame (its size, its rate, and the colour
// matrix its pixel format was made with), decides on a keyframe, encodes and
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
// buffers. Leaves theNDISender as it is unless it was that sender. Returns 0.
int32_t destroyNDIHXSender(NDIlib_send_instance_t sender, HXSenderState* state);

// ---------------------------------------------------------------------------
// Audio sending.

// Sends `frames` interleaved frames of `channels` 32-bit float samples: all
// channels when thePrefs.allChannels is on or the block is mono, else channels
// 0 and 1. A block too large for the planar buffer leaves in consecutive
// pieces. Returns 0; a block that finds no sender is dropped.
int processAudioBuffer(const float* interleaved, int frames, int channels, int sampleRate);
// How many of a block's channels are sent, by the rule above.
int channelsToSend(int channels);

// ---------------------------------------------------------------------------
// Base64 (RFC 4648 section 4 alphabet, "=" padding) for byte strings.

// Room base64Decode needs for text, its NUL included: with n the leading
// alphabet bytes, ((n + 3) / 4) x 3 + 1.
int32_t base64DecodedLength(const char* text);
// Decodes the leading alphabet bytes of text (padding, white space or any other
// byte ends it) into dest, then writes a NUL. dest must hold
// base64DecodedLength(text) bytes. Returns the bytes decoded, NUL not counted.
int32_t base64Decode(uint8_t* dest, const char* text);
// Room base64Encode needs for count bytes, its NUL included.
int32_t base64EncodedLength(int32_t count);
// Encodes count bytes of src into dest with padding and a NUL; dest must hold
// base64EncodedLength(count) bytes. Returns the characters written plus one.
int32_t base64Encode(char* dest, const uint8_t* src, int32_t count);

// ---------------------------------------------------------------------------
// Where a frame's time goes, for benchmarks: while an observer is set, each
// stage of the road reports its duration once per frame. Without one the
// stages read no clock.
enum class EngineStage {
    MailboxCopy,  // the producer's copy (or half-size conversion) into the mailbox
    Convert,      // BGRA (through UYVY) or UYVY to the encoder's I420 picture
    Encode,
    Send,  // both sends of the packet
};
inline constexpr int kEngineStageCount = 4;
using StageObserver = void (*)(EngineStage stage, int64_t nanoseconds);
// Called on the thread of the stage (the producer's for MailboxCopy, the
// sender thread's otherwise); null stops the reports.
void setStageObserver(StageObserver observer);
