// Reads the status tables that the station prints in console mode, line by
// line, the way a person reads the screen: the heading line fixes where each
// column begins, each following line is one card, and a blank line ends the
// table. Only complete tables count.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ConsoleRow {
    int32_t number = 0;
    std::string address;
    int32_t status = -1;  // CardOpStatus read back from its text; -1 for an unknown text
    int64_t mesId = 0;
};

// The CardOpStatus of a status text ("Mode Running" -> 3); -1 when unknown.
int32_t StatusOfText(const std::string& text);

class CConsoleTableReader {
public:
    // One line of output, without its line end. True when it completed a table.
    bool Feed(const std::string& line);
    // The rows of the last complete table, in table order.
    const std::vector<ConsoleRow>& Rows() const { return m_rows; }
    uint64_t Tables() const { return m_tables; }

private:
    bool m_inTable = false;
    std::vector<size_t> m_columns;  // start of each column in the heading line
    std::vector<ConsoleRow> m_building;
    std::vector<ConsoleRow> m_rows;
    uint64_t m_tables = 0;
};
