// --check-config: reads a configuration file the way the station does at its
// start, without starting anything, so that an operator can test a file
// before running the station with it.
#pragma once

#include <cstdio>
#include <string>

#include "config/ConfLint.h"

struct CheckConfigOptions {
    LogIntervalOption logInterval;  // the command line's "L" option, for the interval in effect
    bool strict = false;            // warnings make the exit status 1 too
};

// Reads `path` with the station's reader. Each message the station would show
// goes to `messages`, one per line, exactly as shown, in the order of the
// message boxes; then the accepted cards, the watch list and both periods go to
// `out`, followed by one "PATH:LINE: warning: TEXT" line for each thing the
// reader takes silently or differently from how it is written (ConfLint.h).
// Returns the exit status: 1 when a message was shown, or with `strict` when
// there was a warning; 0 otherwise.
int RunCheckConfig(const std::string& path, std::FILE* out, std::FILE* messages,
                   const CheckConfigOptions& options = {});
