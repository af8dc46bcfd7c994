// Event lines on a stream, for a service manager's journal, a pipe or a file:
//
//   <4>2026-12-08 14:03:07 card 3 (serial 1203): connect to 10.1.2.3 failed: refused
//
// The "<N>" prefix is the line's syslog priority; journald takes it off and
// keeps it as the entry's priority. The time stamp is local time, so a file
// read without the journal still says when.
//
// Threads: Write may be called from any thread but the dispatch thread (event
// lines reach this through an asynchronous observer's worker, messages from
// the thread that shows them). Each line is written and flushed under a lock,
// so lines never interleave. A write that fails (a closed pipe) is not
// checked: the station runs on.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "config/Notifier.h"

enum class LinePriority : int {
    Error = 3,    // the station lost or refused something the operator must see
    Warning = 4,  // a card in trouble, a configuration line read differently
    Info = 6,     // how the run goes
};

class CLineOutput {
public:
    // `out` is not owned and must outlive the object.
    explicit CLineOutput(std::FILE* out) : m_out(out) {}

    CLineOutput(const CLineOutput&) = delete;
    CLineOutput& operator=(const CLineOutput&) = delete;

    // One line stamped with `time` (seconds since 1970); a text of several
    // lines gives one line each, all with the same prefix.
    void Write(LinePriority priority, int64_t time, const std::string& text);
    // The same, stamped with the time now.
    void Write(LinePriority priority, const std::string& text);

    // "<P>YYYY-MM-DD HH:MM:SS TEXT\n" per line of `text`; control characters
    // other than the line end show as "?", so a line stays a line.
    static std::string Format(LinePriority priority, int64_t time, const std::string& text);

    // A notifier handler that writes each message as an error line.
    MessageHandler MessageLines();

private:
    std::FILE* m_out;
    std::mutex m_lock;
};
