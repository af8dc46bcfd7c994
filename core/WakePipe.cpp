// The wake-up pipe: a byte written wakes the poll() on the read end.
#include "core/WakePipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>

CWakePipe::CWakePipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        m_readFd = fds[0];
        m_writeFd = fds[1];
    }
}

CWakePipe::~CWakePipe() {
    if (m_readFd >= 0) {
        close(m_readFd);
        close(m_writeFd);
    }
}

void CWakePipe::Poke() {
    if (m_writeFd >= 0 && !m_pending.exchange(true)) {
        PokeFd(m_writeFd);
    }
}

bool CWakePipe::Take() {
    if (m_readFd < 0) {
        return false;
    }
    bool any = false;
    std::array<char, 64> buffer;
    for (;;) {
        const ssize_t n = read(m_readFd, buffer.data(), buffer.size());
        if (n > 0) {
            any = true;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    // Re-armed once the pipe is empty: a Poke from here on writes a byte.
    // (Re-armed before, a byte could be read here while the flag stays set,
    // and no Poke would write again.)
    m_pending.store(false);
    return any;
}

void CWakePipe::PokeFd(int fd) {
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = write(fd, &byte, 1);
    errno = savedErrno;
}
