// Console mode's event lines: one line per thing that happened, for a
// service's journal or a file, instead of a table redrawn on every change.
//
//   <6>... station started: 10 cards, ALS period 60 s, log interval 4 s, ...
//   <4>... card 3 (serial 1203): connect to 10.1.2.3 failed: refused
//   <6>... card 3 (serial 1203): link to 10.1.2.3 up (after 4 failed attempts)
//   <4>... card 4 (serial 1204): host 10.1.2.3 connected for 30 s but does not list serial 1204
//   <6>... card 3 (serial 1203): Mode Running, sat-m
//   <6>... card 3 (serial 1203): session followed: MES ID 42310017, Data
//   <6>... card 5 (serial 2001): session refused: MES ID 42310017, held by card 3; resync
//   <6>... card 3 (serial 1203): session ended: MES ID 42310017, Data, 2 min 5 s (end record)
//   <4>... card 3 (serial 1203): link to 10.1.2.3 down: silent
//   <6>... statistics file written: /var/lib/.../Stat2026_Dec_08_142310.txt (300 samples)
//   <6>... summary: 8 of 10 cards up, 3 busy, 1,234 samples, 57 sessions followed and 3 refused ...
//
// A card whose connect attempts keep failing for the same reason is told
// once; the line of its next link up counts the attempts. Samples and busy
// times are not lines of their own: the hourly summary counts them.
//
// Threads: an inner observer, called on an asynchronous observer's worker
// (CAsyncObserver), never on the dispatch thread; it writes to a CLineOutput.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/console/LineOutput.h"
#include "core/StationObserver.h"

constexpr int64_t SUMMARY_EVERY_SECONDS = 3600;

class CEventLines final : public CStationObserver {
public:
    struct Options {
        int64_t summaryEverySeconds = SUMMARY_EVERY_SECONDS;
        // How many events were dropped before they reached this observer (the
        // queue in front of it overflowed); told in the summary. May be empty.
        std::function<uint64_t()> dropped;
    };

    // `output` is not owned and must outlive the object.
    CEventLines(CLineOutput& output, Options options);

    void OnRunStarted(const StationInfo& info) override;
    void OnEvent(const StationEvent& event) override;
    void OnPass(const StationPass& pass) override;

private:
    struct Card {
        std::string address;
        int32_t mode = -1;
        int32_t failureNote = 0;     // the reason of the streak of failed attempts; 0: none
        int64_t failedAttempts = 0;  // since the last link up
    };

    std::string CardName(const StationEvent& event) const;
    Card* CardOf(int32_t number);
    void Line(LinePriority priority, const StationEvent& event, const std::string& text);
    void Summary(const StationSnapshot& snapshot);

    CLineOutput& m_output;
    const Options m_options;
    std::vector<Card> m_cards;  // by 1-based number - 1
    int64_t m_nextSummaryMs = -1;
};
