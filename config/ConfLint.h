// A second look at the configuration file, for the operator: what the station's
// reader takes silently, or takes differently from how it is written, each tied
// to its line.
//
// The reader (ConfReader.h) stays the one authority on what the station runs
// with and on its messages; this pass takes the sections of the reader's own
// walk (ConfWalker.h: same sections, same counted lines, same value rule) and
// explains. It shows nothing itself and changes nothing: callers print the
// warnings (--check-config, the console's start). No toolkit, no state; safe
// on any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ConfWarning {
    int line = 0;  // 1-based line of the file; 0 when no one line is to blame
    std::string text;
};

// What the command line gives for the log sampling interval: the value as the
// station takes it (4 to 120, else 0) and the token it came from ("/L:3");
// an empty token when no "L" option was given.
struct LogIntervalOption {
    int32_t value = 0;
    std::string token;
};

// The warnings for the file at `path`, in line order (line-less ones last).
// A file that cannot be read gives none: the reader's own message says it all.
std::vector<ConfWarning> LintConfigFile(const std::string& path,
                                        const LogIntervalOption& commandLine);

// The same for a file's contents; `path` is not opened.
std::vector<ConfWarning> LintConfigText(const std::string& text,
                                        const LogIntervalOption& commandLine);

// "PATH:LINE: warning: TEXT", or "PATH: warning: TEXT" for a line-less warning.
std::string FormatConfWarning(const std::string& path, const ConfWarning& warning);
