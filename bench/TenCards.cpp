// The ten cards of the measurements: the three hosts' models, the cards' modes, their configuration
// file, and random loopback addresses.
#include "bench/TenCards.h"

#include <array>

namespace {

struct HostModel {
    const char* device;
    uint16_t port;
    uint32_t firstSerial;
    uint32_t cards;
};

constexpr std::array<HostModel, BENCH_HOST_COUNT> HOST_MODELS = {{
    {"corax", 33254, 1001, 4},
    {"corax-e", 33274, 2001, 3},
    {"tarsa", 33284, 3001, 3},
}};

constexpr std::array<const char*, 4> MODES = {"sat-b", "sat-m", "sat-mini-m", "sat-c-tdm"};

}  // namespace

std::vector<BenchHost> BenchHosts(const std::vector<std::string>& addresses) {
    std::vector<BenchHost> hosts;
    for (size_t h = 0; h < HOST_MODELS.size() && h < addresses.size(); ++h) {
        const HostModel& model = HOST_MODELS[h];
        BenchHost host{addresses[h], model.device, model.port, {}};
        for (uint32_t i = 0; i < model.cards; ++i) {
            host.serials.push_back(model.firstSerial + i);
        }
        hosts.push_back(std::move(host));
    }
    return hosts;
}

std::vector<BenchCard> BenchCards() {
    std::vector<BenchCard> cards;
    int32_t number = 1;
    for (size_t h = 0; h < HOST_MODELS.size(); ++h) {
        for (uint32_t i = 0; i < HOST_MODELS[h].cards; ++i) {
            cards.push_back({number, HOST_MODELS[h].firstSerial + i,
                             MODES[static_cast<size_t>(number - 1) % MODES.size()], h});
            ++number;
        }
    }
    return cards;
}

std::string BenchConfigText(const std::vector<BenchHost>& hosts, int32_t logInterval) {
    std::string text = "Ten cards on three card hosts, written by the measurement harness.\n\n";
    for (const BenchCard& card : BenchCards()) {
        const BenchHost& host = hosts.at(card.host);
        text += "[card_" + std::to_string(card.number) + "]\n";
        text += "address = " + host.address + ";\n";
        text += "serialno = " + std::to_string(card.serial) + ";\n";
        text += std::string("mode = ") + card.mode + ";\n";
        text += std::string("device = ") + host.device + ";\n\n";
    }
    if (logInterval > 0) {
        text += "[log]\nperiod = " + std::to_string(logInterval) + ";\n";
    }
    return text;
}

std::string RandomLoopbackAddress(std::mt19937& random) {
    std::uniform_int_distribution<int> second(16, 250);
    std::uniform_int_distribution<int> byte(1, 254);
    return "127." + std::to_string(second(random)) + "." + std::to_string(byte(random)) + "." +
           std::to_string(byte(random));
}
