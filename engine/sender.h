// The one NDI sender through which all video, audio and metadata leave the
// program, the encoder settings written when it is created, and the plain
// send, teardown and version calls around it. The shared records and the
// calls other subsystems make are in engine.h.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <shared_mutex>

#include "engine/engine.h"
#include "platform/ndi/ndi.h"

// The source name receivers see, "NDI Wendlor HX".
extern char ndiSourceName[kHXTextSize];

inline constexpr int kBitRateModeCount = 7;
extern const int32_t bitRateTable[kBitRateModeCount];  // kbit/s
extern const int32_t qualityTable[kBitRateModeCount];

// A refused creation (the runtime runs but cannot listen, for example) is
// not tried again for this long: every video frame and audio block asks for
// the sender, and trying on each would print a mode line a hundred times a
// second. A runtime that cannot run at all is still asked again each time.
inline constexpr std::chrono::milliseconds kDefaultRefusedRetryInterval{3000};
// Sets the interval and forgets the last refusal; tests shorten it.
void setRefusedRetryInterval(std::chrono::milliseconds interval);

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

// Holds theNDISender's guard shared for its life: the sender it gives is
// neither destroyed nor replaced until the hold ends. Nothing under the hold
// may take the guard again (ensureNDISender, anyReceiverConnected,
// sendNDIFrames, destroyNDISender).
class SenderHold {
  public:
    SenderHold();
    // theNDISender as it stands for the hold's life; null when none exists.
    NDIlib_send_instance_t sender() const { return sender_; }
    // Whether a receiver is connected to that sender.
    bool receiverConnected() const;

  private:
    std::shared_lock<std::shared_mutex> lock_;
    NDIlib_send_instance_t sender_ = nullptr;
};

// When theNDISender is not null: waits for sends in flight through
// sendNDIFrames, destroys the sender, sets theNDISender to null and destroys
// the runtime. Runs on the sender thread, so video sends made directly on that
// thread cannot overlap it. Returns 0.
int32_t destroyNDISender();

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
