// The texts around the status table: durations, local times, the row's tooltip, grouped thousands
// and the station's one-line status.
#include "app/view/StatusNotes.h"

#include <cstdio>
#include <ctime>

#include "resources/OrvaneTypes.h"
#include "resources/StringTable.h"

namespace {

constexpr int64_t MINUTE = 60;
constexpr int64_t HOUR = 60 * MINUTE;
constexpr int64_t DAY = 24 * HOUR;

std::string TwoUnits(int64_t large, const char* largeUnit, int64_t small, const char* smallUnit,
                     bool padSmall) {
    char text[64];
    std::snprintf(text, sizeof text, padSmall ? "%lld %s %02lld %s" : "%lld %s %lld %s",
                  static_cast<long long>(large), largeUnit, static_cast<long long>(small),
                  smallUnit);
    return text;
}

}  // namespace

std::string FormatDuration(int64_t seconds) {
    if (seconds < 0) {
        seconds = 0;
    }
    if (seconds < MINUTE) {
        return std::to_string(seconds) + " s";
    }
    if (seconds < HOUR) {
        return TwoUnits(seconds / MINUTE, "min", seconds % MINUTE, "s", false);
    }
    if (seconds < DAY) {
        return TwoUnits(seconds / HOUR, "h", seconds % HOUR / MINUTE, "min", true);
    }
    return TwoUnits(seconds / DAY, "d", seconds % DAY / HOUR, "h", true);
}

std::string FormatLocalTime(int64_t time) {
    const std::time_t value = static_cast<std::time_t>(time);
    std::tm local{};
    if (localtime_r(&value, &local) == nullptr) {
        return "?";
    }
    char text[32];
    if (std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0) {
        return "?";
    }
    return text;
}

std::string StatusTooltipText(const CardState& row, int64_t now,
                              const std::optional<std::string>& linkLossReason) {
    std::string text = LoadResourceString(IDS_STATUS_BASE + row.status) + " for " +
                       FormatDuration(now - row.statusSince) + ", since " +
                       FormatLocalTime(row.statusSince);
    if (row.status == STATUS_NOT_CONNECTED && linkLossReason && !linkLossReason->empty()) {
        text += "\nLast link loss: " + *linkLossReason;
    }
    return text;
}

std::string GroupThousands(uint64_t value) {
    std::string digits = std::to_string(value);
    for (size_t at = digits.size(); at > 3; at -= 3) {
        digits.insert(at - 3, ",");
    }
    return digits;
}

std::string StationStatusText(const StationSnapshot& snapshot) {
    uint64_t up = 0;
    uint64_t busy = 0;
    for (const CardState& row : snapshot.rows) {
        up += row.status != STATUS_NOT_CONNECTED ? 1 : 0;
        busy += row.status == STATUS_BUSY_SESSION ? 1 : 0;
    }
    std::string text = GroupThousands(up) + " of " + GroupThousands(snapshot.rows.size()) +
                       " cards up, " + GroupThousands(busy) + " busy, " +
                       GroupThousands(snapshot.samplesTaken) +
                       (snapshot.samplesTaken == 1 ? " sample" : " samples");
    if (!snapshot.recordTroubles.empty()) {
        text += "; " + RecordTroublesText(snapshot.recordTroubles);
    }
    return text;
}

std::string RecordTroublesText(const std::vector<RecordTrouble>& troubles) {
    std::string text;
    for (const RecordTrouble& trouble : troubles) {
        text += (text.empty() ? "" : "; ") + std::string(RecordName(trouble.record)) +
                " failing since " + FormatLocalTime(trouble.since);
    }
    return text;
}
