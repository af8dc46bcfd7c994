// The /metrics text family by family: each sample's value from the snapshot,
// the scrape's context and the process's figures, and the series left out
// while there is nothing to tell.
#include "remote/Metrics.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "resources/OrvaneTypes.h"

namespace {

constexpr int64_t NOW_MS = 1700000100000;
const std::string CARD1 =
    "card=\"1\",serial=\"1001\",address=\"host-a\",device=\"corax\",mode=\"sat-b\"";
const std::string CARD2 =
    "card=\"2\",serial=\"1002\",address=\"host-b\",device=\"corax\",mode=\"sat-b\"";

StationSnapshot TwoCards() {
    StationSnapshot snapshot;
    snapshot.rows.resize(2);
    snapshot.counters.resize(2);
    for (size_t i = 0; i < 2; ++i) {
        snapshot.rows[i].number = static_cast<int32_t>(i) + 1;
        snapshot.rows[i].serialNumber = 1001 + static_cast<int32_t>(i);
        snapshot.rows[i].address = i == 0 ? "host-a" : "host-b";
    }
    snapshot.rows[0].status = STATUS_BUSY_SESSION;
    snapshot.rows[0].busySeconds = 75;
    snapshot.rows[1].status = STATUS_HOST_CONNECTED;
    snapshot.counters[0].sessionsFollowed = 3;
    snapshot.counters[0].sessionsRefused = 4;
    snapshot.counters[0].linkDowns = 2;
    snapshot.counters[0].messagesReceived = 40;
    snapshot.counters[0].lastMessageWallMs = NOW_MS - 2500;
    snapshot.counters[1].lastMessageWallMs = 0;  // nothing heard yet
    snapshot.queueBytes = 44;
    snapshot.queueCapacity = 80000;
    snapshot.samplesTaken = 7;
    snapshot.startTime = 1699999000;
    snapshot.recordTroubles.push_back({StationRecord::History, 1700000050, "Can't write."});
    return snapshot;
}

bool HasLine(const std::string& text, const std::string& line) {
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

TEST(MetricsTest, EveryFamilyCarriesItsValue) {
    const StationSnapshot snapshot = TwoCards();
    MetricsContext context;
    context.version = "2.0.0";
    context.nowMs = NOW_MS;
    context.passes = 12;
    context.lastPassWallMs = 1700000099250;
    ProcessFigures process;
    process.known = true;
    process.residentBytes = 1048576;
    process.cpuSeconds = 1.5;
    process.openDescriptors = 9;
    process.maxDescriptors = 1024;
    process.startTime = 1699998000;
    const std::string text = MetricsText(&snapshot, context, process);
    for (const std::string& line : std::vector<std::string>{
             "orvane_build_info{version=\"2.0.0\"} 1",
             "orvane_dispatch_passes_total 12",
             "orvane_dispatch_last_pass_timestamp_seconds 1700000099.250",
             "orvane_card_up{" + CARD1 + "} 1",
             "orvane_card_up{" + CARD2 + "} 0",
             "orvane_card_status{" + CARD1 + ",status=\"Busy Session\"} 1",
             "orvane_card_status{" + CARD1 + ",status=\"Mode Running\"} 0",
             "orvane_card_status{" + CARD2 + ",status=\"Host Connected\"} 1",
             "orvane_card_status{" + CARD2 + ",status=\"Not Connected\"} 0",
             "orvane_card_busy_seconds_total{" + CARD1 + "} 75",
             "orvane_card_sessions_total{" + CARD1 + ",outcome=\"followed\"} 3",
             "orvane_card_sessions_total{" + CARD1 + ",outcome=\"refused\"} 4",
             "orvane_card_link_drops_total{" + CARD1 + "} 2",
             "orvane_card_messages_received_total{" + CARD1 + "} 40",
             "orvane_card_last_message_age_seconds{" + CARD1 + "} 2.500",
             "orvane_event_queue_used_bytes 44",
             "orvane_event_queue_capacity_bytes 80000",
             "orvane_samples_taken_total 7",
             "orvane_station_start_time_seconds 1699999000",
             "orvane_record_ok{record=\"journal\"} 1",
             "orvane_record_ok{record=\"history\"} 0",
             "orvane_record_failing_since_seconds{record=\"history\"} 1700000050",
             "process_resident_memory_bytes 1048576",
             "process_cpu_seconds_total 1.500",
             "process_open_fds 9",
             "process_max_fds 1024",
             "process_start_time_seconds 1699998000",
         }) {
        EXPECT_TRUE(HasLine(text, line)) << line << "\n" << text;
    }
    // A card not heard from yet has no age; a record being kept has no "since".
    EXPECT_EQ(text.find("orvane_card_last_message_age_seconds{" + CARD2), std::string::npos);
    EXPECT_EQ(text.find("orvane_record_failing_since_seconds{record=\"journal\"}"),
              std::string::npos);
}

TEST(MetricsTest, WhatIsNotKnownYetIsLeftOut) {
    MetricsContext context;
    context.version = "2.0.0";
    const std::string text = MetricsText(nullptr, context, ProcessFigures{});
    EXPECT_TRUE(HasLine(text, "orvane_dispatch_passes_total 0")) << text;
    for (const char* absent : {"orvane_dispatch_last_pass_timestamp_seconds", "orvane_card_",
                               "orvane_event_queue_", "process_"}) {
        EXPECT_EQ(text.find(absent), std::string::npos) << absent;
    }
}

}  // namespace
