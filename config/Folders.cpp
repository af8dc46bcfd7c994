// The station's configuration and data folders: an environment variable's value, or a folder below
// /var/lib/QUENTAR.
#include "config/Folders.h"

#include <cstdlib>

namespace {

// The machine-wide folder that every user of the computer shares, and the station
// maker's folder below it. This is the one platform-specific choice of the folders.
constexpr const char* SHARED_FOLDER = "/var/lib";
constexpr const char* COMMON_DATA_TAIL = "/QUENTAR";

// The value of `variable` when it is defined, even when empty; otherwise the common
// data folder followed by `tail`.
std::string ChooseFolder(const char* variable, const char* tail) {
    if (const char* value = std::getenv(variable)) {
        return value;
    }
    std::string folder;
    // On failure the folder stays empty and the tail alone is a path from the root,
    // which is what the caller gets; nothing is reported here.
    static_cast<void>(GetCommonDataFolder(folder));
    folder += tail;
    return folder;
}

}  // namespace

bool GetCommonDataFolder(std::string& folder) {
    folder += SHARED_FOLDER;
    folder += COMMON_DATA_TAIL;
    return true;
}

std::string GetDataFolder() {
    return ChooseFolder(DATA_DIR_VARIABLE, DATA_DIR_TAIL);
}

std::string GetConfigFolder() {
    return ChooseFolder(CONFIG_DIR_VARIABLE, CONFIG_DIR_TAIL);
}

std::string GetConfigFilePath() {
    return GetConfigFolder() + CONFIG_FILE_TAIL;
}
