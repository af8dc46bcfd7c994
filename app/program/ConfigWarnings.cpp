// The configuration warnings given before a run without a window: the checker's findings, with the
// command line's "L" option, as "PATH:LINE: warning: TEXT" lines.
#include "app/program/ConfigWarnings.h"

#include <vector>

#include "app/program/CommandLine.h"

LogIntervalOption LogIntervalOfCommandLine(const std::string& commandLine) {
    LogIntervalOption option;
    option.value = ParseCommandLineOptions(commandLine).logInterval;
    // The same cut as the option reader's: tokens at single blanks after the
    // program path; the token's second character is its letter.
    const std::size_t firstBlank = commandLine.find(' ');
    std::size_t begin = firstBlank == std::string::npos ? commandLine.size() : firstBlank + 1;
    while (begin < commandLine.size()) {
        std::size_t end = commandLine.find(' ', begin);
        if (end == std::string::npos) {
            end = commandLine.size();
        }
        const std::string token = commandLine.substr(begin, end - begin);
        if (token.size() >= 2 && token[1] == 'L') {
            option.token = token;
        }
        begin = end + 1;
    }
    return option;
}

std::vector<std::string> ConfigurationWarnings(const std::string& configPath,
                                               const std::string& commandLine) {
    std::vector<std::string> texts;
    for (const ConfWarning& warning :
         LintConfigFile(configPath, LogIntervalOfCommandLine(commandLine))) {
        texts.push_back(FormatConfWarning(configPath, warning));
    }
    return texts;
}

std::size_t WarnAboutConfiguration(const std::string& configPath, const std::string& commandLine,
                                   std::FILE* err) {
    const std::vector<std::string> warnings = ConfigurationWarnings(configPath, commandLine);
    for (const std::string& warning : warnings) {
        std::fprintf(err, "%s\n", warning.c_str());
    }
    std::fflush(err);
    return warnings.size();
}
