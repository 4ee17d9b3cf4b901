// The receiving end: one connection to a sender, read message by message.
// A message may arrive across several captures; what has arrived is kept
// until the message is whole.
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
    uint8_t headerBytes[ndiwire::kHeaderSize] = {};
    size_t headerHave = 0;
    bool headerReady = false;
    ndiwire::Header header;
    uint8_t* payload = nullptr;  // data, metadata text, NUL
    size_t payloadSize = 0;
    size_t payloadHave = 0;
};

namespace {

void failConnection(NDIlib_recv_instance_type* recv, const char* reason) {
    if (reason != nullptr) fprintf(stderr, "ndi: receiver dropped connection: %s\n", reason);
    recv->broken = true;
    if (recv->fd >= 0) close(recv->fd);
    recv->fd = -1;
}

// Takes a complete header: checks it and makes room for what follows.
bool acceptHeader(NDIlib_recv_instance_type* recv) {
    const char* error = nullptr;
    if (!ndiwire::decodeHeader(recv->headerBytes, &recv->header, &error)) {
        fprintf(stderr, "ndi: refused message from sender: %s\n", error);
        return false;
    }
    recv->headerReady = true;
    recv->payloadSize = size_t{recv->header.dataSize} + recv->header.metadataSize;
    recv->payloadHave = 0;
    recv->payload = static_cast<uint8_t*>(malloc(recv->payloadSize + 1));
    if (recv->payload == nullptr) {
        fprintf(stderr, "ndi: no memory for a message of %zu bytes\n", recv->payloadSize);
        return false;
    }
    recv->payload[recv->payloadSize] = 0;
    return true;
}

// Reads until one message is whole, the time is up or the connection fails.
ReadResult readMessage(NDIlib_recv_instance_type* recv, int timeoutMs) {
    const long long deadline = ndiwire::monotonicMs() + timeoutMs;
    for (;;) {
        uint8_t* target = recv->headerReady ? recv->payload + recv->payloadHave
                                            : recv->headerBytes + recv->headerHave;
        const size_t need = recv->headerReady ? recv->payloadSize - recv->payloadHave
                                              : ndiwire::kHeaderSize - recv->headerHave;
        if (recv->headerReady && need == 0) return ReadResult::complete;
        const ssize_t got = ::recv(recv->fd, target, need, MSG_DONTWAIT);
        if (got == 0) {
            failConnection(recv, "sender closed the connection");
            return ReadResult::failed;
        }
        if (got > 0) {
            size_t& have = recv->headerReady ? recv->payloadHave : recv->headerHave;
            have += static_cast<size_t>(got);
            if (!recv->headerReady && recv->headerHave == ndiwire::kHeaderSize &&
                !acceptHeader(recv)) {
                failConnection(recv, nullptr);
                return ReadResult::failed;
            }
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            failConnection(recv, strerror(errno));
            return ReadResult::failed;
        }
        const long long left = deadline - ndiwire::monotonicMs();
        if (left <= 0) return ReadResult::timeout;
        pollfd p{recv->fd, POLLIN, 0};
        poll(&p, 1, static_cast<int>(left));
    }
}

// Hands the finished message's bytes to the caller and readies the next one.
uint8_t* takePayload(NDIlib_recv_instance_type* recv) {
    uint8_t* payload = recv->payload;
    recv->payload = nullptr;
    recv->headerReady = false;
    recv->headerHave = 0;
    return payload;
}

// The metadata text rides behind the data, NUL-terminated by the allocation.
const char* metadataText(const ndiwire::Header& h, uint8_t* payload) {
    return h.metadataSize > 0 ? reinterpret_cast<char*>(payload + h.dataSize) : nullptr;
}

void fillVideo(const ndiwire::Header& h, uint8_t* payload, NDIlib_video_frame_v2_t* frame) {
    frame->xres = h.xres;
    frame->yres = h.yres;
    frame->FourCC = h.fourCC;
    frame->frame_rate_N = h.frameRateN;
    frame->frame_rate_D = h.frameRateD;
    frame->picture_aspect_ratio = h.aspect;
    frame->frame_format_type = h.frameFormatType;
    frame->timecode = h.timecode;
    frame->line_stride_in_bytes = h.strideOrSize;
    frame->timestamp = h.timestamp;
    frame->p_data = h.dataSize > 0 ? payload : nullptr;
    frame->p_metadata = metadataText(h, payload);
}

void fillAudio(const ndiwire::Header& h, uint8_t* payload, NDIlib_audio_frame_v2_t* frame) {
    frame->sample_rate = h.sampleRate;
    frame->no_channels = h.channels;
    frame->no_samples = h.samples;
    frame->timecode = h.timecode;
    frame->channel_stride_in_bytes = h.channelStride;
    frame->timestamp = h.timestamp;
    frame->p_data = h.dataSize > 0 ? reinterpret_cast<float*>(payload) : nullptr;
    frame->p_metadata = metadataText(h, payload);
}

void fillMetadata(const ndiwire::Header& h, uint8_t* payload, NDIlib_metadata_frame_t* frame) {
    frame->length = static_cast<int32_t>(h.dataSize) + 1;
    frame->timecode = h.timecode;
    frame->p_data = reinterpret_cast<char*>(payload);
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

// The sender greets every receiver with its name; anything else first means
// we did not reach one of our senders.
bool readHello(NDIlib_recv_instance_type* recv) {
    if (readMessage(recv, kConnectTimeoutMs) != ReadResult::complete) {
        if (!recv->broken) fprintf(stderr, "ndi: source did not greet us in time\n");
        return false;
    }
    const bool isHello = recv->header.type == ndiwire::kHello;
    uint8_t* payload = takePayload(recv);
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
    auto* recv = new NDIlib_recv_instance_type;
    recv->fd = connectTo(settings->source_to_connect_to.p_url_address);
    if (recv->fd < 0 || !readHello(recv)) {
        NDIlib_recv_destroy(recv);
        return nullptr;
    }
    return recv;
}

void NDIlib_recv_destroy(NDIlib_recv_instance_t recv) {
    if (recv == nullptr) return;
    if (recv->fd >= 0) close(recv->fd);
    free(recv->payload);
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
    const long long deadline = ndiwire::monotonicMs() + timeout_in_ms;
    for (;;) {
        const long long left = deadline - ndiwire::monotonicMs();
        switch (readMessage(recv, static_cast<int>(left > 0 ? left : 0))) {
            case ReadResult::failed:
                return NDIlib_frame_type_error;
            case ReadResult::timeout:
                return NDIlib_frame_type_none;
            case ReadResult::complete:
                break;
        }
        const ndiwire::Header h = recv->header;
        uint8_t* payload = takePayload(recv);
        if (h.type == ndiwire::kVideo && video != nullptr) {
            fillVideo(h, payload, video);
        } else if (h.type == ndiwire::kAudio && audio != nullptr) {
            fillAudio(h, payload, audio);
        } else if (h.type == ndiwire::kMetadata && metadata != nullptr) {
            fillMetadata(h, payload, metadata);
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
