// The texts the station hands to others: JSON strings, the card's object,
// the session events, local times with their offset, and broker addresses.
#include "remote/CardJson.h"

#include <gtest/gtest.h>

#include "remote/Json.h"
#include "remote/MqttPublisher.h"
#include "remote/MqttService.h"
#include "resources/OrvaneTypes.h"
#include "support/TempFiles.h"

namespace {

// Local time in the tests: five hours east of UTC (POSIX counts the other way).
class PayloadTest : public testing::Test {
protected:
    CEnvGuard m_zone{"TZ", "XYZ-5"};
};

// 2023 Nov 14, 22:13:20 UTC.
constexpr int64_t WALL = 1700000000;

// The one rule for every text that leaves the station: valid UTF-8 as it is,
// any other byte as its Latin-1 character (escaped in JSON, encoded in labels).
TEST(JsonStringTest, EscapesWhatJsonForbidsAndKeepsValidUtf8) {
    struct Case {
        std::string text;
        std::string json;
        std::string utf8;
    };
    const Case cases[] = {
        {"plain", "\"plain\"", "plain"},
        {"say \"hi\"\\", "\"say \\\"hi\\\"\\\\\"", "say \"hi\"\\"},
        {"a\nb\tc\r", "\"a\\nb\\tc\\r\"", "a\nb\tc\r"},
        {std::string("\x01\x1f\x7f", 3), "\"\\u0001\\u001f\\u007f\"",
         std::string("\x01\x1f\x7f", 3)},
        {"K\xc3\xb6ln \xe2\x82\xac", "\"K\xc3\xb6ln \xe2\x82\xac\"",
         "K\xc3\xb6ln \xe2\x82\xac"},                                               // valid UTF-8
        {"K\xf6ln", "\"K\\u00f6ln\"", "K\xc3\xb6ln"},                               // Latin-1 byte
        {"\xc0\xaf", "\"\\u00c0\\u00af\"", "\xc3\x80\xc2\xaf"},                     // overlong '/'
        {"\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\"", "\xc3\xad\xc2\xa0\xc2\x80"},  // a surrogate
        {"cut \xe2\x82", "\"cut \\u00e2\\u0082\"", "cut \xc3\xa2\xc2\x82"},  // truncated sequence
    };
    for (const Case& c : cases) {
        std::string out;
        AppendJsonString(out, c.text);
        EXPECT_EQ(out, c.json) << c.text;
        EXPECT_EQ(Utf8Text(c.text), c.utf8) << c.text;
    }
}

TEST_F(PayloadTest, WritesLocalTimeWithItsOffset) {
    EXPECT_EQ(IsoLocalTime(WALL), "2023-11-15T03:13:20+05:00");
    CEnvGuard west("TZ", "ABC+3:30");
    EXPECT_EQ(IsoLocalTime(WALL), "2023-11-14T18:43:20-03:30");
}

TEST_F(PayloadTest, WritesEveryFieldOfACard) {
    CardState busy;
    busy.number = 2;
    busy.address = "host\"a";
    busy.serialNumber = 4711;
    busy.status = STATUS_BUSY_SESSION;
    busy.mesId = 12345678;
    busy.mode = MODE_SAT_C_TDM;
    busy.device = DEVICE_TARSA;
    busy.service = SERVICE_TELEX_MM;
    busy.statusSince = WALL - 42;
    busy.busySeconds = 300;
    CardCounters counters;
    counters.linkUps = 3;
    counters.linkDowns = 2;
    counters.sessionsFollowed = 7;
    counters.sessionsRefused = 1;
    counters.messagesReceived = 9;
    counters.lastMessageWallMs = WALL * 1000 - 2500;
    counters.lastLinkLoss = 0;
    counters.lastLinkLossTime = WALL - 600;
    EXPECT_EQ(CardJson(busy, counters, WALL * 1000),
              "{\"number\":2,\"mode\":\"sat-c-tdm\",\"address\":\"host\\\"a\",\"device\":"
              "\"tarsa\",\"serial\":4711,\"status\":\"Busy Session\",\"status_code\":4,"
              "\"since\":\"2023-11-15T03:12:38+05:00\",\"seconds_in_state\":42,"
              "\"mes_id\":12345678,\"service\":\"Telex MM\",\"busy_seconds\":300,"
              "\"link_ups\":3,\"link_downs\":2,\"sessions_followed\":7,\"sessions_refused\":1,"
              "\"messages_received\":9,\"seconds_since_last_message\":2,\"last_link_loss\":null,"
              "\"last_link_loss_time\":\"2023-11-15T03:03:20+05:00\"}");

    // Never connected: no service, no message yet, no loss.
    CardState idle;
    idle.number = 1;
    idle.mode = MODE_NONE;
    idle.statusSince = WALL;
    const std::string text = CardJson(idle, CardCounters{}, WALL * 1000);
    for (const char* part : {"\"mode\":null", "\"status\":\"Not Connected\",\"status_code\":0",
                             "\"service\":null", "\"seconds_since_last_message\":null",
                             "\"last_link_loss\":null,\"last_link_loss_time\":null}"}) {
        EXPECT_NE(text.find(part), std::string::npos) << part << " in " << text;
    }
}

TEST_F(PayloadTest, WritesOneEventPerSessionStartEndAndLinkChange) {
    auto event = [](StationEventKind kind) {
        StationEvent e;
        e.kind = kind;
        e.card = 3;
        e.serialNumber = 1003;
        e.wallTime = WALL;
        e.mesId = 555;
        e.service = SERVICE_FAX;
        return e;
    };
    const std::string head =
        "{\"event\":\"%\",\"card\":3,\"serial\":1003,"
        "\"time\":\"2023-11-15T03:13:20+05:00\"";
    auto headOf = [&head](const std::string& name) {
        return head.substr(0, 10) + name + head.substr(11);
    };
    StationEvent refused = event(StationEventKind::SessionRefused);
    refused.reason = static_cast<int32_t>(RefusalReason::HeldByCard);
    refused.heldBy = 1;
    refused.action = static_cast<int32_t>(RefusalAction::ModeSetup);
    StationEvent ended = event(StationEventKind::SessionEnded);
    ended.value = 95;
    ended.reason = static_cast<int32_t>(SessionEndCause::LinkDown);
    StationEvent down = event(StationEventKind::LinkDown);
    down.reason = 0;  // no note
    const std::pair<StationEvent, std::string> cases[] = {
        {event(StationEventKind::SessionFollowed),
         headOf("session start") + ",\"mes_id\":555,\"service\":\"Fax\",\"followed\":true}"},
        {refused, headOf("session start") +
                      ",\"mes_id\":555,\"service\":\"Fax\",\"followed\":false,"
                      "\"reason\":\"held by card 1\",\"action\":\"sat-c-tdm re-setup\"}"},
        {ended, headOf("session end") + ",\"mes_id\":555,\"service\":\"Fax\",\"duration_seconds\":"
                                        "95,\"cause\":\"link down\"}"},
        {event(StationEventKind::LinkUp), headOf("link up") + "}"},
        {down, headOf("link down") + ",\"reason\":null}"},
        {event(StationEventKind::Sample), ""},
        {event(StationEventKind::StatusChanged), ""},
    };
    for (const auto& [e, expected] : cases) {
        EXPECT_EQ(SessionEventJson(e), expected) << static_cast<int>(e.kind);
    }
}

TEST(BrokerAddressTest, ReadsHostAndPort) {
    struct Case {
        const char* text;
        bool ok;
        const char* host;
        int port;
    };
    const Case cases[] = {
        {"broker", true, "broker", 1883},
        {"10.0.0.5:8883", true, "10.0.0.5", 8883},
        {"[::1]:1884", true, "::1", 1884},
        {"[::1]", true, "::1", 1883},
        {"fe80::1", true, "fe80::1", 1883},
        {"", false, "", 0},
        {":1883", false, "", 0},
        {"broker:", false, "", 0},
        {"broker:0", false, "", 0},
        {"broker:65536", false, "", 0},
        {"broker:12x", false, "", 0},
        {"[::1", false, "", 0},
        {"[::1]x", false, "", 0},
    };
    for (const Case& c : cases) {
        std::string host;
        int port = 0;
        EXPECT_EQ(ParseBrokerAddress(c.text, host, port), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(host, c.host) << c.text;
            EXPECT_EQ(port, c.port) << c.text;
        }
    }
}

TEST(BrokerAddressTest, RefusesAPrefixWithWildcards) {
    MqttOptions options;
    options.broker = "127.0.0.1:1";
    options.prefix = "site/+/north";
    std::string error;
    EXPECT_FALSE(CMqttService::Start(options, error));
    EXPECT_EQ(error, "the MQTT prefix \"site/+/north\" cannot begin a topic (no + or #)");
}

}  // namespace
