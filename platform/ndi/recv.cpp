// The receiving end: one connection to a sender, read message by message.
// A message may arrive across several captures; what has arrived is kept
// until the message is whole.
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/bounded_text.h"
#include "platform/ndi/ndi.h"
#include "platform/ndi/socket.h"
#include "platform/ndi/wire.h"

namespace {

constexpr int kConnectTimeoutMs = 2000;

enum class ReadResult { complete, timeout, failed };

}  // namespace

struct NDIlib_recv_instance_type {
    int fd = -1;
    bool broken = false;  // after a failure every capture reports an error
    char sourceName[256] = {};
    ndiwire::MessageReader reader;
    // Progress reports, when the sender hears them: bytes read from the
    // connection, the count last reported and when.
    bool reports = false;
    uint64_t bytesRead = 0;
    uint64_t bytesReported = 0;
    long long reportedAtMs = 0;
};

namespace {

void failConnection(NDIlib_recv_instance_type* recv, const char* reason) {
    if (reason != nullptr) fprintf(stderr, "ndi: receiver dropped connection: %s\n", reason);
    recv->broken = true;
    if (recv->fd >= 0) close(recv->fd);
    recv->fd = -1;
}

// Waits for the socket to have bytes, until the deadline.
void waitReadable(int fd, long long deadline) {
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, ndiwire::pollTimeout(deadline));
}

bool reportDue(const NDIlib_recv_instance_type* recv, long long now) {
    return recv->reports && recv->bytesRead > recv->bytesReported &&
           now - recv->reportedAtMs >= ndiwire::kReportIntervalMs;
}

// Tells the sender how far we have read. A report goes out only once the
// one before it has left, so a report is never cut short and a sender that
// stopped reading them cannot make us wait; one held back is tried again an
// interval later.
void reportProgress(NDIlib_recv_instance_type* recv, long long now) {
    int unsent = 0;
    if (ioctl(recv->fd, SIOCOUTQNSD, &unsent) != 0 || unsent > 0) {
        recv->reportedAtMs = now;
        return;
    }
    ndiwire::Header report;
    ndiwire::headerForProgress(recv->bytesRead, &report);
    uint8_t bytes[ndiwire::kHeaderSize];
    ndiwire::encodeHeader(report, bytes);
    const ssize_t sent = send(recv->fd, bytes, sizeof bytes, MSG_NOSIGNAL | MSG_DONTWAIT);
    recv->reportedAtMs = now;
    if (sent == static_cast<ssize_t>(sizeof bytes)) {
        recv->bytesReported = recv->bytesRead;
    } else if (sent > 0) {
        failConnection(recv, "progress report cut short");  // an empty queue takes 80 bytes
    }
}

// Waits for bytes until the deadline, or until a report of what was read is
// due: a receiver that waits has read all that came, and says so.
void waitForMore(NDIlib_recv_instance_type* recv, long long deadline) {
    const long long now = ndiwire::monotonicMs();
    if (reportDue(recv, now)) reportProgress(recv, now);
    if (recv->fd < 0) return;
    if (recv->reports && recv->bytesRead > recv->bytesReported) {
        deadline = std::min(deadline, recv->reportedAtMs + ndiwire::kReportIntervalMs);
    }
    waitReadable(recv->fd, deadline);
}

// Reads until one message is whole, the deadline passes or the connection
// fails.
ReadResult readMessage(NDIlib_recv_instance_type* recv, long long deadline) {
    for (;;) {
        size_t room = 0;
        uint8_t* target = recv->reader.space(&room);
        const ssize_t got = room > 0 ? ::recv(recv->fd, target, room, MSG_DONTWAIT) : 0;
        if (got == 0 && room > 0) {
            failConnection(recv, "sender closed the connection");
            return ReadResult::failed;
        }
        if (got > 0) {
            recv->bytesRead += static_cast<uint64_t>(got);
            // A receiver behind a steady stream may never wait: it reports
            // as it reads.
            const long long now = ndiwire::monotonicMs();
            if (reportDue(recv, now)) reportProgress(recv, now);
            if (recv->broken) return ReadResult::failed;
        }
        if (got >= 0) {
            const char* error = nullptr;
            switch (recv->reader.advance(static_cast<size_t>(got), &error)) {
                case ndiwire::MessageReader::kComplete:
                    return ReadResult::complete;
                case ndiwire::MessageReader::kFailed:
                    fprintf(stderr, "ndi: refused message from sender: %s\n", error);
                    failConnection(recv, nullptr);
                    return ReadResult::failed;
                case ndiwire::MessageReader::kMore:
                    continue;
            }
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            failConnection(recv, strerror(errno));
            return ReadResult::failed;
        }
        if (ndiwire::monotonicMs() >= deadline) {
            const long long now = ndiwire::monotonicMs();
            if (reportDue(recv, now)) reportProgress(recv, now);
            return recv->broken ? ReadResult::failed : ReadResult::timeout;
        }
        waitForMore(recv, deadline);
        if (recv->broken) return ReadResult::failed;
    }
}

// Frees what a filled record does not point at (nothing to hand out).
bool handsOutPayload(const ndiwire::Header& h) {
    return h.type == ndiwire::kMetadata || h.dataSize > 0 || h.metadataSize > 0;
}

// Splits "host:port" or "[v6 host]:port".
bool splitAddress(const char* url, char* host, size_t hostSize, const char** port) {
    const char* colon = url != nullptr ? strrchr(url, ':') : nullptr;
    if (colon == nullptr || colon == url || colon[1] == '\0') return false;
    const char* start = url;
    const char* end = colon;
    if (*start == '[' && end[-1] == ']') {
        ++start;
        --end;
    }
    const size_t length = static_cast<size_t>(end - start);
    if (length == 0 || length >= hostSize) return false;
    memcpy(host, start, length);
    host[length] = '\0';
    *port = colon + 1;
    return true;
}

int connectWithin(const addrinfo* a, int timeoutMs) {
    const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) return fd;
    pollfd p{fd, POLLOUT, 0};
    int error = errno;
    if (error == EINPROGRESS && poll(&p, 1, timeoutMs) == 1) {
        socklen_t length = sizeof error;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error == 0) return fd;
    }
    close(fd);
    return -1;
}

int connectTo(const char* url) {
    char host[256];
    const char* port = nullptr;
    if (!splitAddress(url, host, sizeof host, &port)) {
        fprintf(stderr, "ndi: bad source address \"%s\" (want host:port)\n", url ? url : "");
        return -1;
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, port, &hints, &found) != 0) {
        fprintf(stderr, "ndi: cannot resolve source address \"%s\"\n", url);
        return -1;
    }
    int fd = -1;
    for (const addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
        fd = connectWithin(a, kConnectTimeoutMs);
    }
    freeaddrinfo(found);
    if (fd < 0) fprintf(stderr, "ndi: cannot connect to source \"%s\"\n", url);
    return fd;
}

// What a receiver asks for follows its bandwidth setting.
uint32_t wantsFor(const NDIlib_recv_create_v3_t& settings) {
    if (settings.bandwidth == NDIlib_recv_bandwidth_metadata_only) return ndiwire::kWantMetadata;
    if (settings.bandwidth == NDIlib_recv_bandwidth_audio_only) {
        return ndiwire::kWantAudio | ndiwire::kWantMetadata;
    }
    return ndiwire::kWantEverything;
}

// Our hello, and with it, to a sender that hears them, the first progress
// report: we have read its hello. So the report cannot come late, and from its
// hello on the receiver has shown that it reads.
bool sendHello(NDIlib_recv_instance_type* recv, const NDIlib_recv_create_v3_t& settings) {
    const char* name = settings.p_ndi_recv_name != nullptr ? settings.p_ndi_recv_name : "";
    ndiwire::Header hello;
    ndiwire::headerForReceiverHello(name, wantsFor(settings), &hello, recv->reports);
    uint8_t encoded[ndiwire::kHeaderSize];
    ndiwire::encodeHeader(hello, encoded);
    ndiwire::Header report;
    ndiwire::headerForProgress(recv->bytesRead, &report);
    uint8_t encodedReport[ndiwire::kHeaderSize];
    ndiwire::encodeHeader(report, encodedReport);
    iovec parts[3] = {{encoded, sizeof encoded},
                      {const_cast<char*>(name), hello.dataSize},
                      {encodedReport, recv->reports ? sizeof encodedReport : 0}};
    const char* error = nullptr;
    if (ndiwire::writeAll(recv->fd, parts, 3, kConnectTimeoutMs, &error)) {
        recv->bytesReported = recv->bytesRead;
        recv->reportedAtMs = ndiwire::monotonicMs();
        return true;
    }
    fprintf(stderr, "ndi: cannot greet the source: %s\n", error);
    return false;
}

// The sender greets every receiver with its name as soon as it connects;
// anything else first means we did not reach one of our senders.
bool readHello(NDIlib_recv_instance_type* recv) {
    if (readMessage(recv, ndiwire::monotonicMs() + kConnectTimeoutMs) != ReadResult::complete) {
        if (!recv->broken) fprintf(stderr, "ndi: source did not greet us in time\n");
        return false;
    }
    const bool isHello = recv->reader.header().type == ndiwire::kHello;
    recv->reports = isHello && ndiwire::helloHearsProgress(recv->reader.header());
    uint8_t* payload = recv->reader.takePayload();
    if (isHello)
        copyBoundedUtf8(recv->sourceName, sizeof recv->sourceName,
                        reinterpret_cast<char*>(payload));
    free(payload);
    if (!isHello) fprintf(stderr, "ndi: source did not start with a greeting\n");
    return isHello;
}

// One allocation holds data and metadata; it starts at the data, or at the
// metadata when a frame has no data.
void freePayload(const void* data, const char* metadata) {
    free(const_cast<void*>(data != nullptr ? data : metadata));
}

}  // namespace

NDIlib_recv_instance_t NDIlib_recv_create_v4(const NDIlib_recv_create_v3_t* settings,
                                             const char* /*config: one transport only*/) {
    if (settings == nullptr) return nullptr;
    auto* recv = new (std::nothrow) NDIlib_recv_instance_type;
    if (recv == nullptr) {
        fprintf(stderr, "ndi: cannot make a receiver: out of memory\n");
        return nullptr;
    }
    recv->fd = connectTo(settings->source_to_connect_to.p_url_address);
    if (recv->fd < 0 || !readHello(recv) || !sendHello(recv, *settings)) {
        NDIlib_recv_destroy(recv);
        return nullptr;
    }
    return recv;
}

void NDIlib_recv_destroy(NDIlib_recv_instance_t recv) {
    if (recv == nullptr) return;
    if (recv->fd >= 0) close(recv->fd);
    delete recv;
}

const char* NDIlib_recv_get_source_name(NDIlib_recv_instance_t recv) {
    return recv != nullptr ? recv->sourceName : "";
}

NDIlib_frame_type_e NDIlib_recv_capture_v2(NDIlib_recv_instance_t recv,
                                           NDIlib_video_frame_v2_t* video,
                                           NDIlib_audio_frame_v2_t* audio,
                                           NDIlib_metadata_frame_t* metadata,
                                           uint32_t timeout_in_ms) {
    if (recv == nullptr || recv->broken) return NDIlib_frame_type_error;
    const long long deadline = ndiwire::deadlineAfter(timeout_in_ms);
    for (;;) {
        switch (readMessage(recv, deadline)) {
            case ReadResult::failed:
                return NDIlib_frame_type_error;
            case ReadResult::timeout:
                return NDIlib_frame_type_none;
            case ReadResult::complete:
                break;
        }
        const ndiwire::Header h = recv->reader.header();
        uint8_t* payload = recv->reader.takePayload();
        if (h.type == ndiwire::kVideo && video != nullptr) {
            ndiwire::videoFromMessage(h, payload, video);
        } else if (h.type == ndiwire::kAudio && audio != nullptr) {
            ndiwire::audioFromMessage(h, payload, audio);
        } else if (h.type == ndiwire::kMetadata && metadata != nullptr) {
            ndiwire::metadataFromMessage(h, payload, metadata);
        } else {
            free(payload);  // a kind the caller did not ask for
            continue;
        }
        if (!handsOutPayload(h)) free(payload);
        return static_cast<NDIlib_frame_type_e>(h.type);
    }
}

void NDIlib_recv_free_video_v2(NDIlib_recv_instance_t, const NDIlib_video_frame_v2_t* frame) {
    if (frame != nullptr) freePayload(frame->p_data, frame->p_metadata);
}

void NDIlib_recv_free_audio_v2(NDIlib_recv_instance_t, const NDIlib_audio_frame_v2_t* frame) {
    if (frame != nullptr) freePayload(frame->p_data, frame->p_metadata);
}

void NDIlib_recv_free_metadata(NDIlib_recv_instance_t, const NDIlib_metadata_frame_t* frame) {
    if (frame != nullptr) free(frame->p_data);
}
