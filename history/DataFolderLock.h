// One station per data folder: an advisory lock (flock) on the folder itself,
// held for the whole run and released by the system when the process ends,
// however it ends. Nothing in the folder can break it: a lock file replaced,
// made a folder or left behind by another user changes nothing. The file
// OrvaneSystemDx.lock holds the holder's process id, for information only (the
// message that refuses a second station); it is written without following a
// link, and only where it is a regular file.
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
        Unavailable,  // the folder cannot be locked; see Why()
    };
    Result Acquire(const std::string& dataDir);
    bool IsHeld() const { return m_fd >= 0; }
    // The process id written by the station that holds the folder; 0 when unknown.
    pid_t Holder() const { return m_holder; }
    // Why the folder could not be locked: "no such folder", ...
    const std::string& Why() const { return m_why; }

private:
    int m_fd = -1;
    pid_t m_holder = 0;
    std::string m_why;
};
