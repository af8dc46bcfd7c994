// The bounded reader of a regular file: the type checked by name before the open and again on the
// descriptor, which is opened without waiting.
#include "config/RegularFileReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

CRegularFileReader::~CRegularFileReader() {
    Close();
}

bool CRegularFileReader::Open(const std::string& path, uint64_t limit) {
    Close();
    m_ended = false;
    m_pos = m_length = 0;

    // Told from the name first, so that a device node is never opened at all:
    // opening some has effects of its own (a watchdog starts counting).
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return false;
    }
    // The name may have been replaced since: the open must not wait on a FIFO
    // or take a terminal, and what was opened is checked again.
    int fd = -1;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return false;
    }
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return false;
    }
    // Non-blocking was for the open alone; reads of the regular file are plain.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) {
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    m_fd = fd;
    m_left = limit;
    return true;
}

int CRegularFileReader::Next() {
    if (m_pos == m_length && !Refill()) {
        return END;
    }
    return m_buffer[m_pos++];
}

bool CRegularFileReader::Refill() {
    if (m_ended || m_fd < 0 || m_left == 0) {
        m_ended = true;
        return false;
    }
    const std::size_t wanted =
        static_cast<std::size_t>(std::min<uint64_t>(m_buffer.size(), m_left));
    ssize_t got = -1;
    do {
        got = ::read(m_fd, m_buffer.data(), wanted);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
        m_ended = true;  // the end of the file, or a read error: the file ends here
        return false;
    }
    m_pos = 0;
    m_length = static_cast<std::size_t>(got);
    m_left -= static_cast<uint64_t>(got);
    return true;
}

void CRegularFileReader::Close() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}
