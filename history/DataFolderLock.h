// One station per data folder: an advisory lock on a lock file in the folder,
// held for the whole run and released by the system when the process ends,
// however it ends. The file holds the holder's process id, for the message
// that refuses a second station.
#pragma once

#include <sys/types.h>
#include <string>

constexpr const char* LOCK_FILE_NAME = "OrvaneSystemDx.lock";

class CDataFolderLock {
public:
    CDataFolderLock() = default;
    ~CDataFolderLock();

    CDataFolderLock(const CDataFolderLock&) = delete;
    CDataFolderLock& operator=(const CDataFolderLock&) = delete;

    enum class Result {
        Held,         // this station holds the folder
        HeldByOther,  // another live station does; see Holder()
        Unavailable,  // no lock file can be made there (the folder is missing or read-only)
    };
    Result Acquire(const std::string& dataDir);
    // The process id written by the station that holds the folder; 0 when unknown.
    pid_t Holder() const { return m_holder; }

private:
    int m_fd = -1;
    pid_t m_holder = 0;
};
