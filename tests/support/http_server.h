// A tiny HTTP/1.1 server for tests: listens on 127.0.0.1 on a free port,
// answers every request with the canned response set for its path (404 with a
// small HTML page otherwise), closes the connection after each response and
// records every request it saw.
//
//   testsupport::HttpServer server;
//   server.serve("/ndi/version.txt", {200, "2.5\n"});
//   fetch(server.url("/ndi/version.txt"));
//   EXPECT_EQ(server.requests().at(0).header("User-Agent"), "...");
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

struct HttpResponse {
    int status = 200;
    std::string body;
    std::string contentType = "text/plain";
    // Body bytes sent before the connection is closed; fewer than the body's
    // size (announced in Content-Length) make a transfer cut short.
    size_t bodyBytesSent = SIZE_MAX;
    // The request is read and then left unanswered, the connection open,
    // until the server stops: a host that accepts and never answers.
    bool neverAnswer = false;
};

struct HttpRequest {
    std::string method;
    std::string path;
    std::map<std::string, std::string> headers;  // names as sent
    std::string body;
    // The value of a header, matched without regard to case; "" when absent.
    std::string header(const std::string& name) const;
};

class HttpServer {
  public:
    HttpServer();  // listening when it returns; ok() says whether it could
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    bool ok() const { return listenFd_ >= 0; }
    uint16_t port() const { return port_; }
    std::string hostPort() const;                    // "127.0.0.1:port"
    std::string url(const std::string& path) const;  // "http://127.0.0.1:port/path"

    void serve(const std::string& path, HttpResponse response);
    std::vector<HttpRequest> requests() const;

  private:
    void run();
    void answer(int fd);
    HttpResponse responseFor(const std::string& path) const;

    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::map<std::string, HttpResponse> routes_;
    std::vector<HttpRequest> requests_;
    std::thread thread_;
};

// A loopback port on which nothing listens (bound once, then released).
uint16_t closedLoopbackPort();

}  // namespace testsupport
