// The sending end: a listening socket, an accept thread that also watches the
// receivers for garbage and hang-ups, and sends that hand each message to
// every receiver in turn.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/bounded_text.h"
#include "platform/ndi/ndi.h"
#include "platform/ndi/socket.h"
#include "platform/ndi/wire.h"

namespace {

constexpr int kDefaultPort = 5960;
// A receiver that cannot take a message within this time is dropped, so a
// stalled receiver holds a send up for at most this long.
constexpr int kSendTimeoutMs = 250;
constexpr int kMaxReceivers = 64;
constexpr size_t kTrackedFourCCs = 16;

// One connected receiver. The socket closes when the last holder lets go, so a
// send still writing to a dropped receiver never writes to a reused number.
struct ReceiverLink {
    int fd = -1;
    char address[64] = {};
    std::mutex writeLock;  // one message at a time, never interleaved
    std::atomic<bool> dropped{false};
    // FourCCs of which this receiver has been sent a keyframe.
    std::array<std::atomic<uint32_t>, kTrackedFourCCs> keyframesSent{};

    ~ReceiverLink() {
        if (fd >= 0) close(fd);
    }
    bool hasKeyframe(uint32_t fourCC) const {
        for (const auto& sent : keyframesSent) {
            if (sent.load() == fourCC) return true;
        }
        return false;
    }
    // Called under writeLock, so there is one writer; beyond the table's size
    // a FourCC counts as served rather than asking for keyframes forever.
    void noteKeyframe(uint32_t fourCC) {
        if (hasKeyframe(fourCC)) return;
        for (auto& sent : keyframesSent) {
            if (sent.load() == 0) {
                sent.store(fourCC);
                return;
            }
        }
    }
};

using Link = std::shared_ptr<ReceiverLink>;

}  // namespace

struct NDIlib_send_instance_type {
    char name[256] = {};
    int listenFd = -1;
    int port = 0;
    int wakePipe[2] = {-1, -1};
    std::thread acceptThread;
    std::mutex linksLock;
    std::vector<Link> links;
};

namespace {

void dropLink(NDIlib_send_instance_type* sender, const Link& link, const char* reason) {
    if (link->dropped.exchange(true)) return;
    if (reason != nullptr) fprintf(stderr, "ndi: dropped receiver %s: %s\n", link->address, reason);
    shutdown(link->fd, SHUT_RDWR);
    std::lock_guard lock(sender->linksLock);
    std::erase(sender->links, link);
}

std::vector<Link> snapshotLinks(NDIlib_send_instance_type* sender) {
    std::lock_guard lock(sender->linksLock);
    return sender->links;
}

// Writes one message to one receiver; a receiver that fails is dropped.
void sendToLink(NDIlib_send_instance_type* sender, const Link& link, iovec* parts, int count,
                uint32_t keyframeFourCC) {
    std::lock_guard lock(link->writeLock);
    if (link->dropped) return;
    const char* error = nullptr;
    if (!ndiwire::writeAll(link->fd, parts, count, kSendTimeoutMs, &error)) {
        dropLink(sender, link, error);
        return;
    }
    if (keyframeFourCC != 0) link->noteKeyframe(keyframeFourCC);
}

void sendMessage(NDIlib_send_instance_type* sender, const ndiwire::Header& header, const void* data,
                 const char* metadata, uint32_t keyframeFourCC) {
    uint8_t encoded[ndiwire::kHeaderSize];
    ndiwire::encodeHeader(header, encoded);
    for (const Link& link : snapshotLinks(sender)) {
        // writeAll moves through the buffers, so each receiver gets fresh ones.
        iovec parts[3] = {{encoded, sizeof encoded},
                          {const_cast<void*>(data), header.dataSize},
                          {const_cast<char*>(metadata), header.metadataSize}};
        sendToLink(sender, link, parts, 3, keyframeFourCC);
    }
}

// Listening socket for one address family (AF_INET6 listens for IPv4 too);
// -1 with a diagnostic when the address or port cannot be had.
int listenOn(const char* host, int family, int wanted) {
    char service[16];
    snprintf(service, sizeof service, "%d", wanted);
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, service, &hints, &found) != 0) {
        fprintf(stderr, "ndi: cannot resolve listen address \"%s\"\n", host ? host : "");
        return -1;
    }
    int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        const int on = 1, off = 0;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (found->ai_family == AF_INET6) {
            setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        }
        if (bind(fd, found->ai_addr, found->ai_addrlen) != 0 || listen(fd, 16) != 0) {
            fprintf(stderr, "ndi: cannot listen on port %d: %s\n", wanted, strerror(errno));
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    return fd;
}

int boundPort(int fd) {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&local)->sin6_port
                                             : reinterpret_cast<sockaddr_in*>(&local)->sin_port);
}

// Listens on NDI_BIND (default every interface) and NDI_PORT (default 5960,
// 0 for any free port).
int openListener(int* port) {
    const int wanted = ndiwire::environmentInt("NDI_PORT", kDefaultPort, 0, 65535);
    const char* host = getenv("NDI_BIND");
    int fd = -1;
    if (host != nullptr && *host != '\0') {
        fd = listenOn(host, AF_UNSPEC, wanted);
    } else {
        // Hosts without IPv6 cannot even open the socket; they get IPv4 alone.
        const int probe = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool haveIPv6 = probe >= 0;
        if (haveIPv6) close(probe);
        fd = listenOn(nullptr, haveIPv6 ? AF_INET6 : AF_INET, wanted);
    }
    if (fd >= 0) *port = boundPort(fd);
    return fd;
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

// Registers a new receiver and greets it with the source name. The greeting
// is written under the receiver's lock before any frame can reach it, so a
// receiver that has read it gets every frame sent afterwards.
void acceptReceiver(NDIlib_send_instance_type* sender) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int fd = accept4(sender->listenFd, reinterpret_cast<sockaddr*>(&peer), &length,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        // Out of descriptors the connection stays queued and poll keeps
        // waking us: pause rather than spin.
        if (errno == EMFILE || errno == ENFILE) {
            fprintf(stderr, "ndi: cannot accept a receiver: %s\n", strerror(errno));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return;
    }
    auto link = std::make_shared<ReceiverLink>();
    link->fd = fd;
    describePeer(peer, link->address, sizeof link->address);
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::lock_guard writing(link->writeLock);
    {
        std::lock_guard lock(sender->linksLock);
        if (sender->links.size() >= kMaxReceivers) {
            fprintf(stderr, "ndi: refused receiver %s: too many receivers\n", link->address);
            return;
        }
        sender->links.push_back(link);
    }
    ndiwire::Header hello;
    ndiwire::headerForHello(sender->name, &hello);
    uint8_t encoded[ndiwire::kHeaderSize];
    ndiwire::encodeHeader(hello, encoded);
    iovec parts[2] = {{encoded, sizeof encoded}, {sender->name, hello.dataSize}};
    const char* error = nullptr;
    if (!ndiwire::writeAll(fd, parts, 2, kSendTimeoutMs, &error)) dropLink(sender, link, error);
}

// Receivers send us nothing: any byte is garbage, and end of stream a hang-up.
void checkReceiver(NDIlib_send_instance_type* sender, const Link& link) {
    uint8_t byte[256];
    const ssize_t got = recv(link->fd, byte, sizeof byte, MSG_DONTWAIT);
    if (got > 0) {
        dropLink(sender, link, "sent unexpected data");
    } else if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        dropLink(sender, link, nullptr);
    }
}

void acceptLoop(NDIlib_send_instance_type* sender) {
    for (;;) {
        std::vector<Link> links = snapshotLinks(sender);
        std::vector<pollfd> watched = {{sender->wakePipe[0], POLLIN, 0},
                                       {sender->listenFd, POLLIN, 0}};
        for (const Link& link : links) watched.push_back({link->fd, POLLIN, 0});
        if (poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR) continue;
            fprintf(stderr, "ndi: sender poll failed: %s\n", strerror(errno));
            return;
        }
        if (watched[0].revents != 0) return;
        if (watched[1].revents != 0) acceptReceiver(sender);
        for (size_t i = 0; i < links.size(); ++i) {
            if (watched[i + 2].revents != 0) checkReceiver(sender, links[i]);
        }
    }
}

void closeSender(NDIlib_send_instance_type* sender) {
    if (sender->acceptThread.joinable()) {
        const char stop = 1;
        if (write(sender->wakePipe[1], &stop, 1) < 0) perror("ndi: waking the accept thread");
        sender->acceptThread.join();
    }
    for (const Link& link : snapshotLinks(sender)) dropLink(sender, link, nullptr);
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

}  // namespace

NDIlib_send_instance_t NDIlib_send_create_v2(const NDIlib_send_create_t* settings,
                                             const char* /*config: one transport only*/) {
    auto* sender = new NDIlib_send_instance_type;
    const char* name = settings != nullptr ? settings->p_ndi_name : nullptr;
    copyBoundedUtf8(sender->name, sizeof sender->name, name != nullptr ? name : "NDI Source");
    sender->listenFd = openListener(&sender->port);
    if (sender->listenFd < 0 || pipe2(sender->wakePipe, O_CLOEXEC) != 0) {
        closeSender(sender);
        return nullptr;
    }
    sender->acceptThread = std::thread(acceptLoop, sender);
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
    sendMessage(sender, header, frame->p_data, frame->p_metadata, keyframe ? frame->FourCC : 0);
}

void NDIlib_send_send_audio_v2(NDIlib_send_instance_t sender,
                               const NDIlib_audio_frame_v2_t* frame) {
    if (sender == nullptr || frame == nullptr) return;
    ndiwire::Header header;
    if (!checkedHeader(*frame, ndiwire::headerForAudio, "audio", &header)) return;
    sendMessage(sender, header, frame->p_data, frame->p_metadata, 0);
}

void NDIlib_send_send_metadata(NDIlib_send_instance_t sender,
                               const NDIlib_metadata_frame_t* frame) {
    if (sender == nullptr || frame == nullptr) return;
    ndiwire::Header header;
    if (!checkedHeader(*frame, ndiwire::headerForMetadata, "metadata", &header)) return;
    sendMessage(sender, header, frame->p_data, nullptr, 0);
}

bool NDIlib_send_is_keyframe_required(NDIlib_send_instance_t sender,
                                      const NDIlib_video_frame_v2_t* probe) {
    if (sender == nullptr || probe == nullptr) return false;
    for (const Link& link : snapshotLinks(sender)) {
        if (!link->dropped && !link->hasKeyframe(probe->FourCC)) return true;
    }
    return false;
}

int NDIlib_send_get_port(NDIlib_send_instance_t sender) {
    return sender != nullptr ? sender->port : 0;
}

int NDIlib_send_get_no_connections(NDIlib_send_instance_t sender, uint32_t timeout_in_ms) {
    if (sender == nullptr) return 0;
    const long long deadline = ndiwire::monotonicMs() + timeout_in_ms;
    for (;;) {
        const int count = static_cast<int>(snapshotLinks(sender).size());
        if (count > 0 || ndiwire::monotonicMs() >= deadline) return count;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}
