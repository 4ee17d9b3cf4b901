#include "platform/ndi/socket.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>

#include "common/diagnostics.h"

namespace ndiwire {

long long monotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

long long deadlineAfter(uint32_t timeoutMs) {
    return timeoutMs == UINT32_MAX ? kNoDeadline : monotonicMs() + timeoutMs;
}

int pollTimeout(long long deadline) {
    if (deadline == kNoDeadline) return -1;
    const long long left = deadline - monotonicMs();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

namespace {

// Drops the bytes already written from the front of the buffers.
void advance(iovec*& parts, int& count, size_t written) {
    while (count > 0 && written >= parts->iov_len) {
        written -= parts->iov_len;
        ++parts;
        --count;
    }
    if (count > 0) {
        parts->iov_base = static_cast<char*>(parts->iov_base) + written;
        parts->iov_len -= written;
    }
}

bool waitWritable(int fd, long long deadline, const char** error) {
    const long long left = deadline - monotonicMs();
    if (left <= 0) {
        *error = "receiver stalled past the send timeout";
        return false;
    }
    pollfd p{fd, POLLOUT, 0};
    const int ready = poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno != EINTR) {
        *error = "poll failed";
        return false;
    }
    if (ready > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
        *error = "connection closed";
        return false;
    }
    return true;
}

}  // namespace

bool writeAll(int fd, iovec* parts, int count, int timeoutMs, const char** error) {
    const long long deadline = monotonicMs() + timeoutMs;
    advance(parts, count, 0);
    while (count > 0) {
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = static_cast<size_t>(count);
        const ssize_t written = sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written >= 0) {
            advance(parts, count, static_cast<size_t>(written));
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            *error = "connection closed";
            return false;
        }
        if (!waitWritable(fd, deadline, error)) return false;
    }
    return true;
}

int environmentInt(const char* name, int fallback, int low, int high) {
    const char* text = getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    char* end = nullptr;
    errno = 0;
    const long value = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < low || value > high) {
        fprintf(stderr, "ndi: ignoring %s=\"%s\" (not a number from %d to %d)\n", name, text, low,
                high);
        return fallback;
    }
    return static_cast<int>(value);
}

const char* failureText(const std::exception& failure) {
    if (dynamic_cast<const std::bad_alloc*>(&failure) != nullptr) return "out of memory";
    return failure.what();
}

}  // namespace ndiwire
