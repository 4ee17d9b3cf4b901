// The one NDI sender through which all video, audio and metadata leave the
// program, the encoder settings written when it is created, and the plain
// send, teardown and version calls around it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/ndi/ndi.h"

struct H264Encoder;

inline constexpr size_t kHXTextSize = 256;
inline constexpr int kHXStreamCount = 2;

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
    uint8_t* uyvyScratch[kHXStreamCount];  // 3840 x 2160 x 2 bytes
    uint8_t* packet[kHXStreamCount];       // 5,500,000 bytes
    int32_t keyframeCountdownA[kHXStreamCount];
    int32_t keyframeCountdownB[kHXStreamCount];
    int32_t interlaced;
    int32_t allKeyframes;
};

// Zero-filled at start, never released.
extern HXSenderState theHXState;

// Null until created, null again after destroyNDISender. Atomic because the
// sender thread and the audio thread both look at it.
extern std::atomic<NDIlib_send_instance_t> theNDISender;

// The source name receivers see, "NDI Wendlor HX".
extern char ndiSourceName[kHXTextSize];

inline constexpr int kBitRateModeCount = 7;
extern const int32_t bitRateTable[kBitRateModeCount];  // kbit/s
extern const int32_t qualityTable[kBitRateModeCount];

// bitRateTable[mode] for mode 0 to 6, else 16000.
int32_t bitRateForMode(int32_t mode);
// qualityTable[mode] for mode 0 to 6, else 21.
int32_t qualityForMode(int32_t mode);

// The one entry through which video (sender thread) and audio (audio thread)
// get the sender: returns theNDISender, creating it first with
// NDIlib_initialize and setupNDIHXSender when it is null. Creation happens
// under a lock, so the two threads never create two senders. Null when
// creation fails: drop the frame or block, the next one tries again.
NDIlib_send_instance_t ensureNDISender();

// Writes the settings half of theHXState from thePrefs.theBitRateMode, then
// returns createNDISender(ndiSourceName, &theHXState). Does not store the
// result: use ensureNDISender to get the shared sender.
NDIlib_send_instance_t setupNDIHXSender();
// Initialises the runtime, ignores SIGINT from then on, prints the transport
// mode line and creates the sender. Null with "Cannot run NDI." (no line end)
// when the runtime cannot run, or null when the runtime refuses the sender.
NDIlib_send_instance_t createNDISender(const char* name, HXSenderState* state);

// Sends audio, then video, then metadata, each when not null. The sends are
// guarded against destroyNDISender on another thread: when `sender` is no
// longer theNDISender (destroyed meanwhile), nothing is sent. Returns 0.
int32_t sendNDIFrames(NDIlib_send_instance_t sender, const NDIlib_video_frame_v2_t* video,
                      const NDIlib_audio_frame_v2_t* audio,
                      const NDIlib_metadata_frame_t* metadata);

// When theNDISender is not null: waits for sends in flight through
// sendNDIFrames, destroys the sender, sets theNDISender to null and destroys
// the runtime. Runs on the sender thread, so video sends made directly on that
// thread cannot overlap it. Returns 0.
int32_t destroyNDISender();

// Prints "NDIlib_version = %s\n".
void printNDIVersion();

// Installed as the SIGINT handler at every sender creation; does nothing.
void ignoreSignal(int signalNumber);

// A receiver for the given source, colour format, bandwidth and field flag,
// named "NDI Processing Engine"; a non-zero flag asks for compressed frames
// (colour format 301). Does not initialise the runtime.
NDIlib_recv_instance_t createNDIReceiver(const NDIlib_recv_create_v3_t* settings, int32_t flag);

// The transport configuration text for a network mode, written into buffer
// (zero-filled first), and the line createNDISender prints for that mode.
// Modes other than 1, 2 and 3 give the default text.
const char* ndiConfigText(const HXSenderState& state, char* buffer, size_t size);
const char* ndiModeLine(int32_t networkMode);
inline constexpr size_t kNDIConfigTextSize = 2000;
