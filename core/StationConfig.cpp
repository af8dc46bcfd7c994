// The one place where the environment's folders and the configuration file
// become a run's configuration.
#include "core/StationConfig.h"

#include "config/ConfReader.h"
#include "config/Folders.h"

StationConfig ReadStationConfig(int32_t logInterval, int32_t alsPeriod, const std::string& logFile,
                                const MessageHandler& show) {
    StationConfig config;
    config.logInterval = logInterval;
    config.alsPeriod = alsPeriod;
    config.logFile = logFile;
    config.dataDir = GetDataFolder();
    const std::string configPath = GetConfigFilePath();

    CConfReader reader(configPath, show);
    reader.GetCards(config.cards);
    reader.GetWatchList(config.watchList);
    if (reader.GetLogInterval() != -1) {
        config.logInterval = reader.GetLogInterval();
    }
    if (reader.GetAlsPeriod() != -1) {
        config.alsPeriod = reader.GetAlsPeriod();
    }
    return config;
}
