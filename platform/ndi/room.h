// Who gives up a receiver's place when every place is taken and another peer
// says hello. Decided from figures the I/O thread gathers, so the rule holds
// without sockets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace ndiroom {

// A receiver with bytes waiting that has taken none for this long is behind:
// one that reads keeps nothing waiting for long, even beside a large keyframe.
inline constexpr long long kBehindMs = 1000;

// Where one receiver stands.
struct Figures {
    uint64_t waitingBytes = 0;      // handed to it and not yet taken
    long long sinceProgressMs = 0;  // since it last took a byte of what waits
    bool lostVideo = false;         // lost video for being too slow, not yet resynced
    bool tookData = false;          // took anything beyond our hello
    uint64_t greeting = 0;          // order of the hellos: smaller said hello first
};

// True for a receiver that nobody may push out: it has taken data since its
// hello and is not behind.
bool keepsUp(const Figures& receiver);

inline constexpr size_t kNobody = SIZE_MAX;

// The receiver whose place goes to a newcomer: the one furthest behind, else
// the one that said hello first among those that took nothing since. kNobody
// when every one keeps up: the newcomer is then refused.
size_t whomToDrop(std::span<const Figures> receivers);

}  // namespace ndiroom
