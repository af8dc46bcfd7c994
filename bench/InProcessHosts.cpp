// The ten cards' three card hosts started in process on random loopback addresses, and the wait for
// their cards to reach a mode.
#include "bench/InProcessHosts.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>

bool CInProcessHosts::Start(std::mt19937& random, CCardHost::OutputFn output) {
    for (const BenchHost& model : BenchHosts({"", "", ""})) {
        bool started = false;
        for (int attempt = 0; attempt < 20 && !started; ++attempt) {
            BenchHost host = model;
            host.address = RandomLoopbackAddress(random);
            CardHostOptions options;
            options.address = host.address;
            options.port = host.port;
            options.serials = host.serials;
            auto running = std::make_unique<CCardHost>(options, output);
            std::string error;
            if (running->Start(error)) {
                plan.push_back(host);
                hosts.push_back(std::move(running));
                started = true;
            }
        }
        if (!started) {
            return false;
        }
    }
    return true;
}

CCardHost& CInProcessHosts::HostOf(uint32_t serial) {
    for (size_t h = 0; h < plan.size(); ++h) {
        if (std::find(plan[h].serials.begin(), plan[h].serials.end(), serial) !=
            plan[h].serials.end()) {
            return *hosts[h];
        }
    }
    std::abort();
}

bool CInProcessHosts::WaitInMode(int32_t cards, std::chrono::milliseconds timeout) {
    for (const BenchCard& card : BenchCards()) {
        if (card.number <= cards && !HostOf(card.serial).WaitMode(card.serial, timeout)) {
            return false;
        }
    }
    return true;
}
