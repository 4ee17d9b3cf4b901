// What the sending end's two halves share: the sending threads queue frames
// (send.cpp) and one I/O thread serves the connections (connections.cpp).
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/diagnostics.h"
#include "platform/ndi/link.h"
#include "platform/ndi/ndi.h"
#include "platform/ndi/socket.h"
#include "platform/ndi/wire.h"

namespace ndisend {

inline constexpr size_t kMaxReceivers = 64;

// One connection. Two guards, one for each half: the I/O thread alone reads
// and writes its socket and every field outside `queues`, with no lock;
// `queues` is shared with the sending threads under the sender's lock.
struct Link {
    int fd = -1;
    char address[64] = {};
    char name[ndiwire::kMaxNameSize + 1] = {};
    bool saidHello = false;
    long long acceptedMs = 0;
    ndiwire::PeerReader peer;
    ndilink::MessagePtr current;  // being written
    size_t written = 0;           // bytes of current already written
    bool waitWritable = false;
    bool dropped = false;
    uint64_t bytesWritten = 0;
    uint64_t greeting = 0;  // order of the receivers' hellos
    // When the kernel last took a byte, or a message was taken up to be
    // written (the stall clock starts then). I/O thread only, like the rest.
    long long lastProgressMs = 0;
    // A receiver that reports its progress: the bytes it says it has read,
    // and when it last showed progress, or data began to wait for it.
    bool reportsProgress = false;
    uint64_t reportedBytes = 0;
    long long shownProgressMs = 0;
    ndilink::LinkQueues queues;

    Link() = default;
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;
    ~Link();
};

using LinkPtr = std::shared_ptr<Link>;

// Lines about peers, which any peer can cause at will: of each kind, the
// first of an interval is written, the rest are counted, and their number is
// said once the interval is over. A kind is its reason, one of a few fixed
// texts. I/O thread only.
class PeerLines {
  public:
    static constexpr long long kIntervalMs = 1000;
    void say(long long nowMs, const char* kind, const char* format, ...)
        __attribute__((format(printf, 4, 5)));
    // Says how many were left out of each kind whose interval is over.
    void settle(long long nowMs);

  private:
    struct Kind {
        const char* text = nullptr;
        long long windowStartMs = 0;
        int unsaid = 0;
    };
    Kind& kindOf(const char* text);
    void settle(Kind& kind, long long nowMs);
    // Kinds beyond these share the last slot.
    std::array<Kind, 16> kinds_{};
};

}  // namespace ndisend

struct NDIlib_send_instance_type {
    char name[256] = {};
    int listenFd = -1;
    int port = 0;
    int wakePipe[2] = {-1, -1};
    std::atomic<bool> wakePending{false};
    std::atomic<bool> stopping{false};
    std::atomic<uint64_t> sequence{0};
    std::thread ioThread;
    ndilink::MessagePtr helloMessage;
    RepeatedLine framesLost;  // frames not sent for want of memory

    std::mutex lock;  // guards everything below
    std::vector<ndisend::LinkPtr> links;
    size_t receivers = 0;  // links that said hello
    ndilink::KeyframeBudget keyframes;
    std::condition_variable receiversChanged;

    // I/O thread only.
    uint64_t greetings = 0;
    long long listenPausedUntilMs = 0;
    ndisend::PeerLines peerLines;
};

namespace ndisend {

using Sender = NDIlib_send_instance_type;

// Wakes the I/O thread to write what was just queued.
void wake(Sender* sender);
// The I/O thread: accepts, greets, writes and expires connections until the
// sender is stopping.
void serveConnections(Sender* sender);

}  // namespace ndisend
