// A card's link side: callbacks made into whole queue records before their log entries, notes kept
// as reasons, the size limits, commands sent byte for byte, and the wait of a disconnect.
#include "cardlink/CardSink.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "cardlink/EventRecord.h"
#include "cardlink/VexlinkNotes.h"
#include "support/FakeVexlink.h"

namespace {

// The command texts as the cards expect them, written out in full.
const std::string CONNECT_4711 =
    R"(<Message version="1.0"><Command><Connect><Card serial-nr="4711"/></Connect></Command></Message>)";
const std::string CONNECT_MAX =
    R"(<Message version="1.0"><Command><Connect><Card serial-nr="4294967295"/></Connect></Command></Message>)";
const std::string ALS_ANALOG_CMD =
    R"(<Message version="1.0"><Command><Set><ParameterList><Parameter name="als" value="analog"/></ParameterList></Set></Command></Message>)";
const std::string CONFIGURATION =
    R"(<Message version="1.0"><Command><Set><Configuration information-indicators-interval-per-minute="0"/></Set></Command></Message>)";
const std::string RESYNC =
    R"(<Message version="1.0"><Command><Start item="resync"/></Command></Message>)";

std::string SetCode(const std::string& code, const std::string& modulation) {
    return R"(<Message version="1.0"><Command><Set><ParameterList><Parameter name="code" value=")" +
           code + R"("/><Parameter name="modulation" value=")" + modulation +
           R"("/><Parameter name="input" value="inp2"/></ParameterList></Set></Command></Message>)";
}

// A handler with a library object of the double, set up as a card sets it up.
// The object is released before the handler goes, as the card does it.
struct CLinkedHandler {
    CLinkedHandler(CCircularBuffer<char>* queue, CLogger* log, int32_t number = 3,
                   const std::string& address = "host-a")
        : handler(1) {
        const VexlinkOptions options{};
        instance = CreateVexlinkInstance(&handler, "", "", &options);
        handler.SetInstance(instance);
        handler.Init(address, number, queue, log);
    }
    ~CLinkedHandler() {
        if (instance != nullptr) {
            instance->Release();
        }
    }
    CCardMH handler;
    CVexlinkInstance* instance = nullptr;
};

class CardSinkTest : public ::testing::Test {
protected:
    void SetUp() override { fake.Reset(); }

    CFakeVexlink& fake = CFakeVexlink::Get();
    CCircularBuffer<char> queue;
    CTempLog log;
};

TEST_F(CardSinkTest, MessageBecomesOneRecordAndThenOneLogEntry) {
    CLinkedHandler link(&queue, log.Logger());
    std::string text(100, 'm');
    text.replace(0, 9, "<Message>");
    link.handler.OnMessage(text.c_str(), 100);

    const std::optional<TakenRecord> record = TakeRecord(queue, 0);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->type, EVT_CARD_MESSAGE);
    EXPECT_EQ(record->length, 144);
    EXPECT_EQ(record->card, 3);
    EXPECT_EQ(record->address, "host-a");
    EXPECT_EQ(record->payload, text);
    EXPECT_EQ(queue.Unread(), 0) << "no terminating NUL or other bytes behind the payload";
    EXPECT_EQ(log.Entries(), std::vector<std::string>{"Receive Card 3:\n" + text + "\n\n"});
}

TEST_F(CardSinkTest, LinkChangesBecomeStatusRecords) {
    CLinkedHandler link(&queue, log.Logger(), 9);
    EXPECT_FALSE(link.handler.IsLinkUp());
    link.handler.OnLinkUp();
    EXPECT_TRUE(link.handler.IsLinkUp());
    link.handler.OnNotify();  // ignored
    link.handler.OnLinkDown();
    EXPECT_FALSE(link.handler.IsLinkUp());

    for (const int status : {1, 0}) {
        const std::optional<TakenRecord> record = TakeRecord(queue, 0);
        ASSERT_TRUE(record.has_value());
        EXPECT_EQ(record->type, EVT_CARD_STATUS);
        EXPECT_EQ(record->length, 44);
        EXPECT_EQ(record->card, 9);
        EXPECT_EQ(record->status, status);
    }
    EXPECT_EQ(queue.Unread(), 0);
    EXPECT_EQ(log.Entries(),
              (std::vector<std::string>{"Receive Card 9:\nUp\n\n", "Receive Card 9:\nDown\n\n"}));
}

TEST_F(CardSinkTest, NotesAreKeptAsTheReasonOfAFailedAttemptOrOfTheLinksEnd) {
    CLinkedHandler link(&queue, log.Logger(), 4);
    fake.FireNote(1, VEXLINK_NOTE_REFUSED);  // an attempt, no link
    fake.FireLinkUp(1);
    fake.FireNote(1, VEXLINK_NOTE_SILENT);  // right before the link's end
    fake.FireLinkDown(1);
    fake.WaitIdle();
    EXPECT_EQ(link.handler.TakeAttemptNote(), VEXLINK_NOTE_REFUSED);
    EXPECT_EQ(link.handler.TakeLinkEndNote(), VEXLINK_NOTE_SILENT);
    EXPECT_EQ(link.handler.TakeAttemptNote(), 0) << "each is taken once";
    EXPECT_EQ(link.handler.TakeLinkEndNote(), 0);
    EXPECT_EQ(queue.Unread(), 2 * EVENT_HEADER_SIZE) << "only the link's up and down are queued";
    EXPECT_EQ(log.Entries().size(), 2u) << "notes are not logged";
}

TEST_F(CardSinkTest, AddressIsCutToThirtyCharacters) {
    const std::string long45 = "a-very-long-computer-name.station.example.org";
    for (const auto& [address, inRecord] : std::vector<std::pair<std::string, std::string>>{
             {"", ""},
             {std::string(30, 'x'), std::string(30, 'x')},
             {std::string(31, 'y'), std::string(30, 'y')},
             {long45, long45.substr(0, 30)}}) {
        CLinkedHandler link(&queue, log.Logger(), 1, address);
        link.handler.OnMessage("<m/>", 4);
        const std::optional<TakenRecord> record = TakeRecord(queue, 0);
        ASSERT_TRUE(record.has_value());
        EXPECT_EQ(record->address, inRecord);
        EXPECT_EQ(record->payload, "<m/>") << "a long address spilt into the payload";
    }
}

TEST_F(CardSinkTest, LongestMessageFitsAndOneByteMoreIsDropped) {
    CLinkedHandler link(&queue, log.Logger());
    const std::string longest(MAX_EVENT_PAYLOAD, 'L');
    ASSERT_EQ(longest.size(), 32723u);
    link.handler.OnMessage(longest.c_str(), 32723);
    const std::optional<TakenRecord> record = TakeRecord(queue, 0);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->length, 32767);
    EXPECT_EQ(record->payload, longest);

    const std::string tooLong(32724, 'T');
    link.handler.OnMessage(tooLong.c_str(), 32724);
    const std::string huge(70000, 'H');  // would wrap the 16-bit length to a positive value
    link.handler.OnMessage(huge.c_str(), 70000);
    EXPECT_EQ(queue.Unread(), 0);
    const std::vector<std::string> entries = log.Entries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[1].rfind("Drop    Card 3:\nmessage of 32724 bytes", 0), 0u) << entries[1];
    EXPECT_EQ(entries[2].rfind("Drop    Card 3:\nmessage of 70000 bytes", 0), 0u) << entries[2];
}

TEST_F(CardSinkTest, RecordIsQueuedBeforeTheLinkFlagAndTheLogEntry) {
    CLinkedHandler link(&queue, log.Logger(), 4);
    const std::string filler(79999 - 20, 'f');
    ASSERT_TRUE(queue.Write(filler.data(), static_cast<int32_t>(filler.size())));
    std::thread library([&] { link.handler.OnLinkUp(); });  // waits for room in the queue
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_FALSE(link.handler.IsLinkUp());
    EXPECT_TRUE(log.Entries().empty());

    std::string out(filler.size(), '\0');
    ASSERT_TRUE(queue.Read(out.data(), static_cast<int32_t>(out.size()), 0));
    library.join();
    EXPECT_TRUE(link.handler.IsLinkUp());
    EXPECT_EQ(log.Entries(), std::vector<std::string>{"Receive Card 4:\nUp\n\n"});
    const std::optional<TakenRecord> record = TakeRecord(queue, 0);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->status, 1);
}

TEST_F(CardSinkTest, RecordDroppedAfterTheReaderHasGoneIsLogged) {
    CLinkedHandler link(&queue, log.Logger(), 5);
    link.handler.OnLinkUp();
    const std::string filler(79999 - 44 - 30, 'f');
    ASSERT_TRUE(queue.Write(filler.data(), static_cast<int32_t>(filler.size())));
    queue.CloseReader();
    link.handler.OnMessage("<Message>too much</Message>", 27);
    link.handler.OnLinkDown();
    EXPECT_FALSE(link.handler.IsLinkUp()) << "the link flag follows the library regardless";
    EXPECT_EQ(queue.Unread(), 79999 - 30);
    const std::vector<std::string> entries = log.Entries();
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries[1], "Receive Card 5:\n<Message>too much</Message>\n\n");
    EXPECT_EQ(entries[2].rfind("Drop    Card 5:\nmessage record of 71 bytes", 0), 0u) << entries[2];
    EXPECT_EQ(entries[3], "Receive Card 5:\nDown\n\n");
    EXPECT_EQ(entries[4].rfind("Drop    Card 5:\nstatus record of 44 bytes", 0), 0u) << entries[4];
}

TEST_F(CardSinkTest, CallbacksOfSeveralCardsAtOnceStayWhole) {
    constexpr int CARDS = 4;
    constexpr int MESSAGES = 150;
    std::vector<std::unique_ptr<CLinkedHandler>> links;
    for (int card = 1; card <= CARDS; ++card) {
        links.push_back(std::make_unique<CLinkedHandler>(&queue, log.Logger(), card));
    }
    const auto text = [](int card, int i) {
        return "<Message card=\"" + std::to_string(card) + "\" n=\"" + std::to_string(i) + "\">" +
               std::string(static_cast<size_t>(i * 7 % 900), static_cast<char>('a' + card)) +
               "</Message>";
    };
    std::vector<std::thread> threads;
    for (int card = 1; card <= CARDS; ++card) {
        threads.emplace_back([&, card] {
            for (int i = 0; i < MESSAGES; ++i) {
                const std::string message = text(card, i);
                links[static_cast<size_t>(card - 1)]->handler.OnMessage(
                    message.c_str(), static_cast<uint32_t>(message.size()));
            }
        });
    }
    std::vector<int> next(CARDS + 1, 0);
    for (int n = 0; n < CARDS * MESSAGES; ++n) {
        const std::optional<TakenRecord> record = TakeRecord(queue, 5000);
        if (!record.has_value()) {
            ADD_FAILURE() << "record " << n << " missing";
            break;
        }
        ASSERT_GE(record->card, 1);
        ASSERT_LE(record->card, CARDS);
        int& expected = next[static_cast<size_t>(record->card)];
        EXPECT_EQ(record->payload, text(record->card, expected));
        ++expected;
    }
    queue.CloseReader();
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::vector<int> logged(CARDS + 1, 0);
    for (const std::string& entry : log.Entries()) {
        const int card = entry.size() > 13 ? entry[13] - '0' : 0;
        ASSERT_TRUE(card >= 1 && card <= CARDS) << entry;
        EXPECT_EQ(entry, "Receive Card " + std::to_string(card) + ":\n" +
                             text(card, logged[static_cast<size_t>(card)]) + "\n\n");
        ++logged[static_cast<size_t>(card)];
    }
    EXPECT_EQ(logged, (std::vector<int>{0, MESSAGES, MESSAGES, MESSAGES, MESSAGES}));
}

TEST_F(CardSinkTest, ConnectCallsTheLibraryThenLogs) {
    fake.SetAutoLinkUp(false);
    CLinkedHandler link(&queue, log.Logger(), 2, "192.0.2.14");
    link.handler.Connect("33274");
    EXPECT_EQ(fake.JournalOf(1), (std::vector<std::string>{"create", "connect 192.0.2.14 33274"}));
    EXPECT_EQ(log.Entries(), std::vector<std::string>{"Connect Card 2:\n192.0.2.14 33274\n\n"});
}

TEST_F(CardSinkTest, CommandsAreSentByteForByteAndLogged) {
    struct Case {
        std::function<void(CCardMH&)> send;
        std::string text;
    };
    const std::vector<Case> cases = {
        {[](CCardMH& h) { h.SendConnect(4711); }, CONNECT_4711},
        {[](CCardMH& h) { h.SendConnect(4294967295u); }, CONNECT_MAX},
        {[](CCardMH& h) { h.SendAls("analog"); }, ALS_ANALOG_CMD},
        {[](CCardMH& h) { h.SendResync(); }, RESYNC},
        {[](CCardMH& h) { h.Send("free text"); }, "free text"},
    };
    ASSERT_EQ(RESYNC.size(), 74u);
    ASSERT_EQ(CONFIGURATION.size(), 126u);
    CLinkedHandler link(&queue, log.Logger(), 6);
    for (const Case& c : cases) {
        fake.ClearJournal();
        const size_t before = log.Entries().size();
        c.send(link.handler);
        EXPECT_EQ(fake.SentBy(1), std::vector<std::string>{c.text});
        const std::vector<std::string> entries = log.Entries();
        ASSERT_EQ(entries.size(), before + 1);
        EXPECT_EQ(entries.back(), "Send    Card 6:\n" + c.text + "\n\n");
    }
    EXPECT_EQ(queue.Unread(), 0) << "sending queues nothing";
}

TEST_F(CardSinkTest, CommandThatDoesNotFitItsBufferIsNotSent) {
    CLinkedHandler link(&queue, log.Logger());
    link.handler.SendAls(std::string(3900, 'v'));
    link.handler.SendAls(std::string(5000, 'v'));
    EXPECT_TRUE(fake.SentBy(1).empty());
    EXPECT_TRUE(log.Entries().empty());
}

TEST_F(CardSinkTest, ModeSetupHalvesOfEachMode) {
    const std::string noMode = SetCode("no-mode", "oqpsk");
    struct Case {
        int32_t mode;
        std::vector<std::string> codes;
    };
    const std::vector<Case> cases = {
        {0, {SetCode("sat-b", "oqpsk")}},
        {1, {SetCode("sat-m", "oqpsk")}},
        {2, {SetCode("sat-mini-m", "oqpsk")}},
        {3, {SetCode("sat-c-tdm", "bpsk"), SetCode("sat-c-tdm", "bpsk")}},
    };
    for (const Case& c : cases) {
        fake.Reset();
        CTempLog modeLog;
        CLinkedHandler link(&queue, modeLog.Logger(), 8);
        fake.ClearJournal();
        link.handler.SendModeStart();
        fake.Note("pause");
        link.handler.SendModeFinish(c.mode);

        std::vector<std::string> expected = {"send 1 " + noMode, "pause",
                                             "send 1 " + CONFIGURATION};
        std::vector<std::string> logged = {"Send    Card 8:\n" + noMode + "\n\n",
                                           "Send    Card 8:\n" + CONFIGURATION + "\n\n"};
        for (const std::string& code : c.codes) {
            expected.push_back("send 1 " + code);
            logged.push_back("Send    Card 8:\n" + code + "\n\n");
        }
        EXPECT_EQ(fake.Journal(), expected) << "mode " << c.mode;
        EXPECT_EQ(modeLog.Entries(), logged) << "mode " << c.mode;
    }
}

TEST_F(CardSinkTest, WithoutALibraryObjectNothingIsCalledOrLogged) {
    CCardMH handler(1);
    handler.Init("host-a", 1, &queue, log.Logger());
    handler.Connect("33254");
    handler.SendConnect(1);
    handler.SendModeStart();
    handler.SendModeFinish(3);
    handler.Disconnect();
    EXPECT_TRUE(fake.Journal().empty());
    EXPECT_TRUE(log.Entries().empty());
}

TEST_F(CardSinkTest, DisconnectWaitsForTheLinkToGoDown) {
    CLinkedHandler link(&queue, log.Logger(), 3);
    link.handler.Disconnect();  // link never up: no call, no wait
    EXPECT_EQ(fake.JournalOf(1), std::vector<std::string>{"create"});

    link.handler.Connect("33254");
    fake.WaitIdle();
    ASSERT_TRUE(link.handler.IsLinkUp());
    link.handler.Disconnect();
    EXPECT_FALSE(link.handler.IsLinkUp());
    EXPECT_EQ(fake.JournalOf(1), (std::vector<std::string>{"create", "connect host-a 33254", "up",
                                                           "disconnect", "down"}));
    EXPECT_EQ(TakeRecord(queue, 0).value().status, 1);
    EXPECT_EQ(TakeRecord(queue, 0).value().status, 0)
        << "the down record is queued when Disconnect returns";
}

}  // namespace
