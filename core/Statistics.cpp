// The statistics file of the run, written once, as the first step of the
// Exit sequence, after the dispatch thread has ended (by the console station,
// or else by the core's destructor). The layout and the safe writing are in
// StatisticsFile.cpp; here the core hands over its cards and streams its
// samples: from the sample archive for those that left memory, then from memory.
#include "config/Notifier.h"
#include "core/Monitor.h"
#include "core/StatisticsFile.h"

bool COrvane::WriteStatistics() {
    if (!m_statisticsOutcome) {
        m_statisticsOutcome = WriteRunStatistics();
    }
    return *m_statisticsOutcome;
}

bool COrvane::WriteRunStatistics() {
    if (SamplesTaken() == 0) {
        return true;
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

    const StatisticsOutcome outcome = WriteStatisticsFile(run);
    if (outcome.result != StatisticsResult::Written) {
        StatisticsFailed(outcome.message);
        return false;
    }
    m_statisticsPath = outcome.path;
    if (!m_observers.empty()) {
        StationEvent event = CardEvent(StationEventKind::StatisticsWritten, -1);
        event.text = outcome.path;
        event.value = static_cast<int64_t>(run.sampleCount);
        Emit(event);
    }
    return true;
}

void COrvane::StatisticsFailed(const std::string& message) {
    m_statisticsProblem = message;
    if (m_messages) {
        m_messages(message);
    } else {
        ShowMessage(message);
    }
    if (!m_observers.empty()) {
        StationEvent event = CardEvent(StationEventKind::StatisticsFailed, -1);
        event.text = message;
        Emit(event);
    }
}
