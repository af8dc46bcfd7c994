// The station without a window: the same core and dispatch thread as the
// dialog, the status table written to a stream on every refresh request, and
// the Exit sequence when the stop descriptor becomes readable.
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

#include <cstdint>
#include <cstdio>

class COperations;

struct ConsoleStationSettings {
    int32_t logInterval = 0;  // from the command line
    int32_t alsPeriod = 0;    // from the command line
    int stopFd = -1;          // readable when the station must stop (not owned)
    std::FILE* out = stdout;  // receives the table, flushed after every redraw
    // Redraw the table in place (cursor up and clear) instead of appending it.
    bool redrawInPlace = false;
    // The operations layer, prepared; attached to the core before the
    // dispatch thread starts. Not owned; may be null.
    COperations* operations = nullptr;
};

// Creates the core (configuration messages go through the installed notifier),
// starts the dispatch thread, prints the table on every refresh request until
// `stopFd` is readable, then runs the Exit sequence: the stop record, the end
// of the dispatch thread, the core's destruction (statistics file, cards
// disconnected). Returns the process exit status: 0, or 1 when the station
// could not set up its wake-up pipe or the statistics file of a run with
// samples could not be written.
int RunConsoleStation(const ConsoleStationSettings& settings);
