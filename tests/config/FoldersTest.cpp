// The station's folders: the common data folder, the defaults with the variables unset, and defined
// or empty variables taken as they stand.
#include "config/Folders.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace {

// Sets or unsets one environment variable for the scope, then restores it.
class CScopedVariable {
public:
    CScopedVariable(const char* name, std::optional<std::string> value) : m_name(name) {
        if (const char* old = std::getenv(name)) {
            m_old = old;
        }
        Apply(value);
    }
    ~CScopedVariable() { Apply(m_old); }

    CScopedVariable(const CScopedVariable&) = delete;
    CScopedVariable& operator=(const CScopedVariable&) = delete;

private:
    void Apply(const std::optional<std::string>& value) {
        if (value) {
            setenv(m_name, value->c_str(), 1);
        } else {
            unsetenv(m_name);
        }
    }

    const char* m_name;
    std::optional<std::string> m_old;
};

TEST(Folders, CommonDataFolderIsTheSharedFolderOfTheMaker) {
    std::string folder;
    EXPECT_TRUE(GetCommonDataFolder(folder));
    EXPECT_EQ(folder, "/var/lib/QUENTAR");
}

TEST(Folders, UnsetVariablesGiveTheDefaults) {
    CScopedVariable data(DATA_DIR_VARIABLE, std::nullopt);
    CScopedVariable config(CONFIG_DIR_VARIABLE, std::nullopt);
    EXPECT_EQ(GetDataFolder(), "/var/lib/QUENTAR/OrvaneSystemDx/Data");
    EXPECT_EQ(GetConfigFolder(), "/var/lib/QUENTAR/OrvaneSystemDx/Config");
    EXPECT_EQ(GetConfigFilePath(), "/var/lib/QUENTAR/OrvaneSystemDx/Config/OrvaneSystemDx.ini");
}

TEST(Folders, DefinedVariablesAreTakenUnchangedAndIndependently) {
    {
        CScopedVariable data(DATA_DIR_VARIABLE, "/srv/data/");
        CScopedVariable config(CONFIG_DIR_VARIABLE, std::nullopt);
        EXPECT_EQ(GetDataFolder(), "/srv/data/");
        EXPECT_EQ(GetConfigFolder(), "/var/lib/QUENTAR/OrvaneSystemDx/Config");
    }
    {
        CScopedVariable data(DATA_DIR_VARIABLE, std::nullopt);
        CScopedVariable config(CONFIG_DIR_VARIABLE, "/etc/cfg");
        EXPECT_EQ(GetDataFolder(), "/var/lib/QUENTAR/OrvaneSystemDx/Data");
        EXPECT_EQ(GetConfigFolder(), "/etc/cfg");
        EXPECT_EQ(GetConfigFilePath(), "/etc/cfg/OrvaneSystemDx.ini");
    }
}

TEST(Folders, EmptyVariablesGiveEmptyFoldersWithoutFallback) {
    CScopedVariable data(DATA_DIR_VARIABLE, "");
    CScopedVariable config(CONFIG_DIR_VARIABLE, "");
    EXPECT_EQ(GetDataFolder(), "");
    EXPECT_EQ(GetConfigFolder(), "");
    EXPECT_EQ(GetConfigFilePath(), "/OrvaneSystemDx.ini");
}

}  // namespace
