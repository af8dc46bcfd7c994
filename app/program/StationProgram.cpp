// The modes without a window, chosen by the program's switches; console mode picks event lines or
// the table, prepares the operations and runs the console station.
#include "app/program/StationProgram.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

#include "app/console/ConsoleStation.h"
#include "app/console/LineOutput.h"
#include "app/program/CheckConfig.h"
#include "app/program/CommandLine.h"
#include "app/program/ConfigWarnings.h"
#include "app/program/ServiceManagerNotifier.h"
#include "app/program/SessionList.h"
#include "app/program/StopSignals.h"
#include "app/run/Operations.h"
#include "app/run/RemoteModuleLoader.h"
#include "config/Folders.h"
#include "config/Notifier.h"

namespace {

// Event lines unless asked otherwise: on a terminal the table, redrawn in
// place; elsewhere (a pipe, a file, a service's journal) a line per event.
bool WantsEventLines(ConsoleOutput output) {
    switch (output) {
        case ConsoleOutput::Table:
            return false;
        case ConsoleOutput::Events:
            return true;
        case ConsoleOutput::Automatic:
            break;
    }
    return isatty(STDOUT_FILENO) == 0;
}

int RunConsole(const std::string& commandLine, const ProgramArguments& arguments) {
    const char* const programName = ProgramName(arguments.kind);
    const CommandLineOptions options = ParseCommandLineOptions(commandLine);
    CStopSignals stop;
    // A reader that went away must not kill the station before Exit.
    std::signal(SIGPIPE, SIG_IGN);

    std::string error;
    if (!arguments.logFile.empty() && !CheckLogFile(arguments.logFile, error)) {
        std::fprintf(stderr, "%s: %s\n", programName, error.c_str());
        return 1;
    }

    ConsoleStationSettings settings;
    std::unique_ptr<CLineOutput> lines;
    if (WantsEventLines(arguments.output)) {
        lines = std::make_unique<CLineOutput>(stdout);
        settings.messages = lines->MessageLines();
        settings.lines = lines.get();
        settings.warningLines = ConfigurationWarnings(GetConfigFilePath(), commandLine);
    } else {
        settings.messages = [](const std::string& text) {  // one line per message
            std::fprintf(stderr, "%s\n", text.c_str());
            std::fflush(stderr);
        };
        // Once, before the reader's own messages: what the file says differently
        // from what it means, each with its line.
        settings.configWarnings = WarnAboutConfiguration(GetConfigFilePath(), commandLine, stderr);
        settings.report = stderr;
        settings.out = stdout;
        settings.redrawInPlace = isatty(STDOUT_FILENO) != 0;
    }
    settings.logInterval = options.logInterval;
    settings.alsPeriod = options.alsPeriod;
    settings.stopFd = stop.Fd();
    settings.logFile = arguments.logFile;
    const std::unique_ptr<CServiceManagerNotifier> notifier =
        CServiceManagerNotifier::FromEnvironment();
    settings.serviceNotifier = notifier.get();

    COperations operations(settings.messages);
    if (!operations.Prepare(GetDataFolder(), error) ||
        !AddRemoteObservers(arguments, operations, error)) {
        if (lines) {
            lines->Write(LinePriority::Error, error);
        } else {
            std::fprintf(stderr, "%s: %s\n", programName, error.c_str());
        }
        return 1;
    }
    settings.operations = &operations;
    return RunConsoleStation(settings);
}

}  // namespace

bool CheckLogFile(const std::string& path, std::string& error) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) {
        error = "cannot write the log file " + path + ": " + std::strerror(errno);
        return false;
    }
    close(fd);
    return true;
}

int RunHeadlessStation(int argc, const char* const* argv) {
    const std::string commandLine = JoinCommandLine(argc, argv);
    const ProgramArguments arguments = ParseProgramArguments(argc, argv, ProgramKind::Headless);
    // Beyond a file size limit a write must fail as on a full disk, so that the
    // statistics file is reported and cleaned up, rather than end the program.
    std::signal(SIGXFSZ, SIG_IGN);
    return RunWithoutWindow(arguments, commandLine,
                            argc > 0 ? argv[0] : ProgramName(ProgramKind::Headless));
}

int RunWithoutWindow(const ProgramArguments& arguments, const std::string& commandLine,
                     const std::string& programName) {
    switch (arguments.mode) {
        case ProgramMode::Help:
            std::fputs(ProgramUsageText(programName, arguments.kind).c_str(), stdout);
            return 0;
        case ProgramMode::Version:
            std::printf("%s\n", ProgramVersionText(arguments.kind).c_str());
            return 0;
        case ProgramMode::Error:
            std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", programName.c_str(),
                         arguments.error.c_str(), programName.c_str());
            return 2;
        case ProgramMode::CheckConfig: {
            CheckConfigOptions options;
            options.logInterval = LogIntervalOfCommandLine(commandLine);
            options.strict = arguments.strict;
            return RunCheckConfig(
                arguments.configFile.empty() ? GetConfigFilePath() : arguments.configFile, stdout,
                stderr, options);
        }
        case ProgramMode::Sessions:
            return RunSessionList(GetDataFolder(), arguments.sessionFilter, arguments.sessionsCsv,
                                  stdout, stderr);
        case ProgramMode::Console:
            return RunConsole(commandLine, arguments);
        case ProgramMode::Dialog:
            break;
    }
    std::fprintf(stderr, "%s: the dialog is OrvaneSystemDx's\n", programName.c_str());
    return 2;
}
