// The card host's script: the text each command sends, lines that cannot run, comments and blank
// lines, drop, freeze and thaw, the waits and sleep, Cancel, and input run until quit or its end.
#include "cardhost/Script.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <future>
#include <memory>

#include "CardHostTestSupport.h"

using namespace cardhost_test;

namespace {

class ScriptTest : public testing::Test {
protected:
    void SetUp() override {
        CardHostOptions options;
        options.serials = {4711, 815};
        options.address = RandomLoopback();
        options.port = 0;
        m_address = options.address;
        m_host = std::make_unique<CCardHost>(options, m_log.Sink());
        std::string error;
        ASSERT_TRUE(m_host->Start(error)) << error;
        m_script = std::make_unique<CScript>(*m_host, m_log.Sink());
    }

    std::unique_ptr<CFramedClient> Connect() {
        auto client = std::make_unique<CFramedClient>();
        EXPECT_TRUE(client->Connect(m_address, m_host->Port()));
        EXPECT_TRUE(client->Receive().has_value());
        return client;
    }

    std::unique_ptr<CFramedClient> Attach(uint32_t serial, const std::string& code) {
        auto client = Connect();
        client->Send(ConnectCommand(serial));
        if (!code.empty()) {
            client->Send(SetCodeCommand(code, "oqpsk"));
            EXPECT_TRUE(client->Receive().has_value());
        }
        EXPECT_TRUE(m_host->WaitAttached(serial, LONG_WAIT));
        return client;
    }

    void Run(const std::string& line) {
        EXPECT_EQ(m_script->RunLine(line), CScript::Result::Continue) << line;
    }

    COutputLog m_log;
    std::string m_address;
    std::unique_ptr<CCardHost> m_host;
    std::unique_ptr<CScript> m_script;
};

TEST_F(ScriptTest, EachCommandSendsItsExactText) {
    struct Case {
        const char* line;
        std::string sent;
    };
    const Case cases[] = {
        {"start 4711 12345678 data",
         TrafficMessage("MODE: M SERV:DATA EVNT:srt MES_ID:12345678 TX_CHA_ID:1;")},
        {"event 4711 ass", TrafficMessage("MODE: M SERV:DATA EVNT:ass;")},
        {"event 4711 ann", TrafficMessage("MODE: M SERV:DATA EVNT:ann;")},
        {"end 4711", TrafficMessage("MODE: M SERV:DATA EVNT:end;")},
        // Outside a session an event carries the last session's service.
        {"event 4711 ccs", TrafficMessage("MODE: M SERV:DATA EVNT:ccs;")},
        {"start 4711 7 tel", TrafficMessage("MODE: M SERV:TEL  EVNT:srt MES_ID:7 TX_CHA_ID:1;")},
        {"start 4711 8 fax", TrafficMessage("MODE: M SERV:FAX  EVNT:srt MES_ID:8 TX_CHA_ID:1;")},
        {"start 4711 9 isdn", TrafficMessage("MODE: M SERV:ISDN EVNT:srt MES_ID:9 TX_CHA_ID:1;")},
        {"start 4711 10 telex-sm",
         TrafficMessage("MODE: M SERV:TELEX SM EVNT:srt MES_ID:10 TX_CHA_ID:1;")},
        {"start 4711 11 telex-mm",
         TrafficMessage("MODE: M SERV:TELEX MM EVNT:srt MES_ID:11 TX_CHA_ID:1;")},
        {"end 4711", TrafficMessage("MODE: M SERV:TELEX MM EVNT:end;")},
        {"params 4711 code=sat-b als=a<b",
         "<Message version=\"1.0\"><Information><ParameterList><Parameter name=\"code\" "
         "value=\"sat-b\"/><Parameter name=\"als\" value=\"a&lt;b\"/></ParameterList>"
         "</Information></Message>"},
        {"send 4711 <Any text=\"1\">  kept as written ", "<Any text=\"1\">  kept as written "},
        {"send 4711", ""},  // a keep-alive
        // Card 815 has no mode: its records say sat-b, its channel is its number.
        {"start 815 99999999 data",
         TrafficMessage("MODE: B SERV:DATA EVNT:srt MES_ID:99999999 TX_CHA_ID:2;")},
    };
    auto first = Attach(4711, "sat-m");
    auto second = Attach(815, "");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        Run(c.line);
        CFramedClient& client =
            std::string(c.line).find(" 815 ") != std::string::npos ? *second : *first;
        EXPECT_EQ(client.ReceiveFrame(), c.sent);
    }
    EXPECT_EQ(m_log.CountPrefix("error"), 0u);
}

TEST_F(ScriptTest, ALineThatCannotRunIsReportedAndSendsNothing) {
    struct Case {
        const char* line;
        const char* reason;
    };
    const Case cases[] = {
        {"start 4711 123456789 data", "MES ID must be 0 to 99999999"},
        {"start 4711 12 voice", "service must be tel, data, fax, isdn, telex-sm or telex-mm"},
        {"start 4711 12", "usage: start SERIAL MESID SERVICE"},
        {"end 4711", "no session runs on card 4711"},
        {"event 4711 srt", "unknown event srt"},
        {"params 4711 code", "expected NAME=VALUE, not code"},
        {"params 4711 =x", "expected NAME=VALUE, not =x"},
        {"start 999 1 tel", "no card 999 on this host"},
        {"end x", "usage: end SERIAL"},
        {"end 815", "card 815 is not attached"},
        {"drop 815", "card 815 is not attached"},
        {"drop 4711 815", "usage: drop [SERIAL]"},
        {"freeze 815", "card 815 is not attached"},
        {"thaw 4711 815", "usage: thaw [SERIAL]"},
        {"flood 4711 many", "COUNT must be a number"},
        {"sleep soon", "usage: sleep MILLISECONDS"},
        {"launch 4711", "unknown command launch"},
    };
    auto client = Attach(4711, "sat-b");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        Run(c.line);
        EXPECT_TRUE(m_log.Has("error script \"" + std::string(c.line) + "\": " + c.reason));
    }
    EXPECT_FALSE(client->ReceiveFrame(QUIET_WAIT).has_value());
    EXPECT_EQ(m_log.CountPrefix("error script"), std::size(cases));
}

TEST_F(ScriptTest, CommentsBlankLinesAndLineEndsAreSkipped) {
    auto client = Attach(4711, "sat-c-tdm");
    Run("# start 4711 1 tel");
    Run("   ");
    Run("");
    Run("start 4711 5 isdn\r");
    EXPECT_EQ(client->Receive(),
              TrafficMessage("MODE: C SERV:ISDN EVNT:srt MES_ID:5 TX_CHA_ID:1;"));
    EXPECT_FALSE(client->ReceiveFrame(QUIET_WAIT).has_value());
    EXPECT_EQ(m_log.CountPrefix("error"), 0u);
}

TEST_F(ScriptTest, DropClosesOneCardsConnectionOrAll) {
    auto first = Attach(4711, "");
    auto second = Attach(815, "");
    auto bare = Connect();
    Run("drop 4711");
    EXPECT_TRUE(first->WaitClosed());
    EXPECT_TRUE(m_log.WaitFor("closed 4711"));
    EXPECT_FALSE(second->Receive(QUIET_WAIT).has_value());
    EXPECT_TRUE(m_host->WaitAttached(815, Millis(0)));
    CardHostUsage usage;
    std::string error;
    ASSERT_TRUE(m_host->GetUsage(usage, error)) << error;
    EXPECT_EQ(usage.connections, 2u);  // the dropped one is gone, not kept closed

    Run("drop");
    EXPECT_TRUE(second->WaitClosed());
    EXPECT_TRUE(bare->WaitClosed());
    EXPECT_TRUE(m_log.Has("closed 815"));
    EXPECT_TRUE(m_log.Has("closed -"));
}

TEST_F(ScriptTest, FreezeStopsReadingAndWritingUntilThaw) {
    auto first = Attach(4711, "sat-b");
    auto second = Attach(815, "");
    Run("freeze 4711");
    EXPECT_TRUE(m_log.Has("frozen 4711"));
    Run("send 4711 held");
    Run("send 815 passes");
    ASSERT_TRUE(first->Send(SetAlsCommand("analog")));
    EXPECT_EQ(second->Receive(), "passes");
    EXPECT_FALSE(first->ReceiveFrame(QUIET_WAIT).has_value());
    EXPECT_EQ(m_log.CountPrefix("recv 4711 " + SetAlsCommand("analog")), 0u);
    EXPECT_TRUE(m_host->WaitAttached(4711, Millis(0)));  // the connection stays

    Run("thaw 4711");
    EXPECT_TRUE(m_log.Has("thawed 4711"));
    EXPECT_EQ(first->Receive(), "held");
    const auto answer = first->Receive();
    EXPECT_NE(answer.value_or("").find("value=\"analog\""), std::string::npos);
    EXPECT_TRUE(m_log.Has("recv 4711 " + SetAlsCommand("analog")));

    // Without a serial: every link.
    auto bare = Connect();
    Run("freeze");
    EXPECT_TRUE(m_log.Has("frozen 815"));
    EXPECT_TRUE(m_log.Has("frozen -"));
    Run("send 815 later");
    EXPECT_FALSE(second->ReceiveFrame(QUIET_WAIT).has_value());
    Run("thaw");
    EXPECT_EQ(second->Receive(), "later");
    EXPECT_EQ(m_log.CountPrefix("thawed "), 4u);
    EXPECT_EQ(m_log.CountPrefix("error"), 0u);
}

TEST_F(ScriptTest, WaitCommandsReturnOnceTheCardIsAttachedOrInAMode) {
    auto attached = std::async(std::launch::async, [this] { Run("wait-attached 815"); });
    auto inMode = std::async(std::launch::async, [this] { Run("wait-mode 815"); });
    EXPECT_EQ(attached.wait_for(QUIET_WAIT), std::future_status::timeout);
    auto client = Connect();
    client->Send(ConnectCommand(815));
    EXPECT_EQ(attached.wait_for(LONG_WAIT), std::future_status::ready);
    EXPECT_EQ(inMode.wait_for(QUIET_WAIT), std::future_status::timeout);
    client->Send(SetCodeCommand("sat-b", "oqpsk"));
    EXPECT_EQ(inMode.wait_for(LONG_WAIT), std::future_status::ready);
}

TEST_F(ScriptTest, CancelEndsAWaitAndASleep) {
    auto waiting =
        std::async(std::launch::async, [this] { return m_script->RunLine("wait-attached 815"); });
    auto sleeping =
        std::async(std::launch::async, [this] { return m_script->RunLine("sleep 600000"); });
    EXPECT_EQ(waiting.wait_for(QUIET_WAIT), std::future_status::timeout);
    m_script->Cancel();
    ASSERT_EQ(waiting.wait_for(LONG_WAIT), std::future_status::ready);
    ASSERT_EQ(sleeping.wait_for(LONG_WAIT), std::future_status::ready);
    EXPECT_EQ(waiting.get(), CScript::Result::Quit);
    EXPECT_EQ(sleeping.get(), CScript::Result::Quit);
    EXPECT_EQ(m_script->RunLine("send 4711 x"), CScript::Result::Quit);
}

TEST_F(ScriptTest, SleepWaitsItsTime) {
    const auto before = std::chrono::steady_clock::now();
    Run("sleep 150");
    EXPECT_GE(std::chrono::steady_clock::now() - before, Millis(150));
}

TEST_F(ScriptTest, InputIsRunLineByLineUntilQuitOrItsEnd) {
    auto client = Attach(4711, "sat-b");
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    const std::string input = "send 4711 one\r\nsend 4711 two\nsend 4711 three";
    ASSERT_EQ(write(pipeEnds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    close(pipeEnds[1]);
    EXPECT_EQ(m_script->RunDescriptor(pipeEnds[0]), CScript::Result::Continue);
    close(pipeEnds[0]);
    EXPECT_EQ(client->Receive(), "one");
    EXPECT_EQ(client->Receive(), "two");
    EXPECT_EQ(client->Receive(), "three");

    ASSERT_EQ(pipe(pipeEnds), 0);
    const std::string quitting = "send 4711 four\nquit\nsend 4711 five\n";
    ASSERT_EQ(write(pipeEnds[1], quitting.data(), quitting.size()),
              static_cast<ssize_t>(quitting.size()));
    EXPECT_EQ(m_script->RunDescriptor(pipeEnds[0]), CScript::Result::Quit);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    EXPECT_EQ(client->Receive(), "four");
    EXPECT_FALSE(client->Receive(QUIET_WAIT).has_value());
}

TEST_F(ScriptTest, FloodReportsWhenDone) {
    auto client = Attach(4711, "sat-m");
    Run("flood 4711 300");
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(client->Receive(), TrafficMessage("MODE: M SERV:DATA EVNT:ccs;")) << i;
    }
    EXPECT_TRUE(m_log.WaitFor("flood-done 4711 300"));
}

}  // namespace
