// SIGINT, SIGTERM and SIGHUP as a readable file descriptor (the self-pipe), so that
// both views can run the orderly Exit sequence instead of dying with the cards
// still connected and the statistics unwritten.
//
// The handler only writes one byte into a non-blocking pipe, which is
// async-signal-safe; the view waits on Fd() (poll in the console, a socket
// notifier in the dialog) and runs the Exit sequence on its own thread.
//
// Platform-specific: this is the POSIX counterpart of a console control handler.
#pragma once

#include "core/WakePipe.h"

class CStopSignals {
public:
    // Creates the pipe and installs the handlers. One object at a time.
    CStopSignals();
    // Restores the handlers that were there before and closes the pipe.
    ~CStopSignals();

    CStopSignals(const CStopSignals&) = delete;
    CStopSignals& operator=(const CStopSignals&) = delete;

    // False when the pipe or a handler could not be set up; the signals then
    // keep their previous disposition.
    bool Valid() const { return m_installed; }
    // Becomes readable when a stop signal has arrived. -1 when not Valid.
    int Fd() const { return m_wake.ReadFd(); }
    // Empties the pipe; true when at least one signal had arrived.
    bool TakeSignals();

private:
    CWakePipe m_wake;
    bool m_installed = false;
};
