// The station among hosts that break the rules: a frame over the size limit, a
// partial frame cut by a reset, bytes that are not XML, messages too long for
// the event queue (32,724 bytes and 1 MB), a host that accepts and never
// says a word (it sends keep-alives only), one that closes every connection
// at once. One good emulated host
// runs beside them. The station must keep running, leave the good host's
// cards alone, come back to the hosts that broke their links at its next
// reconnect pass, and still exit promptly.
#include "core/Monitor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e/StationHarness.h"

using namespace e2e;
using ::testing::IsEmpty;

namespace {

constexpr uint32_t OVER_LIMIT_FRAME = 1048577;
constexpr size_t LONGEST_QUEUED_MESSAGE = 32723;  // 32,767 minus the 44-byte record header
constexpr size_t MEGABYTE_MESSAGE = 1048576;

// A message of exactly `size` bytes: a traffic text whose one record starts a
// session, then padding after its end, which the parser never looks at. Cut
// to any shorter length that keeps the text, it would still start the session.
std::string StartMessageOfSize(size_t size, uint32_t mesId) {
    const std::string text = DataTextMessage(StartRecord(" B", "TEL ", mesId, 1));
    return text + std::string(size - text.size(), 'x');
}

std::string EndMessage() {
    return DataTextMessage(TrafficEventRecord(" B", "TEL ", EVENT_END));
}

bool StatusIs(const CStation& station, size_t slot, int32_t status) {
    const std::vector<CardState> rows = station.Rows();
    return slot < rows.size() && rows[slot].status == status;
}

TEST(HostileHostEndToEnd, StationSurvivesBrokenHostsAndKeepsGoodCardsRunning) {
    // Good host: cards 1 to 3.
    const std::vector<uint32_t> goodSerials = {4101, 4102, 4103};
    COutputLog goodLog;
    std::string goodAddress;
    std::unique_ptr<CCardHost> good = StartCardHost(goodSerials, PORT_CORAX, goodLog, goodAddress);
    ASSERT_TRUE(good);
    // Hostile hosts: one card each, cards 4 to 9.
    CRawHost overLimit(PORT_CORAX_E, CRawHost::Accepting::Hold);
    CRawHost partial(PORT_TARSA, CRawHost::Accepting::Hold);
    CRawHost junk(PORT_CORAX, CRawHost::Accepting::Hold);
    CRawHost big(PORT_CORAX_E, CRawHost::Accepting::Hold);
    CRawHost silent(PORT_TARSA, CRawHost::Accepting::Hold);
    CRawHost closing(PORT_CORAX, CRawHost::Accepting::CloseAtOnce);
    enum Slot : size_t { OVER = 3, PARTIAL, JUNK, BIG, SILENT, CLOSING };

    CStation station;
    station.WriteConfig(ConfigText({{goodAddress, goodSerials[0], "sat-b", "corax"},
                                    {goodAddress, goodSerials[1], "sat-m", "corax"},
                                    {goodAddress, goodSerials[2], "sat-c-tdm", "corax"},
                                    {overLimit.Address(), 4201, "sat-b", "corax-e"},
                                    {partial.Address(), 4202, "sat-m", "tarsa"},
                                    {junk.Address(), 4203, "sat-mini-m", "corax"},
                                    {big.Address(), 4204, "sat-b", "corax-e"},
                                    {silent.Address(), 4205, "sat-c-tdm", "tarsa"},
                                    {closing.Address(), 4206, "sat-m", "corax"}},
                                   {}, /*alsPeriod=*/1, /*logInterval=*/0));
    station.Start();

    std::unique_ptr<CRawConnection> overLink = overLimit.TakeConnection();
    std::unique_ptr<CRawConnection> partialLink = partial.TakeConnection();
    std::unique_ptr<CRawConnection> junkLink = junk.TakeConnection();
    std::unique_ptr<CRawConnection> bigLink = big.TakeConnection();
    std::unique_ptr<CRawConnection> silentLink = silent.TakeConnection();
    ASSERT_TRUE(overLink && partialLink && junkLink && bigLink && silentLink)
        << "the station did not connect to every host";
    // Keep-alives hold the silent host's link past the station's silence limit.
    CKeepAlivePump silentKeepAlives(*silentLink);

    // Not XML, not framed text a card would send, or cut short; then a proper
    // card list. The card must come up as if the junk had not been there.
    std::string binary(1000, '\0');
    for (size_t i = 0; i < binary.size(); ++i) {
        binary[i] = static_cast<char>((i * 151 + 7) % 256);
    }
    for (const std::string& text :
         {std::string("\x01\x02\x00garbage\xff\xfe\x7f", 13), std::string(""),
          std::string("this is not XML at all <<< >>> &&& ]]>"),
          std::string("<Message version=\"1.0\"><Data><Text>MODE: B SERV:TEL  EVNT:srt MES_ID:"),
          std::string("</Message><Message><Information><Cards><Card number=\"1\" serial-nr=\""),
          binary}) {
        ASSERT_TRUE(junkLink->SendFrame(text));
    }
    const std::vector<std::pair<CRawConnection*, uint32_t>> listing = {{overLink.get(), 4201},
                                                                       {partialLink.get(), 4202},
                                                                       {junkLink.get(), 4203},
                                                                       {bigLink.get(), 4204}};
    for (const auto& [link, serial] : listing) {
        ASSERT_TRUE(link->SendFrame(CardsInformationMessage({serial})));
    }

    ASSERT_TRUE(WaitUntil(
        [&] {
            return station.All([](const CardState& row) {
                return row.number == SILENT + 1 || row.number == CLOSING + 1 ||
                       row.status == STATUS_MODE_RUNNING;
            });
        },
        LONG_WAIT))
        << "the good cards and the hostile hosts' cards did not all reach Mode Running";
    EXPECT_TRUE(StatusIs(station, SILENT, STATUS_HOST_CONNECTED));
    EXPECT_GE(closing.Accepted(), 1);
    for (uint32_t serial : goodSerials) {
        ASSERT_TRUE(good->WaitMode(serial, SHORT_WAIT));
    }

    // From here on the good host's cards are in Mode Running or in a session.
    CRowWatch watch(station, [](const CardState& row) {
        return row.number > 3 || row.status == STATUS_MODE_RUNNING ||
               row.status == STATUS_BUSY_SESSION;
    });

    // A frame over the size limit: the station ends that link itself.
    const auto broken = SteadyClock::now();
    ASSERT_TRUE(overLink->SendRaw(CRawConnection::Header(OVER_LIMIT_FRAME)));
    (void)overLink->SendRaw(std::string(OVER_LIMIT_FRAME, 'x'));  // may fail: the link is gone
    EXPECT_TRUE(overLink->WaitClosed()) << "the station kept a link that broke the frame limit";
    EXPECT_TRUE(
        WaitUntil([&] { return StatusIs(station, OVER, STATUS_NOT_CONNECTED); }, SHORT_WAIT));

    // Part of a frame, then a reset.
    ASSERT_TRUE(partialLink->SendRaw(CRawConnection::Header(100) + "<Message v"));
    std::this_thread::sleep_for(100ms);
    partialLink->Reset();
    EXPECT_TRUE(
        WaitUntil([&] { return StatusIs(station, PARTIAL, STATUS_NOT_CONNECTED); }, SHORT_WAIT));

    // The junk left the link and the queue intact: a session is followed.
    ASSERT_TRUE(junkLink->SendFrame(DataTextMessage(StartRecord("mM", "DATA", 55500001, 2))));
    EXPECT_TRUE(WaitUntil(
        [&] {
            const CardState row = station.Rows()[JUNK];
            return row.status == STATUS_BUSY_SESSION && row.mesId == 55500001;
        },
        SHORT_WAIT));

    // Messages too long for the event queue are dropped whole, and the link
    // stays up: the longest message that fits starts a session, the two longer
    // ones do not replace it. A parameter report after them is answered, so
    // the station has handled everything before it.
    ASSERT_TRUE(bigLink->SendFrame(StartMessageOfSize(LONGEST_QUEUED_MESSAGE, 55500002)));
    ASSERT_TRUE(bigLink->SendFrame(StartMessageOfSize(LONGEST_QUEUED_MESSAGE + 1, 55500003)));
    ASSERT_TRUE(bigLink->SendFrame(StartMessageOfSize(MEGABYTE_MESSAGE, 55500004)));
    ASSERT_TRUE(bigLink->SendFrame(ParameterListMessage({{"als", "off"}})));
    EXPECT_TRUE(bigLink->WaitForCommand(SetAlsCommand("analog")));
    CardState bigRow = station.Rows()[BIG];
    EXPECT_EQ(bigRow.status, STATUS_BUSY_SESSION);
    EXPECT_EQ(bigRow.mesId, 55500002);
    ASSERT_TRUE(bigLink->SendFrame(EndMessage()));
    EXPECT_TRUE(WaitUntil([&] { return StatusIs(station, BIG, STATUS_MODE_RUNNING); }, SHORT_WAIT));

    // Meanwhile the good host's cards follow their sessions as usual.
    for (size_t i = 0; i < goodSerials.size(); ++i) {
        std::string error;
        const uint32_t mesId = 55500100 + static_cast<uint32_t>(i);
        ASSERT_TRUE(good->StartSession(goodSerials[i], mesId, "FAX ", error)) << error;
        EXPECT_TRUE(WaitUntil(
            [&] {
                const CardState row = station.Rows()[i];
                return row.status == STATUS_BUSY_SESSION &&
                       row.mesId == static_cast<int32_t>(mesId);
            },
            SHORT_WAIT));
        ASSERT_TRUE(good->EndSession(goodSerials[i], error)) << error;
        EXPECT_TRUE(
            WaitUntil([&] { return StatusIs(station, i, STATUS_MODE_RUNNING); }, SHORT_WAIT));
    }

    // The next reconnect pass comes back to the hosts that broke their links
    // (and again to the one that closes at once); behaving now, they get
    // their cards back into Mode Running.
    std::unique_ptr<CRawConnection> overAgain = overLimit.TakeConnection();
    std::unique_ptr<CRawConnection> partialAgain = partial.TakeConnection();
    ASSERT_TRUE(overAgain && partialAgain) << "no reconnect pass after the broken links";
    const double reconnected = SecondsSince(broken);
    std::printf("[ timing   ] broken links reconnected %.1f s after the first break\n",
                reconnected);
    EXPECT_LE(reconnected, std::chrono::duration<double>(RECONNECT_WITHIN).count());
    ASSERT_TRUE(overAgain->SendFrame(CardsInformationMessage({4201})));
    ASSERT_TRUE(partialAgain->SendFrame(CardsInformationMessage({4202})));
    EXPECT_TRUE(WaitUntil(
        [&] {
            return StatusIs(station, OVER, STATUS_MODE_RUNNING) &&
                   StatusIs(station, PARTIAL, STATUS_MODE_RUNNING);
        },
        SHORT_WAIT));
    EXPECT_TRUE(WaitUntil([&] { return closing.Accepted() >= 2; }, SHORT_WAIT));

    // The silent host's card stays Host Connected; Tick kept stepping the good
    // cards' ALS walks to their end.
    const std::vector<CardState> rows = station.Rows();
    EXPECT_EQ(rows[SILENT].status, STATUS_HOST_CONNECTED);
    EXPECT_EQ(silent.Accepted(), 1) << "the station dropped the silent host's link";
    for (size_t i = 0; i < goodSerials.size(); ++i) {
        EXPECT_EQ(rows[i].alsPhase, 3) << "card " << i + 1;
        EXPECT_EQ(goodLog.Received(goodSerials[i], SetCodeCommand("no-mode", "oqpsk")), 1u)
            << "the good card " << goodSerials[i] << " was set up again";
    }
    EXPECT_THAT(goodLog.Errors(), IsEmpty());
    watch.Stop();
    EXPECT_EQ(watch.Violation(), "");
    EXPECT_GT(watch.Reads(), 0);

    // Exit with a silent link up and a host that keeps closing: bounded.
    const Millis exit = station.Exit();
    std::printf("[ timing   ] Exit took %lld ms\n", static_cast<long long>(exit.count()));
    EXPECT_LT(exit, EXIT_LIMIT);
}

}  // namespace
