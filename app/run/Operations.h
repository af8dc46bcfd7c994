// The operations layer of one run: what the station keeps and tells beyond
// its designed window, around an unchanged core.
//
//   Prepare (before the core)  the data folder's lock; every journal left by a
//                              run that did not end becomes that run's statistics
//                              file; temporary files of killed writers go
//   Attach  (core built,       the run journal, the session history and the
//            thread not yet)   services the program added, each behind its own
//                              queue and thread
//   Finish  (core gone)        everything handed in is delivered; the lock goes
//
// The run (core/StationRun.h) calls Attach and Finish in their places.
//
// Messages for the user go through the installed notifier (a message box in
// the dialog, standard error in console mode).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config/Notifier.h"
#include "core/AsyncObserver.h"
#include "core/RecordHealth.h"
#include "core/StationRun.h"
#include "history/DataFolderLock.h"

class COrvane;
class CRunJournal;

class COperations final : public CRunExtension {
public:
    // What the operations have to tell the user (a recovered run, a journal
    // or history that failed) goes to `show`; ShowMessage when it is empty.
    explicit COperations(MessageHandler show = {});
    // Finish, if it has not run.
    ~COperations() override;

    COperations(const COperations&) = delete;
    COperations& operator=(const COperations&) = delete;

    // Creates the data folder (one level) if it can, takes its lock and
    // recovers the journals left there. False, with `error` set, when another
    // station holds the folder: the program must end without touching it.
    // Where the folder cannot be locked at all, the user is told and the run
    // keeps no journal and no history (its statistics file is written as ever).
    bool Prepare(const std::string& dataDir, std::string& error);

    // A service of the program (HTTP, MQTT, notifications): registered with
    // the core in Attach, ended in Finish. Call before Attach.
    void AddObserver(std::unique_ptr<CStationObserver> observer);

    // Opens the run journal when the core takes samples, registers it as the
    // core's sample archive; opens the session history (always); registers
    // every observer with the core, and the records' health. A journal or
    // history that cannot be opened is tried again while the run goes on.
    // Once, before the dispatch thread starts.
    void Attach(COrvane& core) override;

    // Whether the journal and the history are kept; any thread.
    const CRecordHealth& Health() const { return m_health; }

    // Waits until the journal has taken everything handed to it so far.
    void Drain();

    // After the core is gone: delivers what is queued and ends the services.
    void Finish() override;

private:
    void AttachHistory(COrvane& core);

    MessageHandler m_show;
    std::string m_dataDir;
    CDataFolderLock m_lock;
    std::string m_lockProblem;  // why the folder is not locked; empty when it is
    CRecordHealth m_health;
    std::vector<std::unique_ptr<CStationObserver>> m_services;
    std::unique_ptr<CAsyncObserver> m_journal;
    std::unique_ptr<CAsyncObserver> m_history;
};
