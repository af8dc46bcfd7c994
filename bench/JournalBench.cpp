// bench_journal: the station's samples over long runs, in virtual time, with
// the run journal as it runs in the program (COperations: the journal behind
// its own queue and thread, a file in a real data folder).
//
//   samples_per_hour_l4                 an hour with a 4 s interval and a pass
//                                       every 300 ms: how many samples
//   rss_growth_mb_per_million_samples   resident memory added by a million
//                                       samples (after a first hundred thousand)
//   exit_ms_month                       the Exit sequence (statistics file
//                                       streamed from the journal) after a
//                                       month of samples at 4 s (648,000)
//   recovery_ms                         recovering the journal of a day at 4 s
//                                       (21,600 samples) left by a killed run
//
// Ten cards are configured (none connected); their sessions come and go, so
// that the busy flags change. Prints one "name: value" line per figure.
//
//   bench_journal [--quick]
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "app/run/Operations.h"
#include "bench/Processes.h"
#include "cardlink/Clock.h"
#include "cardlink/VexlinkApi.h"
#include "core/Monitor.h"
#include "history/RunJournal.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

// Virtual time: both clocks stand still until moved.
class CVirtualClock : public CClock {
public:
    int64_t WallSeconds() const override { return m_steadyMs.load() / 1000 + 1700000000; }
    int64_t SteadyMilliseconds() const override { return m_steadyMs.load(); }
    void AdvanceMs(int64_t ms) { m_steadyMs += ms; }

private:
    std::atomic<int64_t> m_steadyMs{1000000};
};

double MsSince(SteadyClock::time_point start) {
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

double ResidentMb() {
    return static_cast<double>(ReadStatusNumber(getpid(), "VmRSS")) / 1024.0;
}

std::string ConfigText() {
    std::string text;
    for (int card = 1; card <= 10; ++card) {
        text += "[card_" + std::to_string(card) +
                "]\naddress = 127.0.0.1;\nserialno = " + std::to_string(5000 + card) +
                ";\nmode = sat-b;\ndevice = corax;\n";
    }
    return text + "[log]\nperiod = 4;\n";
}

// A core with the journal, as the program builds it, in the data folder of
// the environment.
struct CJournalledRun {
    CVirtualClock clock;
    COperations operations;
    std::unique_ptr<COrvane> core;

    bool Start() {
        std::string error;
        if (!operations.Prepare(std::getenv("ORVANESYSTEM_DATA_DIR"), error)) {
            std::fprintf(stderr, "bench_journal: %s\n", error.c_str());
            return false;
        }
        core = std::make_unique<COrvane>(ReadStationConfig(4, 0), &clock);
        operations.Attach(*core);
        core->BeginRun();
        return true;
    }
    // `samples` more samples, one every 4 s, passes every 4 s; the journal is
    // let catch up every so often, as the real pace of 4 s would let it.
    void Take(uint64_t samples) {
        for (uint64_t i = 0; i < samples; ++i) {
            const uint64_t n = core->SamplesTaken();
            if (n % 500 == 0) {
                const int32_t card = static_cast<int32_t>(n / 500 % 10) + 1;
                core->StartSession(card, static_cast<int32_t>(100 + n), SERVICE_DATA);
            } else if (n % 500 == 250) {
                for (int32_t card = 1; card <= 10; ++card) {
                    core->EndSession(card);
                }
            }
            core->Tick();
            core->EndPass();
            clock.AdvanceMs(4000);
            if (n % 20000 == 19999) {
                // The journal's thread keeps up with a real pace of 4 s; in
                // virtual time it is let catch up now and then.
                operations.Drain();
            }
        }
        operations.Drain();
    }
};

void FreshDataFolder(const std::string& root, const std::string& name) {
    const std::string data = root + "/" + name;
    std::filesystem::remove_all(data);
    std::filesystem::create_directories(data);
    setenv("ORVANESYSTEM_DATA_DIR", data.c_str(), 1);
}

// The cards of this measurement have no hosts: a card library that connects
// nowhere, so that virtual hours of reconnect passes cost nothing real.
class CIdleInstance final : public CVexlinkInstance {
public:
    virtual ~CIdleInstance() = default;
    void Unused() override {}
    void Release() override { delete this; }
    int Connect(const char*, const char*) override { return 0; }
    int Disconnect() override { return 0; }
    int Send(const char*, uint32_t) override { return 0; }
};

}  // namespace

extern "C" CVexlinkInstance* CreateVexlinkInstance(CVexlinkSink*, const char*, const char*,
                                                   const VexlinkOptions*) {
    return new CIdleInstance;
}

extern "C" int32_t VexlinkLastNote(CVexlinkInstance*) {
    return 0;
}

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::string(argv[1]) == "--quick";
    const std::string root =
        (std::filesystem::temp_directory_path() / ("orvane-journal-" + std::to_string(getpid())))
            .string();
    std::filesystem::create_directories(root + "/config");
    std::ofstream(root + "/config/OrvaneSystemDx.ini") << ConfigText();
    setenv("ORVANESYSTEM_CONFIG_DIR", (root + "/config").c_str(), 1);
    bool ok = true;

    {
        // An hour of passes every 300 ms, no journal needed.
        FreshDataFolder(root, "hour");
        CVirtualClock clock;
        COrvane core(ReadStationConfig(4, 0), &clock);
        for (int pass = 0; pass < 3600 * 1000 / 300; ++pass) {
            core.Tick();
            clock.AdvanceMs(300);
        }
        std::printf("samples_per_hour_l4: %llu\n",
                    static_cast<unsigned long long>(core.SamplesTaken()));
    }

    {
        FreshDataFolder(root, "million");
        CJournalledRun run;
        ok = run.Start() && ok;
        run.Take(100000);
        const double before = ResidentMb();
        const uint64_t million = quick ? 200000 : 1000000;
        run.Take(million);
        const double after = ResidentMb();
        std::printf("rss_growth_mb_per_million_samples: %.2f\n",
                    (after - before) * 1000000.0 / static_cast<double>(million));
        std::printf("samples kept in memory at the end: %zu\n", run.core->GetSamples().size());
    }

    {
        FreshDataFolder(root, "month");
        CJournalledRun run;
        ok = run.Start() && ok;
        run.Take(quick ? 64800 : 648000);
        const auto start = SteadyClock::now();
        run.core.reset();
        run.operations.Finish();
        std::printf("exit_ms_month: %.0f\n", MsSince(start));
        const std::string data = std::getenv("ORVANESYSTEM_DATA_DIR");
        for (const auto& entry : std::filesystem::directory_iterator(data)) {
            if (entry.path().filename().string().rfind("Stat", 0) == 0) {
                std::printf("month's statistics file: %.1f MB\n",
                            static_cast<double>(entry.file_size()) / 1e6);
            }
        }
    }

    {
        // A day's journal, left behind by a run that never reached Exit.
        FreshDataFolder(root, "day");
        const std::string data = std::getenv("ORVANESYSTEM_DATA_DIR");
        {
            std::ofstream journal(data + "/" + JOURNAL_FILE_NAME);
            journal << "orvane-journal 1\nrun 1700000000 0 4\n";
            for (int card = 1; card <= 10; ++card) {
                journal << "card " << card << " 0 0 " << 5000 + card << " 127.0.0.1\n";
            }
            for (int i = 0; i < 21600; ++i) {
                journal << "sample " << 1700000000 + 4 * i
                        << (i % 7 == 0 ? " 1010000000\n" : " 0000000000\n");
                if (i % 500 == 250) {
                    journal << "busy " << 1700000000 + 4 * i << " 1 " << i << "\n";
                }
            }
        }
        const auto start = SteadyClock::now();
        const std::vector<RecoveryOutcome> outcomes = RecoverJournals(data);
        std::printf("recovery_ms: %.0f\n", MsSince(start));
        const RecoveryOutcome outcome = outcomes.empty() ? RecoveryOutcome() : outcomes.front();
        if (outcomes.size() != 1 || outcome.result != RecoveryResult::Recovered) {
            std::fprintf(stderr, "bench_journal: recovery failed: %s\n", outcome.message.c_str());
            ok = false;
        }
    }

    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    return ok ? 0 : 1;
}
