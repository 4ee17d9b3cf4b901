#include "platform/ndi/listen.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/ndi/socket.h"

namespace ndiwire {

namespace {

constexpr int kDefaultPort = 5960;
// Ports tried above a taken one before any free port will do.
constexpr int kNeighbourPorts = 15;
constexpr long long kRetryAfterMs = 5000;

// The last request that found no port at all. The engine asks for a sender
// with every frame until it has one; this is what keeps those asks from
// flooding the log. It is the runtime's own, like any state a closed
// runtime keeps behind its calls.
struct LastFailure {
    std::mutex lock;
    std::string request;
    long long atMs = 0;
};
LastFailure lastFailure;

bool failedRecently(const std::string& request) {
    std::lock_guard guard(lastFailure.lock);
    return lastFailure.request == request && monotonicMs() - lastFailure.atMs < kRetryAfterMs;
}

void noteFailure(const std::string& request) {
    std::lock_guard guard(lastFailure.lock);
    lastFailure.request = request;
    lastFailure.atMs = monotonicMs();
}

// Listening socket for one address family (AF_INET6 listens for IPv4 too).
// -1 with the reason in *error; EAI_NONAME stands for an address that does
// not resolve.
int listenOn(const char* host, int family, int port, int* error) {
    char service[16];
    snprintf(service, sizeof service, "%d", port);
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, service, &hints, &found) != 0) {
        *error = EAI_NONAME;
        return -1;
    }
    // Non-blocking, so the accept loop takes every waiting connection and
    // then goes back to writing.
    int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    *error = errno;
    if (fd >= 0) {
        const int on = 1, off = 0;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (found->ai_family == AF_INET6) {
            setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        }
        // The largest backlog the system allows, so a burst of connections
        // waits for the accept loop instead of being refused.
        if (bind(fd, found->ai_addr, found->ai_addrlen) != 0 || listen(fd, SOMAXCONN) != 0) {
            *error = errno;
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

// Hosts without IPv6 cannot even open the socket; they get IPv4 alone.
int defaultFamily() {
    const int probe = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return AF_INET;
    close(probe);
    return AF_INET6;
}

// The port asked for, then its neighbours, then any free port.
int listenOnFreePort(const char* host, int family, int wanted, int* error) {
    int fd = listenOn(host, family, wanted, error);
    for (int step = 1; fd < 0 && *error == EADDRINUSE && wanted != 0 && step <= kNeighbourPorts;
         ++step) {
        if (wanted + step <= 65535) fd = listenOn(host, family, wanted + step, error);
    }
    if (fd < 0 && *error == EADDRINUSE && wanted != 0) fd = listenOn(host, family, 0, error);
    return fd;
}

void reportFailure(const char* host, int wanted, int error) {
    if (error == EAI_NONAME) {
        fprintf(stderr, "ndi: cannot resolve listen address \"%s\"\n", host ? host : "");
    } else {
        fprintf(stderr, "ndi: cannot listen on port %d: %s\n", wanted, strerror(error));
    }
}

}  // namespace

int openListener(int* port) {
    const int wanted = environmentInt("NDI_PORT", kDefaultPort, 0, 65535);
    const char* host = getenv("NDI_BIND");
    const bool anyInterface = host == nullptr || *host == '\0';
    const std::string request =
        (anyInterface ? "" : host) + std::string(":") + std::to_string(wanted);
    if (failedRecently(request)) return -1;
    int error = 0;
    const int fd = listenOnFreePort(anyInterface ? nullptr : host,
                                    anyInterface ? defaultFamily() : AF_UNSPEC, wanted, &error);
    if (fd < 0) {
        reportFailure(host, wanted, error);
        noteFailure(request);
        return -1;
    }
    *port = boundPort(fd);
    if (wanted != 0 && *port != wanted) {
        fprintf(stderr, "ndi: TCP port %d is taken; listening on port %d instead\n", wanted, *port);
    }
    return fd;
}

}  // namespace ndiwire
