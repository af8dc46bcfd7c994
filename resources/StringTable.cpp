// The station's string table: every text by its resource number. StringTable.h names the ranges.
#include "resources/StringTable.h"

#include <map>

namespace {

const std::map<int, std::string>& Table() {
    static const std::map<int, std::string> table = {
        {101, "&About OrvaneSystem..."},
        {102, "Not Connected"},
        {103, "Host Connected"},
        {104, "Card Ready"},
        {105, "Mode Running"},
        {106, "Busy Session"},
        {107, "sat-b"},
        {108, "sat-m"},
        {109, "sat-mini-m"},
        {110, "sat-c-tdm"},
        {112, " "},
        {113, "Telephone"},
        {114, "Data"},
        {115, "Fax"},
        {116, "ISDN"},
        {117, "Telex SM"},
        {118, "Telex MM"},
        {119, "QUENTAR_OrvaneDx.html"},
        {120, "corax"},
        {121, "corax-e"},
        {122, "tarsa"},
    };
    return table;
}

}  // namespace

std::string LoadResourceString(int id) {
    const auto& table = Table();
    const auto it = table.find(id);
    return it == table.end() ? std::string() : it->second;
}
