// The sending end. Sends encode each frame once and queue it for every
// receiver that wants it, then return: one I/O thread accepts connections,
// reads the receivers' hellos and writes each receiver's queue as fast as that
// receiver takes it, so no receiver, stalled or slow, holds up the sending
// threads or the other receivers.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/bounded_text.h"
#include "platform/ndi/link.h"
#include "platform/ndi/listen.h"
#include "platform/ndi/ndi.h"
#include "platform/ndi/socket.h"
#include "platform/ndi/wire.h"

namespace {

constexpr size_t kMaxReceivers = 64;
// Connections that have not said hello yet; past this the oldest goes, so
// idle sockets cannot lock receivers out.
constexpr size_t kMaxGreeting = 64;
constexpr long long kHelloTimeoutMs = 2000;
// A receiver that takes no byte for this long while data waits is gone.
constexpr long long kStallTimeoutMs = 3000;
constexpr int kHousekeepingMs = 200;
constexpr long long kRefusalLineSpacingMs = 1000;

// One connection. The I/O thread alone reads and writes its socket and the
// fields outside `queues`; `queues` is shared with the sending threads under
// the sender's lock.
struct Link {
    int fd = -1;
    char address[64] = {};
    char name[ndiwire::kMaxNameSize + 1] = {};
    long long acceptedMs = 0;
    ndiwire::PeerReader peer;
    ndilink::MessagePtr current;  // being written
    size_t written = 0;           // bytes of current already written
    bool waitWritable = false;
    bool dropped = false;
    uint64_t bytesWritten = 0;
    uint64_t greeting = 0;  // order of the receivers' hellos
    std::atomic<long long> lastProgressMs{0};
    ndilink::LinkQueues queues;

    ~Link() {
        if (fd >= 0) close(fd);
    }
};

using LinkPtr = std::shared_ptr<Link>;

}  // namespace

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

    std::mutex lock;  // guards everything below
    std::vector<LinkPtr> links;
    size_t receivers = 0;  // links that said hello
    ndilink::KeyframeBudget keyframes;
    std::condition_variable receiversChanged;

    // I/O thread only.
    uint64_t greetings = 0;
    long long listenPausedUntilMs = 0;
    long long lastRefusalLineMs = -kRefusalLineSpacingMs;
    int refusalsUnreported = 0;
};

namespace {

using Sender = NDIlib_send_instance_type;

void wake(Sender* sender) {
    if (sender->wakePending.exchange(true)) return;
    const char byte = 1;
    if (write(sender->wakePipe[1], &byte, 1) < 0 && errno != EAGAIN) {
        perror("ndi: waking the sender's I/O thread");
    }
}

// "receiver "name" at address", or "peer address" for one that never said
// hello.
void describeLink(const Link& link, bool receiver, char* out, size_t size) {
    if (receiver) {
        snprintf(out, size, "receiver \"%s\" at %s", link.name, link.address);
    } else {
        snprintf(out, size, "peer %s", link.address);
    }
}

// Lines about peers that never became receivers, or that were pushed out to
// make room, are rate-limited: a flood of bad connections must not become a
// flood of lines.
void reportRefusal(Sender* sender, const char* who, const char* reason) {
    const long long now = ndiwire::monotonicMs();
    if (now - sender->lastRefusalLineMs < kRefusalLineSpacingMs) {
        ++sender->refusalsUnreported;
        return;
    }
    if (sender->refusalsUnreported > 0) {
        fprintf(stderr, "ndi: dropped %s: %s (and %d more since)\n", who, reason,
                sender->refusalsUnreported);
    } else {
        fprintf(stderr, "ndi: dropped %s: %s\n", who, reason);
    }
    sender->lastRefusalLineMs = now;
    sender->refusalsUnreported = 0;
}

enum class Line { always, rateLimited };

// Runs on the I/O thread only; the socket closes when the last holder of the
// link lets go. The line is written before the peer can see the shutdown, so
// whoever watches both finds the reason once the connection has gone.
void dropLink(Sender* sender, const LinkPtr& link, const char* reason, Line line = Line::always) {
    if (link->dropped) return;
    link->dropped = true;
    bool wasReceiver = false;
    {
        std::lock_guard guard(sender->lock);
        wasReceiver = link->queues.wants != 0;
        if (wasReceiver) --sender->receivers;
        std::erase(sender->links, link);
    }
    if (wasReceiver) sender->receiversChanged.notify_all();
    if (reason != nullptr) {
        char who[sizeof link->name + sizeof link->address + 32];
        describeLink(*link, wasReceiver, who, sizeof who);
        if (wasReceiver && line == Line::always) {
            fprintf(stderr, "ndi: dropped %s: %s\n", who, reason);
        } else {
            reportRefusal(sender, who, reason);
        }
    }
    shutdown(link->fd, SHUT_RDWR);
}

void describePeer(const sockaddr_storage& peer, char* out, size_t size) {
    char host[INET6_ADDRSTRLEN] = "?";
    int port = 0;
    if (peer.ss_family == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(&peer);
        inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
        port = ntohs(a->sin6_port);
    } else if (peer.ss_family == AF_INET) {
        const auto* a = reinterpret_cast<const sockaddr_in*>(&peer);
        inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
        port = ntohs(a->sin_port);
    }
    snprintf(out, size, "%s:%d", host, port);
}

// The oldest connection still to say hello, to make room for a newer one.
LinkPtr oldestGreeting(Sender* sender, size_t* greeting) {
    LinkPtr oldest;
    std::lock_guard guard(sender->lock);
    *greeting = 0;
    for (const LinkPtr& link : sender->links) {
        if (link->queues.wants != 0) continue;
        ++*greeting;
        if (oldest == nullptr || link->acceptedMs < oldest->acceptedMs) oldest = link;
    }
    return oldest;
}

// Takes one waiting connection and queues our hello for it; false when none
// is waiting.
bool acceptOne(Sender* sender) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int fd = accept4(sender->listenFd, reinterpret_cast<sockaddr*>(&peer), &length,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        // Out of descriptors the connection stays queued and poll keeps
        // waking us: leave the listening socket alone for a moment.
        if (errno == EMFILE || errno == ENFILE) {
            fprintf(stderr, "ndi: cannot accept a receiver: %s\n", strerror(errno));
            sender->listenPausedUntilMs = ndiwire::monotonicMs() + 100;
        }
        return false;
    }
    size_t greeting = 0;
    if (LinkPtr oldest = oldestGreeting(sender, &greeting); greeting >= kMaxGreeting) {
        dropLink(sender, oldest, "too many connections waiting to say hello");
    }
    auto link = std::make_shared<Link>();
    link->fd = fd;
    link->acceptedMs = ndiwire::monotonicMs();
    link->lastProgressMs = link->acceptedMs;
    describePeer(peer, link->address, sizeof link->address);
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::lock_guard guard(sender->lock);
    ndilink::offerOrdered(link->queues, sender->helloMessage);
    sender->links.push_back(link);
    return true;
}

void acceptAll(Sender* sender) {
    for (int i = 0; i < 64 && acceptOne(sender); ++i) {
    }
}

// Where a receiver stands when one must make room for a newer one.
struct Standing {
    uint64_t behind = 0;  // bytes waiting that it has not made room for
    bool tookData = false;
};

// What waits for the peer that it has not made room for: the rest of a
// message our kernel would not take, and what the kernel holds back because
// the peer's window is full. A peer that stopped reading falls further
// behind with every frame; one that reads keeps nothing waiting for long.
Standing standingOf(const Sender& sender, const Link& link) {
    int unsent = 0;
    if (ioctl(link.fd, SIOCOUTQNSD, &unsent) != 0 || unsent < 0) unsent = 0;
    Standing standing;
    standing.behind = static_cast<uint64_t>(unsent);
    if (link.current != nullptr) standing.behind += link.current->size - link.written;
    const uint64_t sent = link.bytesWritten - std::min<uint64_t>(link.bytesWritten, unsent);
    standing.tookData = sent > sender.helloMessage->size;  // our hello is not data
    return standing;
}

// True when a has gone longer than b without taking data: it is further
// behind; or, with nothing waiting for either, it has taken nothing since its
// hello, or said hello first.
bool idler(const Standing& a, const Link& aLink, const Standing& b, const Link& bLink) {
    if (a.behind != b.behind) return a.behind > b.behind;
    if (a.tookData != b.tookData) return !a.tookData;
    return aLink.greeting < bLink.greeting;
}

// The receiver that has gone longest without taking data. Under the sender's
// lock.
LinkPtr idlestReceiver(Sender* sender) {
    LinkPtr idlest;
    Standing idlestStanding;
    for (const LinkPtr& link : sender->links) {
        if (link->queues.wants == 0) continue;
        const Standing standing = standingOf(*sender, *link);
        if (idlest == nullptr || idler(standing, *link, idlestStanding, *idlest)) {
            idlest = link;
            idlestStanding = standing;
        }
    }
    return idlest;
}

// A peer's hello makes it a receiver. When there are enough already, it takes
// the place of the idlest: peers that said hello and never read must not keep
// out receivers that do. Being behind comes first, so that a flood of
// newcomers, each as idle as the last, cannot push out a receiver still
// waiting for its first keyframe.
void greet(Sender* sender, const LinkPtr& link, uint32_t wants) {
    LinkPtr idlest;
    {
        std::lock_guard guard(sender->lock);
        if (sender->receivers >= kMaxReceivers) idlest = idlestReceiver(sender);
    }
    if (idlest != nullptr) {
        dropLink(sender, idlest, "made room for a new receiver", Line::rateLimited);
    }
    link->greeting = ++sender->greetings;
    {
        std::lock_guard guard(sender->lock);
        link->queues.wants = wants != 0 ? wants : ndiwire::kWantMetadata;
        link->queues.greetedMs = ndiwire::monotonicMs();
        ++sender->receivers;
    }
    sender->receiversChanged.notify_all();
}

// Reads what the peer sent: its hello, or anything else, which drops it.
void readFrom(Sender* sender, const LinkPtr& link) {
    size_t room = 0;
    uint8_t* target = link->peer.space(&room);
    const ssize_t got = recv(link->fd, target, room, MSG_DONTWAIT);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        dropLink(sender, link, nullptr);
        return;
    }
    if (got < 0) return;
    const char* error = nullptr;
    switch (link->peer.advance(static_cast<size_t>(got), &error)) {
        case ndiwire::PeerReader::kRefused:
            dropLink(sender, link, error);
            return;
        case ndiwire::PeerReader::kGreeted:
            copyBoundedUtf8(link->name, sizeof link->name, link->peer.name());
            greet(sender, link, link->peer.wants());
            return;
        case ndiwire::PeerReader::kMore:
            return;
    }
}

ndilink::MessagePtr nextMessage(Sender* sender, Link& link) {
    std::lock_guard guard(sender->lock);
    return ndilink::takeNext(link.queues);
}

// Writes what the receiver will take now; false when it is gone.
bool flush(Sender* sender, const LinkPtr& link) {
    for (;;) {
        if (link->current == nullptr) {
            link->current = nextMessage(sender, *link);
            link->written = 0;
            if (link->current == nullptr) {
                link->waitWritable = false;
                return true;
            }
        }
        const ssize_t wrote =
            send(link->fd, link->current->bytes.get() + link->written,
                 link->current->size - link->written, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (wrote > 0) {
            link->lastProgressMs = ndiwire::monotonicMs();
            link->bytesWritten += static_cast<uint64_t>(wrote);
            link->written += static_cast<size_t>(wrote);
            if (link->written == link->current->size) link->current.reset();
            continue;
        }
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            link->waitWritable = true;
            return true;
        }
        dropLink(sender, link, nullptr);
        return false;
    }
}

// Why a connection must go now, or null.
const char* expiry(Sender* sender, const Link& link, long long now) {
    std::lock_guard guard(sender->lock);
    if (const char* cause = ndilink::lostCause(link.queues, now)) return cause;
    if (link.queues.wants == 0 && now - link.acceptedMs > kHelloTimeoutMs) {
        return "did not say hello within 2 s";
    }
    const bool waiting = link.current != nullptr || !link.queues.drained;
    if (waiting && now - link.lastProgressMs > kStallTimeoutMs) return "stalled";
    return nullptr;
}

std::vector<LinkPtr> snapshotLinks(Sender* sender) {
    std::lock_guard guard(sender->lock);
    return sender->links;
}

void serviceLinks(Sender* sender, const std::vector<LinkPtr>& links,
                  const std::vector<pollfd>& watched) {
    const long long now = ndiwire::monotonicMs();
    for (size_t i = 0; i < links.size(); ++i) {
        const LinkPtr& link = links[i];
        const short events = watched[i + 2].revents;
        // A link made room for a newer one earlier in this round is gone.
        if (link->dropped) continue;
        if ((events & (POLLIN | POLLERR | POLLHUP)) != 0) readFrom(sender, link);
        if (link->dropped) continue;
        // A receiver known to be full is left alone until it has room.
        const bool mayWrite = !link->waitWritable || (events & POLLOUT) != 0;
        if (mayWrite && !flush(sender, link)) continue;
        if (const char* reason = expiry(sender, *link, now)) dropLink(sender, link, reason);
    }
}

void ioLoop(Sender* sender) {
    std::vector<pollfd> watched;
    while (!sender->stopping.load()) {
        const std::vector<LinkPtr> links = snapshotLinks(sender);
        const bool listening = ndiwire::monotonicMs() >= sender->listenPausedUntilMs;
        watched.assign(
            {{sender->wakePipe[0], POLLIN, 0}, {listening ? sender->listenFd : -1, POLLIN, 0}});
        for (const LinkPtr& link : links) {
            const short events = POLLIN | (link->waitWritable ? POLLOUT : 0);
            watched.push_back({link->fd, events, 0});
        }
        if (poll(watched.data(), watched.size(), kHousekeepingMs) < 0 && errno != EINTR) {
            fprintf(stderr, "ndi: sender poll failed: %s\n", strerror(errno));
            return;
        }
        if (watched[0].revents != 0) {
            // Drained before the flag is cleared: a wake between the two finds
            // the flag still set and writes nothing, and its frame, queued
            // before, is written below. The other order could swallow a
            // wake-up and leave frames waiting.
            char drain[64];
            while (read(sender->wakePipe[0], drain, sizeof drain) > 0) {
            }
            sender->wakePending.store(false);
        }
        if (watched[1].revents != 0) acceptAll(sender);
        serviceLinks(sender, links, watched);
    }
}

void closeSender(Sender* sender) {
    if (sender->ioThread.joinable()) {
        sender->stopping.store(true);
        sender->wakePending.store(false);
        wake(sender);
        sender->ioThread.join();
    }
    sender->links.clear();
    for (int fd : {sender->listenFd, sender->wakePipe[0], sender->wakePipe[1]}) {
        if (fd >= 0) close(fd);
    }
    delete sender;
}

// Builds the header of a frame about to be sent; a frame that cannot be laid
// out is refused with one line.
template <typename Frame>
bool checkedHeader(const Frame& frame,
                   bool (*headerFor)(const Frame&, ndiwire::Header*, const char**),
                   const char* kind, ndiwire::Header* header) {
    const char* error = nullptr;
    if (headerFor(frame, header, &error)) return true;
    fprintf(stderr, "ndi: %s frame not sent: %s\n", kind, error);
    return false;
}

uint32_t wantFor(uint32_t type) {
    switch (type) {
        case ndiwire::kVideo:
            return ndiwire::kWantVideo;
        case ndiwire::kAudio:
            return ndiwire::kWantAudio;
        default:
            return ndiwire::kWantMetadata;
    }
}

bool anyoneWants(Sender* sender, uint32_t want) {
    for (const LinkPtr& link : sender->links) {
        if ((link->queues.wants & want) != 0) return true;
    }
    return false;
}

// Encodes the frame once, if anyone wants it, and queues it for each receiver
// that does.
void queueFrame(Sender* sender, const ndiwire::Header& header, const void* data,
                const char* metadata, bool keyframe) {
    const uint32_t want = wantFor(header.type);
    {
        std::lock_guard guard(sender->lock);
        if (!anyoneWants(sender, want)) return;
    }
    // The copy is made outside the lock: the I/O thread keeps writing.
    const long long now = ndiwire::monotonicMs();
    const ndilink::MessagePtr message =
        ndilink::makeMessage(header, data, metadata, keyframe, now, ++sender->sequence);
    {
        std::lock_guard guard(sender->lock);
        bool awaited = false;
        for (const LinkPtr& link : sender->links) {
            ndilink::LinkQueues& queues = link->queues;
            if ((queues.wants & want) == 0) continue;
            if (queues.drained) link->lastProgressMs = now;  // the stall clock starts now
            if (header.type == ndiwire::kVideo) {
                awaited |= ndilink::offerVideo(queues, message, now);
            } else {
                ndilink::offerOrdered(queues, message);
            }
        }
        if (awaited) sender->keyframes.spend(now, header.timecode);
    }
    wake(sender);
}

ndilink::MessagePtr helloFor(const char* sourceName) {
    ndiwire::Header hello;
    ndiwire::headerForHello(sourceName, &hello);
    return ndilink::makeMessage(hello, sourceName, nullptr, false, ndiwire::monotonicMs());
}

}  // namespace

NDIlib_send_instance_t NDIlib_send_create_v2(const NDIlib_send_create_t* settings,
                                             const char* /*config: one transport only*/) {
    auto* sender = new NDIlib_send_instance_type;
    const char* name = settings != nullptr ? settings->p_ndi_name : nullptr;
    copyBoundedUtf8(sender->name, sizeof sender->name, name != nullptr ? name : "NDI Source");
    sender->helloMessage = helloFor(sender->name);
    sender->listenFd = ndiwire::openListener(&sender->port);
    if (sender->listenFd < 0 || pipe2(sender->wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        closeSender(sender);
        return nullptr;
    }
    sender->ioThread = std::thread(ioLoop, sender);
    printf("NDI source \"%s\" on TCP port %d\n", sender->name, sender->port);
    fflush(stdout);
    return sender;
}

void NDIlib_send_destroy(NDIlib_send_instance_t sender) {
    if (sender != nullptr) closeSender(sender);
}

void NDIlib_send_send_video_v2(NDIlib_send_instance_t sender,
                               const NDIlib_video_frame_v2_t* frame) {
    if (sender == nullptr || frame == nullptr) return;
    ndiwire::Header header;
    if (!checkedHeader(*frame, ndiwire::headerForVideo, "video", &header)) return;
    const bool keyframe = ndiwire::isKeyframe(frame->FourCC, frame->p_data, header.dataSize);
    queueFrame(sender, header, frame->p_data, frame->p_metadata, keyframe);
}

void NDIlib_send_send_audio_v2(NDIlib_send_instance_t sender,
                               const NDIlib_audio_frame_v2_t* frame) {
    if (sender == nullptr || frame == nullptr) return;
    ndiwire::Header header;
    if (!checkedHeader(*frame, ndiwire::headerForAudio, "audio", &header)) return;
    queueFrame(sender, header, frame->p_data, frame->p_metadata, false);
}

void NDIlib_send_send_metadata(NDIlib_send_instance_t sender,
                               const NDIlib_metadata_frame_t* frame) {
    if (sender == nullptr || frame == nullptr) return;
    ndiwire::Header header;
    if (!checkedHeader(*frame, ndiwire::headerForMetadata, "metadata", &header)) return;
    queueFrame(sender, header, frame->p_data, nullptr, false);
}

bool NDIlib_send_is_keyframe_required(NDIlib_send_instance_t sender,
                                      const NDIlib_video_frame_v2_t* probe) {
    if (sender == nullptr || probe == nullptr) return false;
    const long long now = ndiwire::monotonicMs();
    std::lock_guard guard(sender->lock);
    if (!sender->keyframes.available(now)) return false;
    for (const LinkPtr& link : sender->links) {
        if (ndilink::wantsKeyframe(link->queues, probe->FourCC, now)) return true;
    }
    return false;
}

int NDIlib_send_get_port(NDIlib_send_instance_t sender) {
    return sender != nullptr ? sender->port : 0;
}

int NDIlib_send_get_no_connections(NDIlib_send_instance_t sender, uint32_t timeout_in_ms) {
    if (sender == nullptr) return 0;
    const long long deadline = ndiwire::deadlineAfter(timeout_in_ms);
    std::unique_lock guard(sender->lock);
    while (sender->receivers == 0) {
        const int waitMs = ndiwire::pollTimeout(deadline);
        if (waitMs == 0) break;
        if (waitMs < 0) {
            sender->receiversChanged.wait(guard);
        } else {
            sender->receiversChanged.wait_for(guard, std::chrono::milliseconds(waitMs));
        }
    }
    return static_cast<int>(sender->receivers);
}
