// --check-config: the station's reader run on a file with its messages counted, then what it
// accepted and the checker's warnings.
#include "app/program/CheckConfig.h"

#include <cstdint>
#include <vector>

#include "app/view/StatusTable.h"
#include "config/ConfReader.h"
#include "config/Notifier.h"
#include "resources/StringTable.h"

namespace {

// A period the file does not give (or gives wrongly) is left to the command
// line and the station's default.
std::string PeriodText(int32_t seconds) {
    return seconds < 0 ? std::string("not given") : FormatPeriod(seconds);
}

}  // namespace

int RunCheckConfig(const std::string& path, std::FILE* out, std::FILE* messages,
                   const CheckConfigOptions& options) {
    int messageCount = 0;
    const MessageHandler count = [&messageCount, messages](const std::string& text) {
        ++messageCount;
        std::fprintf(messages, "%s\n", text.c_str());
        std::fflush(messages);
    };

    std::vector<CardConfig> cards;
    std::vector<int32_t> watchList;
    int32_t alsPeriod = -1;
    int32_t logInterval = -1;
    {
        const CConfReader reader(path, count);
        reader.GetCards(cards);
        reader.GetWatchList(watchList);
        alsPeriod = reader.GetAlsPeriod();
        logInterval = reader.GetLogInterval();
    }

    std::fprintf(out, "Configuration file: %s\n", path.c_str());
    std::fprintf(out, "Cards: %zu\n", cards.size());
    int number = 0;
    for (const CardConfig& card : cards) {
        std::fprintf(out, "  %d: address=%s serialno=%d mode=%s device=%s\n", ++number,
                     card.address.c_str(), card.serialNumber,
                     LoadResourceString(IDS_MODE_BASE + card.mode).c_str(),
                     LoadResourceString(IDS_DEVICE_BASE + card.device).c_str());
    }
    const std::string watch =
        watchList.empty() ? "(empty: every MES ID is followed)" : FormatWatchList(watchList);
    std::fprintf(out, "%s: %s\n", WATCH_LIST_LABEL, watch.c_str());
    std::fprintf(out, "%s: %s\n", ALS_PERIOD_LABEL, PeriodText(alsPeriod).c_str());
    std::fprintf(out, "%s: %s\n", LOG_INTERVAL_LABEL, PeriodText(logInterval).c_str());

    const std::vector<ConfWarning> warnings = LintConfigFile(path, options.logInterval);
    for (const ConfWarning& warning : warnings) {
        std::fprintf(out, "%s\n", FormatConfWarning(path, warning).c_str());
    }
    std::fflush(out);
    if (messageCount > 0) {
        return 1;
    }
    return options.strict && !warnings.empty() ? 1 : 0;
}
