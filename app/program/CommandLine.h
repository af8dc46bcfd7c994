// The station's two command-line options, "A" (ALS period) and "L" (log
// sampling interval), read from the command line as the platform gives it: the
// program path and its arguments joined by single blanks.
//
// The rules are deliberately loose and never fail: everything up to the first
// blank is the program path; the rest is cut at every single blank; a token's
// second character is its option letter and its value starts at the fourth
// character, so "/A:30", "-A=30" and "xAy30" are all the same option. Tokens
// with any other letter (including "--console", whose second character is '-')
// are not options of this reader and are passed over.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Called once per non-empty token, left to right, with the token's option
// letter (empty for a one-character token) and its value (empty for tokens of
// fewer than four characters).
using OptionVisitor = std::function<void(const std::string& key, const std::string& value)>;

// Joins argv[0] .. argv[argc - 1] with single blanks, the way the command line
// reaches a program on the platform the station was first written for.
std::string JoinCommandLine(int argc, const char* const* argv);

// Cuts `commandLine` into option tokens and hands each to `visit`. A command
// line without a blank holds no option.
void ReadCommandLineOptions(const std::string& commandLine, const OptionVisitor& visit);

// The values the options give; 0 for an option not given.
struct CommandLineOptions {
    int32_t alsPeriod =
        0;  // seconds, as atoi reads it (beyond 32 bits: the nearest limit), may be negative
    int32_t logInterval = 0;  // seconds, 4 to 120, else 0
};

// Applies one option to `options`. "A" takes atoi(value) unless the value is
// empty; "L" takes atoi(value) when it lies in 4..120 and 0 otherwise; any
// other key, lower-case letters included, changes nothing.
void ApplyCommandLineOption(CommandLineOptions& options, const std::string& key,
                            const std::string& value);

// Reads both options out of a whole command line; later tokens win.
CommandLineOptions ParseCommandLineOptions(const std::string& commandLine);
