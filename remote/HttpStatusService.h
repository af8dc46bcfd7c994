// The station seen from anywhere: a service of the operations layer that
// serves, over HTTP on threads of its own,
//
//   GET /              the live status page (compiled in)
//   GET /api/status    the station and its cards as JSON
//   GET /api/events    the same, as server-sent events: one per change
//   GET /metrics       the Prometheus text format
//   GET /api/sessions  the session history as JSON, when there is one
//
// It is registered with the core as an observer. On the dispatch thread it
// only stores the pass count and hands each new snapshot to an asynchronous
// observer; requests read the snapshot that observer published and never take
// a lock the dispatch thread waits for.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/AsyncObserver.h"
#include "history/SessionQuery.h"
#include "remote/HttpServer.h"
#include "remote/StatusFeed.h"

constexpr const char* HTTP_DEFAULT_ADDRESS = "127.0.0.1";

// The session history's reader (QuerySessions' signature).
using SessionLookup =
    std::function<SessionQueryResult(const std::string& path, const SessionFilter& filter,
                                     std::vector<SessionRecord>& sessions, std::string& error)>;

struct HttpStatusOptions {
    std::string address = HTTP_DEFAULT_ADDRESS;
    int port = 0;
    std::string token;       // empty: no Authorization needed
    std::string version;     // the station's
    SessionLookup sessions;  // empty: the station keeps no session history
    HttpServerLimits limits;
    // A quiet event stream says it is alive this often.
    std::chrono::milliseconds heartbeat{5000};
    // Status events on one stream follow each other at least this far apart.
    std::chrono::milliseconds eventSpacing{200};
};

// "[ADDR:]PORT" ("8080", "127.0.0.2:8080", "[::1]:8080"): false with `error` set when it
// is not one. ADDR defaults to 127.0.0.1.
bool ParseHttpEndpoint(const std::string& text, std::string& address, int& port,
                       std::string& error);
// 127.0.0.0/8 or ::1.
bool IsLoopbackAddress(const std::string& address);
// The token in `path`: a regular file of at most 4 KiB holding one word (blanks
// and line ends around it are dropped). False with `error` set otherwise.
bool ReadTokenFile(const std::string& path, std::string& token, std::string& error);

class CHttpStatusService final : public CStationObserver {
public:
    explicit CHttpStatusService(HttpStatusOptions options);
    // Stops serving, then ends the asynchronous observer.
    ~CHttpStatusService() override;

    CHttpStatusService(const CHttpStatusService&) = delete;
    CHttpStatusService& operator=(const CHttpStatusService&) = delete;

    // Listens and serves; false with `error` set when it cannot listen.
    bool Start(std::string& error);
    int Port() const { return m_server.Port(); }
    // Ends every event stream and every connection; joins the threads.
    void Stop();

    // Observer calls: OnRunStarted and OnRunStopped from the core's threads,
    // OnPass on the dispatch thread.
    void OnRunStarted(const StationInfo& info) override;
    void OnEvent(const StationEvent& /*event*/) override {}
    void OnPass(const StationPass& pass) override;
    void OnRunStopped() override;

    // Waits until what was handed in has been published (tests).
    void Settle();
    const CStatusFeed& Feed() const { return *m_feed; }
    size_t OpenConnections() const { return m_server.OpenConnections(); }

private:
    void Status(const HttpRequest& request, HttpResponse& response) const;
    void Metrics(const HttpRequest& request, HttpResponse& response) const;
    void Events(const HttpRequest& request, HttpResponse& response) const;
    void Sessions(const HttpRequest& request, HttpResponse& response) const;

    const HttpStatusOptions m_options;
    const std::string m_hostName;
    CStatusFeed* m_feed;  // owned by m_async
    std::unique_ptr<CAsyncObserver> m_async;
    uint64_t m_lastSequence = 0;  // dispatch thread
    CHttpServer m_server;
};
