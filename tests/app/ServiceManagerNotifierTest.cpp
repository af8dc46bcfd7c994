// The service manager's notifications, received on a socket of the test's own
// as the manager would receive them.
#include "app/program/ServiceManagerNotifier.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>

#include "support/TempFiles.h"

namespace {

// A datagram socket bound in a fresh folder, named by NOTIFY_SOCKET for the
// object's life.
class CNotifySocket {
public:
    explicit CNotifySocket(std::optional<std::string> watchdogUsec)
        : m_path(m_dir.Path() + "/notify"),
          m_socketEnv("NOTIFY_SOCKET", m_path),
          m_watchdogEnv("WATCHDOG_USEC", std::move(watchdogUsec)),
          m_pidEnv("WATCHDOG_PID", std::nullopt) {
        m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, m_path.c_str(), sizeof address.sun_path - 1);
        if (m_fd < 0 ||
            bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            ADD_FAILURE() << "cannot bind " << m_path;
        }
    }
    ~CNotifySocket() { close(m_fd); }

    // The next datagram, or nullopt when none comes within `waitMs`.
    std::optional<std::string> Receive(int waitMs = 2000) {
        pollfd fd{m_fd, POLLIN, 0};
        if (poll(&fd, 1, waitMs) != 1) {
            return std::nullopt;
        }
        char buffer[4096];
        const ssize_t n = recv(m_fd, buffer, sizeof buffer, 0);
        return n < 0 ? std::nullopt : std::optional<std::string>(std::string(buffer, n));
    }

private:
    CTempDir m_dir;
    std::string m_path;
    CEnvGuard m_socketEnv;
    CEnvGuard m_watchdogEnv;
    CEnvGuard m_pidEnv;
    int m_fd = -1;
};

std::shared_ptr<const StationSnapshot> Snapshot(uint64_t sequence, int up, int busy,
                                                uint64_t samples) {
    auto snapshot = std::make_shared<StationSnapshot>();
    snapshot->sequence = sequence;
    snapshot->rows.resize(4);
    for (int i = 0; i < up; ++i) {
        snapshot->rows[static_cast<size_t>(i)].status =
            i < busy ? STATUS_BUSY_SESSION : STATUS_MODE_RUNNING;
    }
    snapshot->samplesTaken = samples;
    return snapshot;
}

StationPass Pass(int64_t steadyMs, std::shared_ptr<const StationSnapshot> snapshot) {
    StationPass pass;
    pass.steadyMs = steadyMs;
    pass.snapshot = std::move(snapshot);
    return pass;
}

TEST(ServiceManagerNotifierTest, ReadyAfterTheFirstPassThenStatusChangesAndAPacedWatchdog) {
    CNotifySocket manager("2000000");  // 2 s: a watchdog message every 500 ms at most
    const std::unique_ptr<CServiceManagerNotifier> notifier =
        CServiceManagerNotifier::FromEnvironment();
    ASSERT_TRUE(notifier);

    struct Step {
        int64_t steadyMs;
        std::shared_ptr<const StationSnapshot> snapshot;
        std::optional<std::string> message;
    };
    const auto first = Snapshot(1, 0, 0, 0);
    const auto later = Snapshot(2, 3, 1, 1234);
    const auto same = Snapshot(3, 3, 1, 1234);  // a new snapshot that reads the same
    const Step steps[] = {
        {10000, first, "READY=1\nSTATUS=0 of 4 cards up, 0 busy, 0 samples\nWATCHDOG=1\n"},
        {10100, first, std::nullopt},
        {10499, first, std::nullopt},
        {10500, first, "WATCHDOG=1\n"},
        {10600, later, "STATUS=3 of 4 cards up, 1 busy, 1,234 samples\n"},
        {10700, same, std::nullopt},
        {11000, same, "WATCHDOG=1\n"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.steadyMs);
        notifier->OnPass(Pass(step.steadyMs, step.snapshot));
        EXPECT_EQ(manager.Receive(step.message ? 2000 : 50), step.message);
    }
    notifier->Stopping();
    const std::optional<std::string> stopping = manager.Receive();
    ASSERT_TRUE(stopping);
    EXPECT_TRUE(stopping->starts_with("STOPPING=1\n")) << *stopping;
}

TEST(ServiceManagerNotifierTest, NoWatchdogUnlessTheManagerAsksForOne) {
    CNotifySocket manager(std::nullopt);
    const std::unique_ptr<CServiceManagerNotifier> notifier =
        CServiceManagerNotifier::FromEnvironment();
    ASSERT_TRUE(notifier);
    notifier->OnPass(Pass(1000, Snapshot(1, 1, 0, 0)));
    EXPECT_EQ(manager.Receive(), "READY=1\nSTATUS=1 of 4 cards up, 0 busy, 0 samples\n");
    notifier->OnPass(Pass(60000, Snapshot(1, 1, 0, 0)));
    EXPECT_EQ(manager.Receive(50), std::nullopt);
}

TEST(ServiceManagerNotifierTest, WithoutAManagerThereIsNoNotifier) {
    CEnvGuard socket("NOTIFY_SOCKET", std::nullopt);
    EXPECT_FALSE(CServiceManagerNotifier::FromEnvironment());
}

}  // namespace
