// The card host's public operations: each checks what it can on the caller's
// thread, then runs on the host's thread through CHostServer::Call and
// reports there whether it could be done.
//
//     script, tests --CCardHost::Flood(serial)--> Call --> AttachedCard --> CHostCard::StartFlood
//                   <------------ true, or false with the reason -------'
#include "cardhost/CardHost.h"

#include "cardhost/HostServer.h"

CCardHost::CCardHost(CardHostOptions options, OutputFn output)
    : m_server(std::make_unique<CHostServer>(std::move(options), std::move(output))) {}

CCardHost::~CCardHost() = default;

bool CCardHost::Start(std::string& error) {
    return m_server->Start(error, m_port);
}

void CCardHost::Stop() {
    m_server->Stop();
}

bool CCardHost::StartSession(uint32_t serial, uint32_t mesId, const std::string& serviceCode,
                             std::string& error) {
    CHostServer& server = *m_server;
    return server.Call(error, [&](std::string& failure) {
        CHostCard* card = server.AttachedCard(serial, failure);
        if (!card) {
            return false;
        }
        card->StartSession(mesId, serviceCode);
        return true;
    });
}

bool CCardHost::EndSession(uint32_t serial, std::string& error) {
    CHostServer& server = *m_server;
    return server.Call(error, [&](std::string& failure) {
        CHostCard* card = server.AttachedCard(serial, failure);
        if (!card) {
            return false;
        }
        if (!card->InSession()) {
            failure = "no session runs on card " + std::to_string(serial);
            return false;
        }
        card->EndSession();
        return true;
    });
}

bool CCardHost::SendEvent(uint32_t serial, const std::string& event, std::string& error) {
    if (event != EVENT_CCS && event != EVENT_ANN && event != EVENT_ASS) {
        error = "unknown event " + event;
        return false;
    }
    CHostServer& server = *m_server;
    return server.Call(error, [&](std::string& failure) {
        CHostCard* card = server.AttachedCard(serial, failure);
        if (!card) {
            return false;
        }
        card->SendEvent(event);
        return true;
    });
}

bool CCardHost::SendParameters(uint32_t serial, const std::vector<CardParameter>& parameters,
                               std::string& error) {
    CHostServer& server = *m_server;
    return server.Call(error, [&](std::string& failure) {
        CHostCard* card = server.AttachedCard(serial, failure);
        if (!card) {
            return false;
        }
        card->Send(ParameterListMessage(parameters));
        return true;
    });
}

bool CCardHost::SendText(uint32_t serial, const std::string& text, std::string& error) {
    if (text.size() > MAX_FRAME_BYTES) {
        error = "text longer than " + std::to_string(MAX_FRAME_BYTES) + " bytes";
        return false;
    }
    CHostServer& server = *m_server;
    return server.Call(error, [&](std::string& failure) {
        CHostCard* card = server.AttachedCard(serial, failure);
        if (!card) {
            return false;
        }
        card->Send(text);
        return true;
    });
}

bool CCardHost::Drop(std::optional<uint32_t> serial, std::string& error) {
    return m_server->ForConnections(serial, error,
                                    [](CFramedConnection& connection) { connection.Close(); });
}

bool CCardHost::Freeze(std::optional<uint32_t> serial, std::string& error) {
    CHostServer& server = *m_server;
    return server.ForConnections(serial, error, [&server](CFramedConnection& connection) {
        if (connection.Freeze()) {
            server.Emit("frozen " + server.Label(connection));
        }
    });
}

bool CCardHost::Thaw(std::optional<uint32_t> serial, std::string& error) {
    CHostServer& server = *m_server;
    return server.ForConnections(serial, error, [&server](CFramedConnection& connection) {
        if (connection.Thaw()) {
            server.Emit("thawed " + server.Label(connection));
        }
    });
}

bool CCardHost::Flood(uint32_t serial, uint32_t count, std::string& error) {
    CHostServer& server = *m_server;
    return server.Call(error, [&](std::string& failure) {
        CHostCard* card = server.AttachedCard(serial, failure);
        if (!card) {
            return false;
        }
        if (card->IsFlooding()) {
            failure = "a flood runs on card " + std::to_string(serial);
            return false;
        }
        card->StartFlood(count);
        return true;
    });
}

bool CCardHost::CarriesCard(uint32_t serial) const {
    return m_server->FindCard(serial) != nullptr;
}

bool CCardHost::WaitAttached(uint32_t serial, std::chrono::milliseconds timeout) {
    return m_server->WaitFor(serial, false, timeout);
}

bool CCardHost::WaitMode(uint32_t serial, std::chrono::milliseconds timeout) {
    return m_server->WaitFor(serial, true, timeout);
}

bool CCardHost::GetCardStatus(uint32_t serial, CardHostCardStatus& status, std::string& error) {
    CHostServer& server = *m_server;
    return server.Call(error, [&](std::string& failure) {
        const CHostCard* card = server.FindCard(serial);
        if (!card) {
            failure = "no card " + std::to_string(serial) + " on this host";
            return false;
        }
        status = card->Status();
        return true;
    });
}

bool CCardHost::GetUsage(CardHostUsage& usage, std::string& error) {
    CHostServer& server = *m_server;
    return server.Call(error, [&](std::string&) {
        usage = server.Usage();
        return true;
    });
}
