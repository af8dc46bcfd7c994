// What the soak's check reads back: each card's status over time as the
// station's console table showed it, and the statistics file of the run.
// Pure data and text; no thread.
#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <string>
#include <vector>

// Each card's status over time, from the lines "EPOCH_MS CARD STATUS MESID"
// that `soak_tool watch` writes, in time order.
class CStatusHistory {
public:
    void Load(std::istream& lines);

    // The status shown at `ms`; -1 before the first table.
    int32_t At(int32_t card, int64_t ms) const;
    // True when the table showed the card in one unchanged state (status and
    // MES ID) through all of [from, to]; `status` is that state's status. A
    // table drawn after two changes in a row shows only the second, so only an
    // unchanged state proves what the card was at every moment of the window.
    bool HeldThroughout(int32_t card, int64_t from, int64_t to, int32_t& status) const;
    // When the card came back: the start of its last stretch of Mode Running
    // or Busy Session that reaches `deadline`, if that stretch began after
    // `since`; `since` itself when the card was up through all of [since,
    // deadline]; -1 when it is not up at the deadline.
    int64_t BackSince(int32_t card, int64_t since, int64_t deadline) const;

private:
    struct Change {
        int64_t ms;
        int32_t status;
    };
    std::map<int32_t, std::vector<Change>> m_cards;
};

// The statistics file, read back.
struct StatCard {
    int32_t number = 0;
    int32_t mode = -1;  // SatMode from the label; -1 when unreadable
};

struct StatSampleLine {
    int64_t wallSeconds = 0;
    std::string channels;  // ten characters
    int counts[4] = {};
};

struct StatFile {
    int64_t start = -1;  // wall-clock seconds
    int64_t stop = -1;
    std::vector<StatCard> cards;
    std::vector<StatSampleLine> samples;
    long totalCounts = -1;
    std::vector<std::string> errors;  // what does not match the layout
};

// "2017 Mar 05, 14:23:10" in local time as seconds since 1970; -1 when unreadable.
int64_t ParsePointInTime(const std::string& text);

StatFile ReadStatistics(std::istream& file);
