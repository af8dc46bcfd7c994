// Micro benchmarks of the event queue: one record written and read back, for
// the sizes a card sends (a link change, a parameter report, a traffic text, a
// large message).
#include "cardlink/EventQueue.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "cardlink/EventRecord.h"

namespace {

void BM_WriteReadRecord(benchmark::State& state) {
    const auto payload = static_cast<int32_t>(state.range(0));
    CCircularBuffer<char> queue;
    std::vector<char> record(static_cast<size_t>(EVENT_HEADER_SIZE + payload), 'x');
    EventRecord header{};
    header.type = payload == 0 ? EVT_CARD_STATUS : EVT_CARD_MESSAGE;
    header.length = static_cast<int16_t>(EVENT_HEADER_SIZE + payload);
    header.card = 1;
    std::memcpy(record.data(), &header, sizeof header);
    std::vector<char> out(record.size());
    for (auto _ : state) {
        queue.Write(record.data(), static_cast<int32_t>(record.size()));
        queue.Read(out.data(), EVENT_HEADER_SIZE, 0);
        queue.Read(out.data() + EVENT_HEADER_SIZE, payload, 0);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(record.size()));
}
BENCHMARK(BM_WriteReadRecord)->Arg(0)->Arg(120)->Arg(300)->Arg(4000)->Arg(MAX_EVENT_PAYLOAD);

}  // namespace

BENCHMARK_MAIN();
