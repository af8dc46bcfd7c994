// Feeds arbitrary bytes to the configuration reader as the content of its file and
// checks what the reader promises its user, whatever the file holds: at most
// MAX_CARDS cards, each with a non-zero unique serial number written in digits and a
// known mode and device; a watch list of distinct non-negative MES IDs; periods that
// are -1 or non-negative. It also reads the input a second time with CR LF line ends
// and checks that the reading is the same. The line-by-line check (ConfLint) walks
// the same input: its lines exist, and its word on a log sampling interval of 0
// agrees with what the reader took, which holds only when both walk the file alike.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "config/CardConfig.h"
#include "config/ConfLint.h"
#include "config/ConfReader.h"
#include "config/Notifier.h"
#include "resources/OrvaneTypes.h"

namespace {

std::vector<std::string> g_messages;

// Everything one reading hands over or shows.
struct Outcome {
    std::vector<CardConfig> cards;
    std::vector<int32_t> watchList;
    int32_t alsPeriod = 0;
    int32_t logInterval = 0;
    std::vector<std::string> messages;
};

bool SameCards(const std::vector<CardConfig>& a, const std::vector<CardConfig>& b) {
    return std::equal(
        a.begin(), a.end(), b.begin(), b.end(), [](const CardConfig& x, const CardConfig& y) {
            return x.address == y.address && x.serialText == y.serialText &&
                   x.modeText == y.modeText && x.deviceText == y.deviceText &&
                   x.serialNumber == y.serialNumber && x.mode == y.mode && x.device == y.device;
        });
}

// One file per process, so that parallel fuzzing jobs do not share it. A memory-backed
// folder where there is one: writing a disk file twice per input is what limits speed.
const std::string& InputPath() {
    static const std::string path =
        std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
        "/orvane_fuzz_confreader_" + std::to_string(getpid()) + ".ini";
    return path;
}

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool WriteInput(const std::string& content) {
    std::FILE* file = std::fopen(InputPath().c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    return std::fclose(file) == 0 && written;
}

bool Read(const std::string& content, Outcome& outcome) {
    if (!WriteInput(content)) {
        return false;
    }
    g_messages.clear();
    {
        CConfReader reader(InputPath());
        reader.GetCards(outcome.cards);
        reader.GetWatchList(outcome.watchList);
        outcome.alsPeriod = reader.GetAlsPeriod();
        outcome.logInterval = reader.GetLogInterval();
    }
    outcome.messages = g_messages;
    // Removed at once: libFuzzer ends without running exit handlers.
    std::remove(InputPath().c_str());
    return true;
}

// Every line feed that has no CR before it gets one.
std::string WithCrLf(const std::string& content) {
    std::string converted;
    for (std::size_t index = 0; index < content.size(); ++index) {
        if (content[index] == '\n' && (index == 0 || content[index - 1] != '\r')) {
            converted += '\r';
        }
        converted += content[index];
    }
    return converted;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    InstallMessageHandler([](const std::string& text) {
        Check(!text.empty());
        g_messages.push_back(text);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string content(reinterpret_cast<const char*>(data), size);
    Outcome outcome;
    if (!Read(content, outcome)) {
        return 0;
    }

    const std::vector<CardConfig>& cards = outcome.cards;
    Check(cards.size() <= static_cast<std::size_t>(MAX_CARDS));
    for (std::size_t index = 0; index < cards.size(); ++index) {
        const CardConfig& card = cards[index];
        Check(!card.address.empty() && !card.serialText.empty());
        Check(card.serialText.find_first_not_of("0123456789") == std::string::npos);
        Check(card.serialNumber > 0);
        Check(card.mode >= 0 && card.mode < SAT_MODE_COUNT);
        Check(card.device >= 0 && card.device < DEVICE_MODEL_COUNT);
        for (std::size_t other = 0; other < index; ++other) {
            Check(cards[other].serialNumber != card.serialNumber);
        }
    }
    const std::vector<int32_t>& watchList = outcome.watchList;
    for (std::size_t index = 0; index < watchList.size(); ++index) {
        Check(watchList[index] >= 0);
        Check(std::count(watchList.begin(), watchList.end(), watchList[index]) == 1);
    }
    Check(outcome.alsPeriod >= -1);
    Check(outcome.logInterval >= -1);
    // Without a "[" nothing is read and nothing is said.
    if (content.find('[') == std::string::npos) {
        Check(outcome.messages.empty() && cards.empty() && watchList.empty());
    }

    const std::vector<ConfWarning> warnings = LintConfigText(content, LogIntervalOption{});
    const auto lines = static_cast<int>(std::count(content.begin(), content.end(), '\n')) + 1;
    int zeroLogInFile = 0;
    int zeroLogInEffect = 0;
    for (const ConfWarning& warning : warnings) {
        Check(warning.line >= 0 && warning.line <= lines + 1 && !warning.text.empty());
        if (warning.text.starts_with("the log sampling interval is 0")) {
            ++(warning.line > 0 ? zeroLogInFile : zeroLogInEffect);
        }
    }
    // No /L option here: the interval in effect is the file's, else 0.
    Check(zeroLogInFile == (outcome.logInterval == 0 ? 1 : 0));
    Check(zeroLogInEffect == (outcome.logInterval == -1 ? 1 : 0));

    Outcome crLf;
    if (Read(WithCrLf(content), crLf)) {
        Check(SameCards(crLf.cards, cards) && crLf.watchList == watchList &&
              crLf.alsPeriod == outcome.alsPeriod && crLf.logInterval == outcome.logInterval &&
              crLf.messages == outcome.messages);
    }
    return 0;
}
