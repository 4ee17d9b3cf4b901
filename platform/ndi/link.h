// One receiver's queues on the sending side and the rules that keep a slow
// receiver from holding anyone up: video is dropped in whole messages and
// resumes at a keyframe, audio is kept in order and overtakes video, metadata
// is kept in order with video, and every FourCC starts at a keyframe. The sender's lock guards all
// of it; nothing here touches a socket.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>

#include "platform/ndi/wire.h"

namespace ndilink {

// Video waiting for one receiver: a few pictures (each may go out under two
// FourCCs), or this many bytes (one message always fits, however large).
inline constexpr size_t kVideoQueueFrames = 16;
inline constexpr size_t kVideoQueueBytes = 16u << 20;
// Audio and metadata waiting for one receiver. A receiver whose oldest
// waiting audio is this old has fallen behind for good and is dropped; the
// byte cap only bounds memory against bursts (a sender catching up on ten
// seconds of audio at once is not a receiver falling behind).
inline constexpr long long kOrderedBacklogMs = 5000;
inline constexpr size_t kOrderedQueueBytes = 128u << 20;
// A receiver that lost video asks for a keyframe of its own only after this
// long: the stream's own keyframes usually come first, so a slow receiver
// cannot raise everyone's data rate.
inline constexpr long long kLaggardKeyframeDelayMs = 2000;
inline constexpr size_t kTrackedFourCCs = 16;

// One encoded message, shared by every receiver it is queued for.
struct Message {
    std::unique_ptr<uint8_t[]> bytes;
    size_t size = 0;
    uint32_t type = 0;
    uint32_t fourCC = 0;
    bool keyframe = false;
    long long madeMs = 0;
    uint64_t sequence = 0;  // the order the sends were made in
};
using MessagePtr = std::shared_ptr<const Message>;

MessagePtr makeMessage(const ndiwire::Header& header, const void* data, const char* metadata,
                       bool keyframe, long long nowMs, uint64_t sequence = 0);

// Where one receiver stands in the video of one FourCC.
struct StreamState {
    uint32_t fourCC = 0;
    bool synced = false;      // has had a keyframe and every frame since
    bool lagging = false;     // lost video for being too slow
    long long askFromMs = 0;  // may ask for a keyframe from then on
};

struct LinkQueues {
    uint32_t wants = 0;  // 0 until the receiver said hello
    long long greetedMs = 0;
    std::deque<MessagePtr> ordered;   // audio, never dropped, never behind video
    std::deque<MessagePtr> metadata;  // never dropped, in order with video
    std::deque<MessagePtr> video;
    size_t orderedBytes = 0;
    size_t videoBytes = 0;
    bool videoInFlight = false;    // a video message is being written
    bool drained = true;           // nothing queued or being written
    const char* doomed = nullptr;  // why the receiver must be dropped
    std::array<StreamState, kTrackedFourCCs> streams{};
};

// Queues a video message unless the receiver must wait for a keyframe of its
// FourCC; a receiver that has fallen behind loses its queued video first.
// True when it was queued.
bool offerVideo(LinkQueues& link, const MessagePtr& message, long long nowMs);
// Queues audio or metadata; past the cap the receiver is marked doomed.
void offerOrdered(LinkQueues& link, const MessagePtr& message);
// Why the receiver must be dropped now, or null.
const char* lostCause(const LinkQueues& link, long long nowMs);
// The next message to write: audio first, then metadata and video in the
// order they were sent; null when none.
MessagePtr takeNext(LinkQueues& link);
// True when this receiver waits for a keyframe of fourCC and may ask now.
bool wantsKeyframe(const LinkQueues& link, uint32_t fourCC, long long nowMs);

}  // namespace ndilink

namespace ndilink {

// Keyframes: at most two at once, then one per interval, so receivers that
// join together share one and connection churn cannot multiply the data
// rate. Every keyframe sent uses up credit, the stream's own and the second
// one the encoder makes after a forced one alike; the same picture sent
// again under another FourCC (same timecode) is the same keyframe. A request
// is paid for when it is granted, since the peer that asked may be gone
// before its keyframe is sent; it stands for one interval or until the
// next keyframe, which it has then paid for. Credit may run into debt, so
// that the keyframes that follow a grant push the next one out.
class KeyframeBudget {
  public:
    static constexpr long long kIntervalMs = 500;
    static constexpr long long kBurst = 2;
    bool available(long long nowMs) const {
        return granted(nowMs) || creditAt(nowMs) >= kIntervalMs;
    }
    // A request answered yes.
    void grant(long long nowMs) {
        if (granted(nowMs)) return;
        charge(nowMs);
        grantedAtMs_ = nowMs;
        grantPending_ = true;
    }
    // A keyframe queued for at least one receiver.
    void spend(long long nowMs, int64_t timecode) {
        if (timecode == lastTimecode_ && timecode != NDIlib_send_timecode_synthesize) return;
        lastTimecode_ = timecode;
        if (grantPending_) {
            grantPending_ = false;
            return;
        }
        charge(nowMs);
    }

  private:
    bool granted(long long nowMs) const {
        return grantPending_ && nowMs - grantedAtMs_ < kIntervalMs;
    }
    long long creditAt(long long nowMs) const {
        return std::min(kBurst * kIntervalMs, creditMs_ + (nowMs - atMs_));
    }
    void charge(long long nowMs) {
        creditMs_ = std::max(-kBurst * kIntervalMs, creditAt(nowMs) - kIntervalMs);
        atMs_ = nowMs;
    }
    long long creditMs_ = kBurst * kIntervalMs;
    long long atMs_ = 0;
    long long grantedAtMs_ = 0;
    bool grantPending_ = false;
    int64_t lastTimecode_ = NDIlib_send_timecode_synthesize;
};

}  // namespace ndilink
