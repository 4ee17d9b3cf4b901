#include "platform/ndi/room.h"

namespace ndiroom {

namespace {

bool behind(const Figures& r) {
    return r.lostVideo || (r.waitingBytes > 0 && r.sinceProgressMs >= kBehindMs);
}

// True when a should go before b. Being behind comes first, so that a flood
// of newcomers, each as idle as the last, cannot push out one still waiting
// for its first keyframe while a receiver that stopped reading holds a place.
bool goesBefore(const Figures& a, const Figures& b) {
    if (behind(a) != behind(b)) return behind(a);
    if (behind(a) && a.waitingBytes != b.waitingBytes) return a.waitingBytes > b.waitingBytes;
    return a.greeting < b.greeting;
}

}  // namespace

bool keepsUp(const Figures& receiver) { return receiver.tookData && !behind(receiver); }

size_t whomToDrop(std::span<const Figures> receivers) {
    size_t chosen = kNobody;
    for (size_t i = 0; i < receivers.size(); ++i) {
        if (keepsUp(receivers[i])) continue;
        if (chosen == kNobody || goesBefore(receivers[i], receivers[chosen])) chosen = i;
    }
    return chosen;
}

}  // namespace ndiroom
