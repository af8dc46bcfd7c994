// The program and the remote services module: the headless program copied
// into a folder of its own, with the module it finds there at the installed
// path from its folder: its own build's, another build's, or none.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/AppTestSupport.h"
#include "remote/RemoteModuleBuild.h"

using namespace apptest;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

struct ModuleCase {
    std::string name;
    const char* module;    // copied to the program's module path; nullptr: none
    std::string expected;  // in the output; "@" stands for the module's path
    int status;            // -1: still running, serving
};

void PrintTo(const ModuleCase& c, std::ostream* out) {
    *out << c.name;
}

class RemoteModuleTest : public testing::TestWithParam<ModuleCase> {};

TEST_P(RemoteModuleTest, ProgramLoadsOnlyItsOwnBuildFromBesideItself) {
    const ModuleCase& c = GetParam();
    CStationFolders folders;
    const fs::path root = fs::canonical(folders.Root());
    fs::create_directories(root / "bin");
    const fs::path program = root / "bin" / "orvane-station";
    fs::copy_file(ORVANE_STATION_PATH, program);
    const fs::path module = (root / "bin" / REMOTE_MODULE_FROM_PROGRAM).lexically_normal();
    if (c.module != nullptr) {
        fs::create_directories(module.parent_path());
        fs::copy_file(c.module, module);
    }
    std::string expected = c.expected;
    if (const size_t at = expected.find('@'); at != std::string::npos) {
        expected.replace(at, 1, module.string());
    }

    CChildProcess station({program.string(), "--http", RandomLoopbackAddress() + ":0"},
                          root.string(), "station");
    // The station's event lines carry its errors to standard output.
    const auto output = [&] { return station.Stdout() + station.Stderr(); };
    EXPECT_TRUE(WaitUntil([&] { return output().find(expected) != std::string::npos; }))
        << output();
    if (c.status < 0) {
        station.Signal(SIGTERM);
        EXPECT_EQ(station.Wait(60s), 0) << output();
    } else {
        EXPECT_EQ(station.Wait(30s), c.status) << output();
    }
    // Nothing of a module is called before its build is checked.
    EXPECT_EQ(output().find("entry point was called"), std::string::npos) << output();
}

INSTANTIATE_TEST_SUITE_P(
    Modules, RemoteModuleTest,
    testing::Values(
        ModuleCase{"OwnBuild", ORVANE_REMOTE_MODULE_PATH, "OrvaneSystemDx: status page at http://",
                   -1},
        ModuleCase{"AnotherBuild", ORVANE_FOREIGN_MODULE_PATH,
                   std::string("the remote services module @ is of another build (foreign-build, "
                               "the program's ") +
                       REMOTE_MODULE_BUILD + ")\n",
                   1},
        ModuleCase{"None", nullptr, "the HTTP status and the broker service cannot start: @: ", 1}),
    [](const testing::TestParamInfo<ModuleCase>& test) { return test.param.name; });

}  // namespace
