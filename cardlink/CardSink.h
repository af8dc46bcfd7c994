// The link side of one card: the sink that the card library calls back, and
// the sending of the card's commands.
//
// Callbacks run on the library's threads. Each becomes one whole EventRecord in
// the event queue and then one log entry, in that order. They touch only the
// queue, the logger, the atomic link flag and fields fixed by Init.
// The sending operations run on the dispatch thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "cardlink/EventQueue.h"
#include "cardlink/Logger.h"
#include "cardlink/VexlinkApi.h"

// How long Disconnect waits for the link-down notification before it gives up.
constexpr int32_t DISCONNECT_WAIT_MS = 5000;
constexpr int32_t DISCONNECT_POLL_MS = 10;
// Commands of one card that may wait behind its mode setups; beyond this the
// oldest waiting command is dropped (with a log line) rather than memory given.
constexpr int32_t MAX_WAITING_COMMANDS = 256;

class CCardSink : public CVexlinkSink {
public:
    CCardSink() = default;
    ~CCardSink() override = default;

    CCardSink(const CCardSink&) = delete;
    CCardSink& operator=(const CCardSink&) = delete;

    // Stores the four and clears the link flag. Called before the library can call back.
    void Init(const std::string& address, int32_t number, CCircularBuffer<char>* queue,
              CLogger* log);
    void SetInstance(CVexlinkInstance* instance) { m_instance = instance; }

    // Asks the library to connect to the card's host on `port` and logs
    // "Connect Card %i:\n%s %s\n\n". Nothing happens without a library object.
    void Connect(const std::string& port);

    // Only while the link is up: asks the library to disconnect, then waits
    // until OnLinkDown has cleared the link flag, polling every 10 ms, at most
    // DISCONNECT_WAIT_MS; if it gives up, it says so in the log and returns.
    void Disconnect();

    bool IsLinkUp() const { return m_linkUp.load(); }

    // Why the last link ended, or the last attempt failed (a VexlinkNote), as
    // the library told it through OnNotify; each is taken once. Any thread.
    int32_t TakeLinkEndNote() { return m_linkEndNote.exchange(0); }
    int32_t TakeAttemptNote() { return m_attemptNote.exchange(0); }

    void OnMessage(const char* text, uint32_t length) override;
    void OnLinkUp() override;
    void OnLinkDown() override;
    void OnNotify() override;

protected:
    std::string m_address;
    int32_t m_number = 0;
    CLogger* m_log = nullptr;
    CCircularBuffer<char>* m_queue = nullptr;
    std::atomic<bool> m_linkUp{false};
    CVexlinkInstance* m_instance = nullptr;
    std::atomic<int32_t> m_linkEndNote{0};
    std::atomic<int32_t> m_attemptNote{0};

private:
    void OnLinkChange(int16_t state);
};

// The card's message handler: the sink plus the commands the station sends.
class CCardMH : public CCardSink {
public:
    explicit CCardMH(int32_t charSize);
    ~CCardMH() override;

    // Hands `text` to the library and logs "Send    Card %i:\n%s\n\n".
    void Send(const std::string& text);
    void SendConnect(uint32_t serialNumber);
    void SendAls(const std::string& value);
    // The two halves of a mode setup, which the card sends MODE_SETUP_PAUSE_MS
    // apart and follows with another such pause: "no-mode" first, then the
    // configuration and the mode (twice, BPSK, for sat-c-tdm).
    void SendModeStart();
    void SendModeFinish(int32_t mode);
    void SendResync();
    // Logs that a command waiting behind mode setups was dropped.
    void LogDroppedCommand();

private:
    int32_t m_charSize;
};
