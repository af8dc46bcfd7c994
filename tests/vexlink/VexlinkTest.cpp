// The card library against a test host: its callbacks' rules checked on every call, connects and
// their notes, frames both ways and their limit, keep-alives, silence and queue limits, Release,
// and a stress run.
#include "cardlink/VexlinkApi.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "cardhost/CardHost.h"
#include "cardlink/VexlinkNotes.h"
#include "vexlink/TestHost.h"
#include "vexlink/Vexlink.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The options block exactly as the station fills it.
constexpr VexlinkOptions STATION_OPTIONS{0, 1, {0, 0}, 1, 0};
// Short limits so that failures show quickly; no keep-alives unless a test wants them.
constexpr const char* TEST_SETTINGS = "connect-timeout-ms=2000 keepalive-ms=0";

// Records one instance's callbacks and checks, on every callback, the rules
// the station relies on: never on the thread that made the instance (which
// also makes every Connect, Disconnect and Send here), OnLinkUp and
// OnLinkDown alternating from OnLinkUp, messages only while up and followed
// by a NUL, nothing after Release has returned. And the rules of the notes:
// OnNotify while down tells why an attempt failed, while up why the link
// ends, and then OnLinkDown comes next; every OnLinkDown has its note.
class CRecordingSink : public CVexlinkSink {
public:
    // Runs inside OnMessage, on the library's thread; set before Connect.
    std::function<void(const std::string&)> onMessage;
    // The instance, for VexlinkLastNote inside OnNotify; set before Connect.
    std::atomic<CVexlinkInstance*> instance{nullptr};

    void OnMessage(const char* text, uint32_t length) override {
        Enter();
        ExpectNoPendingDown("OnMessage");
        std::string copy(text, length);
        if (text[length] != '\0') {
            Violation("message without NUL");
        }
        if (!m_up) {
            Violation("message while down");
        }
        if (onMessage) {
            onMessage(copy);
        }
        Record('M', std::move(copy));
    }
    void OnLinkUp() override {
        Enter();
        ExpectNoPendingDown("OnLinkUp");
        if (m_up) {
            Violation("up twice");
        }
        m_up = true;
        Record('U', {});
    }
    void OnLinkDown() override {
        Enter();
        if (!m_up) {
            Violation("down without up");
        }
        if (!m_downNoted) {
            Violation("down without a note");
        }
        m_up = false;
        m_downNoted = false;
        {
            std::lock_guard lock(m_mutex);
            m_downAt = Clock::now();
        }
        Record('D', {});
    }
    void OnNotify() override {
        Enter();
        ExpectNoPendingDown("OnNotify");
        const int32_t note = VexlinkLastNote(instance.load());
        const bool attemptNote = note >= VEXLINK_NOTE_REFUSED && note <= VEXLINK_NOTE_UNREACHABLE;
        const bool linkNote = note >= VEXLINK_NOTE_CLOSED_BY_HOST && note <= VEXLINK_NOTE_FAILED;
        if (m_up ? !linkNote : !attemptNote) {
            Violation("note " + std::to_string(note) + (m_up ? " while up" : " while down"));
        }
        m_downNoted = m_up;
        {
            std::lock_guard lock(m_mutex);
            m_notes.push_back(note);
        }
        Record('N', {});
    }

    void MarkReleased() { m_released = true; }

    // The callbacks so far but OnNotify, one letter each: U, D, M.
    std::string Kinds() const {
        std::string kinds = Sequence();
        std::erase(kinds, 'N');
        return kinds;
    }
    // Every callback so far, OnNotify as N.
    std::string Sequence() const {
        std::lock_guard lock(m_mutex);
        return m_kinds;
    }
    // The note read inside each OnNotify, in order.
    std::vector<int32_t> Notes() const {
        std::lock_guard lock(m_mutex);
        return m_notes;
    }
    Clock::time_point LastDownAt() const {
        std::lock_guard lock(m_mutex);
        return m_downAt;
    }
    std::vector<std::string> Messages() const {
        std::lock_guard lock(m_mutex);
        return m_messages;
    }
    std::thread::id FirstThread() const {
        std::lock_guard lock(m_mutex);
        return m_firstThread;
    }
    std::vector<std::string> Violations() const {
        std::lock_guard lock(m_mutex);
        return m_violations;
    }
    std::size_t Count(char kind) const {
        const std::string kinds = Kinds();
        return static_cast<std::size_t>(std::count(kinds.begin(), kinds.end(), kind));
    }
    // Waits until `kind` has come at least `count` times.
    bool Wait(char kind, std::size_t count = 1, std::chrono::milliseconds timeout = HOST_WAIT) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] {
            return static_cast<std::size_t>(std::count(m_kinds.begin(), m_kinds.end(), kind)) >=
                   count;
        });
    }

private:
    void Enter() {
        if (m_released) {
            Violation("callback after Release");
        }
        if (std::this_thread::get_id() == m_creator) {
            Violation("callback on the caller's thread");
        }
    }
    void ExpectNoPendingDown(const char* callback) {
        if (m_downNoted) {
            Violation(std::string(callback) + " between a link's note and its OnLinkDown");
        }
    }
    void Violation(const std::string& what) {
        std::lock_guard lock(m_mutex);
        m_violations.push_back(what);
    }
    void Record(char kind, std::string text) {
        {
            std::lock_guard lock(m_mutex);
            if (m_kinds.empty()) {
                m_firstThread = std::this_thread::get_id();
            }
            m_kinds += kind;
            if (kind == 'M') {
                m_messages.push_back(std::move(text));
            }
        }
        m_changed.notify_all();
    }

    const std::thread::id m_creator = std::this_thread::get_id();
    std::atomic<bool> m_released{false};
    bool m_up = false;         // library thread only
    bool m_downNoted = false;  // library thread only: a link note came, OnLinkDown is due

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::string m_kinds;
    std::vector<std::string> m_messages;
    std::vector<std::string> m_violations;
    std::vector<int32_t> m_notes;
    Clock::time_point m_downAt;
    std::thread::id m_firstThread;
};

// An instance with its sink. Releases the instance when it goes and then
// reports every rule its sink saw broken.
class CTestLink {
public:
    explicit CTestLink(const char* settings = TEST_SETTINGS)
        : m_sink(std::make_unique<CRecordingSink>()),
          m_instance(CreateVexlinkInstance(m_sink.get(), settings, "", &STATION_OPTIONS)) {
        EXPECT_NE(m_instance, nullptr);
        m_sink->instance = m_instance.load();
    }
    ~CTestLink() {
        Release();
        for (const std::string& violation : m_sink->Violations()) {
            ADD_FAILURE() << violation;
        }
    }
    CTestLink(const CTestLink&) = delete;
    CTestLink& operator=(const CTestLink&) = delete;

    CVexlinkInstance* operator->() { return m_instance.load(); }
    CRecordingSink& Sink() { return *m_sink; }

    int Connect(const std::string& address, const std::string& port) {
        return m_instance.load()->Connect(address.c_str(), port.c_str());
    }
    int Connect(const CTestHost& host) { return Connect(host.Address(), host.Port()); }
    int Send(std::string_view text) {
        return m_instance.load()->Send(text.data(), static_cast<uint32_t>(text.size()));
    }
    void Release() {
        if (CVexlinkInstance* instance = m_instance.exchange(nullptr)) {
            instance->Release();
            m_sink->MarkReleased();
        }
    }
    bool Released() const { return m_instance.load() == nullptr; }

private:
    std::unique_ptr<CRecordingSink> m_sink;
    std::atomic<CVexlinkInstance*> m_instance;
};

// Connects `link` to `host` and returns the host's end once the link is up.
CPeer Establish(CTestLink& link, CTestHost& host) {
    EXPECT_EQ(link.Connect(host), VEXLINK_OK);
    CPeer peer = host.Accept();
    EXPECT_TRUE(peer.Valid());
    EXPECT_TRUE(link.Sink().Wait('U'));
    return peer;
}

// Calls Connect until it stops answering "busy": the earlier attempt has ended.
int ConnectWhenFree(CTestLink& link, const CTestHost& host, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    int result = link.Connect(host);
    while (result == VEXLINK_BUSY && Clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
        result = link.Connect(host);
    }
    return result;
}

TEST(VexlinkCreate, WithoutSinkGivesNoObject) {
    EXPECT_EQ(CreateVexlinkInstance(nullptr, "", "", &STATION_OPTIONS), nullptr);
}

TEST(VexlinkConnect, ReportsLinkUpFromTheLibrarysThread) {
    CTestHost host;
    CTestLink link("");  // the station's settings: defaults
    CPeer peer = Establish(link, host);
    EXPECT_EQ(link.Sink().Sequence(), "U");
    EXPECT_NE(link.Sink().FirstThread(), std::this_thread::get_id());
    EXPECT_EQ(VexlinkLastNote(link.operator->()), VEXLINK_NOTE_NONE);
    EXPECT_EQ(VexlinkLastNote(nullptr), VEXLINK_NOTE_NONE);
}

TEST(VexlinkConnect, RejectsMissingHostAndBadPortsWithoutCallback) {
    const struct {
        const char* host;
        const char* port;
    } cases[] = {{nullptr, "33254"},  {"", "33254"},        {"127.0.0.1", nullptr},
                 {"127.0.0.1", ""},   {"127.0.0.1", "0"},   {"127.0.0.1", "65536"},
                 {"127.0.0.1", "-1"}, {"127.0.0.1", "+80"}, {"127.0.0.1", " 80"},
                 {"127.0.0.1", "80x"}};
    CTestLink link;
    for (const auto& c : cases) {
        EXPECT_EQ(link->Connect(c.host, c.port), VEXLINK_INVALID)
            << (c.host ? c.host : "null") << " " << (c.port ? c.port : "null");
    }
    CTestHost host;
    CPeer peer = Establish(link, host);  // nothing of the rejected calls stays behind
    EXPECT_EQ(link.Sink().Kinds(), "U");
}

TEST(VexlinkFrames, TravelBothWaysAndKeepAlivesAreSkipped) {
    CTestHost host;
    CTestLink link;
    link.Sink().onMessage = [&link](const std::string& text) {
        if (text == "echo") {
            EXPECT_EQ(link.Send("echoed"), VEXLINK_OK);  // sending from a callback
        }
    };
    CPeer peer = Establish(link, host);

    const std::string eightBit = "\x01\x7f\x80\xff end";
    ASSERT_TRUE(peer.SendHeader(0));
    ASSERT_TRUE(peer.SendFrame("<Message version=\"1.0\"/>"));
    ASSERT_TRUE(peer.SendHeader(0));
    ASSERT_TRUE(peer.SendHeader(0));
    ASSERT_TRUE(peer.SendFrame(eightBit));
    ASSERT_TRUE(peer.SendFrame("echo"));
    ASSERT_TRUE(link.Sink().Wait('M', 3));
    EXPECT_EQ(link.Sink().Messages(),
              (std::vector<std::string>{"<Message version=\"1.0\"/>", eightBit, "echo"}));
    EXPECT_EQ(peer.ReadFrame(), "echoed");

    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(link.Send("command " + std::to_string(i)), VEXLINK_OK);
    }
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(peer.ReadFrame(), "command " + std::to_string(i));
    }
    EXPECT_EQ(link.Sink().Kinds(), "UMMM");
}

TEST(VexlinkFrames, LongestFrameIsDeliveredAndOneByteMoreClosesTheLink) {
    const struct {
        uint32_t length;
        bool accepted;
    } cases[] = {{VEXLINK_MAX_FRAME, true}, {VEXLINK_MAX_FRAME + 1, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        CTestHost host;
        CTestLink link;
        CPeer peer = Establish(link, host);
        std::string text(c.length, '\0');
        for (std::size_t i = 0; i < text.size(); ++i) {
            text[i] = static_cast<char>('A' + i % 26);
        }
        ASSERT_TRUE(peer.SendHeader(c.length));
        (void)peer.SendRaw(text.data(), text.size());  // a refusing library resets mid-way
        if (c.accepted) {
            ASSERT_TRUE(link.Sink().Wait('M'));
            EXPECT_TRUE(link.Sink().Messages().at(0) == text);
            ASSERT_TRUE(peer.SendFrame("after"));
            ASSERT_TRUE(link.Sink().Wait('M', 2));
            EXPECT_EQ(link.Sink().Kinds(), "UMM");
        } else {
            ASSERT_TRUE(link.Sink().Wait('D'));
            EXPECT_TRUE(peer.WaitClosed());
            EXPECT_EQ(link.Sink().Sequence(), "UND");
            EXPECT_EQ(link.Sink().Notes(), std::vector<int32_t>{VEXLINK_NOTE_PROTOCOL});
        }
    }
}

TEST(VexlinkFrames, BrokenOrGarbledStreamReportsDownOnceAndNoMessage) {
    const struct {
        const char* name;
        std::function<void(CPeer&)> act;
        int32_t note;
    } cases[] = {
        {"partial frame, then reset",
         [](CPeer& peer) {
             EXPECT_TRUE(peer.SendHeader(100));
             EXPECT_TRUE(peer.SendRaw("0123456789", 10));
             peer.Reset();
         },
         VEXLINK_NOTE_CLOSED_BY_HOST},
        {"partial header, then close",
         [](CPeer& peer) {
             EXPECT_TRUE(peer.SendRaw("\0\0", 2));
             peer.Close();
         },
         VEXLINK_NOTE_CLOSED_BY_HOST},
        {"garbage: a huge length",
         [](CPeer& peer) {
             EXPECT_TRUE(peer.SendRaw("GARBAGE!", 8));
             EXPECT_TRUE(peer.WaitClosed());
         },
         VEXLINK_NOTE_PROTOCOL},
        {"host closes at once", [](CPeer& peer) { peer.Close(); }, VEXLINK_NOTE_CLOSED_BY_HOST},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CTestHost host;
        CTestLink link;
        CPeer peer = Establish(link, host);
        c.act(peer);
        ASSERT_TRUE(link.Sink().Wait('D'));
        EXPECT_EQ(link.Sink().Sequence(), "UND");
        EXPECT_EQ(link.Sink().Notes(), std::vector<int32_t>{c.note});
        // Outside OnNotify the last note stays readable.
        EXPECT_EQ(VexlinkLastNote(link.operator->()), c.note);
    }
}

TEST(VexlinkLink, WithoutSilenceLimitASilentHostKeepsTheLinkUntilDisconnect) {
    CTestHost host;
    CTestLink link("connect-timeout-ms=2000 keepalive-ms=0 silence-ms=0");
    CPeer peer = Establish(link, host);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(link.Sink().Kinds(), "U");

    ASSERT_EQ(link.Send("ping"), VEXLINK_OK);
    EXPECT_EQ(peer.ReadFrame(), "ping");
    EXPECT_EQ(link->Disconnect(), VEXLINK_OK);
    ASSERT_TRUE(link.Sink().Wait('D'));
    EXPECT_TRUE(peer.WaitClosed());
    EXPECT_EQ(link.Sink().Sequence(), "UND");
    EXPECT_EQ(link.Sink().Notes(), std::vector<int32_t>{VEXLINK_NOTE_DISCONNECTED});
    EXPECT_EQ(link.Send("late"), VEXLINK_NO_LINK);
    EXPECT_EQ(link->Disconnect(), VEXLINK_NO_LINK);
}

TEST(VexlinkLink, SendChecksLinkAndLength) {
    CTestLink link;
    EXPECT_EQ(link.Send("no link yet"), VEXLINK_NO_LINK);
    CTestHost host;
    CPeer peer = Establish(link, host);
    const std::string tooLong(VEXLINK_MAX_FRAME + 1, 'x');
    EXPECT_EQ(link.Send(tooLong), VEXLINK_TOO_LONG);
    EXPECT_EQ(link.Send("still up"), VEXLINK_OK);
    EXPECT_EQ(peer.ReadFrame(), "still up");
}

TEST(VexlinkLink, QueueBoundDropsALinkWhoseHostStopsReading) {
    CTestHost host;
    CTestLink link;
    CPeer peer = Establish(link, host);  // never reads
    const std::string big(VEXLINK_MAX_FRAME, 'x');
    int result = VEXLINK_OK;
    for (int i = 0; i < 200 && result == VEXLINK_OK; ++i) {
        result = link.Send(big);
    }
    EXPECT_EQ(result, VEXLINK_OVERFLOW);
    ASSERT_TRUE(link.Sink().Wait('D'));
    EXPECT_EQ(link.Sink().Sequence(), "UND");
    EXPECT_EQ(link.Sink().Notes(), std::vector<int32_t>{VEXLINK_NOTE_OVERFLOW});
    EXPECT_EQ(link.Send("x"), VEXLINK_NO_LINK);
}

TEST(VexlinkLink, IdleLinkSendsKeepAlives) {
    CTestHost host;
    CTestLink link("keepalive-ms=100");
    CPeer peer = Establish(link, host);
    int keepAlives = 0;
    EXPECT_EQ(peer.ReadFrame(1500ms, &keepAlives), std::nullopt);
    EXPECT_GE(keepAlives, 2);
    ASSERT_EQ(link.Send("x"), VEXLINK_OK);
    EXPECT_EQ(peer.ReadFrame(), "x");
}

TEST(VexlinkLink, SilenceLimitEndsALinkFromWhichNothingArrives) {
    constexpr auto LIMIT = 1000ms;
    CTestHost host;
    CTestLink link("connect-timeout-ms=2000 keepalive-ms=0 silence-ms=1000");
    CPeer peer = Establish(link, host);
    // Keep-alives alone hold the link, for longer than the limit.
    Clock::time_point lastSent;
    for (int i = 0; i < 15; ++i) {
        lastSent = Clock::now();
        ASSERT_TRUE(peer.SendHeader(0));
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(link.Sink().Sequence(), "U");

    ASSERT_TRUE(link.Sink().Wait('D', 1, 10s));
    EXPECT_GE(link.Sink().LastDownAt() - lastSent, LIMIT);
    EXPECT_EQ(link.Sink().Sequence(), "UND");
    EXPECT_EQ(link.Sink().Notes(), std::vector<int32_t>{VEXLINK_NOTE_SILENT});
    EXPECT_TRUE(peer.WaitClosed());
}

// The library's socket connected to `host`, found among the process's
// descriptors by its peer address; -1 when there is none.
int FindLinkSocket(const CTestHost& host) {
    DIR* fds = ::opendir("/proc/self/fd");
    if (fds == nullptr) {
        return -1;
    }
    int found = -1;
    while (const dirent* entry = ::readdir(fds)) {
        const int fd = std::atoi(entry->d_name);
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        char address[INET_ADDRSTRLEN] = {};
        if (entry->d_name[0] != '.' &&
            ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
            peer.sin_family == AF_INET &&
            ::inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address) != nullptr &&
            address == host.Address() && std::to_string(ntohs(peer.sin_port)) == host.Port()) {
            found = fd;
        }
    }
    ::closedir(fds);
    return found;
}

TEST(VexlinkLink, KernelGivesUpOnAVanishedPeerWithinTheSilenceLimit) {
    CTestHost host;
    CTestLink link("");  // the station's settings
    CPeer peer = Establish(link, host);
    const int fd = FindLinkSocket(host);
    ASSERT_GE(fd, 0);
    int keepAlive = 0;
    int idle = 0;
    int interval = 0;
    int probes = 0;
    unsigned int userTimeout = 0;
    socklen_t size = sizeof(int);
    ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &keepAlive, &size), 0);
    ASSERT_EQ(::getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, &size), 0);
    ASSERT_EQ(::getsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, &size), 0);
    ASSERT_EQ(::getsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, &size), 0);
    size = sizeof userTimeout;
    ASSERT_EQ(::getsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, &size), 0);
    EXPECT_EQ(keepAlive, 1);
    // Probes start on an idle link and end it no later than the silence limit would.
    EXPECT_GT(idle, 0);
    EXPECT_LE((idle + interval * probes) * 1000, VEXLINK_DEFAULT_SILENCE_MS);
    // Unacknowledged data (keep-alives to a vanished peer) ends it as soon.
    EXPECT_GT(userTimeout, 0u);
    EXPECT_LE(userTimeout, static_cast<unsigned int>(VEXLINK_DEFAULT_SILENCE_MS));
}

TEST(VexlinkLink, FrozenCardHostIsSilentAndItsLinkEndsAtTheSilenceLimit) {
    EXPECT_EQ(VEXLINK_DEFAULT_SILENCE_MS, 15000);  // what the station, passing no settings, gets
    constexpr auto LIMIT = 1500ms;
    const std::string connectCommand =
        "<Message version=\"1.0\"><Command><Connect><Card serial-nr=\"4711\"/></Connect>"
        "</Command></Message>";
    const std::string alsCommand =
        "<Message version=\"1.0\"><Command><Set><ParameterList><Parameter name=\"als\" "
        "value=\"off\"/></ParameterList></Set></Command></Message>";

    CardHostOptions options;
    options.address = RandomLoopbackAddress();
    options.port = 0;
    options.serials = {4711};
    CCardHost cardHost(options, nullptr);
    std::string error;
    ASSERT_TRUE(cardHost.Start(error)) << error;

    CTestLink link("connect-timeout-ms=2000 silence-ms=1500");
    ASSERT_EQ(link.Connect(options.address, std::to_string(cardHost.Port())), VEXLINK_OK);
    ASSERT_TRUE(link.Sink().Wait('M'));  // the cards information
    ASSERT_EQ(link.Send(connectCommand), VEXLINK_OK);
    ASSERT_TRUE(cardHost.WaitAttached(4711, HOST_WAIT));
    // A host that answers holds its link for longer than the limit. Its last
    // bytes, the last answer, leave after the last `asked`.
    Clock::time_point asked;
    std::size_t answers = 0;
    for (const auto until = Clock::now() + 2 * LIMIT; Clock::now() < until;) {
        asked = Clock::now();
        ASSERT_EQ(link.Send(alsCommand), VEXLINK_OK);
        ASSERT_TRUE(link.Sink().Wait('M', 2 + answers));
        ++answers;
        std::this_thread::sleep_for(200ms);
    }
    // Frozen, it answers nothing, however often asked, and the link ends.
    ASSERT_TRUE(cardHost.Freeze(4711, error)) << error;
    for (int i = 0; i < 50 && !link.Sink().Wait('D', 1, 200ms); ++i) {
        (void)link.Send(alsCommand);
    }
    ASSERT_EQ(link.Sink().Count('D'), 1u);
    EXPECT_GE(link.Sink().LastDownAt() - asked, LIMIT);
    EXPECT_EQ(link.Sink().Sequence(), "U" + std::string(1 + answers, 'M') + "ND");
    EXPECT_EQ(link.Sink().Notes(), std::vector<int32_t>{VEXLINK_NOTE_SILENT});
}

TEST(VexlinkConnect, RefusedConnectionIsOnlyNotedAndALaterConnectWorks) {
    CTestHost host;
    CClosedPort closed(host.Address());
    CTestLink link;
    EXPECT_EQ(link.Connect(host.Address(), closed.Port()), VEXLINK_OK);
    EXPECT_EQ(ConnectWhenFree(link, host, 3s), VEXLINK_OK);
    CPeer peer = host.Accept();
    EXPECT_TRUE(peer.Valid());
    ASSERT_TRUE(link.Sink().Wait('U'));
    EXPECT_EQ(link.Sink().Sequence(), "NU");
    EXPECT_EQ(link.Sink().Notes(), std::vector<int32_t>{VEXLINK_NOTE_REFUSED});
}

TEST(VexlinkConnect, UnansweredAttemptEndsAtTheTimeLimitWithItsNote) {
    CTestHost blackHole(0);
    blackHole.FillBacklog();  // further connection requests are dropped unanswered
    CTestHost host;
    CTestLink link("connect-timeout-ms=400 keepalive-ms=0");

    const auto start = Clock::now();
    ASSERT_EQ(link.Connect(blackHole), VEXLINK_OK);
    EXPECT_EQ(link.Connect(host), VEXLINK_BUSY);
    ASSERT_EQ(ConnectWhenFree(link, host, 5s), VEXLINK_OK);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, 400ms);
    EXPECT_LT(waited, 4s);

    CPeer peer = host.Accept();
    EXPECT_TRUE(peer.Valid());
    ASSERT_TRUE(link.Sink().Wait('U'));
    EXPECT_EQ(link.Sink().Sequence(), "NU");
    EXPECT_EQ(link.Sink().Notes(), std::vector<int32_t>{VEXLINK_NOTE_TIMED_OUT});
}

TEST(VexlinkConnect, DisconnectWhileConnectingCallsNothing) {
    CTestHost blackHole(0);
    blackHole.FillBacklog();
    CTestHost host;
    CTestLink link("connect-timeout-ms=300 keepalive-ms=0");
    ASSERT_EQ(link.Connect(blackHole), VEXLINK_OK);
    EXPECT_EQ(link->Disconnect(), VEXLINK_OK);
    EXPECT_EQ(link.Connect(host), VEXLINK_OK);  // free again at once
    CPeer peer = host.Accept();
    EXPECT_TRUE(peer.Valid());
    ASSERT_TRUE(link.Sink().Wait('U'));
    std::this_thread::sleep_for(600ms);  // past the abandoned attempt's time limit
    EXPECT_EQ(link.Sink().Sequence(), "U");
}

TEST(VexlinkConnect, ConnectWhileConnectingOrConnectedIsIgnored) {
    CTestHost host;
    CTestLink link;
    ASSERT_EQ(link.Connect(host), VEXLINK_OK);
    EXPECT_EQ(link.Connect(host), VEXLINK_BUSY);
    CPeer peer = host.Accept();
    ASSERT_TRUE(peer.Valid());
    ASSERT_TRUE(link.Sink().Wait('U'));
    EXPECT_EQ(link.Connect(host), VEXLINK_BUSY);
    EXPECT_FALSE(host.Accept(300ms).Valid());  // no second connection

    ASSERT_EQ(link.Send("same link"), VEXLINK_OK);
    EXPECT_EQ(peer.ReadFrame(), "same link");
    EXPECT_EQ(link.Sink().Kinds(), "U");
}

TEST(VexlinkConnect, OneLinkDownPerLinkUpAcrossReconnects) {
    CTestHost host;
    CTestLink link;
    constexpr int ROUNDS = 6;
    for (int round = 0; round < ROUNDS; ++round) {
        SCOPED_TRACE(round);
        CPeer peer = Establish(link, host);
        ASSERT_TRUE(peer.SendFrame("round " + std::to_string(round)));
        ASSERT_TRUE(link.Sink().Wait('M', static_cast<std::size_t>(round + 1)));
        switch (round % 3) {
            case 0:
                peer.Close();
                break;
            case 1:
                peer.Reset();
                break;
            default:
                EXPECT_EQ(link->Disconnect(), VEXLINK_OK);
                break;
        }
        ASSERT_TRUE(link.Sink().Wait('D', static_cast<std::size_t>(round + 1)));
    }
    std::string expected;
    std::vector<int32_t> notes;
    for (int round = 0; round < ROUNDS; ++round) {
        expected += "UMND";
        notes.push_back(round % 3 == 2 ? VEXLINK_NOTE_DISCONNECTED : VEXLINK_NOTE_CLOSED_BY_HOST);
    }
    EXPECT_EQ(link.Sink().Sequence(), expected);
    EXPECT_EQ(link.Sink().Notes(), notes);
}

TEST(VexlinkRelease, WaitsForARunningCallbackAndEndsAllCallbacks) {
    CTestHost host;
    auto link = std::make_unique<CTestLink>();
    // The 25th message holds its callback long enough for Release to meet it.
    std::atomic<int> received{0};
    std::atomic<bool> inLongCallback{false};
    link->Sink().onMessage = [&](const std::string&) {
        if (++received == 25) {
            inLongCallback = true;
            std::this_thread::sleep_for(50ms);
            inLongCallback = false;
        }
    };
    CPeer peer = Establish(*link, host);
    std::atomic<bool> stop{false};
    std::thread streamer([&] {
        for (int i = 0; !stop && peer.SendFrame("message " + std::to_string(i)); ++i) {
        }
    });
    const auto deadline = Clock::now() + HOST_WAIT;
    while (!inLongCallback && Clock::now() < deadline) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(inLongCallback);
    link->Release();
    EXPECT_FALSE(inLongCallback);
    std::this_thread::sleep_for(100ms);  // a late callback would be recorded as a violation
    link.reset();                        // and, the sink gone, caught by the address sanitizer
    stop = true;
    streamer.join();
}

TEST(VexlinkRelease, AnotherLinksCallbackMayRelease) {
    CTestHost host;
    CTestLink first;
    CTestLink second;
    first.Sink().onMessage = [&second](const std::string& text) {
        if (text == "release the second") {
            second.Release();
        }
    };
    CPeer firstPeer = Establish(first, host);
    CPeer secondPeer = Establish(second, host);
    ASSERT_TRUE(firstPeer.SendFrame("release the second"));
    EXPECT_TRUE(secondPeer.WaitClosed());
    EXPECT_TRUE(second.Released());
    EXPECT_EQ(second.Sink().Sequence(), "U");  // no note for a released link
    ASSERT_EQ(first.Send("first goes on"), VEXLINK_OK);
    EXPECT_EQ(firstPeer.ReadFrame(), "first goes on");
}

// A host that echoes every byte it gets and now and then resets a connection.
class CEchoHost {
public:
    CEchoHost() : m_thread([this] { Run(); }) {}
    ~CEchoHost() {
        m_stop = true;
        m_thread.join();
    }
    CEchoHost(const CEchoHost&) = delete;
    CEchoHost& operator=(const CEchoHost&) = delete;
    const CTestHost& Host() const { return m_host; }

private:
    void Run() {
        std::mt19937 random{std::random_device{}()};
        std::vector<CPeer> peers;
        char buffer[65536];
        while (!m_stop) {
            if (CPeer peer = m_host.Accept(0ms); peer.Valid()) {
                peers.push_back(std::move(peer));
            }
            std::vector<pollfd> fds;
            for (const CPeer& peer : peers) {
                fds.push_back({peer.Fd(), POLLIN, 0});
            }
            if (::poll(fds.data(), fds.size(), 5) <= 0) {
                continue;
            }
            for (std::size_t i = 0; i < peers.size(); ++i) {
                if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                    continue;
                }
                const ssize_t got = ::recv(peers[i].Fd(), buffer, sizeof buffer, 0);
                if (got <= 0 || !peers[i].SendRaw(buffer, static_cast<std::size_t>(got))) {
                    peers[i].Close();
                } else if (random() % 40 == 0) {
                    peers[i].Reset();
                }
            }
            std::erase_if(peers, [](const CPeer& peer) { return !peer.Valid(); });
        }
    }

    CTestHost m_host;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

TEST(VexlinkStress, ConcurrentConnectSendDisconnectAndRelease) {
    CEchoHost echo;
    constexpr int LINKS = 6;
    constexpr int WORKERS = 3;
    std::vector<std::unique_ptr<CTestLink>> links;
    for (int i = 0; i < LINKS; ++i) {
        links.push_back(std::make_unique<CTestLink>("connect-timeout-ms=2000 keepalive-ms=20"));
    }

    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    for (int w = 0; w < WORKERS; ++w) {
        workers.emplace_back([&, w] {
            std::mt19937 random(static_cast<unsigned>(w));
            while (!stop) {
                CTestLink& link = *links[random() % LINKS];
                const auto op = random() % 10;
                if (op < 4) {
                    (void)link.Connect(echo.Host());
                } else if (op < 9) {
                    (void)link.Send("frame from worker " + std::to_string(w));
                } else {
                    (void)link->Disconnect();
                }
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 500));
            }
        });
    }
    std::this_thread::sleep_for(1500ms);
    stop = true;
    for (std::thread& worker : workers) {
        worker.join();
    }

    // Release while echoes are still on their way, several threads at once.
    for (auto& link : links) {
        (void)link->Send("last words");
    }
    std::vector<std::thread> releasers;
    for (int w = 0; w < WORKERS; ++w) {
        releasers.emplace_back([&, w] {
            for (int i = w; i < LINKS; i += WORKERS) {
                links[static_cast<std::size_t>(i)]->Release();
            }
        });
    }
    for (std::thread& releaser : releasers) {
        releaser.join();
    }

    std::size_t ups = 0;
    std::size_t messages = 0;
    for (auto& link : links) {
        ups += link->Sink().Count('U');
        messages += link->Sink().Count('M');
    }
    EXPECT_GT(ups, 0u);
    EXPECT_GT(messages, 0u);
    std::this_thread::sleep_for(100ms);
    links.clear();  // reports every broken rule
}

}  // namespace
