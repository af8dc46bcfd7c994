// Where the station finds its configuration and keeps its statistics files.
//
// Each folder can be named by an environment variable; a defined variable is
// taken as it stands (an empty value gives an empty path). Otherwise both lie
// below the machine-wide common data folder, /var/lib/QUENTAR on Linux.
#pragma once

#include <string>

constexpr const char* DATA_DIR_VARIABLE = "ORVANESYSTEM_DATA_DIR";
constexpr const char* CONFIG_DIR_VARIABLE = "ORVANESYSTEM_CONFIG_DIR";
constexpr const char* DATA_DIR_TAIL = "/OrvaneSystemDx/Data";
constexpr const char* CONFIG_DIR_TAIL = "/OrvaneSystemDx/Config";
constexpr const char* CONFIG_FILE_TAIL = "/OrvaneSystemDx.ini";

// Appends the common data folder (the machine-wide folder shared by all users,
// followed by "/QUENTAR") to `folder`, which is expected empty, and returns
// true; on failure `folder` is left unchanged and the result is false.
bool GetCommonDataFolder(std::string& folder);

// The data folder: $ORVANESYSTEM_DATA_DIR, else the common data folder and "/OrvaneSystemDx/Data".
std::string GetDataFolder();

// The configuration folder: $ORVANESYSTEM_CONFIG_DIR, else the common data folder and
// "/OrvaneSystemDx/Config".
std::string GetConfigFolder();

// The configuration file: the configuration folder followed by "/OrvaneSystemDx.ini".
std::string GetConfigFilePath();
