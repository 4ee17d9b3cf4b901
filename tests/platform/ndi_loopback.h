// Helpers for tests that run a sender and receivers of the built-in NDI
// runtime over loopback.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/ndi/ndi.h"

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

// Waits until the sender counts exactly `count` receivers; false after 5 s.
inline bool waitForConnections(NDIlib_send_instance_t sender, int count) {
    for (int i = 0; i < 2500; ++i) {
        if (NDIlib_send_get_no_connections(sender, 0) == count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

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

}  // namespace nditest
