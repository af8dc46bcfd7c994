// The statistics file of the run, written once by the core's destructor on
// the user-interface thread, after the dispatch thread has ended. The layout
// and the safe writing are in StatisticsFile.cpp; here the core hands over
// its cards and streams its samples: from the sample archive for those that
// left memory, then from memory.
#include "config/Notifier.h"
#include "core/Monitor.h"
#include "core/StatisticsFile.h"

void COrvane::WriteStatistics() {
    if (SamplesTaken() == 0) {
        return;
    }
    StatisticsRun run;
    run.dataDir = m_dataDir;
    run.startTime = m_startTime;
    run.stopTime = m_clock->WallSeconds();
    GetCardRows(run.cards);
    run.sampleCount = SamplesTaken();
    run.samples = [this](const std::function<void(const StatSample&)>& each) {
        if (m_firstKeptSample > 0 &&
            (m_archive == nullptr || !m_archive->ReadSamples(m_firstKeptSample, each))) {
            return false;
        }
        for (const StatSample& sample : m_samples) {
            each(sample);
        }
        return true;
    };

    const StatisticsOutcome outcome = WriteStatisticsFile(run, true);
    if (outcome.result != StatisticsResult::Written) {
        StatisticsFailed(outcome.message);
        return;
    }
    if (!m_observers.empty()) {
        StationEvent event = CardEvent(StationEventKind::StatisticsWritten, -1);
        event.text = outcome.path;
        event.value = static_cast<int64_t>(run.sampleCount);
        Emit(event);
    }
}

void COrvane::StatisticsFailed(const std::string& message) {
    ShowMessage(message);
    if (!m_observers.empty()) {
        StationEvent event = CardEvent(StationEventKind::StatisticsFailed, -1);
        event.text = message;
        Emit(event);
    }
}
