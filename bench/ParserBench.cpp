// Micro benchmarks of the card message parser, one per message kind, with the
// messages a card really sends.
#include "parser/SATXML.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

const std::string kCards =
    "<Message version=\"1.0\"><Information><Cards><Card number=\"1\" serial-nr=\"4711\"/>"
    "<Card number=\"2\" serial-nr=\"815\"/><Card number=\"3\" serial-nr=\"100123\"/>"
    "</Cards></Information></Message>";
const std::string kParameters =
    "<Message version=\"1.0\"><Information><ParameterList><Parameter name=\"code\" "
    "value=\"sat-b\"/><Parameter name=\"modulation\" value=\"oqpsk\"/><Parameter "
    "name=\"input\" value=\"inp2\"/><Parameter name=\"als\" value=\"analog\"/>"
    "</ParameterList></Information></Message>";
const std::string kTraffic =
    "<Message version=\"1.0\"><Data><Text>MODE: M SERV:DATA EVNT:srt MES_ID:12345678 "
    "TX_CHA_ID:3;MODE: M SERV:DATA EVNT:ccs;MODE: M SERV:DATA EVNT:end;</Text></Data>"
    "</Message>";

void BM_CardsInformation(benchmark::State& state) {
    CSATXML parser;
    std::vector<int32_t> list;
    for (auto _ : state) {
        list.clear();
        benchmark::DoNotOptimize(parser.ParseCardsInformation(kCards, list));
    }
}
BENCHMARK(BM_CardsInformation);

void BM_ParameterList(benchmark::State& state) {
    CSATXML parser;
    std::vector<ParameterEntry> list;
    for (auto _ : state) {
        benchmark::DoNotOptimize(parser.ParseParameterList(kParameters, list));
    }
}
BENCHMARK(BM_ParameterList);

// What the dispatch thread does with a traffic text: the two kinds it tries
// first fail, then the records are taken one by one.
void BM_TrafficText(benchmark::State& state) {
    CSATXML parser;
    std::vector<int32_t> cards;
    std::vector<ParameterEntry> params;
    for (auto _ : state) {
        benchmark::DoNotOptimize(parser.ParseCardsInformation(kTraffic, cards));
        benchmark::DoNotOptimize(parser.ParseParameterList(kTraffic, params));
        parser.ParseDataText(kTraffic);
        int32_t mode = 0;
        int32_t service = 0;
        int32_t event = 0;
        int32_t mesId = 0;
        while (parser.NextTrafficRecord(mode, service, event, mesId)) {
            benchmark::DoNotOptimize(mesId);
        }
    }
}
BENCHMARK(BM_TrafficText);

}  // namespace

BENCHMARK_MAIN();
