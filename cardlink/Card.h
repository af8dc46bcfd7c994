// One configured decoder card: its configuration, its live state (a row of the
// status table) and its link (the message handler and the library object).
//
// Threads: the dispatch thread calls ConnectHost, SetState, the commands and
// RunDueCommands; the user-interface thread calls Disconnect, the destructor
// and GetState. GetState hands out a consistent copy of the whole state block
// while the dispatch thread changes it.
//
// Mode setups run on timers, not by holding the dispatch thread:
//
//   ApplyMode ──> "no-mode" ──200 ms──> configuration, mode ──200 ms──> done
//                    │                                                   │
//                    └── commands of this card issued meanwhile wait ────┘
//                        behind the setup, in order; a further ApplyMode
//                        adds one setup after it, however often it comes
//
// RunDueCommands, called on every pass of the dispatch thread, sends what has
// come due; NextDueMs tells the thread how long it may wait.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <string>

#include "cardlink/CardSink.h"
#include "cardlink/CardState.h"
#include "cardlink/Clock.h"
#include "cardlink/EventQueue.h"
#include "cardlink/Logger.h"

// The host's port by device model (corax, corax-e, tarsa); empty for any other model.
const char* PortOfDevice(int32_t device);

// NextDueMs when nothing is due.
constexpr int64_t NOTHING_DUE = std::numeric_limits<int64_t>::max();

class CCard {
public:
    CCard(int32_t number, const std::string& address, int32_t serialNumber, int32_t mode,
          int32_t device, CCircularBuffer<char>* queue, CLogger* log,
          const CClock* clock = &SystemClock());
    // Releases the library object first (after which no callback runs), then
    // destroys the handler.
    virtual ~CCard();

    CCard(const CCard&) = delete;
    CCard& operator=(const CCard&) = delete;

    // Connects to the card's host on the port of its device model.
    void ConnectHost();
    // Disconnects (waiting for the link to go down, at most DISCONNECT_WAIT_MS).
    // The handler stays until the destructor has released the library object:
    // a callback still under way (a connect attempt, a late message) must find
    // it alive.
    void Disconnect();

    // Sets the status and the session's MES ID and service. Leaving Busy Session,
    // or a new session replacing the old one, adds the session's duration
    // (steady clock) to busySeconds. statusSince becomes the wall-clock time now.
    void SetState(int32_t status, int32_t mesId, int32_t service);
    void SetCodeActive(bool active);

    // Commands, sent through the handler: at once, or after the mode setup
    // under way and whatever waits behind it.
    void SendConnectCommand();
    // Starts the mode setup of the card's mode, or, while one runs, asks for
    // one more after it (one at most, whatever the number of requests).
    void ApplyMode();
    void Resync();
    void OnAlsReport(const std::string& value);
    void AlsDigital();
    void AlsFinish();

    // Sends what has come due: the second half of a setup, the end of its last
    // pause, then the commands that waited. Steady milliseconds of the card's clock.
    void RunDueCommands();
    // When RunDueCommands next has something to do; NOTHING_DUE when not.
    int64_t NextDueMs() const;
    // Forgets the setup under way and every waiting command (the station stops).
    void CancelWaitingCommands();
    // Any thread.
    bool SetupUnderWay() const { return m_setupStep.load() != SetupStep::None; }
    // Dispatch thread: every command of the setups asked for so far has gone
    // out (only a last pause may still run).
    bool SetupCommandsSent() const;

    CardState GetState() const;
    const std::string& Address() const { return m_address; }
    int32_t Number() const { return m_number; }
    int32_t SerialNumber() const { return m_serialNumber; }
    int32_t Mode() const { return m_mode; }
    int32_t Device() const { return m_device; }
    int32_t Status() const;
    int32_t MesId() const;
    int32_t AlsPhase() const;
    bool CodeActive() const;
    bool HasInstance() const { return m_instance != nullptr; }
    // Why the card's last link ended or its last connect attempt failed (a
    // VexlinkNote; 0 when the library told nothing), each taken once.
    int32_t TakeLinkEndNote() { return m_handler ? m_handler->TakeLinkEndNote() : 0; }
    int32_t TakeAttemptNote() { return m_handler ? m_handler->TakeAttemptNote() : 0; }

private:
    // The link: the handler is owned; the library object is ended by Release in
    // the destructor. The state block is guarded by m_stateLock, together with
    // the steady time of the last SetState (the start of a running session)
    // and the busy time not yet counted in whole seconds.
    const int32_t m_charSize = 1;
    CCircularBuffer<char>* m_queue;
    std::unique_ptr<CCardMH> m_handler;
    CVexlinkInstance* m_instance = nullptr;
    const CClock* m_clock;

    const int32_t m_number;
    const std::string m_address;
    const int32_t m_serialNumber;
    const int32_t m_mode;
    const int32_t m_device;

    // A command that waits behind a mode setup.
    enum class CommandKind { Connect, ModeSetup, Resync, Als };
    struct WaitingCommand {
        CommandKind kind;
        std::string alsValue;  // CommandKind::Als
    };
    enum class SetupStep {
        None,
        FirstPause,  // "no-mode" sent; configuration and mode due at m_setupDueMs
        LastPause,   // mode sent; the setup ends at m_setupDueMs
    };
    void Issue(CommandKind kind, const std::string& alsValue = std::string());
    void Send(const WaitingCommand& command);
    void StartSetup();

    // Dispatch thread only; the step is atomic for SetupUnderWay alone.
    std::atomic<SetupStep> m_setupStep{SetupStep::None};
    int64_t m_setupDueMs = 0;
    std::deque<WaitingCommand> m_waiting;

    mutable std::mutex m_stateLock;
    CardState m_state;
    int64_t m_steadySince = 0;      // steady ms of the last SetState
    int64_t m_busyRemainderMs = 0;  // busy time not yet counted in whole seconds
};
