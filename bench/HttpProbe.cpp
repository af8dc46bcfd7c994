// The benchmarks' timed GET: one request on a plain socket, timed from connect to the last byte; -1
// for anything but a 200.
#include "bench/HttpProbe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

double TimedGet(const std::string& address, int port, const std::string& path, std::string* body) {
    const auto start = std::chrono::steady_clock::now();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, address.c_str(), &to.sin_addr);
    timeval limit{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0) {
        ::close(fd);
        return -1;
    }
    const std::string request =
        "GET " + path + " HTTP/1.1\r\nHost: bench\r\nConnection: close\r\n\r\n";
    std::string reply;
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(request.size())) {
        char buffer[16384];
        ssize_t n = 0;
        while ((n = ::recv(fd, buffer, sizeof(buffer), 0)) > 0) {
            reply.append(buffer, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    int status = 0;
    if (std::sscanf(reply.c_str(), "HTTP/1.1 %d", &status) != 1 || status != 200) {
        return -1;
    }
    if (body != nullptr) {
        const size_t split = reply.find("\r\n\r\n");
        *body = split == std::string::npos ? std::string() : reply.substr(split + 4);
    }
    return ms;
}
