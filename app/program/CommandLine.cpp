// The loose reader of the "A" and "L" options: tokens at single blanks after the program path,
// values read as atoi does, the interval kept only from 4 to 120 s.
#include "app/program/CommandLine.h"

#include <cstdlib>
#include <limits>

namespace {

constexpr char OPTION_SEPARATOR = ' ';  // a tab is not a separator
constexpr size_t KEY_POSITION = 1;
constexpr size_t VALUE_POSITION = 3;
constexpr int32_t LOG_INTERVAL_MIN = 4;
constexpr int32_t LOG_INTERVAL_MAX = 120;

// The C library's atoi, except that a number beyond the 32-bit range gives the
// nearest limit instead of undefined behaviour.
int32_t ReadInteger(const std::string& text) {
    const long long value = std::strtoll(text.c_str(), nullptr, 10);
    if (value > std::numeric_limits<int32_t>::max()) {
        return std::numeric_limits<int32_t>::max();
    }
    if (value < std::numeric_limits<int32_t>::min()) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(value);
}

}  // namespace

std::string JoinCommandLine(int argc, const char* const* argv) {
    std::string line;
    for (int i = 0; i < argc; ++i) {
        if (i > 0) {
            line += OPTION_SEPARATOR;
        }
        line += argv[i] != nullptr ? argv[i] : "";
    }
    return line;
}

void ReadCommandLineOptions(const std::string& commandLine, const OptionVisitor& visit) {
    size_t start = commandLine.find(OPTION_SEPARATOR);
    if (start == std::string::npos) {
        return;
    }
    ++start;
    while (start <= commandLine.size()) {
        size_t end = commandLine.find(OPTION_SEPARATOR, start);
        if (end == std::string::npos) {
            end = commandLine.size();
        }
        const std::string token = commandLine.substr(start, end - start);
        if (!token.empty()) {
            const std::string key =
                token.size() > KEY_POSITION ? token.substr(KEY_POSITION, 1) : "";
            const std::string value =
                token.size() > VALUE_POSITION ? token.substr(VALUE_POSITION) : "";
            visit(key, value);
        }
        start = end + 1;
    }
}

void ApplyCommandLineOption(CommandLineOptions& options, const std::string& key,
                            const std::string& value) {
    if (key == "A") {
        if (!value.empty()) {
            options.alsPeriod = ReadInteger(value);
        }
    } else if (key == "L") {
        const int32_t interval = ReadInteger(value);
        options.logInterval =
            interval >= LOG_INTERVAL_MIN && interval <= LOG_INTERVAL_MAX ? interval : 0;
    }
}

CommandLineOptions ParseCommandLineOptions(const std::string& commandLine) {
    CommandLineOptions options;
    ReadCommandLineOptions(commandLine,
                           [&options](const std::string& key, const std::string& value) {
                               ApplyCommandLineOption(options, key, value);
                           });
    return options;
}
