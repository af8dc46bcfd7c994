// The station as the measurements run it: ten cards on three card hosts, each
// host on its own loopback address and on the real port of its device model,
// as a site with three host computers would have them.
//
//   host 0  corax    cards 1-4   serials 1001-1004
//   host 1  corax-e  cards 5-7   serials 2001-2003
//   host 2  tarsa    cards 8-10  serials 3001-3003
//
// The card modes go round sat-b, sat-m, sat-mini-m, sat-c-tdm. Pure data and
// text; no thread, no socket.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

constexpr int32_t BENCH_CARD_COUNT = 10;
constexpr size_t BENCH_HOST_COUNT = 3;

struct BenchHost {
    std::string address;  // 127.x.y.z
    const char* device;   // device model keyword
    uint16_t port;        // the model's port
    std::vector<uint32_t> serials;
};

struct BenchCard {
    int32_t number;  // 1-based, in configuration order
    uint32_t serial;
    const char* mode;  // mode keyword
    size_t host;       // index into the hosts
};

// The three hosts with the given addresses (one per host).
std::vector<BenchHost> BenchHosts(const std::vector<std::string>& addresses);
// The ten cards, in configuration order.
std::vector<BenchCard> BenchCards();

// The station's configuration file for these hosts. `logInterval` 0 leaves the
// log section out (no samples, no statistics file).
std::string BenchConfigText(const std::vector<BenchHost>& hosts, int32_t logInterval);

// A loopback address other than the 127.0.0.x that demonstrations use, so that
// a measurement can run beside them on the same ports.
std::string RandomLoopbackAddress(std::mt19937& random);
