// The warnings about the configuration file that the station gives before it
// runs without a window: every line it reads differently from how it is
// written, and a log sampling interval of 0 (no statistics file). The console
// mode calls WarnAboutConfiguration once at its start; so may any other view
// without message boxes. The dialog does not: its message boxes stay as they are.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "config/ConfLint.h"

// The "L" option of a whole command line as the station takes it (the last "L"
// token wins), with the token it came from.
LogIntervalOption LogIntervalOfCommandLine(const std::string& commandLine);

// The warnings about the file at `configPath`, one text each, as
// "PATH:LINE: warning: TEXT", taking the "L" option of `commandLine` into account.
std::vector<std::string> ConfigurationWarnings(const std::string& configPath,
                                               const std::string& commandLine);

// Writes one line per warning about the file at `configPath` to `err`, as
// "PATH:LINE: warning: TEXT", taking the "L" option of `commandLine` into
// account. Returns how many there were.
std::size_t WarnAboutConfiguration(const std::string& configPath, const std::string& commandLine,
                                   std::FILE* err);
