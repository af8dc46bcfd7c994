// Both programs without a window: --help, --version, a switch error,
// --check-config, --sessions and console mode. OrvaneSystemDx comes here for every mode
// but the dialog; orvane-station, built without a toolkit, for all of them,
// so the station runs the same way from either.
#pragma once

#include <string>

#include "app/program/ProgramArguments.h"

// `commandLine` is the program path and its arguments joined by single blanks
// (the "A"/"L" options are read from it); `programName` is argv[0] for the
// texts. `arguments.mode` must not be ProgramMode::Dialog. Returns the exit
// status: 0; 1 when the station could not start or its statistics file was
// lost (console), or --check-config found messages; 2 for a switch error.
int RunWithoutWindow(const ProgramArguments& arguments, const std::string& commandLine,
                     const std::string& programName);

// --log FILE: whether the card-command log can be written there. The file is
// created if it is missing (the logger empties it at the start anyway).
// False, with `error` set, when it cannot be opened for writing.
bool CheckLogFile(const std::string& path, std::string& error);

// The whole of orvane-station: its switches read as the headless program's,
// then RunWithoutWindow.
int RunHeadlessStation(int argc, const char* const* argv);
