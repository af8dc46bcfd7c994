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

#include "support/LineLog.h"
#include "wire/Frame.h"

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

// A blocking client speaking the framed wire format (wire/Frame.h).
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

    bool Send(std::string_view text) { return SendRaw(EncodeFrame(text)); }

    // The next frame's text (empty for a keep-alive); nothing when the time
    // runs out, the connection ends first or a header breaks the size limit.
    std::optional<std::string> ReceiveFrame(Millis timeout = LONG_WAIT) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            while (m_read < m_buffer.size()) {
                const CFrameReader::Step step =
                    m_reader.Take(std::string_view(m_buffer).substr(m_read));
                m_read += step.taken;
                switch (step.event) {
                    case CFrameReader::Event::None:
                        break;
                    case CFrameReader::Event::KeepAlive:
                        return std::string();
                    case CFrameReader::Event::Text:
                        return m_reader.TakeText();
                    case CFrameReader::Event::TooLong:
                        return std::nullopt;
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
        }
        return m_closed;
    }

private:
    // Reads what arrives next in place of what was taken.
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
        m_buffer.assign(chunk, static_cast<std::size_t>(got));
        m_read = 0;
        return true;
    }

    int m_fd = -1;
    std::string m_buffer;  // the last bytes read, m_read of them taken
    std::size_t m_read = 0;
    CFrameReader m_reader;
    bool m_closed = false;
};

// Collects the host's output lines (CLineLog), with the calls its tests use.
class COutputLog : public CLineLog {
public:
    bool Has(const std::string& line) const { return Count(line) > 0; }

    // Waits until `count` lines equal `line` (or start with it, with `prefix`).
    bool WaitFor(const std::string& line, Millis timeout = LONG_WAIT, bool prefix = false,
                 std::size_t count = 1) const {
        return CLineLog::WaitFor(line, timeout, prefix ? Match::Prefix : Match::Whole, count);
    }

    std::size_t CountPrefix(const std::string& prefix) const {
        return Count(prefix, Match::Prefix);
    }
};

}  // namespace cardhost_test
