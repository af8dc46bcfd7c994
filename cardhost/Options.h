// The command line of orvane-cardhost:
//
//     orvane-cardhost [--listen ADDR] [--device corax|corax-e|tarsa | --port PORT]
//                     --card SERIAL [--card SERIAL ...] [--traffic SESSIONS_PER_MINUTE]
//                     [--mesids FIRST-LAST] [--seed N] [--flood N] [--script FILE]
//
// Every option also takes the form --name=value.
#pragma once

#include <string>
#include <vector>

#include "cardhost/CardHost.h"

// The exit status for a command line that cannot be run.
constexpr int EXIT_BAD_ARGUMENTS = 2;

struct CardHostCommandLine {
    CardHostOptions host;
    std::string scriptFile;  // empty: none
    bool help = false;       // --help: print the usage and exit
};

// Reads the arguments (without the program name). False with `error` set to a
// one-line reason when they cannot be run; nothing is printed and nothing exits.
bool ParseCommandLine(const std::vector<std::string>& arguments, CardHostCommandLine& commandLine,
                      std::string& error);

const char* UsageText();
