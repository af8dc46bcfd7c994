// The program's "--" switches read into ProgramArguments, and the texts of --help and --version for
// both programs.
#include "app/program/ProgramArguments.h"

#include <cstdlib>
#include <string_view>

#include "app/program/SessionList.h"
#include "resources/OrvaneTypes.h"

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

// The field that a switch taking one text fills; null for any other argument.
std::string* TextSwitch(ProgramArguments& result, const std::string& argument) {
    if (argument == "--name") {
        return &result.stationName;
    }
    if (argument == "--mqtt") {
        return &result.mqttBroker;
    }
    if (argument == "--mqtt-prefix") {
        return &result.mqttPrefix;
    }
    if (argument == "--mqtt-user") {
        return &result.mqttUser;
    }
    if (argument == "--mqtt-password-file") {
        return &result.mqttPasswordFile;
    }
    if (argument == "--mqtt-tls") {
        return &result.mqttCaFile;
    }
    return nullptr;
}

// A whole number of at most `digits` digits.
bool ReadNumber(const char* text, size_t digits, int32_t& value) {
    const std::string_view view(text);
    if (view.empty() || view.size() > digits ||
        view.find_first_not_of("0123456789") != std::string_view::npos) {
        return false;
    }
    value = std::atoi(text);
    return true;
}

// "14:05" or "14:05:30": the time of a --since or --until given apart from its date.
bool IsClock(const char* text) {
    const std::string_view view(text);
    return !view.empty() && view[0] >= '0' && view[0] <= '9' &&
           view.find(':') != std::string_view::npos &&
           view.find_first_not_of("0123456789:") == std::string_view::npos;
}

constexpr size_t MES_ID_DIGITS = 9;

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
    std::string sessionOption;  // the first option of --sessions seen
    auto sessionsOnly = [&sessionOption](const std::string& option) {
        if (sessionOption.empty()) {
            sessionOption = option;
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
        } else if (argument == "--http" || argument == "--http-token") {
            std::string& value = argument == "--http" ? result.httpEndpoint : result.httpTokenFile;
            if (i + 1 >= argc || IsSwitch(argv[i + 1]) || argv[i + 1][0] == '\0') {
                fail(argument +
                     (argument == "--http" ? " needs [ADDR:]PORT" : " needs a file name"));
            } else {
                value = argv[++i];
            }
        } else if (std::string* value = TextSwitch(result, argument)) {
            if (i + 1 >= argc || IsSwitch(argv[i + 1])) {
                fail(argument + " needs a value");
            } else {
                *value = argv[++i];
            }
        } else if (argument == "--sessions") {
            mode = ProgramMode::Sessions;
        } else if (argument == "--csv") {
            sessionsOnly(argument);
            result.sessionsCsv = true;
        } else if (argument == "--mesid" || argument == "--card") {
            sessionsOnly(argument);
            const bool card = argument == "--card";
            int32_t number = 0;
            if (i + 1 >= argc || !ReadNumber(argv[i + 1], card ? 2 : MES_ID_DIGITS, number) ||
                (card && (number < 1 || number > MAX_CARDS))) {
                fail(card ? "--card needs a card number from 1 to " + std::to_string(MAX_CARDS)
                          : "--mesid needs a MES ID of at most " + std::to_string(MES_ID_DIGITS) +
                                " digits");
            } else {
                ++i;
                (card ? result.sessionFilter.card : result.sessionFilter.mesId) = number;
            }
        } else if (argument == "--since" || argument == "--until") {
            sessionsOnly(argument);
            std::string text = i + 1 < argc ? argv[i + 1] : "";
            int taken = 1;
            if (i + 2 < argc && IsClock(argv[i + 2])) {
                text += std::string(" ") + argv[i + 2];
                taken = 2;
            }
            int64_t time = 0;
            if (!ParseSessionTime(text, time)) {
                fail(argument + " needs a local time YYYY-MM-DD[ HH:MM[:SS]]");
            } else {
                i += taken;
                (argument == "--since" ? result.sessionFilter.since : result.sessionFilter.until) =
                    time;
            }
        } else if (argument.starts_with(SWITCH_PREFIX)) {
            fail("unknown option " + argument);
        }
    }
    if (result.strict && mode != ProgramMode::CheckConfig) {
        fail("--strict goes with --check-config");
    }
    if (!result.httpTokenFile.empty() && result.httpEndpoint.empty()) {
        fail("--http-token needs --http");
    }
    const bool brokerDetails = !result.mqttPrefix.empty() || !result.mqttUser.empty() ||
                               !result.mqttPasswordFile.empty() || !result.mqttCaFile.empty();
    if (result.mqttBroker.empty() && brokerDetails) {
        fail("--mqtt-prefix, --mqtt-user, --mqtt-password-file and --mqtt-tls need --mqtt");
    } else if (result.mqttUser.empty() && !result.mqttPasswordFile.empty()) {
        fail("--mqtt-password-file needs --mqtt-user");
    }
    if (!sessionOption.empty() && mode != ProgramMode::Sessions && mode != ProgramMode::Help &&
        mode != ProgramMode::Version) {
        fail(sessionOption + " goes with --sessions");
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
    const std::string console =
        " [--table | --events] [--log FILE] [SERVICES] [/A:SECONDS] [/L:SECONDS]\n";
    std::string text = "Usage: " + programName;
    if (headless) {
        text += " [--console]" + console;
    } else {
        text += " [--log FILE] [SERVICES] [/A:SECONDS] [/L:SECONDS]\n       " + programName +
                " --console" + console;
    }
    text += "       " + programName + " --check-config [FILE] [--strict] [/L:SECONDS]\n" +
            "       " + programName +
            " --sessions [--mesid ID] [--card N] [--since TIME] [--until TIME] [--csv]\n" +
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
        "                   were messages (with --strict: messages or warnings)\n"
        "  --sessions       print the session history of the data folder, newest first,\n"
        "                   as a table, or as CSV with --csv; --mesid ID, --card N,\n"
        "                   --since TIME (started then or later) and --until TIME\n"
        "                   (started before) select; TIME is local YYYY-MM-DD[ HH:MM[:SS]];\n"
        "                   exit status 3 when the folder holds no history, 1 when it\n"
        "                   cannot be read\n"
        "\n"
        "SERVICES, in both modes:\n"
        "  --http [ADDR:]PORT  serve the status page, /api/status, /api/events,\n"
        "                   /metrics and /api/sessions over HTTP on ADDR (default\n"
        "                   127.0.0.1); port 0 takes a free one\n"
        "  --http-token FILE  every HTTP request must then carry\n"
        "                   \"Authorization: Bearer TOKEN\", TOKEN being the file's word\n"
        "  --name NAME      the station's name (default: the host name)\n"
        "  --mqtt HOST[:PORT]\n"
        "                   publish the station to an MQTT broker (port 1883 by\n"
        "                   default): PREFIX/status, PREFIX/card/N, PREFIX/session\n"
        "  --mqtt-prefix PREFIX  the topics' prefix (default orvane/NAME)\n"
        "  --mqtt-user USER, --mqtt-password-file FILE\n"
        "                   log in to the broker (the file's first line)\n"
        "  --mqtt-tls CAFILE  TLS to the broker, checked against CAFILE\n"
        "\n";
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
