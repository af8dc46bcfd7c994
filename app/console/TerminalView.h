// The console's status table on a terminal: drawn in place on the terminal's
// alternate screen, fitted to its size and redrawn when the size changes, so
// that no refresh scrolls anything into the terminal's history and no line
// wraps. The normal screen, with whatever was written before the start, comes
// back at Leave.
//
// Threads: one thread (the console's) calls everything. The resize signal only
// writes a byte into a pipe (ResizeFd) that this thread polls.
//
// Platform-specific: a POSIX terminal that understands the common ANSI
// sequences (alternate screen, cursor position, erase, autowrap).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cardlink/CardState.h"
#include "core/WakePipe.h"

// What one redraw shows.
struct StatusFrame {
    std::string headline;  // first line: time, uptime, and what else the caller adds
    std::vector<CardState> rows;
    std::vector<int32_t> watchList;
    int32_t alsPeriod = 0;
    int32_t logInterval = 0;
};

// The frame as lines of at most `columns` characters, at most `lines` of them.
// When the table is wider than the terminal, headings are shortened to their
// column's values first, then the column gap shrinks to one blank, then the
// widest columns are shortened one character at a time; a shortened text ends
// in "~". When there are more lines than the terminal has, the lines at the
// bottom are left out (the footer before any card) and the headline says how
// many. Control characters in texts (from the configuration file) show as "?".
std::vector<std::string> FitStatusFrame(const StatusFrame& frame, std::size_t columns,
                                        std::size_t lines);

class CTerminalView {
public:
    // `out` must be a terminal; not owned. Installs the resize signal's handler
    // (one object at a time).
    explicit CTerminalView(std::FILE* out);
    // Leaves the alternate screen if still on it, restores the handler.
    ~CTerminalView();

    CTerminalView(const CTerminalView&) = delete;
    CTerminalView& operator=(const CTerminalView&) = delete;

    // Readable after the terminal's size changed; -1 when the pipe could not be made.
    int ResizeFd() const { return m_resize.ReadFd(); }
    // Empties the resize pipe and reads the new size.
    void TakeResize();

    // Switches to the alternate screen, hides the cursor, turns autowrap off.
    void Enter();
    // Draws `frame` from the top left corner over the previous one.
    void Draw(const StatusFrame& frame);
    // Restores the normal screen, the cursor and autowrap. Runs once.
    void Leave();

    std::size_t Columns() const { return m_columns; }
    std::size_t Lines() const { return m_lines; }

private:
    void ReadSize();
    void Write(const std::string& text);

    std::FILE* m_out;
    CWakePipe m_resize;
    bool m_installed = false;
    bool m_entered = false;
    std::size_t m_columns = 80;
    std::size_t m_lines = 24;
};
