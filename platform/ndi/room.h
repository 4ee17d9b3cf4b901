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

// Where one receiver stands. For a receiver that reports its progress the
// figures are its own word; for one that does not, the kernel's, which a peer
// that never reads fools while its buffers take what is sent.
struct Figures {
    uint64_t waitingBytes = 0;      // handed to it and not yet taken
    long long sinceProgressMs = 0;  // since it last took a byte of what waits
    bool lostVideo = false;         // lost video for being too slow, not yet resynced
    bool tookData = false;          // showed it reads: beyond our hello, or ours for a reporter
    bool reportsProgress = false;
    uint64_t greeting = 0;  // order of the hellos: smaller said hello first
};

// True for a receiver that the newcomer may not push out: it has shown that
// it reads and is not behind, and, for a newcomer that reports its progress,
// it reports too.
bool keepsUp(const Figures& receiver, bool newcomerReportsProgress);

inline constexpr size_t kNobody = SIZE_MAX;

// The receiver whose place goes to a newcomer: the one furthest behind, else
// the first to say hello among those that have shown nothing since, else,
// for a newcomer that reports, the last to say hello among those that do not
// report. kNobody when every one keeps up: the newcomer is then refused.
size_t whomToDrop(std::span<const Figures> receivers, bool newcomerReportsProgress);

}  // namespace ndiroom
