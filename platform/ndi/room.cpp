#include "platform/ndi/room.h"

namespace ndiroom {

namespace {

bool behind(const Figures& r) {
    return r.lostVideo || (r.waitingBytes > 0 && r.sinceProgressMs >= kBehindMs);
}

// Who goes first: 0 a receiver that is behind, 1 one that has shown nothing
// since its hello, 2 one that does not report, pushed out only by a newcomer
// that does.
int rank(const Figures& r) {
    if (behind(r)) return 0;
    return r.tookData ? 2 : 1;
}

// True when a should go before b. Being behind comes first, so that a flood
// of newcomers, each as idle as the last, cannot push out one still waiting
// for its first keyframe while a receiver that stopped reading holds a place.
// Of those that do not report, the one there longest stays longest.
bool goesBefore(const Figures& a, const Figures& b) {
    if (rank(a) != rank(b)) return rank(a) < rank(b);
    if (rank(a) == 0 && a.waitingBytes != b.waitingBytes) return a.waitingBytes > b.waitingBytes;
    return rank(a) == 2 ? a.greeting > b.greeting : a.greeting < b.greeting;
}

}  // namespace

bool keepsUp(const Figures& receiver, bool newcomerReportsProgress) {
    return receiver.tookData && !behind(receiver) &&
           (receiver.reportsProgress || !newcomerReportsProgress);
}

size_t whomToDrop(std::span<const Figures> receivers, bool newcomerReportsProgress) {
    size_t chosen = kNobody;
    for (size_t i = 0; i < receivers.size(); ++i) {
        if (keepsUp(receivers[i], newcomerReportsProgress)) continue;
        if (chosen == kNobody || goesBefore(receivers[i], receivers[chosen])) chosen = i;
    }
    return chosen;
}

}  // namespace ndiroom
