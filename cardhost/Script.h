// The script that steers a running card host, one command per line:
//
//     start SERIAL MESID SERVICE     SERVICE: tel, data, fax, isdn, telex-sm, telex-mm
//     end SERIAL
//     event SERIAL ccs|ann|ass
//     params SERIAL NAME=VALUE ...   a parameter list report
//     send SERIAL TEXT               TEXT (the rest of the line) as one message
//     flood SERIAL COUNT
//     drop [SERIAL]
//     freeze [SERIAL]                the card's link (every link) neither read nor written
//     thaw [SERIAL]                  ... read and written again
//     wait-attached SERIAL
//     wait-mode SERIAL               attached, and its code is a mode keyword
//     sleep MILLISECONDS
//     quit
//
// Blank lines and lines starting with '#' are skipped. A line that cannot be
// run writes "error script "LINE": REASON" to the output; the script goes on.
//
// Threads: one thread runs the lines; Cancel may be called from any other.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include "cardhost/CardHost.h"

class CScript {
public:
    enum class Result { Continue, Quit };

    // The output must be safe to call from this thread and the host's at once.
    CScript(CCardHost& host, CCardHost::OutputFn output);

    CScript(const CScript&) = delete;
    CScript& operator=(const CScript&) = delete;

    // Runs one line (a trailing CR is ignored). Quit for "quit" or once cancelled.
    Result RunLine(const std::string& line);
    // Runs the lines read from a file descriptor until its end, "quit" or
    // Cancel. It polls, so Cancel ends it within a fraction of a second even
    // while no input comes.
    Result RunDescriptor(int fd);
    // Ends a running sleep, wait-attached or RunDescriptor, and every later one.
    void Cancel();

private:
    void Fail(const std::string& line, const std::string& reason);
    bool SleepFor(long long milliseconds);
    bool IsCancelled();

    CCardHost& m_host;
    CCardHost::OutputFn m_output;
    std::mutex m_cancelLock;
    std::condition_variable m_cancelled;
    bool m_cancel = false;
};
