// A small HTTP/1.1 server for what others read of the station: GET and HEAD
// on exact paths, answered by handlers of ours. The HTTP library parses
// requests and writes responses; this class owns the sockets and threads, so
// every limit that keeps a hostile client from hurting the station is ours:
//
//   accept thread ──> at most `maxConnections` connections, each on a worker
//                     thread; one more is answered 503 and closed at once
//   worker        ──> requests on the connection, one at a time: the request
//                     line and headers within `maxHeadBytes` and `headTime`,
//                     every read and write within its time limit, an idle
//                     connection closed after `keepAlive`
//
// Paths are looked up in a table: nothing a client sends is ever used as a
// file name. Other methods than GET and HEAD are answered 405; with a token
// set, a request without "Authorization: Bearer <token>" is answered 401.
//
// Threads: Handle and SetToken before Start; Start and Stop on one thread.
// Handlers run on the worker threads, several at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct HttpRequest {
    std::string method;                              // "GET" or "HEAD"
    std::string path;                                // without the query
    std::multimap<std::string, std::string> params;  // the query, decoded

    bool HasParam(const std::string& name) const { return params.count(name) != 0; }
    // The first value of `name`; empty when absent.
    std::string Param(const std::string& name) const;
};

// Writes one piece of a streamed response; false once the client is gone.
using HttpChunkWriter = std::function<bool(std::string_view)>;

struct HttpResponse {
    int status = 200;
    std::string contentType = "text/plain; charset=utf-8";
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // When set, the body is streamed instead: `stream` is called again and
    // again on the connection's thread, writes what it has (it may wait for
    // it) and returns false to end the response. It must come back within
    // a second or so, so that Stop is not held up.
    std::function<bool(const HttpChunkWriter& write)> stream;
};

using HttpHandler = std::function<void(const HttpRequest&, HttpResponse&)>;

struct HttpServerLimits {
    size_t maxConnections = 32;
    size_t maxHeadBytes = 16 * 1024;            // request line, headers and any body, per request
    std::chrono::milliseconds headTime{10000};  // to receive one whole request
    std::chrono::milliseconds readTimeout{5000};
    std::chrono::milliseconds writeTimeout{5000};
    std::chrono::milliseconds keepAlive{5000};  // an idle connection waits this long
    size_t requestsPerConnection = 100;
};

// A bearer token's text as `Authorization` carries it, compared in constant time.
bool SameToken(std::string_view given, std::string_view expected);

class CHttpServer {
public:
    explicit CHttpServer(HttpServerLimits limits = {});
    // Stops the server if it runs.
    ~CHttpServer();

    CHttpServer(const CHttpServer&) = delete;
    CHttpServer& operator=(const CHttpServer&) = delete;

    // Answers GET and HEAD of exactly `path`.
    void Handle(const std::string& path, HttpHandler handler);
    // Every request must then carry "Authorization: Bearer <token>".
    void SetToken(std::string token);

    // Binds `address` (an IPv4 or IPv6 literal) and `port` (0: any free one)
    // and starts serving. False with `error` set when it cannot listen there.
    bool Start(const std::string& address, int port, std::string& error);
    // The port it listens on; 0 before Start.
    int Port() const;
    // Closes the listening socket and every connection, then joins the threads.
    void Stop();

    // How many connections are open now (for tests and metrics). Any thread.
    size_t OpenConnections() const;

private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};
