#include "app/Operations.h"

#include <sys/stat.h>

#include <cerrno>
#include <utility>

#include "config/Notifier.h"
#include "core/Monitor.h"
#include "history/RunJournal.h"

namespace {

// The journal's queue is large: it carries samples, busy times and the end,
// not every card event, and a slow disk must not cost it a sample.
constexpr size_t JOURNAL_QUEUE = 100000;

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
    for (const std::unique_ptr<CStationObserver>& service : m_services) {
        core.AddObserver(service.get());
    }
}

void COperations::Drain() {
    if (m_journal) {
        m_journal->Drain();
    }
}

void COperations::Finish() {
    m_journal.reset();
    m_services.clear();
}
