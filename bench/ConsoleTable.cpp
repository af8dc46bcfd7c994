// The console table's reader: columns placed by the heading line, one card per line up to the blank
// line that ends the table.
#include "bench/ConsoleTable.h"

#include <array>
#include <cstdlib>

namespace {

constexpr std::array<const char*, 8> HEADINGS = {
    "Number", "SAT Mode", "Computer Name or IP Address", "Device", "Serial #", "Op Status",
    "MESId",  "Service"};
constexpr size_t COLUMN_ADDRESS = 2;
constexpr size_t COLUMN_STATUS = 5;
constexpr size_t COLUMN_MES_ID = 6;

constexpr std::array<const char*, 5> STATUS_TEXTS = {"Not Connected", "Host Connected",
                                                     "Card Ready", "Mode Running", "Busy Session"};

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

}  // namespace

int32_t StatusOfText(const std::string& text) {
    for (size_t i = 0; i < STATUS_TEXTS.size(); ++i) {
        if (text == STATUS_TEXTS[i]) {
            return static_cast<int32_t>(i);
        }
    }
    return -1;
}

bool CConsoleTableReader::Feed(const std::string& line) {
    if (line.rfind(HEADINGS[0], 0) == 0) {
        std::vector<size_t> columns;
        size_t from = 0;
        for (const char* heading : HEADINGS) {
            const size_t at = line.find(heading, from);
            if (at == std::string::npos) {
                m_inTable = false;
                return false;
            }
            columns.push_back(at);
            from = at + 1;
        }
        m_columns = std::move(columns);
        m_building.clear();
        m_inTable = true;
        return false;
    }
    if (!m_inTable) {
        return false;
    }
    if (line.empty()) {
        m_inTable = false;
        m_rows = std::move(m_building);
        m_building.clear();
        ++m_tables;
        return true;
    }
    auto cell = [&](size_t column) {
        const size_t begin = m_columns[column];
        if (begin >= line.size()) {
            return std::string();
        }
        const size_t end = column + 1 < m_columns.size() ? m_columns[column + 1] : line.size();
        return Trim(line.substr(begin, end - begin));
    };
    ConsoleRow row;
    row.number = static_cast<int32_t>(std::strtol(cell(0).c_str(), nullptr, 10));
    row.address = cell(COLUMN_ADDRESS);
    row.status = StatusOfText(cell(COLUMN_STATUS));
    row.mesId = std::strtoll(cell(COLUMN_MES_ID).c_str(), nullptr, 10);
    if (row.number <= 0) {
        m_inTable = false;  // not a table after all
        return false;
    }
    m_building.push_back(row);
    return false;
}
