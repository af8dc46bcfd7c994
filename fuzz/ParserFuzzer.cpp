// libFuzzer target for the card message parser.
//
// The first byte chooses how the input reaches the parser: as a whole message
// (a message starts with "<", which selects this), or, without that byte, as
// the content of a Text, Cards or ParameterList element in an otherwise
// well-formed message, so that the fuzzer spends its time on the record,
// card and parameter rules instead of rediscovering the envelope. Every
// public operation runs on the result, and the traffic records are drained.
// Besides the sanitizers' checks, the parser's contracts are asserted: a
// violation aborts and leaves the input as a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "parser/SATXML.h"
#include "resources/OrvaneTypes.h"

namespace {

constexpr size_t MAX_CARDS_PER_MESSAGE = 8;
// Each record taken removes at least its "MODE:" from the stored text.
constexpr size_t LEAST_TAKEN_PER_RECORD = 5;
constexpr int32_t MES_ID_MIN = -9'999'999;  // a sign and 7 digits
constexpr int32_t MES_ID_MAX = 99'999'999;  // 8 digits

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

std::string BuildMessage(const uint8_t* data, size_t size) {
    const std::string whole(reinterpret_cast<const char*>(data), size);
    const std::string rest = whole.substr(1);
    switch (data[0] % 4) {
        case 1:
            return "<Message version=\"1.0\"><Data><Text>" + rest + "</Text></Data></Message>";
        case 2:
            return "<Message version=\"1.0\"><Information><Cards>" + rest +
                   "</Cards></Information></Message>";
        case 3:
            return "<Message version=\"1.0\"><Information><ParameterList>" + rest +
                   "</ParameterList></Information></Message>";
        default:
            return whole;
    }
}

void DrainRecords(CSATXML& parser) {
    const size_t bound = parser.Text().size() / LEAST_TAKEN_PER_RECORD + 1;
    for (size_t taken = 0;; ++taken) {
        Require(taken <= bound);
        const size_t before = parser.Text().size();
        int32_t mode = -1;
        int32_t service = -1;
        int32_t event = -1;
        int32_t mesId = -1;
        if (!parser.NextTrafficRecord(mode, service, event, mesId)) {
            Require(mode == 0 && service == 0 && event == 0 && mesId == 0);
            Require(parser.Text().size() == before);
            return;
        }
        Require(parser.Text().size() < before);
        Require(mode >= MODE_SAT_B && mode < SAT_MODE_COUNT);
        Require(service >= SERVICE_NONE && service < SERVICE_TYPE_COUNT);
        Require(event >= EV_NONE && event <= EV_END);
        Require(mesId == 0 || event == EV_START);
        Require(mesId >= MES_ID_MIN && mesId <= MES_ID_MAX);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string message = BuildMessage(data, size);
    CSATXML parser;

    std::vector<int32_t> cards{0};
    const bool cardsFound = parser.ParseCardsInformation(message, cards);
    Require(cards.size() >= 1 && cards.size() <= 1 + MAX_CARDS_PER_MESSAGE);
    Require(cardsFound || cards.size() == 1);

    std::vector<ParameterEntry> parameters{{"stale", "entry"}};
    if (!parser.ParseParameterList(message, parameters)) {
        Require(parameters.empty());
    }
    for (const ParameterEntry& entry : parameters) {
        Require(entry.name.size() < message.size() && entry.value.size() < message.size());
    }

    if (parser.ParseDataText(message)) {
        Require(parser.Text().size() < message.size());
    } else {
        Require(parser.Text().empty());
    }
    DrainRecords(parser);

    // A second traffic text: a failed parse keeps what the first one left,
    // a successful one replaces it (the whole input as a message this time).
    const std::string left = parser.Text();
    const std::string whole(reinterpret_cast<const char*>(data), size);
    if (!parser.ParseDataText(whole)) {
        Require(parser.Text() == left);
    }
    DrainRecords(parser);

    // The stored text handed back to the parser as a message of its own.
    const std::string stored = parser.Text();
    if (!parser.ParseDataText(parser.Text())) {
        Require(parser.Text() == stored);
    }
    DrainRecords(parser);
    return 0;
}
