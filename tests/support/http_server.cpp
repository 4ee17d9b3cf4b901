#include "tests/support/http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace testsupport {

namespace {

constexpr size_t kMaxRequestBytes = 1 << 20;

int bindLoopback(uint16_t* port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(addr.sin_port);
    return fd;
}

bool sendAll(int fd, const std::string& text) {
    size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// Reads until the headers and the Content-Length body are in, or the peer
// stops sending.
std::string readRequest(int fd) {
    std::string text;
    char chunk[4096];
    size_t wanted = std::string::npos;
    while (text.size() < kMaxRequestBytes &&
           (wanted == std::string::npos || text.size() < wanted)) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 2000) <= 0) break;
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        text.append(chunk, static_cast<size_t>(n));
        const size_t end = text.find("\r\n\r\n");
        if (end == std::string::npos || wanted != std::string::npos) continue;
        size_t length = 0;
        const char* cl = strcasestr(text.substr(0, end).c_str(), "\r\nContent-Length:");
        if (cl != nullptr) length = std::strtoul(cl + 17, nullptr, 10);
        wanted = end + 4 + length;
    }
    return text;
}

HttpRequest parseRequest(const std::string& text) {
    HttpRequest request;
    const size_t end = text.find("\r\n\r\n");
    const std::string head = text.substr(0, end);
    if (end != std::string::npos) request.body = text.substr(end + 4);
    size_t lineEnd = head.find("\r\n");
    const std::string first = head.substr(0, lineEnd);
    const size_t sp1 = first.find(' ');
    const size_t sp2 = first.find(' ', sp1 + 1);
    if (sp1 != std::string::npos) {
        request.method = first.substr(0, sp1);
        request.path = first.substr(sp1 + 1, sp2 == std::string::npos ? sp2 : sp2 - sp1 - 1);
    }
    while (lineEnd != std::string::npos) {
        const size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        const std::string line =
            head.substr(start, lineEnd == std::string::npos ? lineEnd : lineEnd - start);
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        const size_t value = line.find_first_not_of(' ', colon + 1);
        request.headers[line.substr(0, colon)] =
            value == std::string::npos ? "" : line.substr(value);
    }
    return request;
}

const char* reasonPhrase(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 301:
            return "Moved Permanently";
        case 404:
            return "Not Found";
        case 500:
            return "Internal Server Error";
        default:
            return "Status";
    }
}

}  // namespace

std::string HttpRequest::header(const std::string& name) const {
    for (const auto& [key, value] : headers)
        if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
    return "";
}

HttpServer::HttpServer() {
    listenFd_ = bindLoopback(&port_);
    if (listenFd_ < 0 || listen(listenFd_, 16) != 0) {
        if (listenFd_ >= 0) close(listenFd_);
        listenFd_ = -1;
        return;
    }
    thread_ = std::thread([this] { run(); });
}

HttpServer::~HttpServer() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    if (listenFd_ >= 0) close(listenFd_);
}

std::string HttpServer::hostPort() const { return "127.0.0.1:" + std::to_string(port_); }

std::string HttpServer::url(const std::string& path) const { return "http://" + hostPort() + path; }

void HttpServer::serve(const std::string& path, HttpResponse response) {
    std::lock_guard lock(mutex_);
    routes_[path] = std::move(response);
}

std::vector<HttpRequest> HttpServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

HttpResponse HttpServer::responseFor(const std::string& path) const {
    std::lock_guard lock(mutex_);
    const auto it = routes_.find(path);
    if (it != routes_.end()) return it->second;
    return {404, "<html><head><title>404 Not Found</title></head><body>Not Found</body></html>\n",
            "text/html"};
}

// Polls so that the destructor's stop flag is seen within a tenth of a second.
void HttpServer::run() {
    while (!stopping_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        answer(fd);
        close(fd);
    }
}

void HttpServer::answer(int fd) {
    HttpRequest request = parseRequest(readRequest(fd));
    const HttpResponse response = responseFor(request.path);
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(std::move(request));
    }
    if (response.neverAnswer) {
        while (!stopping_) poll(nullptr, 0, 100);
        return;
    }
    sendAll(fd, "HTTP/1.1 " + std::to_string(response.status) + " " +
                    reasonPhrase(response.status) + "\r\nContent-Type: " + response.contentType +
                    "\r\nContent-Length: " + std::to_string(response.body.size()) +
                    "\r\nConnection: close\r\n\r\n" +
                    response.body.substr(0, response.bodyBytesSent));
}

uint16_t closedLoopbackPort() {
    uint16_t port = 0;
    const int fd = bindLoopback(&port);
    if (fd >= 0) close(fd);
    return port;
}

}  // namespace testsupport
