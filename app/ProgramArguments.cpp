#include "app/ProgramArguments.h"

#include <cstdlib>
#include <string_view>

#ifndef ORVANE_VERSION
#error "ORVANE_VERSION must be defined by the build"
#endif

namespace {

constexpr std::string_view SWITCH_PREFIX = "--";

bool IsSwitch(const char* argument) {
    return std::string_view(argument).starts_with(SWITCH_PREFIX);
}

bool ReadSeconds(const std::string& text, int& seconds) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        text.size() > 6) {
        return false;
    }
    seconds = std::atoi(text.c_str());
    return true;
}

}  // namespace

ProgramArguments ParseProgramArguments(int argc, const char* const* argv, ProgramKind kind) {
    ProgramArguments result;
    result.kind = kind;
    const bool headless = kind == ProgramKind::Headless;
    ProgramMode mode = headless ? ProgramMode::Console : ProgramMode::Dialog;
    bool table = false;
    bool events = false;
    auto fail = [&result](std::string error) {
        if (result.error.empty()) {
            result.error = std::move(error);
        }
    };
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "-h" || argument == "--help") {
            mode = ProgramMode::Help;
        } else if (argument == "--version") {
            mode = ProgramMode::Version;
        } else if (argument == "--console") {
            mode = ProgramMode::Console;
        } else if (argument == "--check-config") {
            mode = ProgramMode::CheckConfig;
            // The file is optional: the next argument is taken unless it begins with a dash.
            if (i + 1 < argc && argv[i + 1][0] != '-') {
                result.configFile = argv[++i];
            }
        } else if (argument == "--strict") {
            result.strict = true;
        } else if (argument == "--log") {
            if (i + 1 >= argc || IsSwitch(argv[i + 1]) || argv[i + 1][0] == '\0') {
                fail("--log needs a file name");
            } else {
                result.logFile = argv[++i];
            }
        } else if (argument == "--table") {
            table = true;
        } else if (argument == "--events") {
            events = true;
        } else if (headless && argument.starts_with("--screenshot")) {
            fail(argument + " belongs to the dialog (" + ProgramName(ProgramKind::Full) + ")");
        } else if (argument == "--screenshot") {
            if (i + 1 >= argc || IsSwitch(argv[i + 1])) {
                fail("--screenshot needs a file name");
            } else {
                result.screenshotFile = argv[++i];
            }
        } else if (argument == "--screenshot-after") {
            if (i + 1 >= argc || !ReadSeconds(argv[i + 1], result.screenshotAfterSeconds)) {
                fail("--screenshot-after needs a number of seconds");
            } else {
                ++i;
            }
        } else if (argument.starts_with(SWITCH_PREFIX)) {
            fail("unknown option " + argument);
        }
    }
    if (result.strict && mode != ProgramMode::CheckConfig) {
        fail("--strict goes with --check-config");
    }
    if (table && events) {
        fail("--table and --events exclude each other");
    } else if ((table || events) && mode != ProgramMode::Console) {
        fail(std::string(table ? "--table" : "--events") + " goes with --console");
    }
    result.output =
        table ? ConsoleOutput::Table : (events ? ConsoleOutput::Events : ConsoleOutput::Automatic);
    if (!result.logFile.empty() && mode != ProgramMode::Console && mode != ProgramMode::Dialog) {
        fail("--log goes with running the station");
    }
    result.mode = result.error.empty() ? mode : ProgramMode::Error;
    return result;
}

const char* ProgramName(ProgramKind kind) {
    return kind == ProgramKind::Headless ? "orvane-station" : "OrvaneSystemDx";
}

std::string ProgramVersionText(ProgramKind kind) {
    return std::string(ProgramName(kind)) + " " + ORVANE_VERSION;
}

std::string ProgramUsageText(const std::string& programName, ProgramKind kind) {
    const bool headless = kind == ProgramKind::Headless;
    const std::string console = " [--table | --events] [--log FILE] [/A:SECONDS] [/L:SECONDS]\n";
    std::string text = "Usage: " + programName;
    if (headless) {
        text += " [--console]" + console;
    } else {
        text += " [--log FILE] [/A:SECONDS] [/L:SECONDS]\n       " + programName + " --console" +
                console;
    }
    text += "       " + programName + " --check-config [FILE] [--strict] [/L:SECONDS]\n" +
            "       " + programName + " --help | --version\n\n";
    if (headless) {
        text +=
            "Monitoring station for satellite MES traffic on corax, corax-e and tarsa\n"
            "decoder cards, without a window (for servers and services): it runs as\n"
            "OrvaneSystemDx --console does. The dialog is OrvaneSystemDx's.\n";
    } else {
        text +=
            "Monitoring station for satellite MES traffic on corax, corax-e and tarsa\n"
            "decoder cards. Without a switch it opens the status dialog.\n";
    }
    text +=
        "\n"
        "  /A:SECONDS       ALS period (default 0); the configuration file overrides it\n"
        "  /L:SECONDS       log sampling interval, 4 to 120 (default 0, no statistics);\n"
        "                   the configuration file overrides it\n"
        "                   (any first and third character will do: -A=30 is /A:30)\n"
        "  --console        run without a window: on a terminal the status table,\n"
        "                   redrawn in place and fitted to its size, with configuration\n"
        "                   messages and warnings on standard error; elsewhere (a file,\n"
        "                   a pipe, a service's journal) one line per event on standard\n"
        "                   output, each with a syslog priority (<3> error, <4> warning,\n"
        "                   <6> information) and a time stamp, and a summary every hour;\n"
        "                   SIGINT, SIGTERM or SIGHUP stops the station, which then\n"
        "                   names the statistics file it wrote\n"
        "  --table          the table even when standard output is no terminal\n"
        "                   (appended on every change)\n"
        "  --events         event lines even on a terminal\n"
        "  --log FILE       write the card-command log to FILE (emptied at the start):\n"
        "                   every message, link change, command and host connect\n"
        "  --check-config [FILE] [--strict]\n";
    text +=
        "                   read the configuration file (default: the station's own),\n"
        "                   print its messages on standard error, then what it accepted\n"
        "                   and a warning for each line it reads differently from how\n"
        "                   it is written on standard output; exit status 1 when there\n"
        "                   were messages (with --strict: messages or warnings)\n";
    if (!headless) {
        text +=
            "  --screenshot FILE  save a picture of the dialog to FILE (PNG) after\n"
            "  --screenshot-after SECONDS  (default 20)\n";
    }
    text +=
        "  -h, --help       show this help\n"
        "  --version        show the version\n"
        "\n"
        "Environment: ORVANESYSTEM_CONFIG_DIR holds OrvaneSystemDx.ini,\n"
        "ORVANESYSTEM_DATA_DIR receives the statistics files (defaults below\n"
        "/var/lib/QUENTAR/OrvaneSystemDx).\n";
    if (headless) {
        text +=
            "Under a service manager that sets NOTIFY_SOCKET, the station reports when\n"
            "it is ready, its status and its watchdog.\n";
    }
    return text;
}
