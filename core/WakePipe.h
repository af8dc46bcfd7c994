// The one way a thread or a signal handler wakes a thread that waits in poll():
// a non-blocking pipe whose read end becomes readable. The stop signals, the
// terminal's resize, the console's refresh and the HTTP server's stop use it.
#pragma once

#include <atomic>

class CWakePipe {
public:
    // Valid() tells whether the pipe could be made; an invalid one never wakes.
    CWakePipe();
    ~CWakePipe();
    CWakePipe(const CWakePipe&) = delete;
    CWakePipe& operator=(const CWakePipe&) = delete;

    bool Valid() const { return m_readFd >= 0; }
    // Readable from the first Poke until Take: the descriptor to wait on.
    int ReadFd() const { return m_readFd; }
    // For a signal handler, which may use nothing but PokeFd on it.
    int WriteFd() const { return m_writeFd; }

    // Any thread: wakes the waiter. Pokes before the next Take are one wake.
    void Poke();
    // The waiting thread: empties the pipe and re-arms Poke; true when it had
    // been poked. A Poke during or after the call wakes the next wait.
    bool Take();

    // Async-signal-safe: wakes the waiter of the pipe whose write end is `fd`
    // (a full pipe already holds a wake).
    static void PokeFd(int fd);

private:
    int m_readFd = -1;
    int m_writeFd = -1;
    std::atomic<bool> m_pending{false};
};
