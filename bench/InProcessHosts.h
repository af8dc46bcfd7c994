// The three card hosts of the ten cards (TenCards.h), run inside the
// measuring process as emulators, each on a random loopback address and the
// real port of its device model.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "bench/TenCards.h"
#include "cardhost/CardHost.h"

struct CInProcessHosts {
    std::vector<BenchHost> plan;                    // the three, in TenCards order
    std::vector<std::unique_ptr<CCardHost>> hosts;  // running, in the same order

    // Starts the three; a taken address is replaced by another. False when no
    // free address was found for one of them. `output` receives every
    // host's event lines (on the hosts' threads).
    bool Start(std::mt19937& random, CCardHost::OutputFn output = {});
    // The host that carries `serial`; the program ends for a serial of none.
    CCardHost& HostOf(uint32_t serial);
    // Until every card with a number up to `cards` is attached and in a mode.
    bool WaitInMode(int32_t cards, std::chrono::milliseconds timeout);
};
