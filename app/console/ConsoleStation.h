// The station without a window: the same core and dispatch thread as the
// dialog, the status table written to a stream on every refresh request (or
// one line per event, EventLines.h), and the Exit sequence when the stop
// descriptor becomes readable.
//
//   dispatch thread ──refresh()──> byte in the refresh pipe ─┐
//   SIGINT/SIGTERM ──handler────> byte in the stop pipe ─────┤──> poll on the calling thread
//                                                            │     refresh: print the table
//                                                            └──   stop: PostQuit, join, delete
//                                                            core
//
// The table is printed on the calling thread only; the refresh request from
// the dispatch thread just wakes it (at most one pending wake-up at a time).
#pragma once

#include "config/Notifier.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "app/console/EventLines.h"

class COperations;
class CLineOutput;
class CServiceManagerNotifier;

struct ConsoleStationSettings {
    int32_t logInterval = 0;  // from the command line
    int32_t alsPeriod = 0;    // from the command line
    int stopFd = -1;          // readable when the station must stop (not owned)
    std::FILE* out = stdout;  // receives the table, flushed after every redraw
    // `out` is a terminal: the table is drawn in place on its alternate screen,
    // fitted to its size, with a first line giving the time and the uptime
    // (TerminalView.h), instead of being appended at every refresh.
    bool redrawInPlace = false;
    // The operations layer, prepared; attached to the core before the
    // dispatch thread starts. Not owned; may be null.
    COperations* operations = nullptr;
    // Warnings already printed about the configuration; the terminal's first
    // line counts them, with the reader's messages, since its screen hides them.
    std::size_t configWarnings = 0;
    // Where the configuration's and the statistics file's messages go in table
    // mode; ShowMessage when empty.
    MessageHandler messages;
    // Receives one line at the end: the statistics file written, or why none
    // was. nullptr: no such line.
    std::FILE* report = nullptr;

    // Event lines instead of the table: every event, message and the end of
    // the run become lines here (not owned), and `out`, `redrawInPlace` and
    // `report` are not used. The lines are written on an observer's own
    // thread, so a slow reader never holds up the cards.
    CLineOutput* lines = nullptr;
    int64_t summaryEverySeconds = SUMMARY_EVERY_SECONDS;
    // Warnings about the configuration, written as warning lines before the
    // reader's messages (lines only).
    std::vector<std::string> warningLines;

    // The card-command log's file (--log); empty: none, as designed.
    std::string logFile;
    // Told of every pass (ready, status, watchdog) and of the stop; not owned,
    // may be null.
    CServiceManagerNotifier* serviceNotifier = nullptr;
};

// Creates the core (configuration messages go to `messages`, or become error
// lines),
// starts the dispatch thread, prints the table on every refresh request (on a
// terminal also every second and on every size change) until `stopFd` is
// readable, then runs the Exit sequence: the stop record, the end of the
// dispatch thread, the terminal's normal screen back, the core's destruction
// (statistics file, cards disconnected), the line for `report` (or the last
// event line). Returns the process exit status: 0,
// or 1 when the station could not set up its wake-up pipe or the statistics
// file of a run with samples could not be written.
int RunConsoleStation(const ConsoleStationSettings& settings);
