// The status table's texts: a card's row, periods and the watch list, and the whole table in
// aligned columns with its footer, as the console prints it.
#include "app/view/StatusTable.h"

#include <algorithm>

#include "resources/StringTable.h"

namespace {

constexpr const char* COLUMN_GAP = "  ";

}  // namespace

std::array<std::string, STATUS_COLUMN_COUNT> StatusRowTexts(const CardState& row) {
    return {std::to_string(row.number),
            LoadResourceString(IDS_MODE_BASE + row.mode),
            row.address,
            LoadResourceString(IDS_DEVICE_BASE + row.device),
            std::to_string(row.serialNumber),
            LoadResourceString(IDS_STATUS_BASE + row.status),
            std::to_string(row.mesId),
            LoadResourceString(IDS_SERVICE_BASE + row.service)};
}

std::string FormatPeriod(int32_t seconds) {
    return std::to_string(static_cast<uint32_t>(seconds));
}

std::string FormatWatchList(const std::vector<int32_t>& watchList) {
    std::string text;
    for (size_t i = 0; i < watchList.size(); ++i) {
        if (i > 0) {
            text += ", ";
        }
        text += std::to_string(static_cast<uint32_t>(watchList[i]));
    }
    return text;
}

std::string RenderStatusTable(const std::vector<CardState>& rows,
                              const std::vector<int32_t>& watchList, int32_t alsPeriod,
                              int32_t logInterval) {
    std::vector<std::array<std::string, STATUS_COLUMN_COUNT>> lines;
    lines.reserve(rows.size() + 1);
    std::array<std::string, STATUS_COLUMN_COUNT> headings;
    std::copy(STATUS_COLUMN_HEADINGS.begin(), STATUS_COLUMN_HEADINGS.end(), headings.begin());
    lines.push_back(headings);
    for (const CardState& row : rows) {
        lines.push_back(StatusRowTexts(row));
    }

    std::array<size_t, STATUS_COLUMN_COUNT> widths{};
    for (const auto& cells : lines) {
        for (size_t c = 0; c < STATUS_COLUMN_COUNT; ++c) {
            widths[c] = std::max(widths[c], cells[c].size());
        }
    }

    std::string text;
    for (const auto& cells : lines) {
        for (size_t c = 0; c < STATUS_COLUMN_COUNT; ++c) {
            text += cells[c];
            // The last column is not padded, so no line carries trailing padding.
            if (c + 1 < STATUS_COLUMN_COUNT) {
                text.append(widths[c] - cells[c].size(), ' ');
                text += COLUMN_GAP;
            }
        }
        text += '\n';
    }

    const std::array<std::pair<const char*, std::string>, 3> footer = {{
        {ALS_PERIOD_LABEL, FormatPeriod(alsPeriod)},
        {LOG_INTERVAL_LABEL, FormatPeriod(logInterval)},
        {WATCH_LIST_LABEL, FormatWatchList(watchList)},
    }};
    size_t labelWidth = 0;
    for (const auto& [label, value] : footer) {
        labelWidth = std::max(labelWidth, std::string(label).size());
    }
    text += '\n';
    for (const auto& [label, value] : footer) {
        const std::string name(label);
        text += name;
        text.append(labelWidth - name.size(), ' ');
        text += COLUMN_GAP;
        text += value;
        text += '\n';
    }
    text += '\n';
    return text;
}
