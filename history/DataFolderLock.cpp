#include "history/DataFolderLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

CDataFolderLock::~CDataFolderLock() {
    if (m_fd >= 0) {
        ::close(m_fd);  // releases the lock
    }
}

CDataFolderLock::Result CDataFolderLock::Acquire(const std::string& dataDir) {
    const std::string path = dataDir + "/" + LOCK_FILE_NAME;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        return Result::Unavailable;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        char text[32] = {};
        const ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
        m_holder = got > 0 ? static_cast<pid_t>(std::atoi(text)) : 0;
        ::close(fd);
        return error == EWOULDBLOCK ? Result::HeldByOther : Result::Unavailable;
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0) {
        [[maybe_unused]] const ssize_t ignored = ::pwrite(fd, pid.data(), pid.size(), 0);
    }
    m_fd = fd;
    m_holder = ::getpid();
    return Result::Held;
}
