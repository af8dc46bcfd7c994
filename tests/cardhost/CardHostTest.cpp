// The card host emulator: its greeting, cards attached and commands answered, frames at and over
// the limit, generated traffic and floods, keep-alives, and its bounds on connections and waiting
// bytes.
#include "cardhost/CardHost.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <regex>

#include "CardHostTestSupport.h"

using namespace cardhost_test;

namespace {

const std::string CARDS_4711_815 =
    "<Message version=\"1.0\"><Information><Cards><Card number=\"1\" serial-nr=\"4711\"/><Card "
    "number=\"2\" serial-nr=\"815\"/></Cards></Information></Message>";

std::string Parameters(const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::string text = "<Message version=\"1.0\"><Information><ParameterList>";
    for (const auto& [name, value] : pairs) {
        text += "<Parameter name=\"" + name + "\" value=\"" + value + "\"/>";
    }
    return text + "</ParameterList></Information></Message>";
}

class CardHostTest : public testing::Test {
protected:
    void StartHost(CardHostOptions options = {}) {
        if (options.serials.empty()) {
            options.serials = {4711, 815};
        }
        options.address = RandomLoopback();
        options.port = 0;
        m_address = options.address;
        m_host = std::make_unique<CCardHost>(options, m_log.Sink());
        std::string error;
        ASSERT_TRUE(m_host->Start(error)) << error;
    }

    std::unique_ptr<CFramedClient> Connect(std::string* greeting = nullptr) {
        auto client = std::make_unique<CFramedClient>();
        EXPECT_TRUE(client->Connect(m_address, m_host->Port()));
        const auto first = client->Receive();
        EXPECT_TRUE(first.has_value());
        if (greeting && first) {
            *greeting = *first;
        }
        return client;
    }

    std::unique_ptr<CFramedClient> Attach(uint32_t serial) {
        auto client = Connect();
        EXPECT_TRUE(client->Send(ConnectCommand(serial)));
        EXPECT_TRUE(m_host->WaitAttached(serial, LONG_WAIT));
        return client;
    }

    CardHostCardStatus Status(uint32_t serial) {
        CardHostCardStatus status;
        std::string error;
        EXPECT_TRUE(m_host->GetCardStatus(serial, status, error)) << error;
        return status;
    }

    CardHostUsage Usage() {
        CardHostUsage usage;
        std::string error;
        EXPECT_TRUE(m_host->GetUsage(usage, error)) << error;
        return usage;
    }

    COutputLog m_log;  // outlives the host, which writes to it
    std::string m_address;
    std::unique_ptr<CCardHost> m_host;
};

TEST_F(CardHostTest, EveryConnectionIsGreetedWithTheCardsInformation) {
    StartHost();
    EXPECT_TRUE(m_log.Has("listening " + m_address + ":" + std::to_string(m_host->Port())));
    std::string first;
    std::string second;
    auto a = Connect(&first);
    auto b = Connect(&second);
    EXPECT_EQ(first, CARDS_4711_815);
    EXPECT_EQ(second, CARDS_4711_815);
    EXPECT_TRUE(m_log.WaitFor("accepted 127.", LONG_WAIT, true, 2));
}

TEST_F(CardHostTest, ConnectAttachesAndALaterConnectTakesTheCardOver) {
    StartHost();
    auto a = Attach(4711);
    EXPECT_TRUE(m_log.WaitFor("attached 4711"));
    std::string error;
    ASSERT_TRUE(m_host->SendText(4711, "to a", error)) << error;
    EXPECT_EQ(a->Receive(), "to a");

    auto b = Connect();
    b->Send(ConnectCommand(4711));
    ASSERT_TRUE(m_log.WaitFor("attached 4711", LONG_WAIT, false, 2));
    ASSERT_TRUE(m_host->SendText(4711, "to b", error)) << error;
    EXPECT_EQ(b->Receive(), "to b");
    EXPECT_FALSE(a->Receive(QUIET_WAIT).has_value());

    // The connection that lost the card stays open, without a card.
    a->Send(SetAlsCommand("analog"));
    EXPECT_TRUE(m_log.WaitFor("recv - " + SetAlsCommand("analog")));
    EXPECT_TRUE(m_log.WaitFor("error command from - without an attached card"));
    EXPECT_FALSE(a->Receive(QUIET_WAIT).has_value());
    EXPECT_EQ(Status(4711).als, "off");
}

TEST_F(CardHostTest, AnUnknownSerialLeavesTheConnectionUnattached) {
    StartHost();
    auto client = Attach(4711);
    client->Send(ConnectCommand(999));
    EXPECT_TRUE(m_log.WaitFor("error unknown card 999 from 4711"));
    EXPECT_FALSE(Status(4711).attached);
    client->Send(SetCodeCommand("sat-b", "oqpsk"));
    EXPECT_TRUE(m_log.WaitFor("error command from - without an attached card"));
    EXPECT_FALSE(client->Receive(QUIET_WAIT).has_value());
    EXPECT_EQ(Status(4711).code, "no-mode");
}

TEST_F(CardHostTest, SetCodeIsStoredAndAnsweredWithCodeAndAls) {
    StartHost();
    auto client = Attach(815);
    EXPECT_EQ(Status(815).code, "no-mode");
    client->Send(SetCodeCommand("sat-c-tdm", "bpsk"));
    EXPECT_EQ(client->Receive(), Parameters({{"code", "sat-c-tdm"}, {"als", "off"}}));
    const CardHostCardStatus status = Status(815);
    EXPECT_EQ(status.code, "sat-c-tdm");
    EXPECT_EQ(status.modulation, "bpsk");
    EXPECT_EQ(status.input, "inp2");
    EXPECT_EQ(Status(4711).code, "no-mode");

    client->Send(SET_CONFIGURATION_COMMAND);
    client->Send(SetAlsCommand("analog"));
    // Set configuration is accepted without an answer; the ALS value comes back.
    EXPECT_EQ(client->Receive(), Parameters({{"als", "analog"}}));
    client->Send(SetCodeCommand("no-mode", "oqpsk"));
    EXPECT_EQ(client->Receive(), Parameters({{"code", "no-mode"}, {"als", "analog"}}));
    EXPECT_EQ(m_log.CountPrefix("error"), 0u);
}

TEST_F(CardHostTest, ResyncAndANewCodeDropTheSessionWithoutAnEndRecord) {
    const std::string commands[] = {START_RESYNC_COMMAND, SetCodeCommand("sat-b", "oqpsk")};
    StartHost();
    auto client = Attach(4711);
    for (const std::string& command : commands) {
        SCOPED_TRACE(command);
        std::string error;
        ASSERT_TRUE(m_host->StartSession(4711, 1234, "FAX ", error)) << error;
        ASSERT_TRUE(client->Receive().has_value());
        EXPECT_TRUE(Status(4711).inSession);
        client->Send(command);
        ASSERT_TRUE(m_log.WaitFor("recv 4711 " + command));
        EXPECT_FALSE(Status(4711).inSession);
        const auto answer = client->Receive(QUIET_WAIT);
        EXPECT_EQ(answer.value_or("").find("EVNT:"), std::string::npos) << answer.value_or("");
        EXPECT_FALSE(m_host->EndSession(4711, error));
        EXPECT_EQ(error, "no session runs on card 4711");
    }
}

TEST_F(CardHostTest, ACommandThatIsNotWellFormedIsReportedAndIgnored) {
    const std::string texts[] = {
        "<Message version=\"1.0\"><Command><Set>",
        "<Message version=\"1.0\"></Massage>",
        "<Message version=1.0></Message>",
        "<Message/><Message/>",
        "<Message/>trailing text",
        "<Message a=\"1\" a=\"2\"/>",
        "not xml at all",
    };
    StartHost();
    auto client = Attach(4711);
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        client->Send(text);
        EXPECT_TRUE(m_log.WaitFor("recv 4711 " + text));
        EXPECT_TRUE(m_log.WaitFor("error not well-formed XML from 4711: ", LONG_WAIT, true));
        // The connection and the card carry on.
        client->Send(SetAlsCommand("off"));
        EXPECT_EQ(client->Receive(), Parameters({{"als", "off"}}));
        EXPECT_TRUE(Status(4711).attached);
    }
    EXPECT_EQ(m_log.CountPrefix("error not well-formed XML from 4711: "), std::size(texts));
}

TEST_F(CardHostTest, AWellFormedCommandThatNoCardKnowsIsReported) {
    StartHost();
    auto client = Attach(4711);
    client->Send("<Message version=\"1.0\"><Command><Start item=\"sweep\"/></Command></Message>");
    EXPECT_TRUE(m_log.WaitFor("error unknown command from 4711: Start item \"sweep\""));
    client->Send(
        "<Message version=\"1.0\"><Command><Connect><Card serial-nr=\"12x\"/></Connect>"
        "</Command></Message>");
    EXPECT_TRUE(m_log.WaitFor("error unknown command from 4711: Connect with serial-nr \"12x\""));
    EXPECT_TRUE(Status(4711).attached);
}

TEST_F(CardHostTest, FramesUpToTheLimitAreReadAndLargerOnesCloseTheConnection) {
    StartHost();
    auto client = Attach(4711);
    // Keep-alives are skipped; a frame of exactly the limit is read (and is
    // not XML); one byte more ends the connection.
    client->SendRaw(FrameHeader(0));
    client->Send(std::string(MAX_FRAME_BYTES, 'x'));
    EXPECT_TRUE(m_log.WaitFor("error not well-formed XML from 4711: ", LONG_WAIT, true));
    client->Send(SetAlsCommand("analog"));
    EXPECT_EQ(client->Receive(), Parameters({{"als", "analog"}}));

    client->SendRaw(FrameHeader(MAX_FRAME_BYTES + 1));
    EXPECT_TRUE(client->WaitClosed());
    EXPECT_TRUE(m_log.WaitFor("closed 4711"));
    EXPECT_TRUE(m_log.Has("error frame of 1048577 bytes from 4711, closing the connection"));
    EXPECT_FALSE(Status(4711).attached);
}

TEST_F(CardHostTest, DeeplyNestedMarkupDoesNotBringTheHostDown) {
    StartHost();
    auto client = Attach(4711);
    const int depth = 60000;  // just under the frame limit
    std::string nested;
    for (int i = 0; i < depth; ++i) {
        nested += "<a x=\"1\">";
    }
    for (int i = 0; i < depth; ++i) {
        nested += "</a>";
    }
    client->Send(nested);
    EXPECT_TRUE(m_log.WaitFor("error unknown command from 4711: ", LONG_WAIT, true));
    client->Send(SetAlsCommand("analog"));
    EXPECT_EQ(client->Receive(), Parameters({{"als", "analog"}}));
}

struct TrafficRecordFields {
    std::string mode;
    std::string service;
    std::string event;
    uint32_t mesId = 0;
};

// Reads one traffic message into its single record; fails the test on any
// other shape.
TrafficRecordFields ReadRecord(const std::string& message) {
    static const std::regex SHAPE(
        "<Message version=\"1\\.0\"><Data><Text>MODE:( B| M|mM| C) "
        "SERV:(TEL |DATA|FAX |ISDN|TELEX SM|TELEX MM) EVNT:(ccs|ann|ass|end|srt)"
        "(?: MES_ID:([0-9]{1,8}) TX_CHA_ID:([0-9]+))?;</Text></Data></Message>");
    std::smatch match;
    TrafficRecordFields fields;
    EXPECT_TRUE(std::regex_match(message, match, SHAPE)) << message;
    if (match.empty()) {
        return fields;
    }
    fields.mode = match[1];
    fields.service = match[2];
    fields.event = match[3];
    EXPECT_EQ(match[4].matched, fields.event == "srt") << message;
    if (match[4].matched) {
        fields.mesId = static_cast<uint32_t>(std::stoul(match[4]));
    }
    return fields;
}

TEST_F(CardHostTest, GeneratedTrafficHasOneWellFormedSessionAtATimeWithinTheMesIdRange) {
    CardHostOptions options;
    options.trafficPerMinute = 600;  // sessions of 15 to 185 ms, pauses of 100 ms on average
    options.mesIdFirst = 20000000;
    options.mesIdLast = 20000009;
    options.seed = 7;
    StartHost(options);
    auto busy = Attach(4711);
    auto idle = Attach(815);  // stays without a mode, so it decodes nothing
    busy->Send(SetCodeCommand("sat-mini-m", "oqpsk"));
    ASSERT_EQ(busy->Receive(), Parameters({{"code", "sat-mini-m"}, {"als", "off"}}));

    int sessions = 0;
    bool inSession = false;
    std::string service;
    std::map<std::string, int> events;
    while (sessions < 6) {
        const auto message = busy->Receive();
        ASSERT_TRUE(message.has_value());
        const TrafficRecordFields record = ReadRecord(*message);
        EXPECT_EQ(record.mode, "mM");
        ++events[record.event];
        if (record.event == "srt") {
            EXPECT_FALSE(inSession) << "a second session started before the first ended";
            EXPECT_GE(record.mesId, 20000000u);
            EXPECT_LE(record.mesId, 20000009u);
            inSession = true;
            service = record.service;
        } else {
            EXPECT_TRUE(inSession) << *message;
            EXPECT_EQ(record.service, service);
            if (record.event == "end") {
                inSession = false;
                ++sessions;
            }
        }
    }
    EXPECT_EQ(events["srt"], 6);
    EXPECT_GE(events["ccs"] + events["ann"] + events["ass"], 6);
    EXPECT_FALSE(idle->Receive(QUIET_WAIT).has_value());

    // Without a mode the card falls silent at once.
    busy->Send(SetCodeCommand("no-mode", "oqpsk"));
    std::optional<std::string> message;
    while ((message = busy->Receive()) && message->find("<Data>") != std::string::npos) {
    }
    EXPECT_EQ(message, Parameters({{"code", "no-mode"}, {"als", "off"}}));
    EXPECT_FALSE(busy->Receive(QUIET_WAIT).has_value());
}

TEST_F(CardHostTest, TheSameSeedGivesTheSameSessions) {
    auto firstSessions = [this](uint64_t seed) {
        CardHostOptions options;
        options.trafficPerMinute = 1200;
        options.seed = seed;
        StartHost(options);
        auto client = Attach(815);
        client->Send(SetCodeCommand("sat-b", "oqpsk"));
        client->Receive();
        std::vector<std::string> starts;
        while (starts.size() < 4) {
            const auto message = client->Receive();
            if (!message) {
                break;
            }
            if (message->find("EVNT:srt") != std::string::npos) {
                starts.push_back(*message);
            }
        }
        m_host->Stop();
        return starts;
    };
    const auto first = firstSessions(42);
    const auto second = firstSessions(42);
    ASSERT_EQ(first.size(), 4u);
    EXPECT_EQ(first, second);
}

TEST_F(CardHostTest, AFloodSendsItsCountAsFastAsTheConnectionTakesIt) {
    CardHostOptions options;
    options.flood = 20000;
    StartHost(options);
    auto client = Attach(4711);
    const std::string record = TrafficMessage("MODE: B SERV:DATA EVNT:ccs;");
    for (uint32_t i = 0; i < options.flood; ++i) {
        const auto message = client->Receive();
        ASSERT_EQ(message, record) << "message " << i;
    }
    EXPECT_TRUE(m_log.WaitFor("flood-done 4711 20000"));
    EXPECT_FALSE(client->Receive(QUIET_WAIT).has_value());
}

TEST_F(CardHostTest, AnIdleConnectionGetsAKeepAliveAfterFiveSecondsOfQuiet) {
    StartHost();
    auto client = Attach(4711);
    // The answer is the last frame before the quiet; it is sent after `asked`.
    const auto asked = std::chrono::steady_clock::now();
    client->Send(SetAlsCommand("off"));
    ASSERT_EQ(client->Receive(), Parameters({{"als", "off"}}));
    EXPECT_EQ(client->ReceiveFrame(CARD_HOST_KEEPALIVE + LONG_WAIT), "");
    const auto quiet = std::chrono::steady_clock::now() - asked;
    EXPECT_GE(quiet, CARD_HOST_KEEPALIVE);
    EXPECT_LT(quiet, CARD_HOST_KEEPALIVE + 5s);  // well within the station's 15 s
}

TEST_F(CardHostTest, AConnectionBeyondTheLimitIsClosedAtOnceWithoutAGreeting) {
    StartHost();
    std::vector<std::unique_ptr<CFramedClient>> clients;
    for (std::size_t i = 0; i < MAX_HOST_CONNECTIONS; ++i) {
        clients.push_back(Connect());  // each one greeted
    }
    CFramedClient extra;
    ASSERT_TRUE(extra.Connect(m_address, m_host->Port()));
    EXPECT_FALSE(extra.ReceiveFrame().has_value());
    EXPECT_TRUE(extra.WaitClosed());
    EXPECT_TRUE(m_log.WaitFor("error connection from 127.", LONG_WAIT, true));
    EXPECT_EQ(m_log.CountPrefix("error connection from "), 1u);
    EXPECT_EQ(m_log.CountPrefix("accepted "), MAX_HOST_CONNECTIONS);
    EXPECT_EQ(Usage().connections, MAX_HOST_CONNECTIONS);

    // A place that comes free is taken again.
    clients.back()->Close();
    ASSERT_TRUE(m_log.WaitFor("closed -"));
    clients.back() = Connect();
    EXPECT_EQ(Usage().connections, MAX_HOST_CONNECTIONS);
}

TEST_F(CardHostTest, AClientThatStopsReadingIsDroppedAtTheBoundOfWaitingBytes) {
    StartHost();
    auto client = Attach(4711);  // reads nothing from here on
    const std::string megabyte(MAX_FRAME_BYTES, 'x');
    std::string error;
    int sent = 0;
    while (sent < 100 && m_host->SendText(4711, megabyte, error)) {
        ++sent;
    }
    EXPECT_EQ(error, "card 4711 is not attached");
    EXPECT_TRUE(
        m_log.Has("error more than 8388608 bytes waiting for 4711, closing the connection"));
    EXPECT_TRUE(m_log.Has("closed 4711"));
    const CardHostUsage usage = Usage();
    EXPECT_LE(usage.peakWaitingBytes, MAX_WAITING_BYTES);
    EXPECT_GT(usage.peakWaitingBytes, MAX_WAITING_BYTES - FRAME_HEADER_BYTES - MAX_FRAME_BYTES);
    EXPECT_EQ(usage.waitingBytes, 0u);
    EXPECT_EQ(usage.connections, 0u);
    EXPECT_TRUE(client->WaitClosed());
}

TEST_F(CardHostTest, AnAnnouncedFrameCostsOnlyTheBytesThatArrived) {
    StartHost();
    auto client = Attach(4711);
    ASSERT_TRUE(client->SendRaw(FrameHeader(MAX_FRAME_BYTES) + "0123456789"));
    CardHostUsage usage;
    for (const auto until = std::chrono::steady_clock::now() + LONG_WAIT;
         usage.receiveBytes < 10 && std::chrono::steady_clock::now() < until;) {
        usage = Usage();
    }
    EXPECT_GE(usage.receiveBytes, 10u);
    EXPECT_LT(usage.receiveBytes, 1024u);

    // The rest of it arrives: the frame is read whole, and its buffer goes.
    ASSERT_TRUE(client->SendRaw(std::string(MAX_FRAME_BYTES - 10, 'x')));
    EXPECT_TRUE(m_log.WaitFor("error not well-formed XML from 4711: ", LONG_WAIT, true));
    EXPECT_EQ(Usage().receiveBytes, 0u);
}

TEST_F(CardHostTest, StopClosesEveryConnectionAndRefusesLaterOperations) {
    StartHost();
    auto a = Attach(4711);
    auto b = Connect();
    m_host->Stop();
    EXPECT_TRUE(a->WaitClosed());
    EXPECT_TRUE(b->WaitClosed());
    EXPECT_TRUE(m_log.Has("closed 4711"));
    EXPECT_TRUE(m_log.Has("closed -"));
    std::string error;
    EXPECT_FALSE(m_host->SendText(4711, "late", error));
    EXPECT_FALSE(m_host->WaitAttached(4711, Millis(0)));
    m_host->Stop();
}

TEST_F(CardHostTest, AnAddressInUseIsReportedByStart) {
    StartHost();
    CardHostOptions options;
    options.serials = {1};
    options.address = m_address;
    options.port = m_host->Port();
    CCardHost second(options, nullptr);
    std::string error;
    EXPECT_FALSE(second.Start(error));
    EXPECT_NE(error.find("cannot listen on " + m_address), std::string::npos) << error;
}

}  // namespace
