// A card host for the library's tests: plain POSIX sockets on a random
// loopback address 127.x.y.z with a port of the kernel's choice, so that tests
// run side by side. Driven by the test's own thread; every wait has a limit.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// How long the host waits for the library, unless a test says otherwise.
inline constexpr std::chrono::milliseconds HOST_WAIT{3000};

// One end of a TCP connection, closed when it goes.
class CPeer {
public:
    CPeer() = default;
    explicit CPeer(int fd) : m_fd(fd) {}
    ~CPeer() { Close(); }
    CPeer(CPeer&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    CPeer& operator=(CPeer&& other) noexcept;
    CPeer(const CPeer&) = delete;
    CPeer& operator=(const CPeer&) = delete;

    bool Valid() const { return m_fd >= 0; }
    int Fd() const { return m_fd; }

    // Writes all bytes; false when the connection broke.
    bool SendRaw(const void* data, std::size_t size);
    bool SendFrame(std::string_view text);
    bool SendHeader(uint32_t length);

    // The next frame that is not a keep-alive; none on timeout, end or reset.
    // Keep-alives passed over are added to *keepAlives when given.
    std::optional<std::string> ReadFrame(std::chrono::milliseconds timeout = HOST_WAIT,
                                         int* keepAlives = nullptr);
    // True when the other side closed or reset within the time, reading and
    // dropping whatever still arrives.
    bool WaitClosed(std::chrono::milliseconds timeout = HOST_WAIT);
    // Nothing at all arrives within the time (no data, no end).
    bool StaysSilent(std::chrono::milliseconds timeout);

    void Close();
    // Closes with a reset instead of an orderly end.
    void Reset();

private:
    int m_fd = -1;
};

class CTestHost {
public:
    // Listens with the given backlog. A backlog of 0 and FillBacklog make a
    // host whose further connection attempts are never answered.
    explicit CTestHost(int backlog = 16);
    ~CTestHost();
    CTestHost(const CTestHost&) = delete;
    CTestHost& operator=(const CTestHost&) = delete;

    const std::string& Address() const { return m_address; }
    const std::string& Port() const { return m_port; }

    // The next connection, or an invalid peer when none came in time.
    CPeer Accept(std::chrono::milliseconds timeout = HOST_WAIT);
    void FillBacklog();

private:
    int m_listener = -1;
    std::string m_address;
    std::string m_port;
    CPeer m_filler;
};

// A random loopback address 127.x.y.z.
std::string RandomLoopbackAddress();

// A port on `address` where nothing listens; it stays reserved, unanswered,
// while the object lives.
class CClosedPort {
public:
    explicit CClosedPort(const std::string& address);
    ~CClosedPort();
    CClosedPort(const CClosedPort&) = delete;
    CClosedPort& operator=(const CClosedPort&) = delete;
    const std::string& Port() const { return m_port; }

private:
    int m_fd = -1;
    std::string m_port;
};
