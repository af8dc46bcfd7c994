#include "app/Operations.h"

#include <sys/stat.h>

#include <cerrno>
#include <utility>

#include "config/Notifier.h"
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

COperations::COperations() = default;

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
            return true;  // nothing can be kept there; the station runs on
        case CDataFolderLock::Result::Held:
            break;
    }
    const RecoveryOutcome recovered = RecoverJournal(dataDir);
    if (!recovered.message.empty()) {
        ShowMessage(recovered.message);
    }
    return true;
}

void COperations::AddService(std::unique_ptr<CStationObserver> observer) {
    m_services.push_back(std::move(observer));
}

void COperations::Attach(COrvane& core) {
    if (core.GetLogInterval() != 0) {
        const std::string& dataDir = core.GetDataDir();
        if (::mkdir(dataDir.c_str(), 0777) != 0 && errno != EEXIST) {
            ShowMessage("Can't create directory " + dataDir + ".");
        } else {
            auto journal =
                std::make_unique<CRunJournal>(dataDir + "/" + JOURNAL_FILE_NAME,
                                              [](const std::string& text) { ShowMessage(text); });
            if (!journal->Open()) {
                ShowMessage("Can't create file " + journal->Path() + ".");
            } else {
                CRunJournal* archive = journal.get();
                CAsyncObserver::Options options;
                options.capacity = JOURNAL_QUEUE;
                options.filter = IsJournalEvent;
                m_journal = std::make_unique<CAsyncObserver>(std::move(journal), options);
                core.SetSampleArchive(archive);
                core.AddObserver(m_journal.get());
            }
        }
    }
    AttachHistory(core);
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
    auto history =
        std::make_unique<CSessionHistory>(path, [](const std::string& text) { ShowMessage(text); });
    if (!history->Open()) {
        return;  // the user was told; the station runs without it
    }
    CAsyncObserver::Options options;
    options.capacity = HISTORY_QUEUE;
    options.filter = CSessionHistory::Records;
    options.onOverflow = [path] {
        ShowMessage("The session history " + path + " fell behind: some sessions are not in it.");
    };
    m_history = std::make_unique<CAsyncObserver>(std::move(history), options);
    core.AddObserver(m_history.get());
}

void COperations::Finish() {
    m_journal.reset();
    m_history.reset();
    m_services.clear();
}
