// The sender's I/O thread: it accepts connections, reads the receivers'
// hellos and writes each receiver's queue as fast as that receiver takes it,
// so no receiver, stalled or slow, holds up the sending threads or the other
// receivers. Its lines go through the bounded diagnostic path: a standard
// error nobody reads must not stop the receivers.
#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/bounded_text.h"
#include "common/diagnostics.h"
#include "platform/ndi/room.h"
#include "platform/ndi/sender.h"
#include "platform/ndi/socket.h"

namespace ndisend {

Link::~Link() {
    if (fd >= 0) close(fd);
}

PeerLines::Kind& PeerLines::kindOf(const char* text) {
    for (Kind& kind : kinds_) {
        if (kind.text == nullptr) kind.text = text;
        if (strcmp(kind.text, text) == 0) return kind;
    }
    return kinds_.back();
}

void PeerLines::say(long long nowMs, const char* kindText, const char* format, ...) {
    Kind& kind = kindOf(kindText);
    settle(kind, nowMs);
    if (kind.windowStartMs != 0) {
        ++kind.unsaid;
        return;
    }
    va_list args;
    va_start(args, format);
    diagnosticLineV(format, args);
    va_end(args);
    kind.windowStartMs = std::max(1LL, nowMs);
}

void PeerLines::settle(Kind& kind, long long nowMs) {
    if (kind.windowStartMs == 0 || nowMs - kind.windowStartMs < kIntervalMs) return;
    if (kind.unsaid > 0) {
        diagnosticLine("ndi: %d more lines about peers (%s) left out in the last %lld ms",
                       kind.unsaid, kind.text, nowMs - kind.windowStartMs);
    }
    kind.windowStartMs = 0;
    kind.unsaid = 0;
}

void PeerLines::settle(long long nowMs) {
    for (Kind& kind : kinds_) settle(kind, nowMs);
}

void wake(Sender* sender) {
    if (sender->wakePending.exchange(true)) return;
    const char byte = 1;
    if (write(sender->wakePipe[1], &byte, 1) < 0 && errno != EAGAIN) {
        diagnosticLine("ndi: waking the sender's I/O thread: %s", strerror(errno));
    }
}

namespace {

// Connections that have not said hello yet; past this the oldest goes, so
// idle sockets cannot lock receivers out.
constexpr size_t kMaxGreeting = 64;
constexpr long long kHelloTimeoutMs = 2000;
// A receiver that takes no byte for this long while data waits is gone.
constexpr long long kStallTimeoutMs = 3000;
constexpr int kHousekeepingMs = 200;

// Peer bytes as printable ASCII for a line: other bytes, quotes and
// backslashes escaped, cut after kMaxPeerTextBytes with "...". out must hold
// kPeerTextSize bytes.
constexpr size_t kMaxPeerTextBytes = 64;
constexpr size_t kPeerTextSize = kMaxPeerTextBytes * 4 + 4;

void escapePeerText(const char* text, char* out) {
    size_t at = 0;
    size_t i = 0;
    for (; text[i] != '\0' && i < kMaxPeerTextBytes; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out[at++] = '\\';
            out[at++] = static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            at += static_cast<size_t>(snprintf(out + at, 5, "\\x%02x", c));
        } else {
            out[at++] = static_cast<char>(c);
        }
    }
    if (text[i] != '\0') at += static_cast<size_t>(snprintf(out + at, 4, "..."));
    out[at] = '\0';
}

// Runs on the I/O thread only; the socket closes when the last holder of the
// link lets go. The line is written before the peer can see the shutdown, so
// whoever watches both finds the reason once the connection has gone.
void dropLink(Sender* sender, const LinkPtr& link, const char* reason) {
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
        const long long now = ndiwire::monotonicMs();
        if (link->saidHello) {
            char name[kPeerTextSize];
            escapePeerText(link->name, name);
            sender->peerLines.say(now, reason, "ndi: dropped receiver \"%s\" at %s: %s", name,
                                  link->address, reason);
        } else {
            sender->peerLines.say(now, reason, "ndi: dropped peer %s: %s", link->address, reason);
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

bool flush(Sender* sender, const LinkPtr& link);

// Takes one waiting connection and queues our hello for it; false when none
// is waiting. The link is made first, so that running out of memory leaves
// the connection waiting rather than its socket open and unowned.
bool acceptOne(Sender* sender) {
    auto link = std::make_shared<Link>();
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int fd = accept4(sender->listenFd, reinterpret_cast<sockaddr*>(&peer), &length,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        // Out of descriptors the connection stays queued and poll keeps
        // waking us: leave the listening socket alone for a moment.
        if (errno == EMFILE || errno == ENFILE) {
            const long long now = ndiwire::monotonicMs();
            sender->peerLines.say(now, "cannot accept", "ndi: cannot accept a receiver: %s",
                                  strerror(errno));
            sender->listenPausedUntilMs = now + 100;
        }
        return false;
    }
    size_t greeting = 0;
    if (LinkPtr oldest = oldestGreeting(sender, &greeting); greeting >= kMaxGreeting) {
        dropLink(sender, oldest, "too many connections waiting to say hello");
    }
    link->fd = fd;
    link->acceptedMs = ndiwire::monotonicMs();
    link->lastProgressMs = link->acceptedMs;
    link->shownProgressMs = link->acceptedMs;
    describePeer(peer, link->address, sizeof link->address);
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    {
        std::lock_guard guard(sender->lock);
        ndilink::offerOrdered(link->queues, sender->helloMessage);
        sender->links.push_back(link);
    }
    // Our hello goes out at once: a receiver that reports reads it before it
    // says its own.
    flush(sender, link);
    return true;
}

void acceptAll(Sender* sender) {
    for (int i = 0; i < 64 && acceptOne(sender); ++i) {
    }
}

bool lostVideo(const ndilink::LinkQueues& queues) {
    return std::any_of(queues.streams.begin(), queues.streams.end(),
                       [](const ndilink::StreamState& s) { return s.lagging; });
}

// Where a receiver stands. One that reports its progress is taken at its
// word: what it has not yet said it read waits, and its hello counts as
// progress once it has read ours. For one that does not, what the kernel and
// our own writing know: the rest of a message the kernel would not take,
// what it holds back because the peer's window is full, and how much the
// peer took beyond our hello. I/O thread only, outside the sender's lock.
void measure(const Sender& sender, const Link& link, long long now, ndiroom::Figures* figures) {
    const uint64_t rest = link.current != nullptr ? link.current->size - link.written : 0;
    if (link.reportsProgress) {
        figures->reportsProgress = true;
        figures->waitingBytes = link.bytesWritten - link.reportedBytes + rest;
        figures->sinceProgressMs = now - link.shownProgressMs;
        figures->tookData = link.reportedBytes >= sender.helloMessage->size;
        return;
    }
    int unsent = 0;
    if (ioctl(link.fd, SIOCOUTQNSD, &unsent) != 0 || unsent < 0) unsent = 0;
    figures->waitingBytes = static_cast<uint64_t>(unsent) + rest;
    figures->sinceProgressMs = now - link.lastProgressMs;
    const uint64_t sent = link.bytesWritten - std::min<uint64_t>(link.bytesWritten, unsent);
    figures->tookData = sent > sender.helloMessage->size;
}

// When every place is taken, the receiver whose place a newcomer takes is
// dropped; false when every one keeps up and the newcomer must go instead.
bool makeRoom(Sender* sender, bool newcomerReportsProgress) {
    std::vector<LinkPtr> receivers;
    std::vector<ndiroom::Figures> figures;
    {
        std::lock_guard guard(sender->lock);
        if (sender->receivers < kMaxReceivers) return true;
        for (const LinkPtr& link : sender->links) {
            if (link->queues.wants == 0) continue;
            receivers.push_back(link);
            figures.push_back({.lostVideo = lostVideo(link->queues), .greeting = link->greeting});
        }
    }
    const long long now = ndiwire::monotonicMs();
    for (size_t i = 0; i < receivers.size(); ++i) measure(*sender, *receivers[i], now, &figures[i]);
    const size_t chosen = ndiroom::whomToDrop(figures, newcomerReportsProgress);
    if (chosen == ndiroom::kNobody) return false;
    dropLink(sender, receivers[chosen], "made room for a new receiver");
    return true;
}

// A peer's hello makes it a receiver, in a place of its own or one given up
// by a receiver that does not keep up.
void greet(Sender* sender, const LinkPtr& link, uint32_t wants) {
    if (!makeRoom(sender, link->peer.reportsProgress())) {
        dropLink(sender, link,
                 "refused: all 64 receiver places are held by receivers that keep up");
        return;
    }
    link->greeting = ++sender->greetings;
    link->reportsProgress = link->peer.reportsProgress();
    {
        std::lock_guard guard(sender->lock);
        link->queues.wants = wants != 0 ? wants : ndiwire::kWantMetadata;
        link->queues.greetedMs = ndiwire::monotonicMs();
        ++sender->receivers;
    }
    sender->receiversChanged.notify_all();
}

// A progress report: a count beyond what we wrote is a lie, and drops the
// peer; one that moves forward is progress shown now.
void takeReport(Sender* sender, const LinkPtr& link, uint64_t reported) {
    if (reported > link->bytesWritten) {
        dropLink(sender, link, "reported reading more than it was sent");
        return;
    }
    link->reportsProgress = true;
    if (reported <= link->reportedBytes) return;
    link->reportedBytes = reported;
    link->shownProgressMs = ndiwire::monotonicMs();
}

// Reads what the peer sent: its hello and progress reports, or anything
// else, which drops it. A hello and the report sent with it are read in one
// go, so the receiver's first progress is known as soon as it is one.
void readFrom(Sender* sender, const LinkPtr& link) {
    for (int reads = 0; reads < 4 && !link->dropped; ++reads) {
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
                link->saidHello = true;
                greet(sender, link, link->peer.wants());
                break;
            case ndiwire::PeerReader::kReported:
                takeReport(sender, link, link->peer.reported());
                break;
            case ndiwire::PeerReader::kMore:
                break;
        }
        if (static_cast<size_t>(got) < room) return;  // nothing more waits
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
            // Nothing was being written: the stall clock starts now.
            link->lastProgressMs = ndiwire::monotonicMs();
        }
        const ssize_t wrote =
            send(link->fd, link->current->bytes.get() + link->written,
                 link->current->size - link->written, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (wrote > 0) {
            link->lastProgressMs = ndiwire::monotonicMs();
            // A reporter that had said it read everything has had nothing
            // to show since; its clock starts with what waits now.
            if (link->reportedBytes == link->bytesWritten) {
                link->shownProgressMs = link->lastProgressMs;
            }
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
    sender->peerLines.settle(now);
}

}  // namespace

namespace {

// One round: wait for the sockets, then accept, read and write.
void serveRound(Sender* sender, std::vector<pollfd>& watched) {
    const std::vector<LinkPtr> links = snapshotLinks(sender);
    const bool listening = ndiwire::monotonicMs() >= sender->listenPausedUntilMs;
    watched.assign(
        {{sender->wakePipe[0], POLLIN, 0}, {listening ? sender->listenFd : -1, POLLIN, 0}});
    for (const LinkPtr& link : links) {
        const short events = POLLIN | (link->waitWritable ? POLLOUT : 0);
        watched.push_back({link->fd, events, 0});
    }
    if (poll(watched.data(), watched.size(), kHousekeepingMs) < 0 && errno != EINTR) {
        diagnosticLine("ndi: sender poll failed: %s", strerror(errno));
        sender->stopping.store(true);
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

}  // namespace

// A round that runs out of memory is given up; the next one tries again a
// moment later, and every connection is where it was.
void serveConnections(Sender* sender) {
    std::vector<pollfd> watched;
    while (!sender->stopping.load()) {
        try {
            serveRound(sender, watched);
        } catch (const std::exception& e) {
            sender->peerLines.say(ndiwire::monotonicMs(), "out of memory",
                                  "ndi: sender round given up: %s", ndiwire::failureText(e));
            poll(nullptr, 0, kHousekeepingMs);
        }
    }
}

}  // namespace ndisend
