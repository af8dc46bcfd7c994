// --check-config: reads a configuration file the way the station does at its
// start, without starting anything, so that an operator can test a file
// before running the station with it.
#pragma once

#include <cstdio>
#include <string>

// Reads `path` with the station's reader. Each message the station would show
// goes to `messages`, one per line, in the order of the message boxes; then
// the accepted cards, the watch list and both periods go to `out`. Returns the
// exit status: 0 when no message was shown, 1 otherwise.
int RunCheckConfig(const std::string& path, std::FILE* out, std::FILE* messages);
