// The HTTP server: our own accept thread and workers, with the limits on connections, heads and
// times, feeding the HTTP library's parser and router through a stream of ours.
#include "remote/HttpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "core/WakePipe.h"
#include "remote/Json.h"

namespace {

using SteadyClock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

constexpr int LISTEN_BACKLOG = 64;
constexpr size_t READ_BUFFER_BYTES = 4096;
// After accept fails for want of descriptors or memory, the listening socket
// stays readable: wait a little rather than spin.
constexpr Millis ACCEPT_BACKOFF{50};
constexpr std::string_view OVERLOADED_RESPONSE =
    "HTTP/1.1 503 Service Unavailable\r\n"
    "Connection: close\r\n"
    "Content-Type: application/json\r\n"
    "Content-Length: 33\r\n"
    "\r\n"
    "{\"error\":\"too many connections\"}\n";
constexpr const char* JSON_TYPE = "application/json";

// The library's own error statuses, in words.
std::string StatusText(int status) {
    switch (status) {
        case 400:
            return "bad request";
        case 413:
            return "payload too large";
        case 414:
            return "uri too long";
        case 416:
            return "range not satisfiable";
        case 417:
            return "expectation failed";
        default:
            return "error " + std::to_string(status);
    }
}

// Waits until `fd` is ready for `events`, the server stops (`wakeFd` becomes
// readable) or `timeout` passes. True only when `fd` is ready.
bool WaitFor(int fd, short events, int wakeFd, Millis timeout) {
    const auto deadline = SteadyClock::now() + timeout;
    for (;;) {
        pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
        const auto left = std::chrono::duration_cast<Millis>(deadline - SteadyClock::now());
        const int n = ::poll(fds, 2, static_cast<int>(std::max<int64_t>(0, left.count())));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0 || (fds[1].revents & POLLIN) != 0) {
            return false;
        }
        return (fds[0].revents & (events | POLLHUP | POLLERR)) != 0;
    }
}

void AddressOf(const sockaddr_storage& address, std::string& ip, int& port) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(address);
        ::inet_ntop(AF_INET, &in.sin_addr, text, sizeof(text));
        port = ntohs(in.sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
        ::inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof(text));
        port = ntohs(in6.sin6_port);
    }
    ip = text;
}

// One connection as the library reads and writes it. Reads are buffered and
// counted per request: beyond `maxHeadBytes` or `headTime` the read fails,
// and the library gives the request up and the connection is closed.
class CConnectionStream final : public httplib::Stream {
public:
    CConnectionStream(int fd, int wakeFd, const HttpServerLimits& limits)
        : m_fd(fd), m_wakeFd(wakeFd), m_limits(limits) {}

    // Whether the next request begins before the connection has idled too long.
    bool WaitForRequest() {
        return m_begin < m_end || WaitFor(m_fd, POLLIN, m_wakeFd, m_limits.keepAlive);
    }
    void BeginRequest() {
        m_requestBytes = 0;
        m_deadline = SteadyClock::now() + m_limits.headTime;
    }

    bool is_readable() const override {
        return m_begin < m_end || WaitFor(m_fd, POLLIN, m_wakeFd, ReadWait());
    }
    bool is_writable() const override {
        return WaitFor(m_fd, POLLOUT, m_wakeFd, m_limits.writeTimeout);
    }

    ssize_t read(char* ptr, size_t size) override {
        if (m_begin == m_end && !Fill()) {
            return -1;
        }
        const size_t n = std::min(size, m_end - m_begin);
        std::memcpy(ptr, m_buffer + m_begin, n);
        m_begin += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char* ptr, size_t size) override {
        if (!is_writable()) {
            return -1;
        }
        for (;;) {
            const ssize_t n = ::send(m_fd, ptr, size, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            return n;
        }
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage address{};
        socklen_t length = sizeof(address);
        if (::getpeername(m_fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            AddressOf(address, ip, port);
        }
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage address{};
        socklen_t length = sizeof(address);
        if (::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            AddressOf(address, ip, port);
        }
    }
    socket_t socket() const override { return m_fd; }

private:
    Millis ReadWait() const {
        const auto left = std::chrono::duration_cast<Millis>(m_deadline - SteadyClock::now());
        return std::clamp(left, Millis(0), m_limits.readTimeout);
    }

    bool Fill() {
        if (m_requestBytes >= m_limits.maxHeadBytes || SteadyClock::now() >= m_deadline ||
            !WaitFor(m_fd, POLLIN, m_wakeFd, ReadWait())) {
            return false;
        }
        const size_t room = std::min(sizeof(m_buffer), m_limits.maxHeadBytes - m_requestBytes);
        for (;;) {
            const ssize_t n = ::recv(m_fd, m_buffer, room, 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return false;
            }
            m_requestBytes += static_cast<size_t>(n);
            m_begin = 0;
            m_end = static_cast<size_t>(n);
            return true;
        }
    }

    const int m_fd;
    const int m_wakeFd;
    const HttpServerLimits& m_limits;
    char m_buffer[READ_BUFFER_BYTES] = {};
    size_t m_begin = 0;
    size_t m_end = 0;
    size_t m_requestBytes = 0;
    SteadyClock::time_point m_deadline = SteadyClock::now();
};

// The library's request parser, router and response writer, fed with our
// connections instead of its own listening loop.
class CLibraryServer final : public httplib::Server {
public:
    // The library tells a stop by this socket being invalid: a streamed
    // response ends when it is.
    void SetListening(int fd) { svr_sock_ = fd; }

    void Serve(CConnectionStream& stream, size_t maxRequests) {
        for (size_t count = 0; count < maxRequests; ++count) {
            if (svr_sock_ == INVALID_SOCKET || !stream.WaitForRequest()) {
                return;
            }
            stream.BeginRequest();
            bool closed = false;
            if (!process_request(stream, count + 1 == maxRequests, closed, nullptr) || closed) {
                return;
            }
        }
    }
};

}  // namespace

std::string HttpRequest::Param(const std::string& name) const {
    const auto it = params.find(name);
    return it == params.end() ? std::string() : it->second;
}

bool SameToken(std::string_view given, std::string_view expected) {
    // Every byte of the expected token is looked at whatever the given one is,
    // so the time taken tells nothing about how much of it was right.
    unsigned difference = given.size() == expected.size() ? 0U : 1U;
    for (size_t i = 0; i < expected.size(); ++i) {
        const char g = i < given.size() ? given[i] : '\0';
        difference |= static_cast<unsigned char>(g ^ expected[i]);
    }
    return difference == 0;
}

class CHttpServer::Impl {
public:
    explicit Impl(HttpServerLimits limits) : m_limits(limits) {
        m_library.set_payload_max_length(m_limits.maxHeadBytes);
        m_library.set_pre_routing_handler(
            [this](const httplib::Request& request, httplib::Response& response) {
                Route(request, response);
                return httplib::Server::HandlerResponse::Handled;
            });
        // Errors the library finds itself (a malformed request line, a URI
        // too long) get a body like ours.
        m_library.set_error_handler([](const httplib::Request&, httplib::Response& response) {
            if (response.body.empty()) {
                response.set_content(ErrorJson(StatusText(response.status)), JSON_TYPE);
            }
        });
        m_library.set_exception_handler(
            [](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
                response.status = 500;
                response.set_content(ErrorJson("internal error"), JSON_TYPE);
            });
    }

    ~Impl() { Stop(); }

    void Route(const httplib::Request& request, httplib::Response& response) const {
        if (request.method != "GET" && request.method != "HEAD") {
            response.status = 405;
            response.set_header("Allow", "GET, HEAD");
            response.set_content(ErrorJson("method not allowed"), JSON_TYPE);
            return;
        }
        if (!m_token.empty() && !Authorized(request)) {
            response.status = 401;
            response.set_header("WWW-Authenticate", "Bearer");
            response.set_content(ErrorJson("unauthorized"), JSON_TYPE);
            return;
        }
        const auto handler = m_handlers.find(request.path);
        if (handler == m_handlers.end()) {
            response.status = 404;
            response.set_content(ErrorJson("not found"), JSON_TYPE);
            return;
        }
        HttpRequest ours;
        ours.method = request.method;
        ours.path = request.path;
        ours.params.insert(request.params.begin(), request.params.end());
        HttpResponse answer;
        handler->second(ours, answer);
        response.status = answer.status;
        for (const auto& [name, value] : answer.headers) {
            response.set_header(name, value);
        }
        if (answer.stream) {
            response.set_chunked_content_provider(
                answer.contentType,
                [stream = std::move(answer.stream)](size_t, httplib::DataSink& sink) {
                    return stream([&sink](std::string_view piece) {
                        return piece.empty() || sink.write(piece.data(), piece.size());
                    });
                });
        } else {
            response.set_content(answer.body, answer.contentType);
        }
    }

    bool Authorized(const httplib::Request& request) const {
        if (request.get_header_value_count("Authorization") != 1) {
            return false;
        }
        const std::string value = request.get_header_value("Authorization");
        constexpr std::string_view SCHEME = "bearer ";
        if (value.size() < SCHEME.size()) {
            return false;
        }
        for (size_t i = 0; i < SCHEME.size(); ++i) {
            if (std::tolower(static_cast<unsigned char>(value[i])) != SCHEME[i]) {
                return false;
            }
        }
        return SameToken(std::string_view(value).substr(SCHEME.size()), m_token);
    }

    bool Start(const std::string& address, int port, std::string& error) {
        const std::string where = address + ":" + std::to_string(port);
        m_wake.Take();  // the last Stop's wake, if this server ran before
        sockaddr_storage bindAddress{};
        socklen_t length = 0;
        auto& in = reinterpret_cast<sockaddr_in&>(bindAddress);
        auto& in6 = reinterpret_cast<sockaddr_in6&>(bindAddress);
        if (::inet_pton(AF_INET, address.c_str(), &in.sin_addr) == 1) {
            in.sin_family = AF_INET;
            in.sin_port = htons(static_cast<uint16_t>(port));
            length = sizeof(in);
        } else if (::inet_pton(AF_INET6, address.c_str(), &in6.sin6_addr) == 1) {
            in6.sin6_family = AF_INET6;
            in6.sin6_port = htons(static_cast<uint16_t>(port));
            length = sizeof(in6);
        } else {
            error = "cannot listen on " + address + ": not an IP address";
            return false;
        }
        m_listenFd = ::socket(bindAddress.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_listenFd < 0) {
            error = "cannot listen on " + where + ": " + std::strerror(errno);
            return false;
        }
        // A restart must not wait for the last run's closed connections; a
        // port that another socket listens on is still refused.
        const int on = 1;
        ::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&bindAddress), length) != 0 ||
            ::listen(m_listenFd, LISTEN_BACKLOG) != 0 || !m_wake.Valid()) {
            error = "cannot listen on " + where + ": " + std::strerror(errno);
            CloseAll();
            return false;
        }
        sockaddr_storage bound{};
        socklen_t boundLength = sizeof(bound);
        ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&bound), &boundLength);
        std::string ip;
        int boundPort = 0;
        AddressOf(bound, ip, boundPort);
        m_port = boundPort;
        m_library.SetListening(m_listenFd);
        m_acceptor = std::thread([this] { AcceptLoop(); });
        return true;
    }

    void Stop() {
        if (!m_acceptor.joinable()) {
            return;
        }
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_stopping = true;
        }
        m_library.SetListening(INVALID_SOCKET);
        // Never taken: once poked, the pipe wakes every wait for good.
        m_wake.Poke();
        m_work.notify_all();
        m_acceptor.join();
        for (std::thread& worker : m_workers) {
            worker.join();
        }
        m_workers.clear();
        for (const int fd : m_pending) {
            ::close(fd);
            --m_open;
        }
        m_pending.clear();
        CloseAll();
    }

    void AcceptLoop() {
        for (;;) {
            pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_wake.ReadFd(), POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                continue;  // EINTR
            }
            if ((fds[1].revents & POLLIN) != 0) {
                return;
            }
            const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                    std::this_thread::sleep_for(ACCEPT_BACKOFF);
                }
                continue;
            }
            if (m_open.load() >= m_limits.maxConnections) {
                [[maybe_unused]] const ssize_t ignored =
                    ::send(fd, OVERLOADED_RESPONSE.data(), OVERLOADED_RESPONSE.size(),
                           MSG_DONTWAIT | MSG_NOSIGNAL);
                ::close(fd);
                continue;
            }
            const int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
            ++m_open;
            std::lock_guard<std::mutex> guard(m_lock);
            m_pending.push_back(fd);
            // Workers are made as connections need them and stay for the run.
            if (m_pending.size() > m_idle && m_workers.size() < m_limits.maxConnections) {
                m_workers.emplace_back([this] { WorkerLoop(); });
            }
            m_work.notify_one();
        }
    }

    void WorkerLoop() {
        for (;;) {
            int fd = -1;
            {
                std::unique_lock<std::mutex> guard(m_lock);
                ++m_idle;
                m_work.wait(guard, [this] { return m_stopping || !m_pending.empty(); });
                --m_idle;
                if (m_stopping) {
                    return;
                }
                fd = m_pending.front();
                m_pending.pop_front();
            }
            {
                CConnectionStream stream(fd, m_wake.ReadFd(), m_limits);
                m_library.Serve(stream, m_limits.requestsPerConnection);
            }
            ::shutdown(fd, SHUT_RDWR);
            ::close(fd);
            --m_open;
        }
    }

    void CloseAll() {
        if (m_listenFd >= 0) {
            ::close(m_listenFd);
            m_listenFd = -1;
        }
    }

    const HttpServerLimits m_limits;
    CLibraryServer m_library;
    std::map<std::string, HttpHandler> m_handlers;
    std::string m_token;
    int m_listenFd = -1;
    CWakePipe m_wake;
    std::atomic<int> m_port{0};
    std::atomic<size_t> m_open{0};
    std::thread m_acceptor;

    std::mutex m_lock;
    std::condition_variable m_work;
    std::deque<int> m_pending;
    size_t m_idle = 0;
    std::vector<std::thread> m_workers;
    bool m_stopping = false;
};

CHttpServer::CHttpServer(HttpServerLimits limits) : m_impl(std::make_unique<Impl>(limits)) {}

CHttpServer::~CHttpServer() = default;

void CHttpServer::Handle(const std::string& path, HttpHandler handler) {
    m_impl->m_handlers[path] = std::move(handler);
}

void CHttpServer::SetToken(std::string token) {
    m_impl->m_token = std::move(token);
}

bool CHttpServer::Start(const std::string& address, int port, std::string& error) {
    return m_impl->Start(address, port, error);
}

int CHttpServer::Port() const {
    return m_impl->m_port.load();
}

void CHttpServer::Stop() {
    m_impl->Stop();
}

size_t CHttpServer::OpenConnections() const {
    return m_impl->m_open.load();
}
