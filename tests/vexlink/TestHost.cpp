// The library tests' card host: a listener on a random loopback address, peers that send and read
// frames within time limits, a filled backlog, and a bound port that refuses connects.
#include "vexlink/TestHost.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <random>
#include <stdexcept>

#include "wire/Frame.h"

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits until fd is readable; false on timeout.
bool WaitReadable(int fd, Clock::time_point deadline) {
    for (;;) {
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, RemainingMs(deadline));
        if (ready > 0) {
            return true;
        }
        if (ready == 0 || errno != EINTR) {
            return false;
        }
    }
}

// Reads exactly `size` bytes; false on timeout, end or error.
bool RecvExact(int fd, void* data, std::size_t size, Clock::time_point deadline) {
    auto* bytes = static_cast<unsigned char*>(data);
    std::size_t done = 0;
    while (done < size) {
        if (!WaitReadable(fd, deadline)) {
            return false;
        }
        const ssize_t got = ::recv(fd, bytes + done, size - done, 0);
        if (got <= 0) {
            if (got < 0 && errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}

sockaddr_in MakeAddress(const std::string& address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) {
        throw std::runtime_error("bad test address " + address);
    }
    return sa;
}

// Binds a new TCP socket to a random loopback address, port 0.
int BindRandom(std::string& address, std::string& port) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        address = RandomLoopbackAddress();
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            break;
        }
        sockaddr_in sa = MakeAddress(address, 0);
        socklen_t length = sizeof sa;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length) == 0) {
            port = std::to_string(ntohs(sa.sin_port));
            return fd;
        }
        ::close(fd);
    }
    throw std::runtime_error("no loopback address to bind");
}

}  // namespace

std::string RandomLoopbackAddress() {
    static thread_local std::mt19937 random{std::random_device{}()};
    std::uniform_int_distribution<int> x(1, 254);
    std::uniform_int_distribution<int> y(0, 255);
    return "127." + std::to_string(x(random)) + "." + std::to_string(y(random)) + "." +
           std::to_string(x(random));
}

CPeer& CPeer::operator=(CPeer&& other) noexcept {
    if (this != &other) {
        Close();
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

bool CPeer::SendRaw(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t sent = ::send(m_fd, bytes, size, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool CPeer::SendHeader(uint32_t length) {
    const std::string header = FrameHeader(length);
    return SendRaw(header.data(), header.size());
}

bool CPeer::SendFrame(std::string_view text) {
    const std::string frame = EncodeFrame(text);
    return SendRaw(frame.data(), frame.size());
}

std::optional<std::string> CPeer::ReadFrame(std::chrono::milliseconds timeout, int* keepAlives) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        // Exact reads: what follows the frame stays in the socket, for
        // StaysSilent and WaitClosed.
        unsigned char header[FRAME_HEADER_BYTES];
        if (!RecvExact(m_fd, header, sizeof header, deadline)) {
            return std::nullopt;
        }
        const uint32_t length = DecodeFrameLength(header);
        if (length == 0) {
            if (keepAlives != nullptr) {
                ++*keepAlives;
            }
            continue;
        }
        std::string text(length, '\0');
        if (!RecvExact(m_fd, text.data(), length, deadline)) {
            return std::nullopt;
        }
        return text;
    }
}

bool CPeer::WaitClosed(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    char sink[65536];
    for (;;) {
        if (!WaitReadable(m_fd, deadline)) {
            return false;
        }
        const ssize_t got = ::recv(m_fd, sink, sizeof sink, 0);
        if (got == 0 || (got < 0 && errno != EINTR)) {
            return true;
        }
    }
}

bool CPeer::StaysSilent(std::chrono::milliseconds timeout) {
    return !WaitReadable(m_fd, Clock::now() + timeout);
}

void CPeer::Close() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

void CPeer::Reset() {
    if (m_fd >= 0) {
        const linger abort{1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        Close();
    }
}

CTestHost::CTestHost(int backlog) {
    m_listener = BindRandom(m_address, m_port);
    if (::listen(m_listener, backlog) != 0) {
        ::close(m_listener);
        throw std::runtime_error("listen failed");
    }
}

CTestHost::~CTestHost() {
    m_filler.Close();
    ::close(m_listener);
}

CPeer CTestHost::Accept(std::chrono::milliseconds timeout) {
    if (!WaitReadable(m_listener, Clock::now() + timeout)) {
        return CPeer();
    }
    const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
        const timeval limit{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    }
    return CPeer(fd);
}

void CTestHost::FillBacklog() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = MakeAddress(m_address, static_cast<uint16_t>(std::stoi(m_port)));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        ::close(fd);
        throw std::runtime_error("could not fill the backlog");
    }
    m_filler = CPeer(fd);
}

CClosedPort::CClosedPort(const std::string& address) {
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = MakeAddress(address, 0);
    socklen_t length = sizeof sa;
    if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
        throw std::runtime_error("could not reserve a port");
    }
    m_port = std::to_string(ntohs(sa.sin_port));
}

CClosedPort::~CClosedPort() {
    ::close(m_fd);
}
