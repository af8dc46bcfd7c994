// One decoder card of a card host: what it is set to, whether a connection
// has it, its session, and what it sends. The server (HostServer.h) attaches
// it to a connection on the station's Connect and hands it the station's other
// commands; the script operations (CardHost.cpp) start and end its sessions,
// send its events and texts, and flood.
//
//     Connect --Attach--> attached --Detach (connection closed, taken over)--> not attached
//       attached: traffic generator scheduled (TrafficGenerator.h), the flood
//                 of CardHostOptions::flood started
//       Set code=..   --> running session dropped, "code"/"als" reported, rescheduled
//       Set als=..    --> "als" reported
//       Start resync  --> running session dropped, rescheduled
//     Detach: the session ends with nothing sent (there is no one to tell),
//             a flood stops
//
// Everything runs on the host's thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cardhost/Asio.h"
#include "cardhost/CardHost.h"
#include "cardhost/CardProtocol.h"
#include "cardhost/FramedConnection.h"
#include "cardhost/TrafficGenerator.h"

class CHostCard;

// What a card tells its host. Called on the host's thread.
class CCardOwner {
public:
    virtual ~CCardOwner() = default;
    virtual void Emit(const std::string& line) = 0;
    // The card was attached or detached, or its code changed.
    virtual void OnCardChanged(const CHostCard& card) = 0;
};

class CHostCard {
public:
    // The card `number` (1..) of its host; `options` and `owner` outlive it.
    CHostCard(asio::io_context& io, uint32_t serial, uint32_t number,
              const CardHostOptions& options, CCardOwner& owner);
    CHostCard(const CHostCard&) = delete;
    CHostCard& operator=(const CHostCard&) = delete;

    uint32_t Serial() const { return m_serial; }
    const std::shared_ptr<CFramedConnection>& Connection() const { return m_connection; }
    // Its code is a mode keyword.
    bool InMode() const;
    // The two mode letters of its traffic records, " B" without a mode.
    const char* Letters() const;
    bool InSession() const { return m_inSession; }
    CardHostCardStatus Status() const;

    // The card goes to `connection`; it must have no connection now.
    void Attach(std::shared_ptr<CFramedConnection> connection);
    void Detach();
    // The host stops: nothing more is generated.
    void Stop();

    // The station's Set with a parameter list, and its resync.
    void ApplyParameters(const std::vector<CardParameter>& parameters);
    void Resync();

    // What the card sends, on its connection if it has one.
    void Send(std::string_view text);
    // A session start record; the session is this one from now on (a running
    // one is replaced without an end record).
    void StartSession(uint32_t mesId, const std::string& service);
    // The end record of the running session; the next is scheduled.
    void EndSession();
    void SendEvent(std::string_view event);
    bool IsFlooding() const { return m_flooding; }
    void StartFlood(uint32_t count);
    void OnFloodFramesWritten(uint32_t count);

    // For the traffic generator: the session's state, set without a record.
    void BeginSession(uint32_t mesId, const char* service);
    void FinishSession();
    const std::string& Service() const { return m_service; }

private:
    void AbortSession();
    void PumpFlood();

    const uint32_t m_serial;
    const uint32_t m_number;
    const CardHostOptions& m_options;
    CCardOwner& m_owner;

    std::string m_code = CODE_NO_MODE;
    std::string m_als = ALS_OFF;
    std::string m_modulation;
    std::string m_input;
    std::shared_ptr<CFramedConnection> m_connection;

    bool m_inSession = false;
    uint32_t m_mesId = 0;
    std::string m_service;  // of the running or the last session
    CTrafficGenerator m_traffic;

    bool m_flooding = false;
    uint32_t m_floodCount = 0;
    uint32_t m_floodQueued = 0;
    uint32_t m_floodWritten = 0;
    std::string m_floodFrame;
};
