// The program run as its users run it: --version, --help, --check-config, and
// console mode end to end against the card host emulator.
#include "app/program/ProgramArguments.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "AppTestSupport.h"

namespace {

using apptest::CardSection;
using apptest::CChildProcess;
using apptest::CStationFolders;
using apptest::RandomLoopbackAddress;
using apptest::WaitUntil;
using namespace std::chrono_literals;

constexpr const char* PROGRAM = ORVANE_PROGRAM_PATH;

class ProgramTest : public testing::Test {
protected:
    // Runs the program to its end (a generous limit) and returns its exit status.
    int Run(const std::vector<std::string>& arguments, std::string& out, std::string& err) {
        std::vector<std::string> argv = {PROGRAM};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        CChildProcess child(argv, m_folders.Root(), "run" + std::to_string(++m_runs));
        const std::optional<int> status = child.Wait(60s);
        out = child.Stdout();
        err = child.Stderr();
        return status.value_or(-2);
    }

    CStationFolders m_folders;
    int m_runs = 0;
};

TEST_F(ProgramTest, AnswersVersionHelpAndUnknownSwitches) {
    std::string out;
    std::string err;
    EXPECT_EQ(Run({"--version"}, out, err), 0);
    EXPECT_EQ(out, "OrvaneSystemDx 2.0.0\n");

    EXPECT_EQ(Run({"--help"}, out, err), 0);
    EXPECT_NE(out.find("--console"), std::string::npos);
    EXPECT_NE(out.find("--check-config"), std::string::npos);
    EXPECT_NE(out.find("/A:SECONDS"), std::string::npos);

    EXPECT_EQ(Run({"/A:5", "--consle"}, out, err), 2);
    EXPECT_NE(err.find("unknown option --consle"), std::string::npos) << err;
    EXPECT_EQ(out, "");
}

TEST_F(ProgramTest, ALogFileThatCannotBeWrittenStopsTheStartWithAMessage) {
    const std::string log = m_folders.Root() + "/no-such-folder/cards.log";
    std::string out;
    std::string err;
    EXPECT_EQ(Run({"--console", "--log", log}, out, err), 1);
    EXPECT_EQ(err,
              "OrvaneSystemDx: cannot write the log file " + log + ": No such file or directory\n");
    EXPECT_FALSE(std::filesystem::exists(m_folders.DataDir())) << "the station never started";
}

TEST_F(ProgramTest, WithoutADisplaySaysHowToRunWithoutAWindow) {
    for (const char* variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        unsetenv(variable);
    }
    std::string out;
    std::string err;
    EXPECT_EQ(Run({"/L:10"}, out, err), 1);
    EXPECT_NE(err.find("use --console"), std::string::npos) << err;
    EXPECT_TRUE(m_folders.StatFiles().empty());
}

struct CheckCase {
    const char* name;
    const char* file;  // nullptr: no file at all
    int status;
    std::vector<std::string> messages;  // standard error, line by line
    std::vector<std::string> output;    // lines expected on standard output, in order
};

void PrintTo(const CheckCase& c, std::ostream* out) {
    *out << c.name;
}

class CheckConfigTest : public ProgramTest, public testing::WithParamInterface<CheckCase> {};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

TEST_P(CheckConfigTest, PrintsMessagesThenWhatWasAccepted) {
    const CheckCase& c = GetParam();
    const std::string path = m_folders.Root() + "/check.ini";
    if (c.file != nullptr) {
        std::ofstream(path, std::ios::binary) << c.file;
    }
    std::string out;
    std::string err;
    EXPECT_EQ(Run({"--check-config", path}, out, err), c.status);

    std::vector<std::string> expectedMessages;
    for (const std::string& message : c.messages) {
        expectedMessages.push_back(message == "CANT_OPEN" ? "Can't open " + path + "." : message);
    }
    EXPECT_EQ(Lines(err), expectedMessages);

    const std::vector<std::string> lines = Lines(out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "Configuration file: " + path);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), c.output) << out;
}

INSTANTIATE_TEST_SUITE_P(
    Files, CheckConfigTest,
    testing::Values(
        CheckCase{"Valid",
                  "Station configuration.\n\n[card_1]\naddress = host1;\nserialno = 1234;\n"
                  "mode = sat-c-tdm;\ndevice = corax-e;\n\n[Card_2]\n"
                  "Address = 192.0.2.10;   rack B\nSerialNo = 00815;\nMode = sat-b;\n"
                  "Device = tarsa;\n\n[watch]\nmesid = 423456789;\n\n[watch]\n"
                  "mesid = 423456790;\n\n[als]\nperiod = 60;\n\n[log]\nperiod = 10;\n",
                  0,
                  {},
                  {"Cards: 2", "  1: address=host1 serialno=1234 mode=sat-c-tdm device=corax-e",
                   "  2: address=192.0.2.10 serialno=815 mode=sat-b device=tarsa",
                   "MESIds in Watchlist: 423456789, 423456790", "ALS duration [s]: 60",
                   "Log interval [s]: 10"}},
        CheckCase{
            "Faulty",
            "[card_1]\naddress = h1;\nserialno = 7;\nmode = sat-b;\ndevice = corax;\n"
            "[Card_3]\naddress = h2;\nserialno = 8;\nmode = SAT-B;\ndevice = corax;\n"
            "[card_4]\naddress = h3;\nserialno = 007;\nmode = sat-m;\ndevice = tarsa;\n"
            "[als]\nperiod = -5;\n[log]\nperiod = 4;\n[log]\nperiod = 8;\n"
            "[watch]\nmesid = -1;\n",
            1,
            {"card_3: Invalid mode!", "card_4: Duplicate serial number 007",
             "Invalid ALS period: -5!", "Ignoring multiple log sampling interval specifications!",
             "Invalid message ID: -1!"},
            {"Cards: 1", "  1: address=h1 serialno=7 mode=sat-b device=corax",
             "MESIds in Watchlist: (empty: every MES ID is followed)",
             "ALS duration [s]: not given", "Log interval [s]: 4"}},
        CheckCase{"Missing",
                  nullptr,
                  1,
                  {"CANT_OPEN"},
                  {"Cards: 0", "MESIds in Watchlist: (empty: every MES ID is followed)",
                   "ALS duration [s]: not given", "Log interval [s]: not given"}}),
    [](const testing::TestParamInfo<CheckCase>& param) { return std::string(param.param.name); });

TEST_F(ProgramTest, ChecksTheStationsOwnFileWithoutAName) {
    m_folders.WriteConfig(CardSection("h", 5, "sat-m", "tarsa"));
    std::string out;
    std::string err;
    EXPECT_EQ(Run({"--check-config"}, out, err), 0);
    EXPECT_NE(out.find("Configuration file: " + m_folders.ConfigFile()), std::string::npos);
    EXPECT_NE(out.find("  1: address=h serialno=5 mode=sat-m device=tarsa"), std::string::npos);
    EXPECT_EQ(err, "");
}

TEST_F(ProgramTest, CheckConfigAddsAWarningPerLineAfterTheDesignedMessages) {
    const std::string path = m_folders.Root() + "/typos.ini";
    std::ofstream(path, std::ios::binary)
        << CardSection("h1", 815, "sat-b", "corax")
        << "[card_2]\naddress = h1;\nserialno = 0815;\nmode = sat-m;\ndevice = corax;\n"
           "[watch]\nmesid = 4231OOO1;\n[als]\nperiod = ten;\n";
    std::string out;
    std::string err;
    EXPECT_EQ(Run({"--check-config", path, "/L:3"}, out, err), 1);
    // The station's own messages, exactly as the station shows them, and nothing else.
    EXPECT_EQ(Lines(err), std::vector<std::string>{"card_2: Duplicate serial number 0815"});
    const std::vector<std::string> lines = Lines(out);
    const std::vector<std::string> warnings(lines.end() - 4, lines.end());
    EXPECT_EQ(lines[lines.size() - 5], "Log interval [s]: not given") << out;
    EXPECT_EQ(warnings, (std::vector<std::string>{
                            path + ":8: warning: serial number 0815 is configured for a second "
                                   "card of host \"h1\" (first on line 3): the host cannot tell "
                                   "the two apart",
                            path + ":12: warning: \"4231OOO1\" is read as 4231: the number ends "
                                   "before \"O\"",
                            path + ":14: warning: \"ten\" holds no number: the station reads it "
                                   "as 0, and an ALS period of 0 switches the ALS handling off",
                            path + ": warning: the log sampling interval is 0 (\"/L:3\" gives 0: "
                                   "the command line takes 4 to 120, and no [log] section gives "
                                   "one): no samples are taken and no statistics file will be "
                                   "written"}))
        << out;

    // Warnings alone pass, unless --strict.
    std::ofstream(path, std::ios::binary) << "[watch]\nmesid = 4231OOO1;\n";
    EXPECT_EQ(Run({"--check-config", path, "/L:10"}, out, err), 0);
    EXPECT_NE(out.find(path + ":2: warning: "), std::string::npos) << out;
    EXPECT_EQ(err, "");
    EXPECT_EQ(Run({"--check-config", path, "--strict", "/L:10"}, out, err), 1);
    EXPECT_EQ(err, "");
    std::ofstream(path, std::ios::binary) << "[watch]\nmesid = 42310001;\n";
    EXPECT_EQ(Run({"--check-config", path, "--strict", "/L:10"}, out, err), 0) << out;
}

// The last table printed so far (each block starts with the heading line).
std::string LastTable(const std::string& text) {
    const size_t at = text.rfind("Number  ");
    return at == std::string::npos ? std::string() : text.substr(at);
}

// Whether the run journal in `dataDir` holds a sample line matching `flags`
// (the busy flag of each card slot): the core has taken that sample.
bool JournalHasSample(const std::string& dataDir, const std::string& flags = "[01]*") {
    std::string text;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(dataDir, ignored)) {
        if (entry.path().extension() == ".journal") {
            text += apptest::ReadWholeFile(entry.path().string());
        }
    }
    return std::regex_search(text, std::regex("(^|\n)sample \\d+ " + flags + " "));
}

TEST_F(ProgramTest, ConsoleModeStopsInOrderOnSigint) {
    m_folders.WriteConfig("[als]\nperiod = -1;\n");  // one message, then no cards
    CChildProcess station({PROGRAM, "--console", "--table", "/L:4", "-A=12"}, m_folders.Root(),
                          "station");
    ASSERT_TRUE(WaitUntil([&] { return !LastTable(station.Stdout()).empty(); }))
        << station.Stderr();
    const std::string table = LastTable(station.Stdout());
    EXPECT_NE(table.find("Log interval [s]     4\n"), std::string::npos) << table;
    EXPECT_NE(table.find("ALS duration [s]     12\n"), std::string::npos) << table;
    EXPECT_EQ(station.Stderr(), "Invalid ALS period: -1!\n");

    // Past the first Tick, which takes the first sample.
    ASSERT_TRUE(WaitUntil([&] { return JournalHasSample(m_folders.DataDir()); }))
        << station.Stderr();
    station.Signal(SIGINT);
    EXPECT_EQ(station.Wait(30s), 0);
    EXPECT_EQ(m_folders.StatFiles().size(), 1u);
}

// True once the process catches `signal` (its handler is in place).
bool CatchesSignal(pid_t pid, int signal) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("SigCgt:")) {
            return ((std::stoull(line.substr(7), nullptr, 16) >> (signal - 1)) & 1u) != 0;
        }
    }
    return false;
}

struct HostileFile {
    const char* name;
    std::function<void(const std::string& path)> make;
};

const HostileFile HOSTILE_FILES[] = {
    {"FIFO that nobody writes", [](const std::string& path) { mkfifo(path.c_str(), 0600); }},
    {"link to /dev/zero",
     [](const std::string& path) { std::filesystem::create_symlink("/dev/zero", path); }},
    {"folder", [](const std::string& path) { std::filesystem::create_directory(path); }},
};

TEST_F(ProgramTest, ConfigurationThatIsNoRegularFileCannotBeOpenedAndTheStationRunsOn) {
    const std::string cantOpen = "Can't open " + m_folders.ConfigFile() + ".\n";
    for (const HostileFile& hostile : HOSTILE_FILES) {
        SCOPED_TRACE(hostile.name);
        std::filesystem::remove_all(m_folders.ConfigFile());
        hostile.make(m_folders.ConfigFile());

        std::string out;
        std::string err;
        EXPECT_EQ(Run({"--check-config"}, out, err), 1);
        EXPECT_EQ(err, cantOpen);

        CChildProcess station({PROGRAM, "--console", "--table"}, m_folders.Root(), "station");
        EXPECT_TRUE(WaitUntil([&] { return !LastTable(station.Stdout()).empty(); }))
            << station.Stderr();
        EXPECT_EQ(station.Stderr(), cantOpen);
        station.Signal(SIGTERM);
        EXPECT_EQ(station.Wait(30s), 0);
    }
}

TEST_F(ProgramTest, StopSignalWhileAConfigurationMessageBoxIsUpEndsTheDialog) {
    // Nobody closes the message box of the first faulty line.
    m_folders.WriteConfig("[als]\nperiod = -5;\n[log]\nperiod = -6;\n");
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    CChildProcess station({PROGRAM}, m_folders.Root(), "station");
    unsetenv("QT_QPA_PLATFORM");
    ASSERT_TRUE(WaitUntil([&] { return CatchesSignal(station.Pid(), SIGTERM); }));
    station.Signal(SIGTERM);
    EXPECT_EQ(station.Wait(30s), 0);
    // Both messages reach standard error, whatever Qt writes there besides.
    const std::string err = station.Stderr();
    EXPECT_NE(err.find("Invalid ALS period: -5!\n"), std::string::npos) << err;
    EXPECT_NE(err.find("Invalid log sampling interval: -6!\n"), std::string::npos) << err;
}

TEST_F(ProgramTest, ConsoleExitStatusIsOneWhenTheStatisticsFileCannotBeWritten) {
    struct Case {
        const char* name;
        bool sizeLimit;       // else the data folder is a plain file
        std::string message;  // then the file's path and "."
    };
    const Case cases[] = {
        {"file size limit", true, "Can't write file "},
        {"data folder that is a plain file", false, "Can't create file "},
    };
    m_folders.WriteConfig("");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(m_folders.DataDir());
        if (!c.sizeLimit) {
            std::ofstream plain(m_folders.DataDir());
        }
        CChildProcess station({PROGRAM, "--console", "--table", "/L:4"}, m_folders.Root(),
                              "station");
        ASSERT_TRUE(WaitUntil([&] { return !LastTable(station.Stdout()).empty(); }))
            << station.Stderr();
        if (c.sizeLimit) {
            // Files may grow to 160 bytes: the message fits on standard error,
            // the statistics file does not, and the table no longer fits on
            // standard output.
            rlimit limit{};
            ASSERT_EQ(prlimit(station.Pid(), RLIMIT_FSIZE, nullptr, &limit), 0);
            limit.rlim_cur = 160;
            ASSERT_EQ(prlimit(station.Pid(), RLIMIT_FSIZE, &limit, nullptr), 0);
        }
        // Past the first Tick, which takes the first sample: the journal
        // shows it. A data folder that is a plain file holds no journal, and
        // nothing else outside the process tells of the sample: that case
        // gives the first Tick (due in the pass that printed the table) time.
        if (c.sizeLimit) {
            ASSERT_TRUE(WaitUntil([&] { return JournalHasSample(m_folders.DataDir()); }));
        } else {
            std::this_thread::sleep_for(4s);
        }
        station.Signal(SIGTERM);
        EXPECT_EQ(station.Wait(30s), 1);
        // The statistics file's message is on a line of its own (then the
        // console's line on the outcome, as far as the size limit lets it). A
        // plain file for a data folder cannot be locked, which is told at start.
        const std::string err = station.Stderr();
        if (!c.sizeLimit) {
            EXPECT_TRUE(err.starts_with("The data folder " + m_folders.DataDir() +
                                        " cannot be locked (Not a directory): this run keeps no "
                                        "journal and no session history.\n"))
                << err;
        }
        const std::regex message("(^|\n)" + c.message + m_folders.DataDir() +
                                 "/Stat[0-9A-Za-z_]+\\.txt\\.\n");
        EXPECT_TRUE(std::regex_search(err, message)) << err;
        if (c.sizeLimit) {
            // The session history's files aside: under the limit its write-ahead log stays.
            std::vector<std::string> names;
            for (const auto& entry : std::filesystem::directory_iterator(m_folders.DataDir())) {
                if (!entry.path().filename().string().starts_with("OrvaneSystemDx.sessions.db")) {
                    names.push_back(entry.path().filename().string());
                }
            }
            std::sort(names.begin(), names.end());
            ASSERT_EQ(names.size(), 2u);
            EXPECT_TRUE(std::regex_match(names[0], std::regex(R"(OrvaneSystemDx\.\d+\.journal)")))
                << names[0];
            EXPECT_EQ(names[1], "OrvaneSystemDx.lock")
                << "no statistics file, no temporary file; the journal stays for recovery";
        }
    }
}

TEST_F(ProgramTest, ConsoleModeOffATerminalWritesOneLinePerEventWithItsPriority) {
    // Nothing listens on the card's host; a value the reader takes differently
    // from how it is written; a value it refuses.
    const std::string address = RandomLoopbackAddress();
    m_folders.WriteConfig(CardSection(address, 4711, "sat-m", "corax") +
                          "[watch]\nmesid = 4231OOO1;\n[als]\nperiod = -1;\n");
    CChildProcess station({PROGRAM, "--console"}, m_folders.Root(), "station");
    const std::string refused = "card 1 (serial 4711): connect to " + address + " failed: refused";
    ASSERT_TRUE(WaitUntil([&] { return station.Stdout().find(refused) != std::string::npos; }))
        << station.Stdout() << station.Stderr();
    station.Signal(SIGTERM);
    EXPECT_EQ(station.Wait(30s), 0);

    const std::vector<std::string> lines = Lines(station.Stdout());
    const std::string stamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d )";
    const std::vector<std::string> expected = {
        "<4>" + stamp + m_folders.ConfigFile() + ":7: warning: \"4231OOO1\" is read as 4231.*",
        "<4>" + stamp + m_folders.ConfigFile() + ": warning: the log sampling interval is 0 .*",
        "<3>" + stamp + "Invalid ALS period: -1!",
        "<6>" + stamp + "station started: 1 card, ALS period 0 s, log interval 0 s .*",
        "<4>" + stamp + std::regex_replace(refused, std::regex(R"([().])"), R"(\$&)"),
        "<6>" + stamp + "station stopped; no statistics file: the log sampling interval is 0.*"};
    ASSERT_EQ(lines.size(), expected.size()) << station.Stdout();
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(std::regex_match(lines[i], std::regex(expected[i]))) << lines[i];
    }
    EXPECT_EQ(station.Stderr(), "");
}

#ifdef ORVANE_CARDHOST_PATH
TEST_F(ProgramTest, ConsoleModeShowsASessionFromACardHostAndStopsOnSigterm) {
    const std::string address = RandomLoopbackAddress();
    const std::string script = m_folders.Root() + "/host.script";
    std::ofstream(script) << "wait-mode 4711\nstart 4711 12345678 data\n";
    CChildProcess host({ORVANE_CARDHOST_PATH, "--listen", address, "--device", "corax", "--card",
                        "4711", "--card", "4712", "--script", script},
                       m_folders.Root(), "host");
    ASSERT_TRUE(WaitUntil([&] { return host.Stdout().find("listening ") != std::string::npos; }))
        << host.Stderr();

    m_folders.WriteConfig(CardSection(address, 4711, "sat-m", "corax") +
                          CardSection(address, 4712, "sat-b", "corax") + "[log]\nperiod = 4;\n");
    CChildProcess station({PROGRAM, "--console", "--table"}, m_folders.Root(), "station");
    ASSERT_TRUE(WaitUntil(
        [&] {
            const std::string table = LastTable(station.Stdout());
            return table.find("Busy Session") != std::string::npos &&
                   table.find("Mode Running") != std::string::npos;
        },
        60s))
        << station.Stdout() << host.Stdout();
    const std::string table = LastTable(station.Stdout());
    EXPECT_NE(table.find("12345678"), std::string::npos) << table;
    EXPECT_NE(table.find("Data"), std::string::npos) << table;
    EXPECT_NE(table.find(address), std::string::npos) << table;
    EXPECT_EQ(station.Stderr(), "");

    // Samples come every 4 s, each at the first Tick (about one a second) that
    // is due; the next one finds card 1 busy, as the journal shows.
    ASSERT_TRUE(WaitUntil([&] { return JournalHasSample(m_folders.DataDir(), "1[01]*"); }))
        << station.Stdout();
    station.Signal(SIGTERM);
    EXPECT_EQ(station.Wait(30s), 0);
    ASSERT_EQ(m_folders.StatFiles().size(), 1u);
    // The card whose session was still open at exit is counted in the samples.
    const std::string stats = apptest::ReadWholeFile(m_folders.StatFiles()[0]);
    EXPECT_NE(stats.find(" 10         0 1 0 0"), std::string::npos) << stats;
    // Exit disconnected the cards: the host saw both connections close.
    EXPECT_TRUE(WaitUntil([&] {
        const std::string log = host.Stdout();
        size_t closed = 0;
        for (size_t at = log.find("closed"); at != std::string::npos;
             at = log.find("closed", at + 1)) {
            ++closed;
        }
        return closed >= 2;
    })) << host.Stdout();
    host.Signal(SIGTERM);
    EXPECT_EQ(host.Wait(30s), 0);
}
#endif

}  // namespace
