// Helpers for tests that run a sender and receivers of the built-in NDI
// runtime over loopback.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/ndi/ndi.h"
#include "platform/ndi/wire.h"

namespace nditest {

inline NDIlib_send_instance_t makeSender(const char* name = "Test Source") {
    NDIlib_send_create_t create;
    create.p_ndi_name = name;
    create.p_groups = "";
    return NDIlib_send_create_v2(&create, R"({"ndi": {}})");
}

inline std::string addressOf(NDIlib_send_instance_t sender) {
    return "127.0.0.1:" + std::to_string(NDIlib_send_get_port(sender));
}

inline NDIlib_recv_instance_t makeReceiver(const std::string& address) {
    NDIlib_recv_create_v3_t create;
    create.source_to_connect_to.p_url_address = address.c_str();
    return NDIlib_recv_create_v4(&create, nullptr);
}

// Polls the condition until it holds; false when it still does not after
// timeoutMs.
template <typename Condition>
bool waitUntil(Condition condition, int timeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Waits until the sender counts exactly `count` receivers; false after 10 s.
inline bool waitForConnections(NDIlib_send_instance_t sender, int count) {
    return waitUntil([&] { return NDIlib_send_get_no_connections(sender, 0) == count; });
}

// A sender with one receiver it counts; both go at the end of the scope.
struct ConnectedPair {
    NDIlib_send_instance_t sender = makeSender();
    NDIlib_recv_instance_t receiver = sender != nullptr ? makeReceiver(addressOf(sender)) : nullptr;
    bool ready = receiver != nullptr && waitForConnections(sender, 1);
    ConnectedPair() = default;
    ConnectedPair(const ConnectedPair&) = delete;
    ConnectedPair& operator=(const ConnectedPair&) = delete;
    ~ConnectedPair() {
        NDIlib_recv_destroy(receiver);
        NDIlib_send_destroy(sender);
    }
};

// A plain TCP connection to a port on 127.0.0.1, for peers that misbehave.
inline int rawConnect(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A peer that says hello as a receiver and then does what the test makes it
// do with the socket.
inline int rawReceiver(int port, uint32_t wants = ndiwire::kWantEverything,
                       const std::string& name = "raw") {
    const int fd = rawConnect(port);
    if (fd < 0) return -1;
    ndiwire::Header hello;
    ndiwire::headerForReceiverHello(name.c_str(), wants, &hello);
    uint8_t bytes[ndiwire::kHeaderSize];
    ndiwire::encodeHeader(hello, bytes);
    const auto size = static_cast<ssize_t>(name.size());
    if (write(fd, bytes, sizeof bytes) != static_cast<ssize_t>(sizeof bytes) ||
        write(fd, name.data(), name.size()) != size) {
        close(fd);
        return -1;
    }
    return fd;
}

// Standard error into a file that the test can read while the sender runs,
// for lines that come later than the event that caused them.
struct StderrFile {
    char path[32] = "/tmp/ndi-stderr-XXXXXX";
    int saved = dup(2);
    int fd = mkstemp(path);
    StderrFile() {
        fflush(stderr);
        dup2(fd, 2);
    }
    StderrFile(const StderrFile&) = delete;
    StderrFile& operator=(const StderrFile&) = delete;
    ~StderrFile() {
        fflush(stderr);
        dup2(saved, 2);
        close(saved);
        close(fd);
        unlink(path);
    }
    std::string text() const {
        std::string all;
        char chunk[4096];
        for (off_t at = 0;;) {
            const ssize_t got = pread(fd, chunk, sizeof chunk, at);
            if (got <= 0) return all;
            all.append(chunk, static_cast<size_t>(got));
            at += got;
        }
    }
};

// True once the peer has seen the sender close the connection (after reading
// and discarding whatever came before); false after timeoutMs.
inline bool waitForClose(int fd, int timeoutMs = 10000) {
    return waitUntil(
        [&] {
            char buffer[4096];
            const ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
        },
        timeoutMs);
}

// Reads whole messages from a raw peer until `count` have come, each handed
// to `seen` with its header and payload; false when the stream ends, breaks
// or stays silent for timeoutMs first.
template <typename Seen>
bool readMessages(int fd, int count, Seen seen, int timeoutMs = 10000) {
    ndiwire::MessageReader reader;
    while (count > 0) {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, timeoutMs) != 1) return false;
        size_t room = 0;
        uint8_t* space = reader.space(&room);
        const ssize_t got = recv(fd, space, room, 0);
        const char* error = nullptr;
        if (got <= 0) return false;
        const auto progress = reader.advance(static_cast<size_t>(got), &error);
        if (progress == ndiwire::MessageReader::kFailed) return false;
        if (progress != ndiwire::MessageReader::kComplete) continue;
        uint8_t* payload = reader.takePayload();
        seen(reader.header(), payload);
        free(payload);
        --count;
    }
    return true;
}

// Bytes whose every value tells which frame they belong to.
inline std::vector<uint8_t> patterned(size_t size, int frame) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(frame * 31 + i);
    return bytes;
}

inline bool matchesPattern(const uint8_t* bytes, size_t size, int frame) {
    for (size_t i = 0; i < size; ++i) {
        if (bytes[i] != static_cast<uint8_t>(frame * 31 + i)) return false;
    }
    return true;
}

// An uncompressed picture (every one a keyframe) carrying frame's pattern.
inline void sendPatternedPicture(NDIlib_send_instance_t sender, int width, int height, int frame) {
    std::vector<uint8_t> bytes = patterned(size_t(width) * height * 4, frame);
    NDIlib_video_frame_v2_t video;
    video.xres = width;
    video.yres = height;
    video.FourCC = NDIlib_FourCC_type_BGRA;
    video.timecode = frame;
    video.p_data = bytes.data();
    video.line_stride_in_bytes = width * 4;
    NDIlib_send_send_video_v2(sender, &video);
}

}  // namespace nditest
