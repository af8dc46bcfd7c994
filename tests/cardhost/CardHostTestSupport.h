// Helpers for the card host's tests: a framed TCP client playing the station,
// a recorder of the host's output lines, and random loopback addresses so that
// tests can run in parallel.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace cardhost_test {

using namespace std::chrono_literals;
using Millis = std::chrono::milliseconds;

// Generous: only a failing test waits this long.
constexpr Millis LONG_WAIT = 10s;
// How long "nothing arrives" is watched for.
constexpr Millis QUIET_WAIT = 300ms;

inline std::string RandomLoopback() {
    std::random_device device;
    std::uniform_int_distribution<int> octet(1, 254);
    return "127." + std::to_string(octet(device)) + "." + std::to_string(octet(device)) + "." +
           std::to_string(octet(device));
}

// The station's commands, as it sends them.
inline std::string ConnectCommand(uint32_t serial) {
    return "<Message version=\"1.0\"><Command><Connect><Card serial-nr=\"" +
           std::to_string(serial) + "\"/></Connect></Command></Message>";
}
inline std::string SetCodeCommand(const std::string& code, const std::string& modulation) {
    return "<Message version=\"1.0\"><Command><Set><ParameterList><Parameter name=\"code\" "
           "value=\"" +
           code + "\"/><Parameter name=\"modulation\" value=\"" + modulation +
           "\"/><Parameter name=\"input\" value=\"inp2\"/></ParameterList></Set></Command></"
           "Message>";
}
inline std::string SetAlsCommand(const std::string& value) {
    return "<Message version=\"1.0\"><Command><Set><ParameterList><Parameter name=\"als\" "
           "value=\"" +
           value + "\"/></ParameterList></Set></Command></Message>";
}
inline const std::string SET_CONFIGURATION_COMMAND =
    "<Message version=\"1.0\"><Command><Set><Configuration "
    "information-indicators-interval-per-minute=\"0\"/></Set></Command></Message>";
inline const std::string START_RESYNC_COMMAND =
    "<Message version=\"1.0\"><Command><Start item=\"resync\"/></Command></Message>";

inline std::string TrafficMessage(const std::string& records) {
    return "<Message version=\"1.0\"><Data><Text>" + records + "</Text></Data></Message>";
}

// A blocking client speaking the framed wire format.
class CFramedClient {
public:
    CFramedClient() = default;
    ~CFramedClient() { Close(); }
    CFramedClient(const CFramedClient&) = delete;
    CFramedClient& operator=(const CFramedClient&) = delete;

    bool Connect(const std::string& address, uint16_t port) {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        if (m_fd < 0 || inet_pton(AF_INET, address.c_str(), &to.sin_addr) != 1) {
            return false;
        }
        return connect(m_fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    }

    void Close() {
        if (m_fd >= 0) {
            close(m_fd);
            m_fd = -1;
        }
    }

    bool SendRaw(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t sent = send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent <= 0) {
                return false;
            }
            bytes.remove_prefix(static_cast<std::size_t>(sent));
        }
        return true;
    }

    static std::string Header(uint32_t length) {
        const char header[4] = {static_cast<char>(length >> 24), static_cast<char>(length >> 16),
                                static_cast<char>(length >> 8), static_cast<char>(length)};
        return std::string(header, 4);
    }

    bool Send(std::string_view text) {
        return SendRaw(Header(static_cast<uint32_t>(text.size())) + std::string(text));
    }

    // The next frame's text (empty for a keep-alive); nothing when the time
    // runs out or the connection ends first.
    std::optional<std::string> ReceiveFrame(Millis timeout = LONG_WAIT) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (m_buffer.size() >= 4) {
                const auto* h = reinterpret_cast<const unsigned char*>(m_buffer.data());
                const std::size_t length = (std::size_t{h[0]} << 24) | (std::size_t{h[1]} << 16) |
                                           (std::size_t{h[2]} << 8) | std::size_t{h[3]};
                if (m_buffer.size() >= 4 + length) {
                    std::string text = m_buffer.substr(4, length);
                    m_buffer.erase(0, 4 + length);
                    return text;
                }
            }
            if (!Fill(deadline)) {
                return std::nullopt;
            }
        }
    }

    // The next frame that is not a keep-alive.
    std::optional<std::string> Receive(Millis timeout = LONG_WAIT) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto left =
                std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
            auto frame = ReceiveFrame(left > Millis(0) ? left : Millis(0));
            if (!frame || !frame->empty()) {
                return frame;
            }
        }
    }

    // True when the host closes the connection within the time.
    bool WaitClosed(Millis timeout = LONG_WAIT) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (Fill(deadline)) {
            m_buffer.clear();
        }
        return m_closed;
    }

private:
    bool Fill(std::chrono::steady_clock::time_point deadline) {
        const auto left =
            std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
        pollfd ready{m_fd, POLLIN, 0};
        if (m_fd < 0 ||
            poll(&ready, 1, static_cast<int>(std::max<int64_t>(left.count(), 0))) <= 0) {
            return false;
        }
        char chunk[65536];
        const ssize_t got = recv(m_fd, chunk, sizeof chunk, 0);
        if (got <= 0) {
            m_closed = true;
            return false;
        }
        m_buffer.append(chunk, static_cast<std::size_t>(got));
        return true;
    }

    int m_fd = -1;
    std::string m_buffer;
    bool m_closed = false;
};

// Collects the host's output lines; safe to feed from any thread.
class COutputLog {
public:
    std::function<void(const std::string&)> Sink() {
        return [this](const std::string& line) {
            {
                std::lock_guard lock(m_lock);
                m_lines.push_back(line);
            }
            m_changed.notify_all();
        };
    }

    std::vector<std::string> Lines() const {
        std::lock_guard lock(m_lock);
        return m_lines;
    }

    bool Has(const std::string& line) const {
        std::lock_guard lock(m_lock);
        return CountLocked(line, false) > 0;
    }

    // Waits until `count` lines equal `line` (or start with it, with `prefix`).
    bool WaitFor(const std::string& line, Millis timeout = LONG_WAIT, bool prefix = false,
                 std::size_t count = 1) {
        std::unique_lock lock(m_lock);
        return m_changed.wait_for(lock, timeout,
                                  [&] { return CountLocked(line, prefix) >= count; });
    }

    std::size_t CountPrefix(const std::string& prefix) const {
        std::lock_guard lock(m_lock);
        return CountLocked(prefix, true);
    }

private:
    std::size_t CountLocked(const std::string& line, bool prefix) const {
        std::size_t n = 0;
        for (const std::string& candidate : m_lines) {
            n += (prefix ? candidate.rfind(line, 0) == 0 : candidate == line) ? 1 : 0;
        }
        return n;
    }

    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<std::string> m_lines;
};

}  // namespace cardhost_test
