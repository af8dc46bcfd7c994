// A host that goes away and comes back on the same address and port: the
// station notices at once, and its periodic reconnect pass brings every card
// of that host back within one pace, while the cards of another host carry on
// undisturbed. Runs on real time: about half a minute.
#include "core/Monitor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e/StationHarness.h"

using namespace e2e;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

TEST(ReconnectEndToEnd, RestartedHostGetsAllItsCardsBackWithinOneReconnectPace) {
    const std::vector<uint32_t> serialsA = {3101, 3102, 3103};
    const std::vector<std::string> modesA = {"sat-b", "sat-c-tdm", "sat-mini-m"};
    const std::vector<uint32_t> serialsB = {3201, 3202};
    const std::vector<int32_t> cardsA = {1, 3, 5};
    const std::vector<int32_t> cardsB = {2, 4};

    COutputLog logA;
    COutputLog logB;
    COutputLog logA2;
    std::string addressA;
    std::string addressB;
    std::unique_ptr<CCardHost> hostA = StartCardHost(serialsA, PORT_CORAX_E, logA, addressA);
    std::unique_ptr<CCardHost> hostB = StartCardHost(serialsB, PORT_TARSA, logB, addressB);
    ASSERT_TRUE(hostA && hostB);
    CStation station;
    station.WriteConfig(ConfigText({{addressA, serialsA[0], modesA[0], "corax-e"},
                                    {addressB, serialsB[0], "sat-m", "tarsa"},
                                    {addressA, serialsA[1], modesA[1], "corax-e"},
                                    {addressB, serialsB[1], "sat-b", "tarsa"},
                                    {addressA, serialsA[2], modesA[2], "corax-e"}},
                                   {}, /*alsPeriod=*/1, /*logInterval=*/0));
    station.Start();
    ASSERT_TRUE(WaitUntil(
        [&] {
            return station.All([](const CardState& row) {
                return row.status == STATUS_MODE_RUNNING && row.alsPhase == 3;
            });
        },
        LONG_WAIT));

    // Host B's cards stay in Mode Running from here to the end.
    CRowWatch watch(station, [](const CardState& row) {
        return (row.number != 2 && row.number != 4) || row.status == STATUS_MODE_RUNNING;
    });

    hostA->Stop();
    hostA.reset();
    const auto stopped = SteadyClock::now();
    ASSERT_TRUE(WaitUntil(
        [&] {
            return station.All(
                [](const CardState& row) { return row.status == STATUS_NOT_CONNECTED; }, cardsA);
        },
        SHORT_WAIT))
        << "the station did not notice that the host went away";
    std::printf("[ timing   ] host A's cards Not Connected %.2f s after its stop\n",
                SecondsSince(stopped));
    std::this_thread::sleep_for(1s);  // the host stays away for a while

    hostA = StartCardHost(serialsA, PORT_CORAX_E, logA2, addressA);
    ASSERT_TRUE(hostA);
    const auto restarted = SteadyClock::now();
    ASSERT_TRUE(WaitUntil(
        [&] {
            return station.All(
                [](const CardState& row) { return row.status == STATUS_MODE_RUNNING; }, cardsA);
        },
        LONG_WAIT))
        << "host A's cards did not come back";
    const double back = SecondsSince(restarted);
    std::printf("[ timing   ] host A's cards back in Mode Running %.1f s after its restart\n",
                back);
    EXPECT_LE(back, std::chrono::duration<double>(RECONNECT_WITHIN).count());

    // The cards came back with a fresh mode setup each. Their ALS walk was
    // done once for the run: the new host reports "off", and nothing answers it.
    std::this_thread::sleep_for(1500ms);
    for (size_t i = 0; i < serialsA.size(); ++i) {
        SCOPED_TRACE("serial " + std::to_string(serialsA[i]));
        EXPECT_EQ(logA2.Count("recv - " + ConnectCommand(serialsA[i])), 1u);
        EXPECT_THAT(logA2.CommandsOf(serialsA[i]), ElementsAreArray(ModeSetupCommands(modesA[i])));
        CardHostCardStatus status;
        std::string error;
        ASSERT_TRUE(hostA->GetCardStatus(serialsA[i], status, error)) << error;
        EXPECT_TRUE(status.attached);
        EXPECT_EQ(status.code, modesA[i]);
        EXPECT_EQ(status.als, "off");
        const CardState row = station.Rows()[static_cast<size_t>(cardsA[i] - 1)];
        EXPECT_EQ(row.status, STATUS_MODE_RUNNING);
        EXPECT_EQ(row.alsPhase, 3);
    }
    for (uint32_t serial : serialsB) {
        EXPECT_EQ(logB.Received(serial, SetCodeCommand("no-mode", "oqpsk")), 1u)
            << "host B's card " << serial << " was set up again";
    }
    EXPECT_THAT(logA2.Errors(), IsEmpty());
    EXPECT_THAT(logB.Errors(), IsEmpty());

    watch.Stop();
    EXPECT_EQ(watch.Violation(), "");
    EXPECT_GT(watch.Reads(), 0);
    station.Exit();
}

}  // namespace
