// The HTTP status service over real sockets: the status in every card state, metrics that pass
// promtool, the event stream, methods, paths and the token, hostile requests, the connection limit
// and the session filters.
#include "remote/HttpStatusService.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "support/Poll.h"
#include "support/TempFiles.h"

namespace {

using namespace std::chrono_literals;
using Millis = std::chrono::milliseconds;

std::string SourceFile(const std::string& name) {
    return std::string(ORVANE_TEST_SOURCE_DIR) + "/" + name;
}

std::string RandomLoopback() {
    std::random_device random;
    return "127." + std::to_string(random() % 250 + 1) + "." + std::to_string(random() % 250 + 1) +
           "." + std::to_string(random() % 250 + 2);
}

// Runs a command; its exit status, and its standard output in `out`.
int RunCommand(const std::string& command, std::string& out) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return -1;
    }
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
        out.append(buffer, n);
    }
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int Connect(const std::string& host, int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads what arrives until the peer closes, `until` appears, or `timeout` passes.
std::string Receive(int fd, Millis timeout, const std::string& until = std::string()) {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline &&
           (until.empty() || text.find(until) == std::string::npos)) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0) {
            break;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

struct Reply {
    int status = 0;
    std::string head;
    std::string body;
};

Reply Exchange(const std::string& host, int port, const std::string& request) {
    Reply reply;
    const int fd = Connect(host, port);
    if (fd < 0) {
        return reply;
    }
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    const std::string text = Receive(fd, 10s);
    ::close(fd);
    std::sscanf(text.c_str(), "HTTP/1.1 %d", &reply.status);
    const size_t split = text.find("\r\n\r\n");
    reply.head = text.substr(0, split);
    reply.body = split == std::string::npos ? std::string() : text.substr(split + 4);
    return reply;
}

std::string Request(const std::string& method, const std::string& path,
                    const std::string& headers = std::string()) {
    return method + " " + path + " HTTP/1.1\r\nHost: station\r\nConnection: close\r\n" + headers +
           "\r\n";
}

CardState Row(int32_t number, int32_t status) {
    CardState row;
    row.number = number;
    row.address = "127.0.0." + std::to_string(number);
    row.serialNumber = 1000 + number;
    row.status = status;
    row.mode = (number - 1) % SAT_MODE_COUNT;
    row.device = (number - 1) % DEVICE_MODEL_COUNT;
    row.statusSince = std::time(nullptr) - 30;
    if (status == STATUS_BUSY_SESSION) {
        row.mesId = 12345678;
        row.service = SERVICE_DATA;
    }
    return row;
}

// One card in each status, card n in status n - 1; the first one has lost its link.
std::shared_ptr<StationSnapshot> EveryState(uint64_t sequence) {
    auto snapshot = std::make_shared<StationSnapshot>();
    snapshot->sequence = sequence;
    snapshot->startTime = std::time(nullptr) - 100;
    snapshot->alsPeriod = -5;
    snapshot->logInterval = 5;
    snapshot->watchList = {111, 222};
    snapshot->samplesTaken = 7;
    snapshot->queueBytes = 44;
    snapshot->queueCapacity = 80000;
    for (int32_t status = STATUS_NOT_CONNECTED; status <= STATUS_BUSY_SESSION; ++status) {
        snapshot->rows.push_back(Row(status + 1, status));
        CardCounters counters;
        counters.linkUps = status;
        counters.sessionsFollowed = status == STATUS_BUSY_SESSION ? 1 : 0;
        counters.messagesReceived = 10 * status;
        counters.lastMessageWallMs = status == 0 ? 0 : (std::time(nullptr) - 2) * 1000;
        snapshot->counters.push_back(counters);
    }
    snapshot->rows[0].address = "host \"A\"\\caf\xe9";  // Latin-1, quotes and a backslash
    snapshot->counters[0].linkDowns = 2;
    snapshot->counters[0].lastLinkLoss = 1;
    snapshot->counters[0].lastLinkLossTime = std::time(nullptr) - 40;
    return snapshot;
}

class HttpStatusServiceTest : public ::testing::Test {
protected:
    void Start(HttpStatusOptions options = {}) {
        options.address = m_host;
        options.version = "2.0.0";
        options.limits.readTimeout = 300ms;
        options.limits.headTime = 600ms;
        options.limits.keepAlive = 300ms;
        options.heartbeat = 300ms;
        m_service = std::make_unique<CHttpStatusService>(options);
        std::string error;
        ASSERT_TRUE(m_service->Start(error)) << error;
        m_port = m_service->Port();
    }
    void Publish(std::shared_ptr<const StationSnapshot> snapshot) {
        StationPass pass;
        pass.passes = snapshot->sequence;
        pass.snapshot = std::move(snapshot);
        m_service->OnPass(pass);
        m_service->Settle();
    }
    Reply Get(const std::string& path, const std::string& headers = std::string()) {
        return Exchange(m_host, m_port, Request("GET", path, headers));
    }
    std::string Saved(const std::string& text) {
        const std::string path = m_dir.Path() + "/saved";
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    CTempDir m_dir{"orvane-http"};
    std::string m_host = RandomLoopback();
    int m_port = 0;
    std::unique_ptr<CHttpStatusService> m_service;
};

TEST_F(HttpStatusServiceTest, StatusFollowsTheSchemaInEveryCardState) {
    Start();
    EXPECT_EQ(Get("/api/status").status, 503);  // no snapshot yet
    Publish(EveryState(1));
    const Reply reply = Get("/api/status");
    ASSERT_EQ(reply.status, 200);
    EXPECT_NE(reply.head.find("Content-Type: application/json"), std::string::npos);
    std::string errors;
    EXPECT_EQ(RunCommand("/usr/bin/python3 " + SourceFile("check_output.py") + " status " +
                             SourceFile("status.schema.json") + " " + Saved(reply.body) + " 2>&1",
                         errors),
              0)
        << errors << reply.body;
    for (const char* expected :
         {"\"status\":\"Busy Session\",\"status_code\":4", "\"mes_id\":12345678",
          "\"service\":\"Data\"", "\"service\":null",
          "\"address\":\"host \\\"A\\\"\\\\caf\\u00e9\"", "\"last_link_loss\":\"refused\"",
          "\"watch_list\":[111,222]", "\"als_period\":-5", "\"seconds_in_state\":30",
          "\"uptime_seconds\":100", "\"messages_received\":40"}) {
        EXPECT_NE(reply.body.find(expected), std::string::npos) << expected;
    }
}

TEST_F(HttpStatusServiceTest, MetricsParseAndPassTheLinter) {
    Start();
    Publish(EveryState(1));
    const Reply reply = Get("/metrics");
    ASSERT_EQ(reply.status, 200);
    EXPECT_NE(reply.head.find("text/plain; version=0.0.4"), std::string::npos);
    const std::string file = Saved(reply.body);
    std::string lint;
    EXPECT_EQ(RunCommand("promtool check metrics < " + file + " 2>&1", lint), 0) << lint;
    EXPECT_EQ(lint, "");
    std::string samples;
    ASSERT_EQ(RunCommand("/usr/bin/python3 " + SourceFile("check_output.py") + " metrics " + file,
                         samples),
              0);
    const std::string card5 =
        "address=\"127.0.0.5\",card=\"5\",device=\"corax-e\",mode=\"sat-b\",serial=\"1005\"";
    for (const std::string& expected :
         {"orvane_card_up{" + card5 + "} 1\n",
          "orvane_card_status{" + card5 + ",status=\"Busy Session\"} 1\n",
          "orvane_card_status{" + card5 + ",status=\"Mode Running\"} 0\n",
          std::string(
              "orvane_card_sessions_total{address=\"127.0.0.5\",card=\"5\",device=\"corax-e\",mode="
              "\"sat-b\",outcome=\"followed\",serial=\"1005\"} 1\n"),
          "orvane_card_messages_received_total{" + card5 + "} 40\n",
          std::string("orvane_card_link_drops_total{address=\"host \"A\"\\caf\xc3\xa9\",card=\"1\","
                      "device=\"corax\",mode=\"sat-b\",serial=\"1001\"} 2\n"),
          std::string("orvane_event_queue_used_bytes{} 44\n"),
          std::string("orvane_samples_taken_total{} 7\n"),
          std::string("orvane_dispatch_passes_total{} 1\n")}) {
        EXPECT_NE(samples.find(expected), std::string::npos) << expected << samples;
    }
    for (const char* process : {"process_resident_memory_bytes{}", "process_cpu_seconds_total{}",
                                "process_open_fds{}", "process_start_time_seconds{}"}) {
        EXPECT_NE(samples.find(process), std::string::npos) << process;
    }
}

TEST_F(HttpStatusServiceTest, EventStreamSendsEachChangeThenTheStop) {
    Start();
    Publish(EveryState(1));
    const int fd = Connect(m_host, m_port);
    ASSERT_GE(fd, 0);
    const std::string request = Request("GET", "/api/events");
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string text = Receive(fd, 10s, "id: 1\n");
    EXPECT_NE(text.find("Content-Type: text/event-stream"), std::string::npos);
    EXPECT_NE(text.find("event: status\nid: 1\ndata: {\"station\""), std::string::npos) << text;
    // Quiet: it says it is alive.
    text = Receive(fd, 10s, "event: alive");
    EXPECT_NE(text.find("event: alive\ndata: {\"seconds_since_last_pass\":"), std::string::npos);
    auto changed = EveryState(2);
    changed->rows[3].status = STATUS_NOT_CONNECTED;
    Publish(changed);
    text = Receive(fd, 10s, "id: 2\n");
    ASSERT_NE(text.find("event: status\nid: 2\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"number\":4,\"mode\":\"sat-c-tdm\",\"address\":\"127.0.0.4\","
                        "\"device\":\"corax\",\"serial\":1004,\"status\":\"Not Connected\""),
              std::string::npos);
    m_service->OnRunStopped();
    m_service->Settle();
    text = Receive(fd, 10s);  // to the end of the stream
    EXPECT_NE(text.find("event: stopped"), std::string::npos) << text;
    ::close(fd);
}

TEST_F(HttpStatusServiceTest, OnlyGetAndHeadOfKnownPaths) {
    Start();
    Publish(EveryState(1));
    struct Case {
        const char* method;
        const char* path;
        int status;
        const char* header;  // expected in the reply's head
    };
    const Case cases[] = {
        {"GET", "/", 200, "Content-Type: text/html"},
        {"HEAD", "/api/status", 200, "Content-Type: application/json"},
        {"POST", "/api/status", 405, "Allow: GET, HEAD"},
        {"PUT", "/", 405, "Allow: GET, HEAD"},
        {"DELETE", "/metrics", 405, "Allow: GET, HEAD"},
        {"OPTIONS", "*", 405, ""},
        {"GET", "/nothing", 404, "application/json"},
        {"GET", "/api/status/", 404, ""},
        {"GET", "/../../etc/passwd", 404, ""},
        {"GET", "/%2e%2e/%2e%2e/etc/passwd", 404, ""},
        {"GET", "/index.html", 404, ""},
    };
    for (const Case& c : cases) {
        const Reply reply = Exchange(m_host, m_port, Request(c.method, c.path));
        EXPECT_EQ(reply.status, c.status) << c.method << " " << c.path;
        EXPECT_NE(reply.head.find(c.header), std::string::npos) << c.method << " " << c.path;
        if (std::string(c.method) == "HEAD") {
            EXPECT_EQ(reply.body, "");
        }
    }
    const std::string page = Get("/").body;
    EXPECT_NE(page.find("<th>Computer Name or IP Address</th>"), std::string::npos);
    EXPECT_EQ(page.find("http://"), std::string::npos);  // nothing from other sites
    EXPECT_EQ(page.find("https://"), std::string::npos);
}

TEST_F(HttpStatusServiceTest, TokenIsRequiredOnEveryRequest) {
    HttpStatusOptions options;
    options.token = "s3cret-Token";
    Start(options);
    Publish(EveryState(1));
    const std::pair<const char*, int> cases[] = {
        {"", 401},
        {"Authorization: Bearer wrong\r\n", 401},
        {"Authorization: Bearer s3cret-Toke\r\n", 401},
        {"Authorization: Bearer s3cret-Token2\r\n", 401},
        {"Authorization: Basic s3cret-Token\r\n", 401},
        {"Authorization: Bearer s3cret-Token\r\nAuthorization: Bearer s3cret-Token\r\n", 401},
        {"Authorization: Bearer s3cret-Token\r\n", 200},
        {"Authorization: bearer s3cret-Token\r\n", 200},
    };
    for (const auto& [header, status] : cases) {
        for (const char* path : {"/", "/api/status", "/metrics", "/nothing"}) {
            const Reply reply = Get(path, header);
            const int expected = status == 200 && std::string(path) == "/nothing" ? 404 : status;
            EXPECT_EQ(reply.status, expected) << header << path;
            if (expected == 401) {
                EXPECT_NE(reply.head.find("WWW-Authenticate: Bearer"), std::string::npos);
            }
        }
    }
    EXPECT_TRUE(SameToken("abc", "abc"));
    EXPECT_FALSE(SameToken("", "abc"));
    EXPECT_FALSE(SameToken("abcd", "abc"));
    EXPECT_FALSE(SameToken("abd", "abc"));
}

TEST_F(HttpStatusServiceTest, HostileRequestsLeaveItAnswering) {
    Start();
    Publish(EveryState(1));
    const std::string big(40000, 'x');
    const std::string kinds[] = {
        "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03garbage\r\n\r\n",
        "GET\r\n\r\n",
        "GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + big + "\r\n\r\n",
        "GET /" + big + " HTTP/1.1\r\n\r\n",
        "GET / HTTP/1.1\r\nContent-Length: 99999999\r\n\r\n" + big,
        "GET / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFF\r\n" + big,
        "GET / HTTP/1.1\r\nHost: slow\r\n",  // never ends
        std::string("GET / HTTP/1.1\r\n") + std::string(2000, '\n'),
    };
    std::vector<int> open;
    for (int i = 0; i < 1000; ++i) {
        const std::string& kind = kinds[static_cast<size_t>(i) % std::size(kinds)];
        const int fd = Connect(m_host, m_port);
        if (fd < 0) {
            continue;
        }
        ::send(fd, kind.data(), kind.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        open.push_back(fd);
        if (open.size() == 64) {  // beyond the connection limit, for a moment
            for (const int held : open) {
                ::close(held);
            }
            open.clear();
        }
    }
    for (const int held : open) {
        ::close(held);
    }
    // The connections just closed may hold the last places for a moment.
    Reply reply;
    EXPECT_TRUE(WaitUntil(
        [&] {
            reply = Get("/api/status");
            return reply.status == 200;
        },
        20s))
        << reply.status;
    EXPECT_NE(reply.body.find("\"cards\""), std::string::npos);
    // Every connection ends within the time limits.
    WaitUntil([&] { return m_service->OpenConnections() == 0; }, 20s);
    EXPECT_EQ(m_service->OpenConnections(), 0U);
}

TEST_F(HttpStatusServiceTest, ConnectionsBeyondTheLimitAreTurnedAway) {
    HttpStatusOptions options;
    options.limits.maxConnections = 3;
    Start(options);
    Publish(EveryState(1));
    std::vector<int> held;
    for (int i = 0; i < 3; ++i) {
        held.push_back(Connect(m_host, m_port));
    }
    WaitUntil([&] { return m_service->OpenConnections() >= 3; }, 10s, 5ms);
    EXPECT_EQ(Get("/api/status").status, 503);
    for (const int fd : held) {
        ::close(fd);
    }
    EXPECT_TRUE(WaitUntil([&] { return Get("/api/status").status == 200; }, 20s));
}

TEST_F(HttpStatusServiceTest, SessionsAnswerFromTheHistoryWithTheFilterGiven) {
    HttpStatusOptions options;
    SessionFilter seen;
    SessionQueryResult result = SessionQueryResult::Ok;
    std::string seenPath;
    options.sessions = [&](const std::string& path, const SessionFilter& filter,
                           std::vector<SessionRecord>& sessions, std::string& error) {
        seenPath = path;
        seen = filter;
        SessionRecord record;
        record.id = 9;
        record.card = 2;
        record.mesId = 4231;
        record.service = "Data";
        record.start = 1700000000;
        record.outcome = "followed";
        sessions = {record, record};
        sessions[1].id = 8;
        sessions[1].end = 1700000060;
        sessions[1].duration = 60;
        sessions[1].service = " ";  // the history's blank for no service
        error = "disk I/O error";
        return result;
    };
    Start(options);
    Publish(EveryState(1));
    EXPECT_EQ(Get("/api/sessions").status, 404);  // the run has not told its data folder yet
    StationInfo info;
    info.dataDir = m_dir.Path();
    m_service->OnRunStarted(info);
    m_service->Settle();

    Reply reply =
        Get("/api/sessions?mesid=4231&card=2&since=2023-11-14T22:13:20Z&until=1700000100&limit=5");
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(seenPath, m_dir.Path() + "/" + SESSION_DATABASE_NAME);
    EXPECT_EQ(seen.mesId, 4231);
    EXPECT_EQ(seen.card, 2);
    EXPECT_EQ(seen.since, 1700000000);
    EXPECT_EQ(seen.until, 1700000100);
    EXPECT_EQ(seen.limit, 5U);
    EXPECT_LT(reply.body.find("\"id\":9"),
              reply.body.find("\"id\":8"));  // as the history gave them
    EXPECT_NE(reply.body.find("\"end\":null,\"outcome\":\"followed\""), std::string::npos);
    EXPECT_NE(reply.body.find("\"mes_id\":4231,\"service\":\"Data\""), std::string::npos);
    EXPECT_NE(reply.body.find("\"mes_id\":4231,\"service\":null"), std::string::npos);
    EXPECT_NE(reply.body.find("\"duration_seconds\":60"), std::string::npos);
    EXPECT_EQ(Get("/api/sessions?since=2023-11-14T23:13:20%2B01:00").status, 200);
    EXPECT_EQ(seen.since, 1700000000);
    EXPECT_EQ(seen.limit, 100U);

    for (const char* bad :
         {"card=11", "card=x", "mesid=", "limit=0", "limit=10001", "since=yesterday",
          "until=2024-13-01", "since=2024-01-01T10:00:00+25:00"}) {
        reply = Get(std::string("/api/sessions?") + bad);
        EXPECT_EQ(reply.status, 400) << bad;
        EXPECT_NE(reply.body.find("{\"error\":"), std::string::npos) << bad;
    }
    result = SessionQueryResult::NoDatabase;
    EXPECT_EQ(Get("/api/sessions").status, 404);
    result = SessionQueryResult::Failed;
    reply = Get("/api/sessions");
    EXPECT_EQ(reply.status, 500);
    EXPECT_NE(reply.body.find("disk I/O error"), std::string::npos);
}

TEST(HttpStatusOptionsTest, EndpointsTokensAndLoopback) {
    struct Case {
        const char* text;
        bool ok;
        const char* address;
        int port;
    };
    const Case cases[] = {
        {"8080", true, "127.0.0.1", 8080}, {"127.0.0.2:0", true, "127.0.0.2", 0},
        {"[::1]:81", true, "::1", 81},     {"0.0.0.0:65535", true, "0.0.0.0", 65535},
        {"65536", false, "", 0},           {"-1", false, "", 0},
        {"host:80", false, "", 0},         {"127.0.0.1:", false, "", 0},
        {"::1:80", false, "", 0},          {"", false, "", 0},
    };
    for (const Case& c : cases) {
        std::string address;
        int port = -1;
        std::string error;
        EXPECT_EQ(ParseHttpEndpoint(c.text, address, port, error), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(address, c.address);
            EXPECT_EQ(port, c.port);
        } else {
            EXPECT_NE(error, "") << c.text;
        }
    }
    EXPECT_TRUE(IsLoopbackAddress("127.200.3.4"));
    EXPECT_TRUE(IsLoopbackAddress("::1"));
    EXPECT_FALSE(IsLoopbackAddress("0.0.0.0"));
    EXPECT_FALSE(IsLoopbackAddress("192.168.1.2"));
    EXPECT_FALSE(IsLoopbackAddress("::"));

    CTempDir dir{"orvane-http"};
    const std::pair<std::string, bool> files[] = {{"  tok-EN_1\n", true},
                                                  {"\n\n", false},
                                                  {"two words\n", false},
                                                  {std::string(5000, 'a'), false}};
    for (const auto& [text, ok] : files) {
        const std::string path = dir.Path() + "/token";
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
        std::string token;
        std::string error;
        EXPECT_EQ(ReadTokenFile(path, token, error), ok) << text.substr(0, 20);
        if (ok) {
            EXPECT_EQ(token, "tok-EN_1");
        }
    }
    std::string token;
    std::string error;
    EXPECT_FALSE(ReadTokenFile(dir.Path(), token, error));  // a folder
    EXPECT_FALSE(ReadTokenFile(dir.Path() + "/none", token, error));
}

}  // namespace
