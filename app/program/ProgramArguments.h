// The program's own switches, which start with "--" and so are never options
// of the "A"/"L" reader (see CommandLine.h): how the program runs, and the
// texts of --help and --version.
#pragma once

#include <string>

#include "history/SessionQuery.h"

// Which program reads the switches: OrvaneSystemDx (the dialog by default)
// or orvane-station, built without a toolkit (the console by default, no
// dialog switches).
enum class ProgramKind { Full, Headless };

enum class ProgramMode {
    Dialog,       // the main dialog (the default of the full program)
    Console,      // --console: no window (the default of the headless program)
    CheckConfig,  // --check-config [FILE]
    Sessions,     // --sessions [--mesid ID] [--card N] [--since TIME] [--until TIME] [--csv]
    Help,         // --help, -h
    Version,      // --version
    Error,        // an unknown switch or a missing value
};

// What console mode writes to standard output.
enum class ConsoleOutput {
    Automatic,  // the table on a terminal, else event lines
    Table,      // --table: the table, redrawn on a terminal, appended elsewhere
    Events,     // --events: event lines, also on a terminal
};

struct ProgramArguments {
    ProgramKind kind = ProgramKind::Full;
    ProgramMode mode = ProgramMode::Dialog;
    std::string configFile;      // --check-config FILE; empty: the station's own file
    bool strict = false;         // --strict: --check-config fails on warnings too
    std::string screenshotFile;  // --screenshot FILE (dialog only)
    int screenshotAfterSeconds = 20;
    // The HTTP status (see remote/HttpStatusService.h).
    std::string httpEndpoint;   // --http [ADDR:]PORT; empty: no HTTP status
    std::string httpTokenFile;  // --http-token FILE
    std::string stationName;    // --name NAME; empty: the host name
    // The broker (--mqtt HOST[:PORT]); empty: none.
    std::string mqttBroker;
    std::string mqttPrefix;        // --mqtt-prefix PREFIX
    std::string mqttUser;          // --mqtt-user USER
    std::string mqttPasswordFile;  // --mqtt-password-file FILE
    std::string mqttCaFile;        // --mqtt-tls CAFILE
    SessionFilter sessionFilter;   // --sessions: --mesid, --card, --since, --until
    bool sessionsCsv = false;      // --sessions: --csv
    std::string logFile;           // --log FILE: the card-command log; empty: none, as designed
    ConsoleOutput output = ConsoleOutput::Automatic;
    std::string error;  // ProgramMode::Error: what was wrong
};

// Reads argv[1..]. Arguments that do not start with "--" (and are not the value
// of a switch) belong to the "A"/"L" reader and are passed over here. The last
// of --help, --version, --console, --check-config and --sessions decides the
// mode, except that an error always wins. The options of --sessions are an
// error in the modes of the station. A time of --since or --until may come as
// one argument or as a date and a time. The headless program knows no dialog
// switch.
ProgramArguments ParseProgramArguments(int argc, const char* const* argv,
                                       ProgramKind kind = ProgramKind::Full);

// "OrvaneSystemDx", "orvane-station"
const char* ProgramName(ProgramKind kind);
// "OrvaneSystemDx 2.0.0"
std::string ProgramVersionText(ProgramKind kind = ProgramKind::Full);
std::string ProgramUsageText(const std::string& programName, ProgramKind kind = ProgramKind::Full);
