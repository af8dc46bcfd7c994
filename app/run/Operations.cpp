// The operations of a run: the data folder's lock and the recovery of earlier journals, then the
// journal, the session history and the added services behind their queues. Operations.h draws it.
#include "app/run/Operations.h"

#include <sys/stat.h>

#include <cerrno>
#include <utility>

#include "config/Notifier.h"
#include "config/SafeFile.h"
#include "core/Monitor.h"
#include "history/RunJournal.h"
#include "history/SessionHistory.h"
#include "history/SessionQuery.h"

namespace {

// The journal's queue is large: it carries samples, busy times and the end,
// not every card event, and a slow disk must not cost it a sample.
constexpr size_t JOURNAL_QUEUE = 100000;
// Sessions and link changes are few, but a disk that stalls must not cost them.
constexpr size_t HISTORY_QUEUE = 50000;

bool IsJournalEvent(const StationEvent& event) {
    return event.kind == StationEventKind::Sample || event.kind == StationEventKind::BusySeconds ||
           event.kind == StationEventKind::StatisticsWritten;
}

}  // namespace

COperations::COperations(MessageHandler show)
    : m_show(show ? std::move(show) : MessageHandler(ShowMessage)) {}

COperations::~COperations() {
    Finish();
}

bool COperations::Prepare(const std::string& dataDir, std::string& error) {
    m_dataDir = dataDir;
    // One level, as the statistics file does; a failure shows later, when
    // something has to be written there.
    ::mkdir(dataDir.c_str(), 0777);
    switch (m_lock.Acquire(dataDir)) {
        case CDataFolderLock::Result::HeldByOther:
            error = "The data folder " + dataDir + " is in use by another station" +
                    (m_lock.Holder() > 0 ? " (process " + std::to_string(m_lock.Holder()) + ")"
                                         : std::string()) +
                    ".";
            return false;
        case CDataFolderLock::Result::Unavailable:
            // Nothing kept there could be trusted to be this station's alone.
            m_lockProblem = "The data folder " + dataDir + " cannot be locked (" + m_lock.Why() +
                            "): this run keeps no journal and no session history.";
            m_show(m_lockProblem);
            return true;
        case CDataFolderLock::Result::Held:
            break;
    }
    RemoveStaleTemporaries(dataDir);
    for (const RecoveryOutcome& recovered : RecoverJournals(dataDir)) {
        if (!recovered.message.empty()) {
            m_show(recovered.message);
        }
    }
    return true;
}

void COperations::AddObserver(std::unique_ptr<CStationObserver> observer) {
    m_services.push_back(std::move(observer));
}

void COperations::Attach(COrvane& core) {
    core.SetRecordHealth(&m_health);
    if (!m_lockProblem.empty()) {
        const int64_t now = core.GetStartTime();
        if (core.GetLogInterval() != 0) {
            m_health.Failing(StationRecord::Journal, now, m_lockProblem);
        }
        m_health.Failing(StationRecord::History, now, m_lockProblem);
    } else {
        if (core.GetLogInterval() != 0) {
            auto journal = std::make_unique<CRunJournal>(core.GetDataDir(), core.GetStartTime(),
                                                         m_show, &m_health);
            journal->Open();  // told when it fails, and tried again
            CRunJournal* archive = journal.get();
            CAsyncObserver::Options options;
            options.capacity = JOURNAL_QUEUE;
            options.filter = IsJournalEvent;
            m_journal = std::make_unique<CAsyncObserver>(std::move(journal), options);
            core.SetSampleArchive(archive);
            core.AddObserver(m_journal.get());
        }
        AttachHistory(core);
    }
    for (const std::unique_ptr<CStationObserver>& service : m_services) {
        core.AddObserver(service.get());
    }
}

void COperations::Drain() {
    if (m_journal) {
        m_journal->Drain();
    }
}

void COperations::AttachHistory(COrvane& core) {
    const std::string path = core.GetDataDir() + "/" + SESSION_DATABASE_NAME;
    // One message at most: the history tells its first failure only.
    auto history = std::make_unique<CSessionHistory>(path, m_show);
    history->SetHealth(&m_health);
    history->Open();  // told when it fails, and tried again
    CAsyncObserver::Options options;
    options.capacity = HISTORY_QUEUE;
    options.filter = CSessionHistory::Records;
    options.onOverflow = [this, path] {
        m_show("The session history " + path + " fell behind: some sessions are not in it.");
    };
    m_history = std::make_unique<CAsyncObserver>(std::move(history), options);
    core.AddObserver(m_history.get());
}

void COperations::Finish() {
    m_journal.reset();
    m_history.reset();
    m_services.clear();
}
