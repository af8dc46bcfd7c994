// The card host's script: each line checked and run against the host, a failure written as an
// "error script" line; input read line by line until its end, quit or Cancel.
#include "cardhost/Script.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <optional>
#include <vector>

namespace {

constexpr int INPUT_POLL_MS = 100;
constexpr auto WAIT_SLICE = std::chrono::milliseconds(100);
constexpr long long MAX_SLEEP_MS = 24LL * 3600 * 1000;
constexpr const char* BLANKS = " \t";

std::vector<std::string> SplitWords(const std::string& line) {
    std::vector<std::string> words;
    std::size_t at = line.find_first_not_of(BLANKS);
    while (at != std::string::npos) {
        const std::size_t end = line.find_first_of(BLANKS, at);
        words.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = end == std::string::npos ? end : line.find_first_not_of(BLANKS, end);
    }
    return words;
}

// Decimal digits only, at most `max`.
std::optional<uint64_t> ParseNumber(const std::string& word, uint64_t max) {
    if (word.empty() || word.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    uint64_t value = 0;
    auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (ec != std::errc() || end != word.data() + word.size() || value > max) {
        return std::nullopt;
    }
    return value;
}

std::optional<uint32_t> ParseSerial(const std::string& word) {
    const auto value = ParseNumber(word, MAX_SERIAL_NUMBER);
    if (!value || *value == 0) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(*value);
}

// The text after the command word and the serial, less the one blank that
// separates it from the serial; the rest is kept as written.
std::string RestAfterSecondWord(const std::string& line) {
    const std::size_t verbStart = line.find_first_not_of(BLANKS);
    const std::size_t verbEnd = line.find_first_of(BLANKS, verbStart);
    const std::size_t serialStart = line.find_first_not_of(BLANKS, verbEnd);
    const std::size_t serialEnd = line.find_first_of(BLANKS, serialStart);
    return serialEnd == std::string::npos ? std::string() : line.substr(serialEnd + 1);
}

}  // namespace

CScript::CScript(CCardHost& host, CCardHost::OutputFn output)
    : m_host(host), m_output(std::move(output)) {}

void CScript::Fail(const std::string& line, const std::string& reason) {
    if (m_output) {
        m_output("error script \"" + line + "\": " + reason);
    }
}

void CScript::Cancel() {
    {
        std::lock_guard lock(m_cancelLock);
        m_cancel = true;
    }
    m_cancelled.notify_all();
}

bool CScript::IsCancelled() {
    std::lock_guard lock(m_cancelLock);
    return m_cancel;
}

bool CScript::SleepFor(long long milliseconds) {
    std::unique_lock lock(m_cancelLock);
    return !m_cancelled.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                 [this] { return m_cancel; });
}

CScript::Result CScript::RunLine(const std::string& rawLine) {
    if (IsCancelled()) {
        return Result::Quit;
    }
    std::string line = rawLine;
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    const std::vector<std::string> words = SplitWords(line);
    if (words.empty() || words[0][0] == '#') {
        return Result::Continue;
    }
    const std::string& verb = words[0];
    const std::size_t argc = words.size() - 1;

    if (verb == "quit") {
        return Result::Quit;
    }
    if (verb == "sleep") {
        const auto ms = argc == 1 ? ParseNumber(words[1], MAX_SLEEP_MS) : std::nullopt;
        if (!ms) {
            Fail(line, "usage: sleep MILLISECONDS");
            return Result::Continue;
        }
        return SleepFor(static_cast<long long>(*ms)) ? Result::Continue : Result::Quit;
    }
    if ((verb == "drop" || verb == "freeze" || verb == "thaw") && argc == 0) {
        std::string error;
        const bool done = verb == "drop"     ? m_host.Drop(std::nullopt, error)
                          : verb == "freeze" ? m_host.Freeze(std::nullopt, error)
                                             : m_host.Thaw(std::nullopt, error);
        if (!done) {
            Fail(line, error);
        }
        return Result::Continue;
    }

    struct Usage {
        const char* verb;
        const char* text;
        std::size_t minArgs;
        std::size_t maxArgs;
    };
    static constexpr Usage USAGES[] = {
        {"start", "start SERIAL MESID SERVICE", 3, 3},
        {"end", "end SERIAL", 1, 1},
        {"event", "event SERIAL ccs|ann|ass", 2, 2},
        {"params", "params SERIAL NAME=VALUE ...", 1, SIZE_MAX},
        {"send", "send SERIAL TEXT", 1, SIZE_MAX},
        {"flood", "flood SERIAL COUNT", 2, 2},
        {"drop", "drop [SERIAL]", 1, 1},
        {"freeze", "freeze [SERIAL]", 1, 1},
        {"thaw", "thaw [SERIAL]", 1, 1},
        {"wait-attached", "wait-attached SERIAL", 1, 1},
        {"wait-mode", "wait-mode SERIAL", 1, 1},
    };
    const Usage* usage = nullptr;
    for (const Usage& candidate : USAGES) {
        if (verb == candidate.verb) {
            usage = &candidate;
        }
    }
    if (!usage) {
        Fail(line, "unknown command " + verb);
        return Result::Continue;
    }
    const std::optional<uint32_t> serial = argc >= 1 ? ParseSerial(words[1]) : std::nullopt;
    if (argc < usage->minArgs || argc > usage->maxArgs || !serial) {
        Fail(line, std::string("usage: ") + usage->text);
        return Result::Continue;
    }
    if (!m_host.CarriesCard(*serial)) {
        Fail(line, "no card " + words[1] + " on this host");
        return Result::Continue;
    }

    std::string error;
    bool done = true;
    if (verb == "start") {
        const auto mesId = ParseNumber(words[2], MAX_MES_ID);
        const char* service = ServiceCodeByName(words[3]);
        if (!mesId) {
            error = "MES ID must be 0 to " + std::to_string(MAX_MES_ID);
            done = false;
        } else if (!service) {
            error = "service must be tel, data, fax, isdn, telex-sm or telex-mm";
            done = false;
        } else {
            done = m_host.StartSession(*serial, static_cast<uint32_t>(*mesId), service, error);
        }
    } else if (verb == "end") {
        done = m_host.EndSession(*serial, error);
    } else if (verb == "event") {
        done = m_host.SendEvent(*serial, words[2], error);
    } else if (verb == "params") {
        std::vector<CardParameter> parameters;
        for (std::size_t i = 2; i < words.size() && done; ++i) {
            const std::size_t equals = words[i].find('=');
            if (equals == std::string::npos || equals == 0) {
                error = "expected NAME=VALUE, not " + words[i];
                done = false;
            } else {
                parameters.push_back({words[i].substr(0, equals), words[i].substr(equals + 1)});
            }
        }
        done = done && m_host.SendParameters(*serial, parameters, error);
    } else if (verb == "send") {
        done = m_host.SendText(*serial, RestAfterSecondWord(line), error);
    } else if (verb == "flood") {
        const auto count = ParseNumber(words[2], UINT32_MAX);
        if (!count) {
            error = "COUNT must be a number";
            done = false;
        } else {
            done = m_host.Flood(*serial, static_cast<uint32_t>(*count), error);
        }
    } else if (verb == "drop") {
        done = m_host.Drop(*serial, error);
    } else if (verb == "freeze") {
        done = m_host.Freeze(*serial, error);
    } else if (verb == "thaw") {
        done = m_host.Thaw(*serial, error);
    } else if (verb == "wait-attached" || verb == "wait-mode") {
        const bool forMode = verb == "wait-mode";
        while (!(forMode ? m_host.WaitMode(*serial, WAIT_SLICE)
                         : m_host.WaitAttached(*serial, WAIT_SLICE))) {
            if (IsCancelled()) {
                return Result::Quit;
            }
        }
    }
    if (!done) {
        Fail(line, error);
    }
    return Result::Continue;
}

CScript::Result CScript::RunDescriptor(int fd) {
    std::string pending;
    char buffer[4096];
    for (;;) {
        if (IsCancelled()) {
            return Result::Quit;
        }
        pollfd input{fd, POLLIN, 0};
        const int ready = poll(&input, 1, INPUT_POLL_MS);
        if (ready < 0 && errno != EINTR) {
            return Result::Continue;
        }
        if (ready <= 0) {
            continue;
        }
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        pending.append(buffer, static_cast<std::size_t>(got));
        std::size_t newline;
        while ((newline = pending.find('\n')) != std::string::npos) {
            const std::string line = pending.substr(0, newline);
            pending.erase(0, newline + 1);
            if (RunLine(line) == Result::Quit) {
                return Result::Quit;
            }
        }
    }
    if (!pending.empty()) {
        return RunLine(pending);
    }
    return Result::Continue;
}
