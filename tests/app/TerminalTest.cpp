// The console mode on a real terminal: the program runs in a detached tmux
// session of a given size, and the test reads back what tmux shows (the screen)
// and what it keeps (the history): after every redraw exactly one table on the
// screen, none in the history, no line wrapped, and at exit the statistics file
// named where the table was.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
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

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

#ifdef ORVANE_TMUX_PATH

// One tmux server of its own (its socket in the test's folder, gone with it),
// with one session running one command.
class CTmux {
public:
    CTmux(const std::string& folder, int width, int height, const std::vector<std::string>& command,
          const std::vector<std::string>& environment)
        : m_folder(folder), m_socket(folder + "/tmux" + std::to_string(++s_count) + ".socket") {
        std::vector<std::string> args = {
            "new-session",         "-d", "-s", "t", "-x", std::to_string(width), "-y",
            std::to_string(height)};
        for (const std::string& variable : environment) {
            args.push_back("-e");
            args.push_back(variable);
        }
        args.insert(args.end(), command.begin(), command.end());
        // The pane stays after the program ended, so that its last screen can be read.
        args.insert(args.end(), {";", "set-option", "-g", "remain-on-exit", "on"});
        m_started = Run(args, m_startError);
    }
    ~CTmux() {
        std::string ignored;
        Run({"kill-server"}, ignored);
    }
    CTmux(const CTmux&) = delete;
    CTmux& operator=(const CTmux&) = delete;

    bool Started() const { return m_started; }
    const std::string& StartError() const { return m_startError; }

    std::string Screen() { return Output({"capture-pane", "-p", "-t", "t"}); }
    // The lines that scrolled off the top of the normal screen.
    std::string History() {
        const int size =
            std::stoi("0" + Trim(Output({"display", "-p", "-t", "t", "#{history_size}"})));
        if (size == 0) {
            return {};
        }
        return Output({"capture-pane", "-p", "-t", "t", "-S", std::to_string(-size), "-E", "-1"});
    }
    bool PaneDead() { return Trim(Output({"display", "-p", "-t", "t", "#{pane_dead}"})) == "1"; }
    void Resize(int width, int height) {
        Output({"resize-window", "-t", "t", "-x", std::to_string(width), "-y",
                std::to_string(height)});
    }
    void SendKeys(const std::string& keys) { Output({"send-keys", "-t", "t", keys}); }

private:
    static std::string Trim(std::string text) {
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
            text.pop_back();
        }
        return text;
    }
    std::string Output(const std::vector<std::string>& args) {
        std::string out;
        Run(args, out);
        return out;
    }
    bool Run(const std::vector<std::string>& args, std::string& out) {
        std::vector<std::string> argv = {ORVANE_TMUX_PATH, "-S", m_socket, "-f", "/dev/null"};
        argv.insert(argv.end(), args.begin(), args.end());
        CChildProcess tmux(argv, m_folder, "tmux" + std::to_string(++m_calls));
        const std::optional<int> status = tmux.Wait(30s);
        out = status == 0 ? tmux.Stdout() : tmux.Stderr();
        return status == 0;
    }

    static inline int s_count = 0;
    std::string m_folder;
    std::string m_socket;
    int m_calls = 0;
    bool m_started = false;
    std::string m_startError;
};

// The first line of a frame: date, time, uptime.
const std::regex HEADLINE(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d  up .*)");

bool IsHeadline(const std::string& line) {
    return std::regex_match(line, HEADLINE);
}
bool IsHeading(const std::string& line) {
    return line.starts_with("Nu");  // "Number", or shortened to its column
}

// Checks one capture of the screen: one frame, from the top, each card's row on
// one line, in order. Returns the problems found (empty: none).
std::string CheckFrame(const std::string& screen, size_t cards, size_t height, bool footer) {
    const std::vector<std::string> lines = Lines(screen);
    std::string problems;
    size_t headlines = 0;
    size_t headings = 0;
    for (const std::string& line : lines) {
        headlines += IsHeadline(line) ? 1 : 0;
        headings += IsHeading(line) ? 1 : 0;
    }
    if (headlines != 1 || headings != 1 || lines.size() < 2 + cards || !IsHeadline(lines[0]) ||
        !IsHeading(lines[1])) {
        return "not exactly one frame at the top";
    }
    for (size_t card = 1; card <= cards && 1 + card < height; ++card) {
        if (!lines[1 + card].starts_with(std::to_string(card) + " ")) {
            problems += "row " + std::to_string(card) + " is not on line " +
                        std::to_string(2 + card) + "; ";
        }
    }
    const bool hasFooter = screen.find("MESIds in Watchlist") != std::string::npos;
    if (hasFooter != footer) {
        problems += footer ? "no footer; " : "a footer that cannot fit; ";
    }
    return problems;
}

class TerminalTest : public testing::TestWithParam<std::pair<int, int>> {
protected:
    CStationFolders m_folders;
};

TEST_P(TerminalTest, EachRefreshLeavesOneTableOnTheScreenAndNoneInTheHistory) {
    const auto [width, height] = GetParam();
    // Two cards on an emulated host that start a session, eight on an address
    // where nobody listens: the table changes while the test looks at it.
    const std::string address = RandomLoopbackAddress();
    const std::string script = m_folders.Root() + "/host.script";
    std::ofstream(script) << "wait-mode 4711\nstart 4711 12345678 data\n";
    CChildProcess host({ORVANE_CARDHOST_PATH, "--listen", address, "--device", "corax", "--card",
                        "4711", "--card", "4712", "--script", script},
                       m_folders.Root(), "host");
    ASSERT_TRUE(WaitUntil([&] { return host.Stdout().find("listening ") != std::string::npos; }))
        << host.Stderr();
    std::string config =
        CardSection(address, 4711, "sat-m", "corax") + CardSection(address, 4712, "sat-b", "corax");
    const std::string nobody = RandomLoopbackAddress();
    for (int serial = 1; serial <= 8; ++serial) {
        config += CardSection(nobody, 5000 + serial, "sat-c-tdm", "tarsa");
    }
    m_folders.WriteConfig(config);
    constexpr size_t CARDS = 10;

    CTmux tmux(m_folders.Root(), width, height, {ORVANE_PROGRAM_PATH, "--console", "/L:4"},
               {"ORVANESYSTEM_CONFIG_DIR=" + m_folders.ConfigDir(),
                "ORVANESYSTEM_DATA_DIR=" + m_folders.DataDir()});
    ASSERT_TRUE(tmux.Started()) << tmux.StartError();

    // The frame is redrawn every second and on every change; a session
    // begins meanwhile. Every look finds one whole frame.
    const bool footer = static_cast<size_t>(height) >= 1 + 1 + CARDS + 1 + 3;
    ASSERT_TRUE(WaitUntil([&] { return tmux.Screen().find("Busy Se") != std::string::npos; }, 60s))
        << tmux.Screen();
    for (int look = 0; look < 8; ++look) {
        const std::string screen = tmux.Screen();
        EXPECT_EQ(CheckFrame(screen, CARDS, static_cast<size_t>(height), footer), "") << screen;
        const std::string history = tmux.History();
        EXPECT_EQ(history.find("Nu"), std::string::npos) << history;
        std::this_thread::sleep_for(300ms);
    }

    // A new size (SIGWINCH) is followed at once.
    const int otherWidth = width < 100 ? 120 : 60;
    const int otherHeight = height < 30 ? 40 : 12;
    tmux.Resize(otherWidth, otherHeight);
    const bool otherFooter = static_cast<size_t>(otherHeight) >= 1 + 1 + CARDS + 1 + 3;
    EXPECT_TRUE(WaitUntil(
        [&] {
            const std::string screen = tmux.Screen();
            const bool wide = screen.find("Computer Name or IP Address") != std::string::npos;
            return wide == (otherWidth >= 120) &&
                   CheckFrame(screen, CARDS, static_cast<size_t>(otherHeight), otherFooter).empty();
        },
        10s))
        << tmux.Screen();
    EXPECT_EQ(tmux.History().find("Nu"), std::string::npos) << tmux.History();

    // Ctrl+C on the terminal stops the station; the normal screen comes back
    // without any table, and names the statistics file.
    tmux.SendKeys("C-c");
    ASSERT_TRUE(WaitUntil([&] { return tmux.PaneDead(); }, 60s)) << tmux.Screen();
    ASSERT_EQ(m_folders.StatFiles().size(), 1u);
    const std::string screen = tmux.Screen();
    const std::string history = tmux.History();
    std::string joined;
    for (const std::string& line : Lines(history + screen)) {
        joined += line;  // a narrow terminal wraps the long line of the path
    }
    EXPECT_NE(joined.find("OrvaneSystemDx: statistics file written: " + m_folders.StatFiles()[0]),
              std::string::npos)
        << "screen:\n"
        << screen << "history:\n"
        << history;
    for (const std::string& line : Lines(history + screen)) {
        EXPECT_FALSE(IsHeadline(line) || IsHeading(line)) << history << screen;
    }
    host.Signal(SIGTERM);
}

INSTANTIATE_TEST_SUITE_P(Sizes, TerminalTest,
                         testing::Values(std::make_pair(60, 12), std::make_pair(120, 40)),
                         [](const testing::TestParamInfo<std::pair<int, int>>& param) {
                             return std::to_string(param.param.first) + "x" +
                                    std::to_string(param.param.second);
                         });

#endif  // ORVANE_TMUX_PATH

}  // namespace
