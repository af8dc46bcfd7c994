// The program's own switches, which start with "--" and so are never options
// of the "A"/"L" reader (see CommandLine.h): how the program runs, and the
// texts of --help and --version.
#pragma once

#include <string>

#include "history/SessionQuery.h"

enum class ProgramMode {
    Dialog,       // the main dialog (the default)
    Console,      // --console: no window, the table on standard output
    CheckConfig,  // --check-config [FILE]
    Sessions,     // --sessions [--mesid ID] [--card N] [--since TIME] [--until TIME] [--csv]
    Help,         // --help, -h
    Version,      // --version
    Error,        // an unknown switch or a missing value
};

struct ProgramArguments {
    ProgramMode mode = ProgramMode::Dialog;
    std::string configFile;      // --check-config FILE; empty: the station's own file
    bool strict = false;         // --strict: --check-config fails on warnings too
    std::string screenshotFile;  // --screenshot FILE (dialog only)
    int screenshotAfterSeconds = 20;
    // The HTTP status (see remote/HttpStatusService.h).
    std::string httpEndpoint;   // --http [ADDR:]PORT; empty: no HTTP status
    std::string httpTokenFile;  // --http-token FILE
    std::string stationName;  // --name NAME; empty: the host name
    // The broker (--mqtt HOST[:PORT]); empty: none.
    std::string mqttBroker;
    std::string mqttPrefix;        // --mqtt-prefix PREFIX
    std::string mqttUser;          // --mqtt-user USER
    std::string mqttPasswordFile;  // --mqtt-password-file FILE
    std::string mqttCaFile;        // --mqtt-tls CAFILE
    SessionFilter sessionFilter;  // --sessions: --mesid, --card, --since, --until
    bool sessionsCsv = false;     // --sessions: --csv
    std::string error;            // ProgramMode::Error: what was wrong
};

// Reads argv[1..]. Arguments that do not start with "--" (and are not the value
// of a switch) belong to the "A"/"L" reader and are passed over here. The last
// of --help, --version, --console, --check-config and --sessions decides the
// mode, except that an error always wins. The options of --sessions are an
// error in the modes of the station. A time of --since or --until may come as
// one argument or as a date and a time.
ProgramArguments ParseProgramArguments(int argc, const char* const* argv);

// "OrvaneSystemDx 2.0.0"
std::string ProgramVersionText();
std::string ProgramUsageText(const std::string& programName);
