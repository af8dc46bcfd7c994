// orvane-cardhost's command line: each option checked as it is read, as --name VALUE or
// --name=VALUE, and the usage text.
#include "cardhost/Options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <optional>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wconversion"
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wold-style-cast"
#include <asio/ip/address.hpp>
#pragma GCC diagnostic pop

namespace {

// More would mean a session start every 10 ms on each card.
constexpr double MAX_TRAFFIC_PER_MINUTE = 6000;

struct DeviceEntry {
    const char* name;
    uint16_t port;
};
constexpr DeviceEntry DEVICES[] = {
    {"corax", PORT_CORAX},
    {"corax-e", PORT_CORAX_E},
    {"tarsa", PORT_TARSA},
};

std::optional<uint64_t> ParseNumber(const std::string& text, uint64_t max) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value > max) {
        return std::nullopt;
    }
    return value;
}

bool ApplyOption(const std::string& name, const std::string& value, CardHostCommandLine& line,
                 bool& deviceGiven, bool& portGiven, std::string& error) {
    CardHostOptions& host = line.host;
    const std::string quoted = "'" + value + "'";
    if (name == "--listen") {
        asio::error_code ec;
        asio::ip::make_address(value, ec);
        if (ec) {
            error = "--listen needs an IP address, not " + quoted;
            return false;
        }
        host.address = value;
    } else if (name == "--device") {
        const auto* device = std::find_if(std::begin(DEVICES), std::end(DEVICES),
                                          [&](const DeviceEntry& d) { return value == d.name; });
        if (device == std::end(DEVICES)) {
            error = "--device must be corax, corax-e or tarsa, not " + quoted;
            return false;
        }
        host.port = device->port;
        deviceGiven = true;
    } else if (name == "--port") {
        const auto port = ParseNumber(value, UINT16_MAX);
        if (!port) {
            error = "--port must be 0 to 65535, not " + quoted;
            return false;
        }
        host.port = static_cast<uint16_t>(*port);
        portGiven = true;
    } else if (name == "--card") {
        const auto serial = ParseNumber(value, MAX_SERIAL_NUMBER);
        if (!serial || *serial == 0) {
            error = "--card needs a serial number from 1 to " + std::to_string(MAX_SERIAL_NUMBER) +
                    ", not " + quoted;
            return false;
        }
        const auto number = static_cast<uint32_t>(*serial);
        if (std::find(host.serials.begin(), host.serials.end(), number) != host.serials.end()) {
            error = "--card " + std::to_string(number) + " is given twice";
            return false;
        }
        if (host.serials.size() == MAX_HOST_CARDS) {
            error = "a host carries at most " + std::to_string(MAX_HOST_CARDS) + " cards";
            return false;
        }
        host.serials.push_back(number);
    } else if (name == "--traffic") {
        double rate = 0;
        auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), rate);
        if (value.empty() || ec != std::errc() || end != value.data() + value.size() ||
            !std::isfinite(rate) || rate <= 0 || rate > MAX_TRAFFIC_PER_MINUTE) {
            error = "--traffic needs sessions per minute above 0 and at most " +
                    std::to_string(static_cast<int>(MAX_TRAFFIC_PER_MINUTE)) + ", not " + quoted;
            return false;
        }
        host.trafficPerMinute = rate;
    } else if (name == "--mesids") {
        const std::size_t dash = value.find('-');
        const auto first = dash == std::string::npos
                               ? std::nullopt
                               : ParseNumber(value.substr(0, dash), MAX_MES_ID);
        const auto last = dash == std::string::npos
                              ? std::nullopt
                              : ParseNumber(value.substr(dash + 1), MAX_MES_ID);
        if (!first || !last || *first > *last) {
            error = "--mesids needs FIRST-LAST with 0 <= FIRST <= LAST <= " +
                    std::to_string(MAX_MES_ID) + ", not " + quoted;
            return false;
        }
        host.mesIdFirst = static_cast<uint32_t>(*first);
        host.mesIdLast = static_cast<uint32_t>(*last);
    } else if (name == "--seed") {
        const auto seed = ParseNumber(value, UINT64_MAX);
        if (!seed) {
            error = "--seed needs a whole number, not " + quoted;
            return false;
        }
        host.seed = *seed;
    } else if (name == "--flood") {
        const auto count = ParseNumber(value, UINT32_MAX);
        if (!count || *count == 0) {
            error = "--flood needs a count above 0, not " + quoted;
            return false;
        }
        host.flood = static_cast<uint32_t>(*count);
    } else if (name == "--script") {
        if (value.empty()) {
            error = "--script needs a file name";
            return false;
        }
        line.scriptFile = value;
    } else {
        error = "unknown option " + name;
        return false;
    }
    return true;
}

}  // namespace

bool ParseCommandLine(const std::vector<std::string>& arguments, CardHostCommandLine& commandLine,
                      std::string& error) {
    static const std::vector<std::string> WITH_VALUE = {"--listen", "--device",  "--port",
                                                        "--card",   "--traffic", "--mesids",
                                                        "--seed",   "--flood",   "--script"};
    CardHostCommandLine line;
    bool deviceGiven = false;
    bool portGiven = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--help" || argument == "-h") {
            commandLine = CardHostCommandLine{};
            commandLine.help = true;
            return true;
        }
        std::string name = argument;
        std::string value;
        bool inlineValue = false;
        if (const std::size_t equals = argument.find('=');
            argument.rfind("--", 0) == 0 && equals != std::string::npos) {
            name = argument.substr(0, equals);
            value = argument.substr(equals + 1);
            inlineValue = true;
        }
        if (std::find(WITH_VALUE.begin(), WITH_VALUE.end(), name) == WITH_VALUE.end()) {
            error = name.rfind("-", 0) == 0 ? "unknown option " + name
                                            : "unexpected argument '" + argument + "'";
            return false;
        }
        if (!inlineValue) {
            if (i + 1 == arguments.size()) {
                error = name + " needs a value";
                return false;
            }
            value = arguments[++i];
        }
        if (!ApplyOption(name, value, line, deviceGiven, portGiven, error)) {
            return false;
        }
    }
    if (deviceGiven && portGiven) {
        error = "--device and --port exclude each other";
        return false;
    }
    if (line.host.serials.empty()) {
        error = "at least one --card SERIAL is needed";
        return false;
    }
    commandLine = std::move(line);
    return true;
}

const char* UsageText() {
    return "usage: orvane-cardhost [--listen ADDR] [--device corax|corax-e|tarsa | --port PORT]\n"
           "                       --card SERIAL [--card SERIAL ...] "
           "[--traffic SESSIONS_PER_MINUTE]\n"
           "                       [--mesids FIRST-LAST] [--seed N] [--flood N] [--script FILE]\n"
           "\n"
           "A card host for the station: listens on ADDR (default 127.0.0.1) on the port of its\n"
           "device model (default corax) or on PORT (0: any free port), carries one to eight\n"
           "cards, answers the station's commands and sends traffic. Script commands come from\n"
           "FILE, then from standard input:\n"
           "  start SERIAL MESID tel|data|fax|isdn|telex-sm|telex-mm   end SERIAL\n"
           "  event SERIAL ccs|ann|ass   params SERIAL NAME=VALUE ...   send SERIAL TEXT\n"
           "  flood SERIAL COUNT   drop [SERIAL]   freeze [SERIAL]   thaw [SERIAL]\n"
           "  wait-attached SERIAL   wait-mode SERIAL   sleep MS   quit\n";
}
