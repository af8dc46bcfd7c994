// The HTTP status service: --http's endpoint and token file read, its five paths routed, each
// answered from the latest snapshot (the sessions from the history, filtered as asked).
#include "remote/HttpStatusService.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <ctime>

#include "remote/Json.h"
#include "remote/Metrics.h"
#include "remote/StatusJson.h"
#include "remote/StatusPage.h"

namespace {

using Millis = std::chrono::milliseconds;

constexpr const char* JSON_TYPE = "application/json";
constexpr size_t TOKEN_FILE_LIMIT = 4096;
constexpr size_t SESSIONS_DEFAULT_LIMIT = 100;
constexpr size_t SESSIONS_MAX_LIMIT = 10000;
// How long the browser waits before it connects its event stream again.
constexpr int EVENTS_RETRY_MS = 2000;
// The only place the page may load anything from is this station.
constexpr const char* PAGE_POLICY =
    "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
    "connect-src 'self'; img-src 'self'; base-uri 'none'; form-action 'none'";

int64_t WallMs() {
    return std::chrono::duration_cast<Millis>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof(name) - 1) != 0) {
        return std::string();
    }
    return name;
}

void Json(HttpResponse& response, int status, std::string body) {
    response.status = status;
    response.contentType = JSON_TYPE;
    response.headers.emplace_back("Cache-Control", "no-store");
    response.body = std::move(body);
}

bool ReadInteger(const std::string& text, int64_t low, int64_t high, int64_t& value) {
    if (text.empty() || text.size() > 18 ||
        text.find_first_not_of("0123456789", text[0] == '-' ? 1 : 0) != std::string::npos ||
        text == "-") {
        return false;
    }
    value = std::stoll(text);
    return value >= low && value <= high;
}

// Seconds since 1970, or a local date "2024-05-01", or a time
// "2024-05-01T12:00:00" in local time, with "Z" or an offset "+02:00" for another zone.
bool ReadTime(const std::string& text, int64_t& seconds) {
    if (ReadInteger(text, 0, INT64_MAX / 2, seconds)) {
        return true;
    }
    std::tm parts{};
    const char* rest = ::strptime(text.c_str(), "%Y-%m-%d", &parts);
    if (rest == nullptr) {
        return false;
    }
    if (*rest == 'T' || *rest == ' ') {
        rest = ::strptime(rest + 1, "%H:%M:%S", &parts);
        if (rest == nullptr) {
            return false;
        }
    }
    if (*rest == '\0') {
        parts.tm_isdst = -1;
        const std::time_t local = std::mktime(&parts);
        seconds = local;
        return local != -1;
    }
    long offset = 0;
    if (std::strcmp(rest, "Z") != 0) {
        int hours = 0;
        int minutes = 0;
        char sign = 0;
        char end = 0;
        if (std::sscanf(rest, "%c%2d:%2d%c", &sign, &hours, &minutes, &end) != 3 ||
            (sign != '+' && sign != '-') || hours > 23 || minutes > 59) {
            return false;
        }
        offset = (sign == '-' ? -1 : 1) * (hours * 3600L + minutes * 60L);
    }
    seconds = ::timegm(&parts) - offset;
    return true;
}

bool ReadFilter(const HttpRequest& request, SessionFilter& filter, std::string& error) {
    int64_t value = 0;
    if (request.HasParam("mesid")) {
        if (!ReadInteger(request.Param("mesid"), INT32_MIN, INT32_MAX, value)) {
            error = "mesid must be a number";
            return false;
        }
        filter.mesId = static_cast<int32_t>(value);
    }
    if (request.HasParam("card")) {
        if (!ReadInteger(request.Param("card"), 1, 10, value)) {
            error = "card must be a number from 1 to 10";
            return false;
        }
        filter.card = static_cast<int32_t>(value);
    }
    for (const char* name : {"since", "until"}) {
        if (!request.HasParam(name)) {
            continue;
        }
        if (!ReadTime(request.Param(name), value)) {
            error = std::string(name) +
                    " must be seconds since 1970 or a time like 2024-05-01T12:00:00+02:00";
            return false;
        }
        (std::strcmp(name, "since") == 0 ? filter.since : filter.until) = value;
    }
    filter.limit = SESSIONS_DEFAULT_LIMIT;
    if (request.HasParam("limit")) {
        if (!ReadInteger(request.Param("limit"), 1, SESSIONS_MAX_LIMIT, value)) {
            error = "limit must be a number from 1 to " + std::to_string(SESSIONS_MAX_LIMIT);
            return false;
        }
        filter.limit = static_cast<size_t>(value);
    }
    return true;
}

std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return std::string();
    }
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

}  // namespace

bool ParseHttpEndpoint(const std::string& text, std::string& address, int& port,
                       std::string& error) {
    std::string portText = text;
    address = HTTP_DEFAULT_ADDRESS;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find("]:");
        if (close == std::string::npos) {
            error = "--http " + text + ": write an IPv6 address as [ADDR]:PORT";
            return false;
        }
        address = text.substr(1, close - 1);
        portText = text.substr(close + 2);
    } else if (const size_t colon = text.find(':'); colon != std::string::npos) {
        address = text.substr(0, colon);
        portText = text.substr(colon + 1);
    }
    int64_t value = 0;
    if (!ReadInteger(portText, 0, 65535, value) || portText[0] == '-') {
        error = "--http " + text + ": PORT must be a number from 0 to 65535";
        return false;
    }
    in6_addr probe{};
    if (::inet_pton(AF_INET, address.c_str(), &probe) != 1 &&
        ::inet_pton(AF_INET6, address.c_str(), &probe) != 1) {
        error = "--http " + text + ": " + address + " is not an IP address";
        return false;
    }
    port = static_cast<int>(value);
    return true;
}

bool IsLoopbackAddress(const std::string& address) {
    in_addr v4{};
    if (::inet_pton(AF_INET, address.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    in6_addr v6{};
    return ::inet_pton(AF_INET6, address.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

bool ReadTokenFile(const std::string& path, std::string& token, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        error = "--http-token " + path + ": not a readable file";
        if (fd >= 0) {
            ::close(fd);
        }
        return false;
    }
    std::string text(TOKEN_FILE_LIMIT + 1, '\0');
    const ssize_t n = ::read(fd, text.data(), text.size());
    ::close(fd);
    if (n < 0 || static_cast<size_t>(n) > TOKEN_FILE_LIMIT) {
        error = "--http-token " + path + ": cannot be read, or longer than 4 KiB";
        return false;
    }
    text.resize(static_cast<size_t>(n));
    token = Trimmed(text);
    const bool printable = std::all_of(token.begin(), token.end(), [](char c) {
        return std::isgraph(static_cast<unsigned char>(c)) != 0;
    });
    if (token.empty() || !printable) {
        error = "--http-token " + path + ": the file must hold one word, the token";
        return false;
    }
    return true;
}

CHttpStatusService::CHttpStatusService(HttpStatusOptions options)
    : m_options(std::move(options)), m_hostName(HostName()), m_server(m_options.limits) {
    auto feed = std::make_unique<CStatusFeed>();
    m_feed = feed.get();
    CAsyncObserver::Options async;
    async.capacity = 16;  // only the run's start and stop are queued; passes coalesce
    m_async = std::make_unique<CAsyncObserver>(std::move(feed), async);

    m_server.SetToken(m_options.token);
    m_server.Handle("/", [](const HttpRequest&, HttpResponse& response) {
        response.contentType = "text/html; charset=utf-8";
        response.headers.emplace_back("Content-Security-Policy", PAGE_POLICY);
        response.headers.emplace_back("X-Content-Type-Options", "nosniff");
        response.headers.emplace_back("Cache-Control", "no-cache");
        response.body = std::string(StatusPageHtml());
    });
    m_server.Handle("/api/status", [this](const HttpRequest& request, HttpResponse& response) {
        Status(request, response);
    });
    m_server.Handle("/metrics", [this](const HttpRequest& request, HttpResponse& response) {
        Metrics(request, response);
    });
    m_server.Handle("/api/events", [this](const HttpRequest& request, HttpResponse& response) {
        Events(request, response);
    });
    m_server.Handle("/api/sessions", [this](const HttpRequest& request, HttpResponse& response) {
        Sessions(request, response);
    });
}

CHttpStatusService::~CHttpStatusService() {
    Stop();
    m_async.reset();
}

bool CHttpStatusService::Start(std::string& error) {
    return m_server.Start(m_options.address, m_options.port, error);
}

void CHttpStatusService::Stop() {
    m_feed->Close();  // event streams end at once
    m_server.Stop();
}

void CHttpStatusService::OnRunStarted(const StationInfo& info) {
    m_async->OnRunStarted(info);
}

void CHttpStatusService::OnPass(const StationPass& pass) {
    m_feed->NotePass(pass.passes, WallMs());
    if (pass.snapshot && pass.snapshot->sequence > m_lastSequence) {
        m_lastSequence = pass.snapshot->sequence;
        m_async->OnPass(pass);
    }
}

void CHttpStatusService::OnRunStopped() {
    m_async->OnRunStopped();
}

void CHttpStatusService::Settle() {
    m_async->Drain();
}

void CHttpStatusService::Status(const HttpRequest&, HttpResponse& response) const {
    const std::shared_ptr<const StationSnapshot> snapshot = m_feed->Latest();
    if (!snapshot) {
        Json(response, 503, ErrorJson("the station is starting"));
        return;
    }
    StatusContext context{m_options.version, m_hostName, WallMs()};
    Json(response, 200, StatusJson(*snapshot, context));
}

void CHttpStatusService::Metrics(const HttpRequest&, HttpResponse& response) const {
    const std::shared_ptr<const StationSnapshot> snapshot = m_feed->Latest();
    MetricsContext context{m_options.version, WallMs(), m_feed->Passes(), m_feed->LastPassWallMs()};
    response.contentType = METRICS_CONTENT_TYPE;
    response.headers.emplace_back("Cache-Control", "no-store");
    response.body = MetricsText(snapshot.get(), context, ReadProcessFigures());
}

void CHttpStatusService::Events(const HttpRequest&, HttpResponse& response) const {
    response.contentType = "text/event-stream";
    response.headers.emplace_back("Cache-Control", "no-store");
    // What one stream has sent; the stream's own, on its connection's thread.
    struct Progress {
        bool begun = false;
        bool ended = false;
        uint64_t sequence = 0;
        std::chrono::steady_clock::time_point lastStatus{};
    };
    auto progress = std::make_shared<Progress>();
    response.stream = [this, progress](const HttpChunkWriter& write) {
        if (progress->ended) {
            return false;
        }
        const CStatusFeed& feed = *m_feed;
        auto sendStatus = [&]() {
            const std::shared_ptr<const StationSnapshot> snapshot = feed.Latest();
            if (!snapshot) {
                return true;
            }
            progress->sequence = snapshot->sequence;
            progress->lastStatus = std::chrono::steady_clock::now();
            StatusContext context{m_options.version, m_hostName, WallMs()};
            return write("event: status\nid: " + std::to_string(snapshot->sequence) +
                         "\ndata: " + StatusJson(*snapshot, context) + "\n");
        };
        if (!progress->begun) {
            progress->begun = true;
            return write("retry: " + std::to_string(EVENTS_RETRY_MS) + "\n\n") && sendStatus();
        }
        // Many changes in a short time make one event: the page needs the
        // latest state, not every step, and the station's CPU is the cards'.
        const auto spacing = progress->lastStatus + m_options.eventSpacing;
        if (std::chrono::steady_clock::now() < spacing) {
            const auto rest =
                std::chrono::duration_cast<Millis>(spacing - std::chrono::steady_clock::now());
            if (feed.WaitForChange(UINT64_MAX, rest) == CStatusFeed::Wait::Ended) {
                progress->ended = true;
            }
        }
        CStatusFeed::Wait wait = progress->ended
                                     ? CStatusFeed::Wait::Ended
                                     : feed.WaitForChange(progress->sequence, m_options.heartbeat);
        switch (wait) {
            case CStatusFeed::Wait::Changed:
                return sendStatus();
            case CStatusFeed::Wait::TimedOut: {
                const int64_t lastPass = feed.LastPassWallMs();
                const int64_t since = lastPass > 0 ? std::max<int64_t>(0, WallMs() - lastPass) : 0;
                return write("event: alive\ndata: " +
                             CJsonObject().Number("seconds_since_last_pass", since / 1000).Text() +
                             "\n\n");
            }
            case CStatusFeed::Wait::Ended:
                progress->ended = true;
                write("event: stopped\ndata: {}\n\n");
                return false;
        }
        return false;
    };
}

void CHttpStatusService::Sessions(const HttpRequest& request, HttpResponse& response) const {
    SessionFilter filter;
    std::string error;
    if (!ReadFilter(request, filter, error)) {
        Json(response, 400, ErrorJson(error));
        return;
    }
    const std::string dataDir = m_feed->DataDir();
    if (!m_options.sessions || dataDir.empty()) {
        Json(response, 404, ErrorJson("this station keeps no session history"));
        return;
    }
    std::vector<SessionRecord> sessions;
    switch (m_options.sessions(dataDir + "/" + SESSION_DATABASE_NAME, filter, sessions, error)) {
        case SessionQueryResult::Ok:
            Json(response, 200, SessionsJson(sessions));
            return;
        case SessionQueryResult::NoDatabase:
            Json(response, 404, ErrorJson("this station keeps no session history"));
            return;
        case SessionQueryResult::Failed:
            Json(response, 500, ErrorJson("the session history cannot be read: " + error));
            return;
    }
}
