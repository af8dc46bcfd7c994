// The status table on a terminal: fitted to its size (headings shortened, the gap narrowed, cells
// cut) and placed line by line by cursor position on the alternate screen, redrawn after SIGWINCH.
#include "app/console/TerminalView.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>

#include "app/view/StatusTable.h"

namespace {

// ESC [ ? 1049 h: alternate screen (its own grid, no history); ESC [ ? 25 l:
// hide the cursor; ESC [ ? 7 l: no autowrap, so even a line that came out too
// long could not wrap. Leave undoes all three.
constexpr const char* ENTER_SEQUENCE = "\x1b[?1049h\x1b[?25l\x1b[?7l\x1b[H\x1b[2J";
// The alternate screen is cleared before it is left: a terminal resized meanwhile
// may otherwise carry some of its lines over to the normal screen.
constexpr const char* LEAVE_SEQUENCE = "\x1b[H\x1b[2J\x1b[?7h\x1b[?25h\x1b[?1049l";
constexpr const char* ERASE_LINE = "\x1b[2K";
constexpr const char* ERASE_BELOW = "\x1b[J";

constexpr std::size_t WIDE_GAP = 2;
constexpr std::size_t NARROW_GAP = 1;
// A heading is not shortened below this, even over a column of short values.
constexpr std::size_t HEADING_MIN_WIDTH = 3;
constexpr char CUT_MARK = '~';

// The write end of the live view's resize pipe, for the signal handler.
std::atomic<int> g_resizeWriteFd{-1};
struct sigaction g_previousResize {};

extern "C" void OnResizeSignal(int) {
    const int fd = g_resizeWriteFd.load();
    if (fd >= 0) {
        CWakePipe::PokeFd(fd);
    }
}

// ESC [ line ; 1 H: the cursor to the start of a line (1-based).
std::string CursorTo(std::size_t line) {
    return "\x1b[" + std::to_string(line) + ";1H";
}

std::string Printable(std::string text) {
    for (char& c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            c = '?';
        }
    }
    return text;
}

std::string Cut(const std::string& text, std::size_t width) {
    if (text.size() <= width) {
        return text;
    }
    if (width == 0) {
        return {};
    }
    return text.substr(0, width - 1) + CUT_MARK;
}

using Cells = std::array<std::string, STATUS_COLUMN_COUNT>;

std::vector<std::string> TableLines(const std::vector<CardState>& rows, std::size_t columns) {
    std::vector<Cells> table;
    Cells headings;
    std::copy(STATUS_COLUMN_HEADINGS.begin(), STATUS_COLUMN_HEADINGS.end(), headings.begin());
    table.push_back(headings);
    for (const CardState& row : rows) {
        Cells cells = StatusRowTexts(row);
        for (std::string& cell : cells) {
            cell = Printable(cell);
        }
        table.push_back(cells);
    }

    std::array<std::size_t, STATUS_COLUMN_COUNT> valueWidth{};
    std::array<std::size_t, STATUS_COLUMN_COUNT> width{};
    for (std::size_t c = 0; c < STATUS_COLUMN_COUNT; ++c) {
        for (std::size_t r = 1; r < table.size(); ++r) {
            valueWidth[c] = std::max(valueWidth[c], table[r][c].size());
        }
        width[c] = std::max(valueWidth[c], table[0][c].size());
    }
    std::size_t gap = WIDE_GAP;
    const auto total = [&width, &gap] {
        std::size_t sum = gap * (STATUS_COLUMN_COUNT - 1);
        for (const std::size_t w : width) {
            sum += w;
        }
        return sum;
    };
    if (total() > columns) {
        for (std::size_t c = 0; c < STATUS_COLUMN_COUNT; ++c) {
            width[c] = std::min(width[c], std::max(valueWidth[c], HEADING_MIN_WIDTH));
        }
    }
    if (total() > columns) {
        gap = NARROW_GAP;
    }
    for (std::size_t sum = total(); sum > columns; --sum) {
        const auto widest = std::max_element(width.begin(), width.end());
        if (*widest <= 1) {
            break;  // the lines are cut at the terminal's edge below
        }
        --*widest;
    }

    std::vector<std::string> lines;
    for (const Cells& cells : table) {
        std::string line;
        for (std::size_t c = 0; c < STATUS_COLUMN_COUNT; ++c) {
            const std::string cell = Cut(cells[c], width[c]);
            line += cell;
            if (c + 1 < STATUS_COLUMN_COUNT) {
                line.append(width[c] - cell.size() + gap, ' ');
            }
        }
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> FooterLines(const StatusFrame& frame) {
    const std::array<std::pair<std::string, std::string>, 3> footer = {{
        {ALS_PERIOD_LABEL, FormatPeriod(frame.alsPeriod)},
        {LOG_INTERVAL_LABEL, FormatPeriod(frame.logInterval)},
        {WATCH_LIST_LABEL, FormatWatchList(frame.watchList)},
    }};
    std::size_t labelWidth = 0;
    for (const auto& [label, value] : footer) {
        labelWidth = std::max(labelWidth, label.size());
    }
    std::vector<std::string> lines;
    for (const auto& [label, value] : footer) {
        lines.push_back(label + std::string(labelWidth - label.size() + WIDE_GAP, ' ') + value);
    }
    return lines;
}

}  // namespace

std::vector<std::string> FitStatusFrame(const StatusFrame& frame, std::size_t columns,
                                        std::size_t lines) {
    if (columns == 0 || lines == 0) {
        return {};
    }
    const std::vector<std::string> table = TableLines(frame.rows, columns);
    const std::vector<std::string> footer = FooterLines(frame);

    std::vector<std::string> body = table;
    // The blank line between table and footer goes first when space is short.
    const bool roomForBlank = 1 + table.size() + 1 + footer.size() <= lines;
    if (roomForBlank) {
        body.emplace_back();
    }
    body.insert(body.end(), footer.begin(), footer.end());

    std::string headline = Printable(frame.headline);
    const std::size_t bodyLines = lines - 1;
    if (body.size() > bodyLines) {
        headline += "  [" + std::to_string(body.size() - bodyLines) +
                    " more lines: make the terminal taller]";
        body.resize(bodyLines);
    }

    std::vector<std::string> result;
    result.push_back(Cut(headline, columns));
    for (const std::string& line : body) {
        result.push_back(Cut(line, columns));
    }
    return result;
}

CTerminalView::CTerminalView(std::FILE* out) : m_out(out) {
    ReadSize();
    if (!m_resize.Valid()) {
        return;
    }
    g_resizeWriteFd.store(m_resize.WriteFd());
    struct sigaction action {};
    action.sa_handler = OnResizeSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    m_installed = sigaction(SIGWINCH, &action, &g_previousResize) == 0;
}

CTerminalView::~CTerminalView() {
    Leave();
    if (m_installed) {
        sigaction(SIGWINCH, &g_previousResize, nullptr);
    }
    g_resizeWriteFd.store(-1);
}

void CTerminalView::TakeResize() {
    m_resize.Take();
    ReadSize();
}

void CTerminalView::ReadSize() {
    winsize size{};
    if (ioctl(fileno(m_out), TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0) {
        m_columns = size.ws_col;
        m_lines = size.ws_row;
    }
}

void CTerminalView::Enter() {
    if (!m_entered) {
        m_entered = true;
        Write(ENTER_SEQUENCE);
    }
}

void CTerminalView::Draw(const StatusFrame& frame) {
    std::string text;
    const std::vector<std::string> lines = FitStatusFrame(frame, m_columns, m_lines);
    // Each line is placed by its own cursor position: no line feed, so nothing
    // can scroll, even if the terminal shrank after its size was read. A line is
    // erased before it is written: erasing after a line that fills the width
    // would take its last character too.
    for (std::size_t i = 0; i < lines.size(); ++i) {
        text += CursorTo(i + 1) + ERASE_LINE + lines[i];
    }
    if (lines.size() < m_lines) {
        text += CursorTo(lines.size() + 1) + ERASE_BELOW;
    }
    Write(text);
}

void CTerminalView::Leave() {
    if (m_entered) {
        m_entered = false;
        Write(LEAVE_SEQUENCE);
    }
}

void CTerminalView::Write(const std::string& text) {
    // A terminal that went away must not stop the station: the write is not checked.
    std::fwrite(text.data(), 1, text.size(), m_out);
    std::fflush(m_out);
}
