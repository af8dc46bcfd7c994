// The data folder's lock: flock on the folder itself, and the holder's process id in
// OrvaneSystemDx.lock for the message that turns a second station away.
#include "history/DataFolderLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/SafeFile.h"

CDataFolderLock::~CDataFolderLock() {
    if (m_fd >= 0) {
        ::close(m_fd);  // releases the lock
    }
}

CDataFolderLock::Result CDataFolderLock::Acquire(const std::string& dataDir) {
    if (m_fd >= 0) {
        return Result::Held;
    }
    m_holder = 0;
    m_why.clear();
    const int fd = ::open(dataDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        m_why = std::strerror(errno);
        return Result::Unavailable;
    }
    const std::string infoPath = dataDir + "/" + LOCK_FILE_NAME;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        if (error != EWOULDBLOCK) {
            m_why = std::strerror(error);
            return Result::Unavailable;
        }
        const int info = OpenRegularFile(infoPath, O_RDONLY);
        if (info >= 0) {
            char text[32] = {};
            const ssize_t got = ::pread(info, text, sizeof text - 1, 0);
            m_holder = got > 0 ? static_cast<pid_t>(std::atoi(text)) : 0;
            ::close(info);
        }
        return Result::HeldByOther;
    }
    m_fd = fd;
    m_holder = ::getpid();
    // Information only: where the file cannot be written, the lock holds all the same.
    const int info = OpenRegularFile(infoPath, O_WRONLY | O_CREAT);
    if (info >= 0) {
        const std::string pid = std::to_string(m_holder) + "\n";
        if (::ftruncate(info, 0) == 0) {
            [[maybe_unused]] const ssize_t ignored = ::pwrite(info, pid.data(), pid.size(), 0);
        }
        ::close(info);
    }
    return Result::Held;
}
